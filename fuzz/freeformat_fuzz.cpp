// Feeds arbitrary bytes to the free-format reader, both as one answer text and as a file.
#include <array>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "lib/freeformat.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  std::int32_t a = 0, b = 0;
  float x = 0.0f, y = 0.0f;
  const std::array<bantrisk::FreeTarget, 4> targets{&a, &x, &b, &y};
  bantrisk::read_free(std::string_view(text).substr(0, 80), targets);
  std::istringstream in(text);
  while (bantrisk::read_free(in, targets) == bantrisk::ReadStatus::ok) {
  }
  return 0;
}

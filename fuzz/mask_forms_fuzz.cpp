// The mask forms read back: the first byte chooses the form, the rest is the file. A file that
// reads must hold spectra within the tables, ascending, and write and read back to the same.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "driver/mask_forms.hpp"
#include "lib/capacities.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace bantrisk;
  if (size == 0)
    return 0;
  const auto form = static_cast<MaskFormat>(data[0] % 3);
  std::istringstream in(std::string(reinterpret_cast<const char *>(data) + 1, size - 1));
  std::vector<std::int32_t> masked;
  try {
    masked = read_mask(form, in);
  } catch (const MaskFormError &e) {
    if (e.line() < 1 || e.column() < 1)
      __builtin_trap();
    return 0;
  }
  for (std::size_t k = 0; k < masked.size(); ++k)
    if (masked[k] < 1 || masked[k] > max_spectra || (k > 0 && masked[k] <= masked[k - 1]))
      __builtin_trap();
  std::string text;
  write_mask_lines(form, {max_spectra, masked, "fuzz"},
                   [&text](std::string_view line) { text.append(line).push_back('\n'); });
  std::istringstream again(text);
  if (read_mask(form, again) != masked)
    __builtin_trap();
  return 0;
}

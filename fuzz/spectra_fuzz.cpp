// The spectra file reader on arbitrary bytes: once with the program's own tables and capacity,
// once with small tables of unequal sizes and a capacity larger than all of them; also the
// bytes as the value of Z_R.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "lib/capacities.hpp"
#include "lib/console.hpp"
#include "lib/spectra_file.hpp"

namespace {

void read(const std::string &text, std::size_t code_size, std::size_t spectrum_size,
          std::size_t line_size, int capacity) {
  using namespace bantrisk;
  std::vector<std::int32_t> code(code_size), spectrum(spectrum_size), line(line_size);
  fuzzing::MemoryConsole con("");
  std::istringstream in(text);
  std::int32_t entries = -1, specified = -1, largest = -1;
  try {
    read_spectra(con.io, &in, "spectra.dat", SpectraTables{code, spectrum, line}, entries,
                 specified, largest, capacity, 1);
  } catch (const ProgramStop &) {
    return;
  }
  const auto held = static_cast<std::int32_t>(std::min(
      {code_size - 1, spectrum_size - 1, line_size - 1, static_cast<std::size_t>(capacity)}));
  if (entries < 0 || entries > held || largest < 0)
    __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  read(text, bantrisk::max_spectra + 1, bantrisk::max_spectra + 1, bantrisk::max_spectra + 1,
       bantrisk::max_spectra);
  read(text, 9, 7, 8, 100);

  bantrisk::fuzzing::MemoryConsole con("", {{"Z_R", text.substr(0, text.find('\0'))}});
  std::string z_r;
  int k = 0;
  bantrisk::setz_r(con.io, z_r, k);
  if (k < -1 || k > static_cast<int>(z_r.size()))
    __builtin_trap();
  return 0;
}

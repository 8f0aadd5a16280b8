// The integrals file of option 2: arbitrary bytes as the file, its name as the console answer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "fuzz_support.hpp"
#include "lib/console.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace bantrisk;
  const auto file = fuzzing::work_dir() / "integrals.ans";
  fuzzing::write_file(file, std::string_view(reinterpret_cast<const char *>(data), size));
  fuzzing::MemoryConsole con(file.string() + "\n");
  RunState run;
  try {
    read_integrals_file(con.io, run);
    // What was read must fit the tables the later sections index with it (a count of 0 or less
    // reads nothing and is kept as the number of spectra).
    if (run.spectra > max_spectra || run.analysed != std::max(run.spectra, 0))
      __builtin_trap();
  } catch (const ProgramStop &) {
  }
  return 0;
}

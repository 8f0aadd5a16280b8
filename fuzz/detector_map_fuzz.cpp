// Loading the detector map: the spectrum file list and the spectra file it names.
//
// Input layout: a first line "<number of spectra of the run>[ <value of Z_R>]" (Z_R is unset
// when there is no blank), then the list's bytes, a 0xFF byte, the spectra file's bytes, and
// after a further 0xFF byte the console answers (asked when a file is missing). The list is
// written as specfile.dat and the spectra file as spectra.dat in the current folder, so a
// blank Z_R and a list line naming spectra.dat reach the spectra file.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "fuzz_support.hpp"
#include "lib/capacities.hpp"
#include "lib/console.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace bantrisk;
  std::string_view rest(reinterpret_cast<const char *>(data), size);
  const std::string_view first = fuzzing::take_until(rest, '\n');
  const std::string_view list = fuzzing::take_until(rest, '\xff');
  const std::string_view spectra = fuzzing::take_until(rest, '\xff');
  const std::string_view answers = rest;

  const std::string_view number = first.substr(0, first.find(' '));
  std::int32_t spectra_count = 0;
  std::from_chars(number.data(), number.data() + number.size(), spectra_count);
  std::map<std::string, std::string> env;
  if (const auto blank = first.find(' '); blank != std::string_view::npos) {
    std::string_view z_r = first.substr(blank + 1);
    env["Z_R"] = std::string(z_r.substr(0, z_r.find('\0'))); // no NUL in a real environment
  }

  const auto &dir = fuzzing::work_dir();
  fuzzing::write_file(dir / "specfile.dat", list);
  fuzzing::write_file(dir / "spectra.dat", spectra);
  fuzzing::MemoryConsole con(std::string(answers), env);
  RunState run;
  // The run's number of spectra comes from the run file or the integrals file, both of which
  // keep it at most the tables' size (an integrals file may give 0 or less).
  run.spectra = spectra_count > max_spectra ? max_spectra : spectra_count;
  try {
    load_detector_map(con.io, run);
    const DetectorMap &map = run.map;
    if (map.entries < 0 || map.entries > max_spectra)
      __builtin_trap();
    for (std::int32_t i = 1; i <= map.entries; ++i) {
      const auto e = static_cast<std::size_t>(i);
      if (map.in_module[e] && (map.spectrum[e] < 1 || map.spectrum[e] > max_spectra))
        __builtin_trap();
    }
  } catch (const ProgramStop &) {
  }
  return 0;
}

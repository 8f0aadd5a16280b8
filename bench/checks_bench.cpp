// Times the detector checks on a full-size run: 20000 detector-map entries spread over the 98
// modules, with 20000 (every spectrum dead) or 10000 zero-count spectra. The console goes to a
// string, the results file to a temporary file that is removed afterwards.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "lib/console.hpp"
#include "lib/detector_numbering.hpp"
#include "lib/io.hpp"

namespace {

using namespace bantrisk;

std::unique_ptr<RunState> full_run(int dead_every) {
  auto run = std::make_unique<RunState>();
  const int ideal = ideal_number_of_modules(run->modules_per_side);
  for (std::int32_t i = 1; i <= max_spectra; ++i) {
    const auto e = static_cast<std::size_t>(i);
    int bank = 0, side = 0, module = 0;
    index2module(run->modules_per_side, (i - 1) % ideal + 1, bank, side, module);
    run->map.spectrum[e] = i;
    run->map.bank[e] = bank;
    run->map.side[e] = side;
    run->map.module[e] = module;
    run->map.element[e] = (i - 1) / ideal % 200;
    run->map.group[e] = run->map.element[e] / 100;
    run->map.in_module[e] = 1;
    run->integrals[e] = i % dead_every == 0 ? 0 : 1000 + i % 977;
  }
  run->map.entries = max_spectra;
  run->analysed = max_spectra;
  for (std::int32_t s = 1; s <= max_spectra; ++s)
    if (run->integrals[static_cast<std::size_t>(s)] == 0)
      run->zero_list[static_cast<std::size_t>(++run->zero_count)] = s;
  return run;
}

double seconds_for(RunState &run, const std::filesystem::path &results) {
  std::istringstream in("1\n\n\n9\n");
  std::ostringstream out;
  Console console(in, out);
  Io io(console);
  int error = 0;
  io.connect(results_unit, ReplacingFile::create(results.string(), error));
  const auto start = std::chrono::steady_clock::now();
  dead_spectra_section(io, run);
  low_high_section(io, run);
  io.close(results_unit);
  const auto stop = std::chrono::steady_clock::now();
  return std::chrono::duration<double>(stop - start).count();
}

} // namespace

int main() {
  const auto results = std::filesystem::temp_directory_path() /
                       ("checks_bench_" + std::to_string(::getpid()) + ".dat");
  struct Case {
    const char *what;
    int dead_every;
    bool median; // --statistic median --significance 3.3
  };
  for (const Case c :
       {Case{"20000 entries, 20000 zero-count spectra", 1, false},
        Case{"20000 entries, 10000 zero-count spectra", 2, false},
        Case{"20000 entries, 10000 zero-count spectra, median and 3.3 error bars", 2, true}}) {
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
      auto run = full_run(c.dead_every);
      if (c.median) {
        run->rules.statistic = Statistic::median;
        run->rules.significance = 3.3f;
      }
      best = std::min(best, seconds_for(*run, results));
    }
    std::printf("%s: dead-spectra and low/high sections %.1f ms (best of 5)\n", c.what,
                best * 1000.0);
  }
  std::error_code ec;
  std::filesystem::remove(results, ec);
  return 0;
}

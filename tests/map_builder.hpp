#pragma once
// Small detector maps for the checks' tests: entries added as the loader leaves them, with
// their integrals, and a way to run one section with a results file of its own.
#include <algorithm>
#include <memory>
#include <string>

#include "driver/answers.hpp"
#include "driver/run_state.hpp"
#include "driver_harness.hpp"
#include "lib/detector_numbering.hpp"

namespace bantrisk::testing {

struct MapBuilder {
  std::unique_ptr<RunState> state = std::make_unique<RunState>();

  // One spectra-file entry, split and marked as the loader marks it; the spectrum's integral.
  void add(std::int32_t code, std::int32_t spectrum, std::int32_t integral) {
    RunState &r = *state;
    const auto e = static_cast<std::size_t>(++r.map.entries);
    r.map.code[e] = code;
    r.map.spectrum[e] = spectrum;
    deconstruct_ndet(code, r.map.bank[e], r.map.side[e], r.map.module[e], r.map.group[e],
                     r.map.element[e]);
    r.map.in_module[e] =
        r.map.group[e] < 2 && spectrum >= 1 &&
        names_module(r.modules_per_side, r.map.bank[e], r.map.side[e], r.map.module[e]);
    r.integrals[static_cast<std::size_t>(spectrum)] = integral;
    r.analysed = std::max(r.analysed, spectrum);
  }

  // The zero-count list of spectra 1..analysed.
  void list_zero_counts() {
    RunState &r = *state;
    r.zero_count = 0;
    for (std::int32_t s = 1; s <= r.analysed; ++s)
      if (r.integrals[static_cast<std::size_t>(s)] == 0)
        r.zero_list[static_cast<std::size_t>(++r.zero_count)] = s;
  }
};

struct SectionOutput {
  std::string console, results;
};

// Runs `section(io, run)` with `answers` on the console and a results file of its own.
template <typename Section>
SectionOutput run_section(RunState &run, const std::string &answers, Section section) {
  ScratchDir dir;
  ConsoleFixture fx(answers);
  int error = 0;
  fx.io.connect(results_unit, ReplacingFile::create("results.txt", error));
  section(fx.io, run, dialogue());
  fx.io.close(results_unit);
  return {fx.text(), read_file(dir.path() / "results.txt")};
}

} // namespace bantrisk::testing

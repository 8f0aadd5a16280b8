// Low and high modules and spectra.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/checks.hpp"
#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "driver/to_both.hpp"
#include "lib/check_defaults.hpp"
#include "lib/fields.hpp"
#include "lib/io.hpp"
#include "lib/statistics.hpp"

namespace bantrisk {

namespace {

// The words of a report line for a state found low or high.
std::string_view reported(State state) {
  return state == State::low ? " is low with ratio = " : " is high with ratio = ";
}

void module_search(Io &io, RunState &run, float low, float high) {
  const ModuleTables &m = run.modules;
  for (int i = 1; i <= run.ideal_modules; ++i) {
    const auto k = static_cast<std::size_t>(i);
    const std::optional<float> judged = module_ratio(run, i);
    if (!judged)
      continue;
    const Verdict v = judge(Test::module_fraction, *judged, low, high);
    if (v.state == State::ok)
      continue;
    const auto slot = static_cast<std::size_t>(nbank18(m.bank[k]));
    if (!beyond_error_bars(m.average[k], run.banks.reference[slot], run.rules.significance,
                           m.spectra[k] - m.dead[k]))
      continue;
    run.module_state[k] = v.state;
    run.module_findings.push_back({i, v});
    to_both(io,
            " Module " + m.label[k] + std::string(reported(v.state)) + fixed_field(v.ratio, 8, 4));
  }
}

// The spectrum search's reference of every module: its average, or the median of the
// integrals of the entries the search tests (counts above 0, counted in a module).
void module_references(RunState &run) {
  ModuleTables &m = run.modules;
  m.reference = m.average;
  if (run.rules.statistic != Statistic::median)
    return;
  std::vector<std::vector<std::int32_t>> tested(static_cast<std::size_t>(run.ideal_modules) + 1);
  for (int i = 1; i <= run.map.entries; ++i) {
    std::size_t idx = 0, slot = 0;
    const std::int32_t counts = integral_of(run, run.map.spectrum[static_cast<std::size_t>(i)]);
    if (counts > 0 && entry_place(run, i, idx, slot))
      tested[idx].push_back(counts);
  }
  for (std::size_t k = 1; k < tested.size(); ++k)
    if (const auto middle = median(std::span<std::int32_t>(tested[k])))
      m.reference[k] = static_cast<float>(*middle);
}

void spectrum_search(Io &io, RunState &run) {
  module_references(run);
  std::string last_label(4, ' ');
  for (int i = 1; i <= run.map.entries; ++i) {
    const auto e = static_cast<std::size_t>(i);
    const std::int32_t s = run.map.spectrum[e];
    const std::int32_t counts = integral_of(run, s);
    std::size_t k = 0, b = 0;
    if (counts <= 0 || !entry_place(run, i, k, b))
      continue;
    const float reference = run.modules.reference[k];
    Verdict v = judge(Test::spectrum_limits, ratio_of(counts, reference), run.low_limit[b],
                      run.high_limit[b]);
    if (v.state != State::ok && !beyond_error_bars(counts, reference, run.rules.significance))
      v = {State::ok, v.test, v.ratio, 0.0f};
    // counts >= 1 here, so s lies within the flag table.
    run.flags[static_cast<std::size_t>(s)] = v.state == State::ok ? 1 : 0;
    run.spectrum_state[static_cast<std::size_t>(s)] = v.state;
    if (v.state == State::ok)
      continue;
    const int idx = static_cast<int>(k);
    run.spectrum_findings.push_back({s, idx, v});
    const std::string &label = run.modules.label[k];
    if (label != last_label)
      to_both(io, free_format({}));
    to_both(io, " Spectrum " + int_field(s, 5) + " in module " + label +
                    std::string(reported(v.state)) + fixed_field(v.ratio, 8, 4));
    last_label = label;
  }
}

} // namespace

Verdict judge(Test test, float ratio, float low, float high) {
  if (ratio < low)
    return {State::low, test, ratio, low};
  if (ratio > high)
    return {State::high, test, ratio, high};
  return {State::ok, test, ratio, 0.0f};
}

std::string_view state_name(State state) {
  switch (state) {
  case State::dead:
    return "dead";
  case State::low:
    return "low";
  case State::high:
    return "high";
  case State::ok:
    break;
  }
  return "ok";
}

void limit_lines(Io &io, const RunState &run, int unit) {
  for (int slot = 1; slot <= bank_slots; ++slot) {
    const auto b = static_cast<std::size_t>(slot);
    io.write_line(unit, " For bank " + int_field(slot, 1) +
                            ":  Low spectrum limit = " + fixed_field(run.low_limit[b], 9, 4) +
                            "  High spectrum limit = " + fixed_field(run.high_limit[b], 9, 4));
  }
}

std::optional<float> module_ratio(const RunState &run, int index) {
  if (index < 1 || index > run.ideal_modules || index > max_module_indexes)
    return std::nullopt;
  const ModuleTables &m = run.modules;
  const auto k = static_cast<std::size_t>(index);
  if (m.total[k] <= 0)
    return std::nullopt;
  const auto slot = static_cast<std::size_t>(nbank18(m.bank[k]));
  return ratio_of(m.average[k], run.banks.reference[slot]);
}

void low_high_section(Io &io, RunState &run, Answers &ask) {
  Console &con = io.console();
  to_both(io, free_format({}));
  to_both(io, free_format({"** LOW/HIGH SPECTRA SECTION **"}));
  to_both(io, free_format({}));

  con.write_line(free_format({"Searching for low/high modules..."}));
  con.write_line(free_format({"Search for modules below a given fraction of the average counts"}));
  con.write_line(free_format({"Search for modules above a given fraction of the average counts"}));
  con.write_line(free_format({}));
  float low = default_low_fraction;
  float high = default_high_fraction;
  ask.module_fractions(io, low, high);
  run.low_fraction = low;
  run.high_fraction = high;
  io.write_line(results_unit, " Low module limit = " + fixed_field(low, 8, 4) +
                                  "  High module limit = " + fixed_field(high, 8, 4));
  // Said only when the check departs from the means without error bars.
  if (run.rules.statistic == Statistic::median)
    io.write_line(results_unit, " Reference statistic = median");
  if (run.rules.significance > 0.0f)
    io.write_line(results_unit,
                  " Significance = " + fixed_field(run.rules.significance, 8, 4) + " error bars");
  con.write_line(free_format({}));

  module_search(io, run, low, high);

  to_both(io, free_format({}));
  con.write_line(free_format({"Searching for low/high spectra..."}));
  con.write_line(free_format({"Search for spectra below a given fraction of the average counts"}));
  con.write_line(free_format({"Search for spectra above a given fraction of the average counts"}));

  ask.bank_limits(io, run);
  limit_lines(io, run, results_unit);
  spectrum_search(io, run);
}

} // namespace bantrisk

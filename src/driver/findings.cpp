#include "driver/findings.hpp"

#include <algorithm>

#include "driver/checks.hpp"
#include "driver/run_state.hpp"
#include "lib/detector_numbering.hpp"
#include "lib/text.hpp"

namespace bantrisk {

namespace {
template <typename Found>
std::vector<Found> in_state(const std::vector<Found> &found, State state) {
  std::vector<Found> in;
  for (const Found &f : found)
    if (f.verdict.state == state)
      in.push_back(f);
  return in;
}
} // namespace

std::vector<FoundModule> Findings::modules_in(State state) const {
  return in_state(found_modules, state);
}

std::vector<FoundSpectrum> Findings::spectra_in(State state) const {
  return in_state(found_spectra, state);
}

namespace {

std::string label_of(const RunState &run, int index) {
  if (index < 1 || index > max_module_indexes)
    return {};
  return std::string(trimmed(run.modules.label[static_cast<std::size_t>(index)]));
}

} // namespace

Findings gather_findings(const RunState &run) {
  Findings f;
  f.from_integrals = run.option == 2;
  f.source = std::string(trimmed(run.full_input_name));
  f.spectra = run.spectra;
  f.analysed = run.analysed;
  if (!f.from_integrals)
    f.channels = run.channels;
  const std::int32_t zeros = std::clamp(run.zero_count, 0, max_spectra);
  f.zero_count.assign(run.zero_list.begin() + 1, run.zero_list.begin() + 1 + zeros);
  f.low_fraction = run.low_fraction;
  f.high_fraction = run.high_fraction;

  for (int slot = 1; slot <= bank_slots; ++slot) {
    const auto b = static_cast<std::size_t>(slot);
    BankSummary bank{slot,         run.banks.spectra[b], run.banks.dead[b],
                     std::nullopt, run.low_limit[b],     run.high_limit[b]};
    if (run.banks.live_modules[b] > 0)
      bank.average = run.banks.average[b];
    f.banks.push_back(bank);
  }

  for (const ModuleFinding &found : run.module_findings) {
    f.found_modules.push_back({found.index, label_of(run, found.index), found.verdict});
    if (found.verdict.state == State::dead)
      f.dead_modules.push_back(f.found_modules.back().label);
  }
  for (const SpectrumFinding &found : run.spectrum_findings)
    f.found_spectra.push_back(
        {found.spectrum, found.module_index, label_of(run, found.module_index), found.verdict});

  const ModuleTables &m = run.modules;
  const int modules = std::clamp(run.ideal_modules, 0, max_module_indexes);
  for (int i = 1; i <= modules; ++i) {
    const auto k = static_cast<std::size_t>(i);
    if (m.spectra[k] <= 0)
      continue;
    ModuleSummary module;
    module.index = i;
    module.label = label_of(run, i);
    module.bank = nbank18(m.bank[k]);
    module.side = m.side[k];
    module.number = m.module[k];
    module.spectra = m.spectra[k];
    module.dead = m.dead[k];
    module.dead_spectra = m.dead_list[k];
    const bool dead = m.total[k] == 0;
    if (!dead && m.spectra[k] > m.dead[k])
      module.average = m.average[k];
    module.ratio = module_ratio(run, i);
    module.status = run.module_state[k];
    f.modules.push_back(std::move(module));
  }

  f.median = run.rules.statistic == Statistic::median;
  f.significance = run.rules.significance;
  f.tof_range = run.rules.tof_range;
  f.tof_channels = run.rules.tof_channels;
  if (!run.rules.hard_masked.empty())
    f.hard_masked = run.rules.hard_mask_list;
  if (run.rules.reference) {
    ReferenceSummary r;
    r.file = run.rules.reference_file;
    r.variation = run.rules.variation;
    r.median_ratio = run.reference.median_ratio;
    for (const ReferenceFindings::Varying &v : run.reference.varying)
      r.varying.push_back({v.spectrum,
                           v.module_index,
                           label_of(run, v.module_index),
                           {State::ok, Test::spectrum_limits, v.q, run.rules.variation}});
    r.newly_dead = run.reference.newly_dead;
    r.recovered = run.reference.recovered;
    f.reference = std::move(r);
  }
  return f;
}

FailVerdict fail_verdict(const Findings &f, const std::vector<std::string> &fail_on) {
  // The dead spectra of the map's modules, each once.
  std::vector<std::int32_t> dead;
  for (const ModuleSummary &m : f.modules)
    dead.insert(dead.end(), m.dead_spectra.begin(), m.dead_spectra.end());
  std::sort(dead.begin(), dead.end());
  dead.erase(std::unique(dead.begin(), dead.end()), dead.end());
  const auto n = [](std::size_t size) { return static_cast<std::int64_t>(size); };
  FailVerdict v;
  v.fail_on = fail_on;
  v.counts = {{"dead-spectra", n(dead.size())},
              {"dead-modules", n(f.dead_modules.size())},
              {"low-modules", n(f.modules_in(State::low).size())},
              {"high-modules", n(f.modules_in(State::high).size())},
              {"low-spectra", n(f.spectra_in(State::low).size())},
              {"high-spectra", n(f.spectra_in(State::high).size())},
              {"varying", n(f.reference ? f.reference->varying.size() : 0)},
              {"newly-dead", n(f.reference ? f.reference->newly_dead.size() : 0)}};
  const bool any = std::find(fail_on.begin(), fail_on.end(), "any") != fail_on.end();
  for (const auto &[name, count] : v.counts)
    if (count > 0 && (any || std::find(fail_on.begin(), fail_on.end(), name) != fail_on.end()))
      v.failed = true;
  return v;
}

} // namespace bantrisk

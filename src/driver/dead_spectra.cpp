// Dead spectra, dead modules and the module and bank averages.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "driver/checks.hpp"
#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "driver/to_both.hpp"
#include "lib/fields.hpp"
#include "lib/io.hpp"
#include "lib/messages.hpp"
#include "lib/statistics.hpp"

namespace bantrisk {

std::int32_t integral_of(const RunState &run, std::int32_t s) {
  if (s < 1 || s > max_spectra)
    return 0;
  return run.integrals[static_cast<std::size_t>(s)];
}

float ratio_of(double num, double den) {
  if (den == 0.0) {
    if (num > 0.0)
      return std::numeric_limits<float>::infinity();
    if (num < 0.0)
      return -std::numeric_limits<float>::infinity();
    return std::numeric_limits<float>::quiet_NaN();
  }
  return static_cast<float>(num / den);
}

std::vector<std::string> dead_spectra_texts(std::span<const std::int32_t> dead) {
  std::vector<std::string> texts;
  const std::size_t d = dead.size();
  for (std::size_t first = 0; first < d; first += 8) {
    const std::size_t end = std::min(d, first + 8);
    std::string text;
    for (std::size_t k = first; k < end; ++k) {
      text += ' ' + exact_int(dead[k]);
      if (k + 1 < d) {
        const std::int64_t gap = std::int64_t{dead[k + 1]} - dead[k];
        text += " (" + exact_int(gap) + ")";
      }
    }
    if (text.size() < dead_line_width)
      text.resize(dead_line_width, ' ');
    texts.push_back(std::move(text));
  }
  return texts;
}

void reportdeadspecinmod(Io &io, const ModuleTables &modules, int index, int iunit) {
  if (index < 1 || index > max_module_indexes)
    return;
  const auto &list = modules.dead_list[static_cast<std::size_t>(index)];
  const auto count = static_cast<std::size_t>(std::clamp<std::int64_t>(
      modules.dead[static_cast<std::size_t>(index)], 0, static_cast<std::int64_t>(list.size())));
  const auto texts = dead_spectra_texts(std::span(list.data(), count));
  for (std::size_t n = 0; n < texts.size(); ++n) {
    const std::string &text = texts[n];
    const bool more_follow = n + 1 < texts.size();
    // A full line that fits is shown on the console without its last column.
    const std::string_view shown = more_follow && text.size() == dead_line_width
                                       ? std::string_view(text).substr(0, dead_line_width - 1)
                                       : std::string_view(text);
    io.write_line(0, free_format({shown}));
    io.write_line(iunit, free_format({std::string_view(text)}));
  }
}

namespace {

void module_labels(RunState &run) {
  ModuleTables &m = run.modules;
  for (int i = 1; i <= run.ideal_modules; ++i) {
    const auto k = static_cast<std::size_t>(i);
    index2module(run.modules_per_side, i, m.bank[k], m.side[k], m.module[k]);
    m.label[k] = module_label(m.bank[k], m.side[k], m.module[k]);
  }
}

void count_totals(RunState &run) {
  for (int i = 1; i <= run.map.entries; ++i) {
    std::size_t idx = 0, slot = 0;
    if (!entry_place(run, i, idx, slot))
      continue;
    run.modules.spectra[idx] += 1;
    run.modules.total[idx] += integral_of(run, run.map.spectrum[static_cast<std::size_t>(i)]);
    run.banks.spectra[slot] += 1;
  }
}

// Matches the zero-count list to the module entries of the map. The entries are sorted by
// spectrum number (equal numbers keep their file order), so each zero-count spectrum finds its
// entries by binary search and every dead list grows in zero-list order, then file order.
void find_dead_spectra(RunState &run) {
  const int zeros = run.zero_count;
  if (zeros == 0)
    return;
  std::vector<std::pair<std::int32_t, int>> by_spectrum;
  by_spectrum.reserve(static_cast<std::size_t>(run.map.entries));
  for (int i = 1; i <= run.map.entries; ++i) {
    std::size_t idx = 0, slot = 0;
    if (entry_place(run, i, idx, slot))
      by_spectrum.emplace_back(run.map.spectrum[static_cast<std::size_t>(i)], i);
  }
  std::sort(by_spectrum.begin(), by_spectrum.end());
  for (int z = 1; z <= zeros; ++z) {
    const std::int32_t s = run.zero_list[static_cast<std::size_t>(z)];
    auto it = std::lower_bound(by_spectrum.begin(), by_spectrum.end(), std::pair{s, 0});
    for (; it != by_spectrum.end() && it->first == s; ++it) {
      std::size_t idx = 0, slot = 0;
      entry_place(run, it->second, idx, slot);
      run.modules.dead[idx] += 1;
      run.modules.dead_list[idx].push_back(s);
      run.banks.dead[slot] += 1;
    }
  }
}

// The median of each bank's live modules' averages (0 for a live module without live spectra,
// as the mean counts it), in place of the bank averages as the module search's reference.
void bank_medians(RunState &run) {
  const ModuleTables &m = run.modules;
  std::array<std::vector<float>, bank_slots + 1> averages;
  for (int i = 1; i <= run.ideal_modules; ++i) {
    const auto k = static_cast<std::size_t>(i);
    if (m.spectra[k] > 0 && m.total[k] != 0)
      averages[static_cast<std::size_t>(nbank18(m.bank[k]))].push_back(m.average[k]);
  }
  for (std::size_t b = 1; b <= static_cast<std::size_t>(bank_slots); ++b)
    if (const auto middle = median(std::span<float>(averages[b])))
      run.banks.reference[b] = static_cast<float>(*middle);
}

void dead_and_live_modules(RunState &run) {
  ModuleTables &m = run.modules;
  run.dead_module_count = 0;
  run.dead_module_list.clear();
  for (int i = 1; i <= run.ideal_modules; ++i) {
    const auto k = static_cast<std::size_t>(i);
    if (m.spectra[k] <= 0)
      continue;
    if (m.total[k] == 0) {
      run.module_state[k] = State::dead;
      run.module_findings.push_back({i, {State::dead, Test::zero_counts, 0.0f, 0.0f}});
      run.dead_module_count += 1;
      run.dead_module_list += m.label[k] + " ";
      continue;
    }
    const auto slot = static_cast<std::size_t>(nbank18(m.bank[k]));
    run.banks.live_modules[slot] += 1;
    const std::int32_t live = m.spectra[k] - m.dead[k];
    if (live > 0) {
      m.average[k] = static_cast<float>(static_cast<double>(m.total[k]) / live);
      run.banks.average[slot] += m.average[k];
    }
  }
  for (int slot = 1; slot <= bank_slots; ++slot) {
    const auto b = static_cast<std::size_t>(slot);
    if (run.banks.live_modules[b] > 0)
      run.banks.average[b] /= static_cast<float>(run.banks.live_modules[b]);
  }
  run.banks.reference = run.banks.average;
  if (run.rules.statistic == Statistic::median)
    bank_medians(run);
}

void report_dead_modules(Io &io, const RunState &run) {
  to_both(io, " Number of dead modules = " + exact_int(run.dead_module_count));
  to_both(io, free_format({"The following modules are dead..."}));
  to_both(io, free_format({std::string_view(run.dead_module_list)}));
}

void report_partly_dead(Io &io, const RunState &run) {
  const ModuleTables &m = run.modules;
  for (int i = 1; i <= run.ideal_modules; ++i) {
    const auto k = static_cast<std::size_t>(i);
    if (m.dead[k] <= 0)
      continue;
    to_both(io, free_format({}));
    to_both(io, " Number of dead spectra in module " + m.label[k] + " = " + exact_int(m.dead[k]) +
                    " (out of a total " + exact_int(m.spectra[k]) + ")");
    if (m.dead[k] == m.spectra[k])
      to_both(io, " ** MODULE " + m.label[k] + " IS COMPLETELY DEAD **");
    to_both(io, free_format({"Dead spectra in this module..."}));
    reportdeadspecinmod(io, m, i, results_unit);
  }
}

void counts_per_spectrum(Io &io, const RunState &run, Answers &ask) {
  io.write_line(0, free_format({}));
  if (!ask.counts_per_spectrum(io))
    return;
  const ModuleTables &m = run.modules;
  to_both(io, free_format({}));
  for (int i = 1; i <= run.ideal_modules; ++i) {
    const auto k = static_cast<std::size_t>(i);
    if (m.spectra[k] <= 0)
      continue;
    to_both(io, " Module " + m.label[k] + " has " + int_field(m.spectra[k], 3) + " spectra and " +
                    fixed_field(m.average[k], 12, 1) + " counts per spectrum");
  }
  to_both(io, free_format({}));
  for (int slot = 1; slot <= bank_slots; ++slot)
    to_both(io, " Bank " + int_field(slot, 1) + " has average counts per spectrum = " +
                    fixed_field(run.banks.average[static_cast<std::size_t>(slot)], 12, 1));
}

} // namespace

void dead_spectra_section(Io &io, RunState &run, Answers &ask) {
  // The module tables have room for max_module_indexes modules.
  run.ideal_modules = std::min(ideal_number_of_modules(run.modules_per_side), max_module_indexes);
  io.write_line(0, free_format({}));
  io.write_line(results_unit, free_format({}));
  pr_int(io.console(), "Ideal number of modules in instrument = ", run.ideal_modules);
  io.write_line(0, free_format({}));

  module_labels(run);
  count_totals(run);
  find_dead_spectra(run);

  for (int slot = 1; slot <= bank_slots; ++slot) {
    const auto b = static_cast<std::size_t>(slot);
    for (const int unit : {0, results_unit})
      pr_int_3(io, "In bank ", slot, " there are ", run.banks.dead[b],
               " dead spectra, out of a total ", run.banks.spectra[b], unit);
  }
  to_both(io, free_format({}));

  dead_and_live_modules(run);
  report_dead_modules(io, run);
  report_partly_dead(io, run);
  counts_per_spectrum(io, run, ask);
}

} // namespace bantrisk

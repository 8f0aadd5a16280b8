// Planning a synthetic run: spectra to modules, counts per spectrum, planted faults, and a check
// that the faults stand out exactly as planted under the program's default limits.
#include "mkrun_plan.hpp"

#include "lib/capacities.hpp"
#include "lib/check_defaults.hpp"
#include "lib/detector_numbering.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>

namespace bantrisk::mkrun {

namespace {

const ModulesPerSide &table = default_modules_per_side;

// The program's built-in limits, by bank slot 1..8.
constexpr const auto &low_limit = default_low_limit;
constexpr const auto &high_limit = default_high_limit;
constexpr float low_module_fraction = default_low_fraction;
constexpr float high_module_fraction = default_high_fraction;
// Faults stand this far beyond their limit, normal values this far inside.
constexpr double fault_margin = 0.8;
constexpr double normal_margin = 0.9;

// Counts level of each bank slot relative to the mean.
constexpr std::array<double, 8> bank_level{1.0, 0.8, 1.2, 0.9, 1.1, 0.95, 1.05, 0.7};

// Modules chosen for the faults (module indexes): 3W1, 5E7, 4E4, 5W9, and four modules with one
// dead spectrum each (1E1, 4E6, 5W4, 7E2).
constexpr int dead_module_index = 20;
constexpr int partly_dead_index = 45;
constexpr int low_module_index = 28;
constexpr int high_module_index = 65;
constexpr std::array<int, 4> single_dead_modules{5, 30, 60, 90};
constexpr int partly_dead_count = 9; // more than one line of eight in the report
constexpr int max_elements = 200;    // elements 0..199 belong to a module

std::uint64_t splitmix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// Uniform in [0, 1) from the seed, a stream number and an item number.
double uniform(std::uint64_t seed, std::uint64_t stream, std::uint64_t item) {
  const std::uint64_t h = splitmix(splitmix(seed ^ (stream << 48)) ^ item);
  return static_cast<double>(h >> 11) * 0x1.0p-53;
}

struct Module {
  int bank = 0, side = 0, number = 0, slot = 0;
  std::string label;
};

Module module_at(int index) {
  Module m;
  index2module(table, index, m.bank, m.side, m.number);
  m.slot = nbank18(m.bank);
  m.label = module_label(m.bank, m.side, m.number);
  return m;
}

std::int32_t code_of(int index, int element) {
  const Module m = module_at(index);
  if (m.bank == 0) {
    return 800000 + m.side * 10000 + 1000 + element;
  }
  if (m.bank == 5 && m.number > 9) {
    return 500000 + (m.side + 2) * 10000 + (m.number - 9) * 1000 + element;
  }
  return m.bank * 100000 + m.side * 10000 + m.number * 1000 + element;
}

// Spectra of each module index (1-based) for `in_modules` module spectra.
std::vector<int> share_spectra(int in_modules, int modules) {
  std::vector<int> n(static_cast<std::size_t>(modules) + 1, 0);
  if (in_modules < modules) {
    for (int k = 1; k <= in_modules; ++k) {
      n[k] = 1;
    }
    return n;
  }
  // The partly dead module needs room for its dead spectra and a live one.
  const int base = in_modules / modules;
  const int heavy = base >= partly_dead_count + 3 ? 1 : (partly_dead_count + 3 + base - 1) / base;
  const int weight_sum = modules - 1 + heavy;
  int given = 0;
  for (int k = 1; k <= modules; ++k) {
    const int w = k == partly_dead_index ? heavy : 1;
    n[k] = std::min(max_elements,
                    static_cast<int>(static_cast<long long>(in_modules) * w / weight_sum));
    given += n[k];
  }
  for (int k = 1; given < in_modules; k = k % modules + 1) {
    if (n[k] < max_elements) {
      ++n[k];
      ++given;
    }
  }
  return n;
}

struct Factors {
  std::vector<double> spectrum; // planted factor of each spectrum (0: dead)
  std::map<int, double> module; // planted factor of a module
  std::map<int, std::vector<std::int32_t>> spectrum_faults; // host module -> its low/high spectra
};

// What the checks find with the default limits, and whether every value keeps its margin.
struct Findings {
  std::set<int> low_modules, high_modules, odd_modules;
  std::set<std::int32_t> low_spectra, high_spectra;
};

Findings find(const Plan &plan, const std::vector<int> &spectra_of_module) {
  const int modules = static_cast<int>(spectra_of_module.size()) - 1;
  std::vector<long long> total(modules + 1, 0);
  std::vector<int> count(modules + 1, 0), dead(modules + 1, 0);
  for (const Entry &e : plan.entries) {
    const int k = plan.module_of[e.spectrum - 1];
    if (k > 0 && (e.code % 1000) < max_elements && e.code / 100000 != 9) {
      const std::int32_t t = plan.totals[e.spectrum - 1];
      ++count[k];
      total[k] += t;
      dead[k] += t == 0 ? 1 : 0;
    }
  }
  std::vector<float> average(modules + 1, 0.0F);
  std::array<float, 9> bank_sum{};
  std::array<int, 9> bank_live{};
  for (int k = 1; k <= modules; ++k) {
    if (count[k] > 0 && total[k] != 0) {
      const int slot = module_at(k).slot;
      ++bank_live[slot];
      if (count[k] - dead[k] > 0) {
        average[k] = static_cast<float>(static_cast<double>(total[k]) / (count[k] - dead[k]));
        bank_sum[slot] += average[k];
      }
    }
  }
  Findings f;
  for (int k = 1; k <= modules; ++k) {
    if (total[k] <= 0) {
      continue;
    }
    const int slot = module_at(k).slot;
    const double ratio = average[k] / (bank_sum[slot] / static_cast<float>(bank_live[slot]));
    if (ratio < low_module_fraction) {
      f.low_modules.insert(k);
      if (ratio > fault_margin * low_module_fraction) {
        f.odd_modules.insert(k);
      }
    } else if (ratio > high_module_fraction) {
      f.high_modules.insert(k);
      if (ratio < high_module_fraction / fault_margin) {
        f.odd_modules.insert(k);
      }
    } else if (ratio < low_module_fraction / normal_margin ||
               ratio > high_module_fraction * normal_margin) {
      f.odd_modules.insert(k);
    }
  }
  for (const Entry &e : plan.entries) {
    const int k = plan.module_of[e.spectrum - 1];
    const std::int32_t t = plan.totals[e.spectrum - 1];
    if (k == 0 || t <= 0 || (e.code % 1000) >= max_elements) {
      continue;
    }
    const int slot = module_at(k).slot;
    const double ratio = t / static_cast<double>(average[k]);
    const double lo = low_limit[slot];
    const double hi = high_limit[slot];
    if (ratio < lo) {
      f.low_spectra.insert(e.spectrum);
      if (ratio > fault_margin * lo) {
        f.odd_modules.insert(k);
      }
    } else if (ratio > hi) {
      f.high_spectra.insert(e.spectrum);
      if (ratio < hi / fault_margin) {
        f.odd_modules.insert(k);
      }
    } else if (ratio < lo / normal_margin || ratio > hi * normal_margin) {
      f.odd_modules.insert(k);
    }
  }
  return f;
}

} // namespace

std::vector<double> channel_shape(int channels, int bank_slot) {
  const double centre = 0.25 + 0.06 * bank_slot;
  const double width = 0.08;
  std::vector<double> cumulative(static_cast<std::size_t>(channels) + 1, 0.0);
  for (int i = 0; i < channels; ++i) {
    const double t = (i + 0.5) / channels;
    const double z = (t - centre) / width;
    cumulative[i + 1] = cumulative[i] + 0.15 + std::exp(-0.5 * z * z);
  }
  const double sum = cumulative.back();
  for (double &v : cumulative) {
    v /= sum;
  }
  cumulative.back() = 1.0; // the counts then add up to the total exactly
  return cumulative;
}

void spread_counts(std::int32_t total, const std::vector<double> &shape, double offset,
                   std::int32_t *counts) {
  const double t = total;
  auto below = static_cast<std::int64_t>(std::floor(t * shape[0] + offset));
  for (std::size_t i = 0; i + 1 < shape.size(); ++i) {
    const auto next = static_cast<std::int64_t>(std::floor(t * shape[i + 1] + offset));
    counts[i] = static_cast<std::int32_t>(next - below);
    below = next;
  }
}

double spectrum_offset(std::uint64_t seed, int spectrum) {
  return uniform(seed, 7, static_cast<std::uint64_t>(spectrum));
}

namespace {

// The module table of a run: how many spectra each module index has, and its first spectrum.
struct Layout {
  int modules = 0;
  int in_modules = 0; // spectra in modules
  int extras = 0;     // spectra outside them
  std::vector<int> n;
  std::vector<std::int32_t> first_of;
};

// The spectra file entries of the run: spectra to modules, some outside them, one listed twice.
Layout build_map(Plan &plan) {
  const int spectra = plan.spectra;
  const int modules = ideal_number_of_modules(table);

  // Some spectra read detectors outside the modules (element group 2, bank 9).
  int extras = spectra >= 100 ? std::max(2, spectra / 50) : 0;
  const int in_modules = std::min(spectra - extras, modules * max_elements);
  extras = spectra - in_modules;
  const std::vector<int> n = share_spectra(in_modules, modules);

  plan.module_of.assign(static_cast<std::size_t>(spectra), 0);
  std::vector<std::int32_t> first_of(modules + 1, 0);
  std::int32_t s = 0;
  for (int k = 1; k <= modules; ++k) {
    first_of[k] = s + 1;
    for (int e = 0; e < n[k]; ++e) {
      ++s;
      plan.entries.push_back({code_of(k, e), s});
      plan.module_of[s - 1] = k;
    }
  }
  for (int j = 0; j < extras; ++j) {
    ++s;
    const int i = j / 2;
    const std::int32_t code =
        j % 2 == 0 ? code_of(i % modules + 1, 200 + (i / modules) % 100)
                   : 900000 + (i % 2) * 10000 + (1 + (i / 2) % 9) * 1000 + (i / 18) % 1000;
    plan.entries.push_back({code, s});
  }
  // One spectrum listed twice (a normal one of module 5E12 when it has two).
  plan.duplicate_spectrum = n[50] >= 2 ? first_of[50] + 1 : 1;
  plan.entries.push_back(plan.entries[static_cast<std::size_t>(
      std::find_if(plan.entries.begin(), plan.entries.end(),
                   [&](const Entry &e) { return e.spectrum == plan.duplicate_spectrum; }) -
      plan.entries.begin())]);
  // The program keeps at most max_spectra entries: at full size one spectrum outside the modules
  // goes unlisted to make room for the second listing.
  if (static_cast<int>(plan.entries.size()) > max_spectra) {
    plan.unlisted_spectrum = in_modules + 3;
    std::erase_if(plan.entries,
                  [&](const Entry &e) { return e.spectrum == plan.unlisted_spectrum; });
  }

  return Layout{modules, in_modules, extras, n, first_of};
}

// What a plan's faults leave for a reference run: the expected counts of the healthy detector,
// and the modules holding a fault (no reference spectrum is chosen there).
struct Healthy {
  std::vector<double> expected;
  std::set<int> faulty_modules;
};

// The standard run's faults, checked to stand out exactly as planted under the default limits.
Healthy plant_standard(Plan &plan, const Layout &layout, double mean_counts) {
  const int spectra = plan.spectra;
  const std::uint64_t seed = plan.seed;
  const int modules = layout.modules;
  const int in_modules = layout.in_modules;
  const int extras = layout.extras;
  const std::vector<int> &n = layout.n;
  const std::vector<std::int32_t> &first_of = layout.first_of;

  Factors planted;
  planted.spectrum.assign(static_cast<std::size_t>(spectra), 1.0);
  auto kill = [&](std::int32_t spectrum) { planted.spectrum[spectrum - 1] = 0.0; };
  if (n[dead_module_index] > 0) {
    for (int e = 0; e < n[dead_module_index]; ++e) {
      kill(first_of[dead_module_index] + e);
    }
  } else {
    plan.notes.push_back("no dead module: module 3W1 has no spectra");
  }
  const int pd = n[partly_dead_index];
  if (pd > partly_dead_count) {
    for (int i = 0; i < partly_dead_count; ++i) {
      kill(first_of[partly_dead_index] + i * pd / partly_dead_count);
    }
  } else {
    plan.notes.push_back("no partly dead module: module 5E7 has too few spectra");
  }
  for (int k : single_dead_modules) {
    if (n[k] >= 3) {
      kill(first_of[k] + n[k] / 2);
    }
  }
  if (extras >= 2) {
    kill(in_modules + 1); // element group 2: not a dead module spectrum
    kill(in_modules + 2); // bank 9
  }
  if (n[low_module_index] > 0 && in_modules >= 2 * modules) {
    planted.module[low_module_index] = 0.1;
  }
  if (n[high_module_index] > 0 && in_modules >= 2 * modules) {
    planted.module[high_module_index] = 2.5;
  }
  // A low and a high spectrum in the first quiet module of every bank with room for them.
  const std::set<int> busy{dead_module_index,      partly_dead_index,      low_module_index,
                           high_module_index,      single_dead_modules[0], single_dead_modules[1],
                           single_dead_modules[2], single_dead_modules[3], 50};
  std::set<int> hosted_slots;
  for (int k = 1; k <= modules; ++k) {
    const int slot = module_at(k).slot;
    if (busy.count(k) != 0 || hosted_slots.count(slot) != 0 || n[k] < 6) {
      continue;
    }
    hosted_slots.insert(slot);
    const std::int32_t low = first_of[k] + 1;
    const std::int32_t high = first_of[k] + 3;
    planted.spectrum[low - 1] = 0.5 * low_limit[slot];
    planted.spectrum[high - 1] = 1.6 * high_limit[slot];
    planted.spectrum_faults[k] = {low, high};
  }

  // Normal variation: banks differ, modules by up to 4 %, spectra by up to 3 %.
  std::vector<double> normal(static_cast<std::size_t>(spectra), 0.0);
  for (std::int32_t sp = 1; sp <= spectra; ++sp) {
    const int k = plan.module_of[sp - 1];
    const double level = k > 0 ? bank_level[module_at(k).slot - 1] : 0.5;
    const double module_variation = k > 0 ? 0.96 + 0.08 * uniform(seed, 1, k) : 1.0;
    const double spectrum_variation = 0.97 + 0.06 * uniform(seed, 2, sp);
    normal[sp - 1] = mean_counts * level * module_variation * spectrum_variation;
  }

  for (int attempt = 0;; ++attempt) {
    plan.totals.assign(static_cast<std::size_t>(spectra), 0);
    plan.expected.assign(static_cast<std::size_t>(spectra), 0.0);
    for (std::int32_t sp = 1; sp <= spectra; ++sp) {
      const int k = plan.module_of[sp - 1];
      const auto it = planted.module.find(k);
      const double module_factor = it != planted.module.end() ? it->second : 1.0;
      plan.expected[sp - 1] = normal[sp - 1] * module_factor * planted.spectrum[sp - 1];
      plan.totals[sp - 1] = static_cast<std::int32_t>(std::lround(plan.expected[sp - 1]));
      if (planted.spectrum[sp - 1] != 0.0 && plan.totals[sp - 1] == 0) {
        plan.totals[sp - 1] = 1; // only planted spectra are empty
      }
    }
    const Findings f = find(plan, n);
    std::set<int> wrong = f.odd_modules;
    std::set<int> expected_low_modules, expected_high_modules;
    std::set<std::int32_t> expected_low, expected_high;
    for (const auto &[k, factor] : planted.module) {
      (factor < 1.0 ? expected_low_modules : expected_high_modules).insert(k);
    }
    for (const auto &[k, pair] : planted.spectrum_faults) {
      expected_low.insert(pair[0]);
      expected_high.insert(pair[1]);
    }
    auto mismatch = [&](const auto &found, const auto &expected, auto module_of_item) {
      std::vector<int> out;
      std::set_symmetric_difference(found.begin(), found.end(), expected.begin(), expected.end(),
                                    std::back_inserter(out));
      for (int item : out) {
        wrong.insert(module_of_item(item));
      }
    };
    auto same = [](int k) { return k; };
    auto module_of_spectrum = [&](int sp) { return plan.module_of[sp - 1]; };
    mismatch(f.low_modules, expected_low_modules, same);
    mismatch(f.high_modules, expected_high_modules, same);
    mismatch(f.low_spectra, expected_low, module_of_spectrum);
    mismatch(f.high_spectra, expected_high, module_of_spectrum);
    if (wrong.empty()) {
      plan.low_modules.assign(expected_low_modules.begin(), expected_low_modules.end());
      plan.high_modules.assign(expected_high_modules.begin(), expected_high_modules.end());
      plan.low_spectra.assign(expected_low.begin(), expected_low.end());
      plan.high_spectra.assign(expected_high.begin(), expected_high.end());
      break;
    }
    if (attempt > 8) {
      throw std::logic_error("planted faults do not stand out as planned");
    }
    // Take back the faults that disturb a module: its own low/high spectra, or the low/high
    // module of its bank (which moves the bank average).
    for (int k : wrong) {
      if (auto it = planted.spectrum_faults.find(k); it != planted.spectrum_faults.end()) {
        for (std::int32_t sp : it->second) {
          planted.spectrum[sp - 1] = 1.0;
        }
        planted.spectrum_faults.erase(it);
        plan.notes.push_back("no low/high spectra in module " + module_at(k).label +
                             ": too few spectra");
        continue;
      }
      const int slot = module_at(k).slot;
      for (auto it = planted.module.begin(); it != planted.module.end();) {
        if (module_at(it->first).slot == slot) {
          plan.notes.push_back("module " + module_at(it->first).label +
                               " left normal: its bank has too few modules at this size");
          it = planted.module.erase(it);
        } else {
          ++it;
        }
      }
    }
  }

  if (n[dead_module_index] > 0) {
    plan.dead_module = dead_module_index;
  }
  if (pd > partly_dead_count) {
    plan.partly_dead_module = partly_dead_index;
  }
  Healthy healthy{normal, {}};
  for (const auto &[k, factor] : planted.module) {
    healthy.faulty_modules.insert(k);
  }
  for (std::int32_t sp = 1; sp <= spectra; ++sp) {
    if (planted.spectrum[sp - 1] != 1.0 && plan.module_of[sp - 1] != 0) {
      healthy.faulty_modules.insert(plan.module_of[sp - 1]);
    }
  }
  return healthy;
}

// Fisher-Yates shuffle of `items` from the seed's stream `stream`.
template <typename T>
void shuffle(std::vector<T> &items, std::uint64_t seed, std::uint64_t stream) {
  for (std::size_t i = items.size(); i > 1; --i) {
    const auto j = static_cast<std::size_t>(uniform(seed, stream, i) * static_cast<double>(i));
    std::swap(items[i - 1], items[std::min(j, i - 1)]);
  }
}

// Chooses spectra for faults from the seed: module spectra (not the one listed twice) of
// modules without a fault, one module after another in an order drawn from the seed, so that
// faults share a module only when there are more of them than modules.
class SpectrumPicker {
public:
  SpectrumPicker(const Plan &plan, const std::set<int> &excluded, int modules,
                 const std::set<int> &banks)
      : seed_(plan.seed), pools_(static_cast<std::size_t>(modules) + 1) {
    for (std::int32_t s = 1; s <= plan.spectra; ++s) {
      const int k = plan.module_of[s - 1];
      if (k != 0 && excluded.count(k) == 0 && s != plan.duplicate_spectrum &&
          (banks.empty() || banks.count(module_at(k).slot) != 0)) {
        pools_[k].push_back(s);
      }
    }
    for (int k = 1; k <= modules; ++k) {
      if (!pools_[k].empty()) {
        order_.push_back(k);
      }
    }
    shuffle(order_, seed_, stream_order);
  }

  std::int32_t next(const char *what) {
    for (std::size_t tried = 0; tried < order_.size(); ++tried) {
      std::vector<std::int32_t> &pool = pools_[order_[at_]];
      at_ = (at_ + 1) % order_.size();
      if (pool.empty()) {
        continue;
      }
      const auto j = std::min(pool.size() - 1,
                              static_cast<std::size_t>(uniform(seed_, stream_pick, picked_++) *
                                                       static_cast<double>(pool.size())));
      const std::int32_t s = pool[j];
      pool[j] = pool.back();
      pool.pop_back();
      return s;
    }
    throw std::invalid_argument(std::string("too few spectra outside the faulty modules for ") +
                                what);
  }

private:
  static constexpr std::uint64_t stream_order = 21;
  static constexpr std::uint64_t stream_pick = 22;
  std::uint64_t seed_;
  std::vector<std::vector<std::int32_t>> pools_;
  std::vector<int> order_;
  std::size_t at_ = 0;
  std::uint64_t picked_ = 0;
};

void check_plantings(const std::vector<Planting> &plantings, const char *option) {
  for (const Planting &p : plantings) {
    if (p.count < 1 || !(p.factor >= 0.0 && p.factor <= 1000.0)) {
      throw std::invalid_argument(std::string(option) +
                                  ": a count of 1 or more and a factor of 0 to 1000");
    }
  }
}

void check_expected(const std::vector<double> &expected, const char *what) {
  for (double e : expected) {
    if (!(e <= max_expected_counts)) {
      throw std::invalid_argument(std::string(what) + ": expected counts of a spectrum above " +
                                  std::to_string(static_cast<long>(max_expected_counts)));
    }
  }
}

// A Poisson run's faults, at places drawn from the seed: whole modules first, then spectra of
// the other modules through `picker`.
Healthy plant_poisson(Plan &plan, const Layout &layout, const PlanOptions &o,
                      std::optional<SpectrumPicker> &picker) {
  const double level = *o.poisson;
  const auto size = static_cast<std::size_t>(plan.spectra);
  std::vector<double> factor(size, 1.0);
  std::vector<int> candidates;
  for (int k = 1; k <= layout.modules; ++k) {
    if (layout.n[k] > 0) {
      candidates.push_back(k);
    }
  }
  shuffle(candidates, plan.seed, 20);
  std::size_t next_module = 0;
  Healthy healthy{std::vector<double>(size, level), {}};
  for (const Planting &p : o.modules_at) {
    for (int c = 0; c < p.count; ++c) {
      if (next_module == candidates.size()) {
        throw std::invalid_argument("--modules-at: the run has only " +
                                    std::to_string(candidates.size()) + " modules with spectra");
      }
      const int k = candidates[next_module++];
      plan.planted_modules.push_back({k, p.factor});
      healthy.faulty_modules.insert(k);
      for (int e = 0; e < layout.n[k]; ++e) {
        factor[static_cast<std::size_t>(layout.first_of[k] + e - 1)] = p.factor;
      }
    }
  }
  picker.emplace(plan, healthy.faulty_modules, layout.modules, o.spectra_banks);
  for (const Planting &p : o.spectra_at) {
    for (int c = 0; c < p.count; ++c) {
      const std::int32_t s = picker->next("--spectra-at");
      plan.planted_spectra.push_back({s, p.factor});
      factor[static_cast<std::size_t>(s - 1)] = p.factor;
    }
  }
  auto by_place = [](const Planted &x, const Planted &y) { return x.at < y.at; };
  std::sort(plan.planted_modules.begin(), plan.planted_modules.end(), by_place);
  std::sort(plan.planted_spectra.begin(), plan.planted_spectra.end(), by_place);
  plan.expected.resize(size);
  for (std::size_t i = 0; i < size; ++i) {
    plan.expected[i] = level * factor[i];
  }
  return healthy;
}

// The reference run: the healthy detector, every expected count times the reference factor,
// its chosen spectra (from `picker`) at their factor times that.
void plan_reference(Plan &plan, const PlanOptions &o, const Healthy &healthy,
                    SpectrumPicker &picker) {
  plan.reference = true;
  plan.reference_factor = o.reference_factor;
  std::vector<double> factor(static_cast<std::size_t>(plan.spectra), o.reference_factor);
  for (const Planting &p : o.reference_spectra) {
    for (int c = 0; c < p.count; ++c) {
      const std::int32_t s = picker.next("--reference-spectra");
      plan.reference_spectra.push_back({s, p.factor});
      factor[static_cast<std::size_t>(s - 1)] = o.reference_factor * p.factor;
    }
  }
  std::sort(plan.reference_spectra.begin(), plan.reference_spectra.end(),
            [](const Planted &x, const Planted &y) { return x.at < y.at; });
  plan.reference_expected.resize(factor.size());
  for (std::size_t i = 0; i < factor.size(); ++i) {
    plan.reference_expected[i] = healthy.expected[i] * factor[i];
  }
  if (!plan.poisson) {
    // Rounded as the standard run's counts are: only spectra planted at 0 are empty.
    plan.reference_totals.resize(factor.size());
    for (std::size_t i = 0; i < factor.size(); ++i) {
      auto t = static_cast<std::int32_t>(std::lround(plan.reference_expected[i]));
      plan.reference_totals[i] = t == 0 && factor[i] != 0.0 ? 1 : t;
    }
  }
}

std::string shortest(double v) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, v);
  return std::string(text, result.ptr);
}

std::uint64_t stream_state(std::uint64_t seed, std::uint64_t stream, std::uint64_t item) {
  return splitmix(splitmix(seed ^ (stream << 48)) ^ item);
}

// The streams of the channel counts of a Poisson run and of its reference.
constexpr std::uint64_t run_counts_stream = 11;
constexpr std::uint64_t reference_counts_stream = 12;

} // namespace

Plan make_plan(const PlanOptions &o) {
  const int spectra = o.spectra;
  if (spectra < 1 || spectra > max_spectra) {
    throw std::invalid_argument("number of spectra must be 1 to " + std::to_string(max_spectra));
  }
  if (o.channels < 1 || o.channels + 1 > max_channel_values) {
    throw std::invalid_argument("number of channels must be 1 to " +
                                std::to_string(max_channel_values - 1));
  }
  if (o.poisson) {
    if (!(*o.poisson > 0.0 && *o.poisson <= 1.0e6)) {
      throw std::invalid_argument("expected counts per spectrum must be above 0 and at most "
                                  "1000000");
    }
  } else if (!(o.mean_counts >= 1.0 && o.mean_counts <= 1.0e6)) {
    throw std::invalid_argument("mean counts per spectrum must be 1 to 1000000");
  }
  if (!o.poisson && (!o.modules_at.empty() || !o.spectra_at.empty())) {
    throw std::invalid_argument("faults are chosen by option in a Poisson run only");
  }
  check_plantings(o.modules_at, "--modules-at");
  check_plantings(o.spectra_at, "--spectra-at");
  check_plantings(o.reference_spectra, "--reference-spectra");
  if (!(o.reference_factor >= 0.0 && o.reference_factor <= 1000.0)) {
    throw std::invalid_argument("the reference factor must be 0 to 1000");
  }
  Plan plan;
  plan.spectra = spectra;
  plan.channels = o.channels;
  plan.seed = o.seed;
  plan.poisson = o.poisson;
  const Layout layout = build_map(plan);

  std::optional<SpectrumPicker> picker;
  const Healthy healthy = o.poisson ? plant_poisson(plan, layout, o, picker)
                                    : plant_standard(plan, layout, o.mean_counts);
  check_expected(plan.expected, "the run");
  if (o.reference) {
    if (!picker) {
      picker.emplace(plan, healthy.faulty_modules, layout.modules, o.spectra_banks);
    }
    plan_reference(plan, o, healthy, *picker);
    check_expected(plan.reference_expected, "the reference run");
  }

  if (plan.poisson) {
    // The totals are the sums of the channel counts drawn.
    const ChannelCounts counts(plan);
    std::vector<std::int32_t> channel(static_cast<std::size_t>(plan.channels));
    auto total = [&](std::int32_t s, bool reference) {
      reference ? counts.reference(s, channel.data()) : counts.run(s, channel.data());
      std::int64_t sum = 0;
      for (std::int32_t c : channel) {
        sum += c;
      }
      return static_cast<std::int32_t>(sum);
    };
    plan.totals.resize(static_cast<std::size_t>(spectra));
    for (std::int32_t s = 1; s <= spectra; ++s) {
      plan.totals[s - 1] = total(s, false);
    }
    if (plan.reference) {
      plan.reference_totals.resize(static_cast<std::size_t>(spectra));
      for (std::int32_t s = 1; s <= spectra; ++s) {
        plan.reference_totals[s - 1] = total(s, true);
      }
    }
  }

  for (std::int32_t sp = 1; sp <= spectra; ++sp) {
    if (plan.totals[sp - 1] == 0) {
      plan.zero_spectra.push_back(sp);
      if (plan.module_of[sp - 1] != 0) {
        plan.dead_spectra.push_back(sp);
      }
    }
    if (plan.reference && plan.reference_totals[sp - 1] == 0) {
      plan.reference_zero_spectra.push_back(sp);
    }
  }
  return plan;
}

Plan make_plan(int spectra, int channels, std::uint64_t seed, double mean_counts) {
  PlanOptions o;
  o.spectra = spectra;
  o.channels = channels;
  o.seed = seed;
  o.mean_counts = mean_counts;
  return make_plan(o);
}

ChannelCounts::ChannelCounts(const Plan &plan) : plan_(plan) {
  for (int slot = 1; slot <= bank_slots; ++slot) {
    shapes_.push_back(channel_shape(plan.channels, slot));
  }
}

const std::vector<double> &ChannelCounts::shape_of(std::int32_t s) const {
  const int k = plan_.module_of[s - 1];
  return shapes_[static_cast<std::size_t>((k > 0 ? module_at(k).slot : bank_slots) - 1)];
}

namespace {

// Poisson draws for each channel of a spectrum: the expected total times the channel's share.
void draw_counts(const Plan &plan, std::uint64_t stream, std::int32_t s, double expected,
                 const std::vector<double> &shape, std::int32_t *counts) {
  SplitMix64 random(stream_state(plan.seed, stream, static_cast<std::uint64_t>(s)));
  for (int i = 0; i < plan.channels; ++i) {
    counts[i] = static_cast<std::int32_t>(poisson(expected * (shape[i + 1] - shape[i]), random));
  }
}

} // namespace

void ChannelCounts::run(std::int32_t s, std::int32_t *counts) const {
  if (plan_.poisson) {
    draw_counts(plan_, run_counts_stream, s, plan_.expected[s - 1], shape_of(s), counts);
  } else {
    spread_counts(plan_.totals[s - 1], shape_of(s), spectrum_offset(plan_.seed, s), counts);
  }
}

void ChannelCounts::reference(std::int32_t s, std::int32_t *counts) const {
  if (plan_.poisson) {
    draw_counts(plan_, reference_counts_stream, s, plan_.reference_expected[s - 1], shape_of(s),
                counts);
  } else {
    spread_counts(plan_.reference_totals[s - 1], shape_of(s), spectrum_offset(plan_.seed, s),
                  counts);
  }
}

std::uint64_t SplitMix64::next() {
  const std::uint64_t z = splitmix(state_);
  state_ += 0x9E3779B97F4A7C15ULL;
  return z;
}

double SplitMix64::uniform() {
  return static_cast<double>(next() >> 11) * 0x1.0p-53;
}

namespace {

// log(k!) for a whole number k >= 0: exactly formed factorials below 10, Stirling's series
// (to the term in k^-7, relative error below 1e-13) above.
double log_factorial(double k) {
  if (k < 10.0) {
    double f = 1.0;
    for (double i = 2.0; i <= k; i += 1.0) {
      f *= i;
    }
    return std::log(f);
  }
  const double r = 1.0 / k;
  const double r2 = r * r;
  constexpr double half_log_two_pi = 0.91893853320467274178;
  return (k + 0.5) * std::log(k) - k + half_log_two_pi +
         r * (1.0 / 12.0 - r2 * (1.0 / 360.0 - r2 * (1.0 / 1260.0 - r2 / 1680.0)));
}

} // namespace

std::int64_t poisson(double mean, SplitMix64 &random) {
  if (!(mean > 0.0)) {
    return 0;
  }
  if (mean < 10.0) {
    // The smallest k whose cumulative probability exceeds a uniform draw. Rounding can keep the
    // sum a hair below 1; beyond k = 200 the weight at these means is nil.
    const double u = random.uniform();
    double p = std::exp(-mean);
    double cumulative = p;
    std::int64_t k = 0;
    while (u >= cumulative && k < 200) {
      ++k;
      p *= mean / static_cast<double>(k);
      cumulative += p;
    }
    return k;
  }
  // Transformed rejection with squeeze (Hoermann 1993).
  const double root = std::sqrt(mean);
  const double log_mean = std::log(mean);
  const double b = 0.931 + 2.53 * root;
  const double a = -0.059 + 0.02483 * b;
  const double inv_alpha = 1.1239 + 1.1328 / (b - 3.4);
  const double vr = 0.9277 - 3.6224 / (b - 2.0);
  for (;;) {
    const double u = random.uniform() - 0.5;
    const double v = random.uniform();
    const double us = 0.5 - std::fabs(u);
    if (us <= 0.0) {
      continue; // u = -0.5 gives no k
    }
    const double k = std::floor((2.0 * a / us + b) * u + mean + 0.43);
    if (us >= 0.07 && v <= vr) {
      return static_cast<std::int64_t>(k);
    }
    if (k < 0.0 || k > 0x1.0p62 || (us < 0.013 && v > us)) {
      continue;
    }
    if (std::log(v) + std::log(inv_alpha) - std::log(a / (us * us) + b) <=
        -mean + k * log_mean - log_factorial(k)) {
      return static_cast<std::int64_t>(k);
    }
  }
}

std::string summary(const Plan &plan, const std::string &run_file,
                    const std::string &reference_file) {
  std::ostringstream out;
  auto label = [](int k) { return module_at(k).label.substr(0, module_at(k).label.find(' ')); };
  auto module_of = [&](std::int32_t s) { return label(plan.module_of[s - 1]); };
  out << "# Synthetic run " << run_file << " written by bantrisk-mkrun\n";
  out << "spectra " << plan.spectra << "\nchannels " << plan.channels << "\nseed " << plan.seed
      << "\n";
  if (plan.poisson) {
    out << "poisson " << shortest(*plan.poisson) << "\n";
  }
  out << "entries " << plan.entries.size() << "\n";
  out << "zero_count_spectra " << plan.zero_spectra.size() << " :";
  for (std::int32_t s : plan.zero_spectra) {
    out << ' ' << s;
  }
  out << "\ndead_module_spectra " << plan.dead_spectra.size() << " :";
  for (std::int32_t s : plan.dead_spectra) {
    out << ' ' << s;
  }
  out << "\n";
  if (plan.dead_module != 0) {
    out << "dead_module " << label(plan.dead_module) << "\n";
  }
  if (plan.partly_dead_module != 0) {
    out << "partly_dead_module " << label(plan.partly_dead_module) << " " << partly_dead_count
        << "\n";
  }
  for (int k : plan.low_modules) {
    out << "low_module " << label(k) << "\n";
  }
  for (int k : plan.high_modules) {
    out << "high_module " << label(k) << "\n";
  }
  for (std::int32_t s : plan.low_spectra) {
    out << "low_spectrum " << s << " " << module_of(s) << "\n";
  }
  for (std::int32_t s : plan.high_spectra) {
    out << "high_spectrum " << s << " " << module_of(s) << "\n";
  }
  for (const Planted &p : plan.planted_modules) {
    out << "module_at " << label(p.at) << " " << shortest(p.factor) << "\n";
  }
  for (const Planted &p : plan.planted_spectra) {
    out << "spectrum_at " << p.at << " " << module_of(p.at) << " " << shortest(p.factor) << "\n";
  }
  out << "duplicate_spectrum " << plan.duplicate_spectrum << "\n";
  if (plan.unlisted_spectrum != 0) {
    out << "unlisted_spectrum " << plan.unlisted_spectrum << "\n";
  }
  if (plan.reference) {
    out << "reference_run " << reference_file << "\nreference_factor "
        << shortest(plan.reference_factor) << "\n";
    for (const Planted &p : plan.reference_spectra) {
      out << "reference_spectrum_at " << p.at << " " << module_of(p.at) << " " << shortest(p.factor)
          << "\n";
    }
    out << "reference_zero_count_spectra " << plan.reference_zero_spectra.size() << " :";
    for (std::int32_t s : plan.reference_zero_spectra) {
      out << ' ' << s;
    }
    out << "\n";
  }
  for (const std::string &note : plan.notes) {
    out << "note " << note << "\n";
  }
  return out.str();
}

} // namespace bantrisk::mkrun

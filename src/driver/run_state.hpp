#pragma once
// The run-wide tables and counts. The driver owns one RunState for the whole pass; each section
// fills some of these tables and later sections only read them. Tables are indexed from 1
// (element 0 is unused) and sized from the capacities.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/capacities.hpp"
#include "lib/check_defaults.hpp"
#include "lib/detector_numbering.hpp"
#include "lib/text.hpp"
#include "lib/tof_window.hpp"

namespace bantrisk {

// Destination numbers of the output files.
inline constexpr int results_unit = 10;
inline constexpr int integrals_unit = 11;
inline constexpr int mask_unit = 12;

// Per entry of the spectra file: the code and spectrum number as read, the parts of the code,
// and whether the entry is counted in a module (element group 0 or 1 and a code that names a
// module of this instrument with a spectrum number of at least 1).
struct DetectorMap {
  std::vector<std::int32_t> code = std::vector<std::int32_t>(max_spectra + 1, 0);
  std::vector<std::int32_t> spectrum = std::vector<std::int32_t>(max_spectra + 1, 0);
  std::vector<int> bank = std::vector<int>(max_spectra + 1, 0);
  std::vector<int> side = std::vector<int>(max_spectra + 1, 0);
  std::vector<int> module = std::vector<int>(max_spectra + 1, 0);
  std::vector<int> group = std::vector<int>(max_spectra + 1, 0);
  std::vector<int> element = std::vector<int>(max_spectra + 1, 0);
  std::vector<char> in_module = std::vector<char>(max_spectra + 1, 0);
  std::int32_t entries = 0;   // entries read, 0 to max_spectra (the reader holds no more)
  std::int32_t specified = 0; // entries the file says it holds
  std::int32_t largest = 0;   // largest spectrum number among the entries
};

struct ModuleTables {
  std::array<std::string, max_module_indexes + 1> label{};
  std::array<int, max_module_indexes + 1> bank{}, side{}, module{};
  std::array<std::int32_t, max_module_indexes + 1> spectra{}; // entries in the module
  std::array<std::int64_t, max_module_indexes + 1> total{};   // sum of their integrals
  std::array<std::int32_t, max_module_indexes + 1> dead{};    // dead spectra found
  std::array<std::vector<std::int32_t>, max_module_indexes + 1> dead_list{};
  std::array<float, max_module_indexes + 1> average{}; // live modules only
  // What the spectrum search measures a module's spectra against: the average, or with the
  // median statistic the median of the integrals the search tests.
  std::array<float, max_module_indexes + 1> reference{};
};

struct BankTables {
  std::array<std::int32_t, bank_slots + 1> dead{}, spectra{}, live_modules{};
  std::array<float, bank_slots + 1> average{};
  // What the module search measures a bank's modules against: the average, or with the median
  // statistic the median of the live modules' averages.
  std::array<float, bank_slots + 1> reference{};
};

// The reference of the low/high searches: the mean (the averages) or the median.
enum class Statistic { mean, median };

// What a comparison with a reference run found.
struct ReferenceFindings {
  struct Varying {
    std::int32_t spectrum = 0;
    int module_index = 0;
    float q = 0.0f; // the spectrum's ratio to the reference over the median of those ratios
  };
  std::optional<double> median_ratio;              // nothing when no spectrum has counts in both
  std::vector<Varying> varying;                    // in map order
  std::vector<std::int32_t> newly_dead, recovered; // in map order
};

// The choices of `bantrisk check` beyond the dialogue's; the dialogue leaves them as they are,
// which is the check as it has always been.
struct CheckRules {
  Statistic statistic = Statistic::mean;
  float significance = 0.0f; // error bars a low or high value must also lie beyond; 0: off
  // Spectra left out of the module tables and always masked, by spectrum number (room for
  // 1..max_spectra), empty without a hard mask; and those spectra as the file gave them.
  std::vector<char> hard_masked;
  std::vector<std::int32_t> hard_mask_list;
  // The reference run's integrals, by spectrum number, and their count; the variation limit.
  bool reference = false;
  std::string reference_file;
  std::int32_t reference_spectra = 0;
  std::vector<std::int32_t> reference_integrals;
  float variation = default_variation;
  // The time-of-flight window each spectrum of a run file is integrated over (every channel
  // without one), and, once the run's boundaries are known, its channels.
  std::optional<TofRange> tof_range;
  std::optional<ChannelRange> tof_channels;
};

// What the checks decide about a module or a spectrum, decided once: the report line, the
// spectrum flag, the summary, the picture and the mask all follow that one decision.
enum class State { ok, dead, low, high };
std::string_view state_name(State state);

// The test that decided a state.
enum class Test {
  zero_counts,     // a module whose spectra add up to 0 (dead)
  module_fraction, // a module's average against its bank's, by the module fractions
  spectrum_limits, // a spectrum's counts against its module's average, by its bank's limits
};

// A state and why: the test, the ratio it measured and the limit that ratio crossed.
struct Verdict {
  State state = State::ok;
  Test test = Test::module_fraction;
  float ratio = 0.0f;
  float limit = 0.0f;
};

// The rule of the low/high section: a ratio below `low` is low (tested first, so a low limit
// above the high one makes low win), one above `high` is high; a ratio equal to a limit, or one
// that is not a number, is neither.
Verdict judge(Test test, float ratio, float low, float high);

// A module found dead, low or high, or a spectrum found low or high.
struct ModuleFinding {
  int index = 0; // module index
  Verdict verdict;
};
struct SpectrumFinding {
  std::int32_t spectrum = 0;
  int module_index = 0;
  Verdict verdict;
};

struct RunState {
  std::string results_name = fixed_text(default_results_file, name_length);
  int option = 1;
  std::string integrals_name = fixed_text(default_integrals_file, name_length);
  std::string full_input_name = std::string(name_length, ' ');

  // Option 1: where the raw file is.
  std::string instrument = std::string(default_instrument);
  std::string raw_directory = std::string(name_length, ' ');
  int raw_directory_length = 0;
  std::string extension = std::string(default_extension);
  std::int32_t run_number = 0;
  std::string raw_name = std::string(name_length, ' ');

  std::int32_t spectra = 0;  // number of spectra of the run (or of the integrals file)
  std::int32_t channels = 0; // number of time channels (option 1)
  // Spectra 1..analysed have integrals. Every count below lies within 0 to max_spectra: it is
  // checked where it is set (the run's sizes, the integrals file's count, the spectra file's
  // reader), so the sections index the tables with it as it stands.
  std::int32_t analysed = 0;
  std::vector<std::int32_t> integrals = std::vector<std::int32_t>(max_spectra + 1, 0);
  std::vector<std::int32_t> zero_list = std::vector<std::int32_t>(max_spectra + 1, 0);
  std::int32_t zero_count = 0; // at most analysed

  std::string list_name = std::string(name_length, ' ');
  std::string spectra_name = std::string(name_length, ' ');
  DetectorMap map;

  ModulesPerSide modules_per_side = default_modules_per_side;
  int ideal_modules = 0;
  ModuleTables modules;
  BankTables banks;
  int dead_module_count = 0;
  std::string dead_module_list;

  std::array<float, bank_slots + 1> low_limit = default_low_limit;
  std::array<float, bank_slots + 1> high_limit = default_high_limit;
  std::vector<std::int32_t> flags = std::vector<std::int32_t>(max_spectra + 1, 1);
  // What the last test of each spectrum found (flag 0 is low or high); ok where none did.
  std::vector<State> spectrum_state = std::vector<State>(max_spectra + 1, State::ok);
  CheckRules rules;
  ReferenceFindings reference;

  // The module fractions of the low/high section.
  float low_fraction = 0.0f;
  float high_fraction = 0.0f;
  // Every module's state (dead from the dead-spectra section, low or high from the low/high
  // section), and the modules found dead, low or high and the spectra found low or high, in
  // report order. A new test adds its findings here, and every output follows them.
  std::array<State, max_module_indexes + 1> module_state{};
  std::vector<ModuleFinding> module_findings;
  std::vector<SpectrumFinding> spectrum_findings;
};

// Whether spectrum `s` is in the hard mask. Inline, as the next: the checks ask it of every
// entry.
inline bool hard_masked(const RunState &run, std::int32_t s) {
  const auto &table = run.rules.hard_masked;
  return !table.empty() && s >= 1 && static_cast<std::size_t>(s) < table.size() &&
         table[static_cast<std::size_t>(s)] != 0;
}

// Module index and bank slot of map entry `i`, false when the entry is not counted in a module
// (element group 2 or more, no module of this instrument, or a hard-masked spectrum).
inline bool entry_place(const RunState &run, int i, std::size_t &index, std::size_t &slot) {
  const auto e = static_cast<std::size_t>(i);
  if (run.map.in_module[e] == 0 || hard_masked(run, run.map.spectrum[e]))
    return false;
  const int idx =
      module2index(run.modules_per_side, run.map.bank[e], run.map.side[e], run.map.module[e]);
  const int sl = nbank18(run.map.bank[e]);
  if (idx < 1 || idx > run.ideal_modules || sl < 1 || sl > bank_slots)
    return false;
  index = static_cast<std::size_t>(idx);
  slot = static_cast<std::size_t>(sl);
  return true;
}

} // namespace bantrisk

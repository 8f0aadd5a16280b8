#pragma once
// What a check found, gathered from the run's tables once the pass is over: bank by bank and
// module by module the spectra, dead spectra, averages, ratios and states, and the modules and
// spectra found low or high. Nothing is judged again here: every state and every finding is the
// one the sections decided and reported. A plain summary for the outputs written beside the
// report (the closing lines, the JSON summary, the picture).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "driver/run_state.hpp"
#include "lib/tof_window.hpp"

namespace bantrisk {

struct BankSummary {
  int bank = 0; // bank slot 1..8
  std::int32_t spectra = 0;
  std::int32_t dead = 0;
  std::optional<float> average; // nothing when the bank has no live module
  float low_limit = 0.0f;
  float high_limit = 0.0f;
};

struct ModuleSummary {
  int index = 0;     // module index
  std::string label; // without its trailing blanks
  int bank = 0;      // bank slot 1..8
  int side = 0;      // side and module number as index2module gives them
  int number = 0;
  std::int32_t spectra = 0;
  std::int32_t dead = 0;
  std::vector<std::int32_t> dead_spectra;
  std::optional<float> average; // nothing for a dead module or one without live spectra
  std::optional<float> ratio;   // to its bank's average; nothing where the module is not judged
  State status = State::ok;
};

// A module or spectrum a test found other than ok, with its verdict, in report order.
struct FoundModule {
  int index = 0;
  std::string label;
  Verdict verdict;
};

struct FoundSpectrum {
  std::int32_t spectrum = 0;
  int module_index = 0;
  std::string module; // label
  Verdict verdict;
};

// What the comparison with a reference run found.
struct ReferenceSummary {
  std::string file; // full name
  float variation = 0.0f;
  std::optional<double> median_ratio;
  std::vector<FoundSpectrum> varying; // the verdict's ratio is q
  std::vector<std::int32_t> newly_dead, recovered;
};

// The classes of findings --fail-on counts, and whether the check failed by them.
struct FailVerdict {
  std::vector<std::string> fail_on;
  bool failed = false;
  // By class, in the order of fail_classes without "any".
  std::vector<std::pair<std::string, std::int64_t>> counts;
};

struct Findings {
  bool from_integrals = false; // option 2
  std::string source;          // full name of the run file or integrals file
  std::int32_t spectra = 0;
  std::int32_t analysed = 0;
  std::optional<std::int32_t> channels; // nothing for an integrals file
  std::vector<std::int32_t> zero_count; // ascending
  float low_fraction = 0.0f;
  float high_fraction = 0.0f;
  std::vector<BankSummary> banks;     // slots 1..8
  std::vector<ModuleSummary> modules; // every module with spectra in the map, by index
  std::vector<std::string> dead_modules;
  std::vector<FoundModule> found_modules;               // dead, low and high, in report order
  std::vector<FoundSpectrum> found_spectra;             // low and high, in report order
  bool median = false;                                  // the reference statistic
  float significance = 0.0f;                            // 0: no error-bar test
  std::optional<std::vector<std::int32_t>> hard_masked; // with a hard mask: its spectra
  std::optional<ReferenceSummary> reference;
  std::optional<TofRange> tof_range;        // the window of the integration, if any
  std::optional<ChannelRange> tof_channels; // and the run's channels in it

  // The found modules and spectra in one state, in report order.
  std::vector<FoundModule> modules_in(State state) const;
  std::vector<FoundSpectrum> spectra_in(State state) const;
};

// Gathers the findings of a pass that ran to its end.
Findings gather_findings(const RunState &run);

// The count of each class of findings, and whether one of `fail_on` (any standing for all) has
// any.
FailVerdict fail_verdict(const Findings &findings, const std::vector<std::string> &fail_on);

} // namespace bantrisk

#pragma once
// What a check found, gathered from the run's tables once the pass is over: bank by bank and
// module by module the spectra, dead spectra, averages, ratios and verdicts, and the modules and
// spectra found low or high. A plain summary for the outputs written beside the report.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bantrisk {

struct RunState;

struct BankSummary {
  int bank = 0; // bank slot 1..8
  std::int32_t spectra = 0;
  std::int32_t dead = 0;
  std::optional<float> average; // nothing when the bank has no live module
  float low_limit = 0.0f;
  float high_limit = 0.0f;
};

enum class ModuleStatus { ok, dead, low, high };
std::string_view status_name(ModuleStatus status);

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
  ModuleStatus status = ModuleStatus::ok;
};

struct OddModule {
  std::string label;
  float ratio = 0.0f;
};

struct OddSpectrum {
  std::int32_t spectrum = 0;
  std::string module; // label
  float ratio = 0.0f;
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
  std::vector<OddModule> low_modules, high_modules;
  std::vector<OddSpectrum> low_spectra, high_spectra;
};

// Gathers the findings of a pass that ran to its end.
Findings gather_findings(const RunState &run);

} // namespace bantrisk

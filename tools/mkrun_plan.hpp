#pragma once
// The plan of a synthetic run of the 98-module instrument: which detector each spectrum reads,
// how many counts each spectrum holds, and which faults are planted. Deterministic for a seed.
#include <cstdint>
#include <string>
#include <vector>

namespace bantrisk::mkrun {

struct Entry {
  std::int32_t code;     // detector code
  std::int32_t spectrum; // 1-based spectrum number
};

enum class Finding { none, low, high };

struct Plan {
  int spectra = 0;
  int channels = 0;
  std::uint64_t seed = 0;
  std::vector<Entry> entries;       // spectra file entries, in file order
  std::vector<std::int32_t> totals; // counts of spectrum s at index s-1
  std::vector<int> module_of;       // module index of spectrum s at s-1 (0: none)
  // Planted faults, as the checks should find them.
  std::vector<std::int32_t> dead_spectra;     // module spectra with no counts, ascending
  std::vector<std::int32_t> zero_spectra;     // every spectrum with no counts, ascending
  int dead_module = 0;                        // module index, 0 when none
  int partly_dead_module = 0;                 // module index, 0 when none
  std::vector<int> low_modules, high_modules; // module indexes
  std::vector<std::int32_t> low_spectra, high_spectra;
  std::int32_t duplicate_spectrum = 0; // listed twice in the spectra file
  std::int32_t unlisted_spectrum = 0;  // not in the spectra file (full-size runs)
  std::vector<std::string> notes;      // faults that did not fit this size
};

// Builds the plan; throws std::invalid_argument for sizes outside 1..20000 spectra and
// 1..9999 channels, and std::logic_error if the planted faults would not be found as planted.
Plan make_plan(int spectra, int channels, std::uint64_t seed, double mean_counts);

// Cumulative share of a spectrum's counts up to each channel boundary (channels + 1 values, from
// 0 to 1) for a bank slot: a flat background under a peak whose place depends on the bank.
std::vector<double> channel_shape(int channels, int bank_slot);

// Counts of one spectrum: `total` spread over the channels following `shape`; they add up to
// `total` exactly.
void spread_counts(std::int32_t total, const std::vector<double> &shape, double offset,
                   std::int32_t *counts);

// Offset in [0, 1) that varies the rounding of spectrum s.
double spectrum_offset(std::uint64_t seed, int spectrum);

std::string summary(const Plan &plan, const std::string &run_file);

} // namespace bantrisk::mkrun

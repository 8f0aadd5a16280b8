#pragma once
// The plan of a synthetic run of the 98-module instrument: which detector each spectrum reads,
// how many counts each spectrum holds, and which faults are planted. Deterministic for a seed.
//
// Two kinds of run:
//  - the standard run (the demo's): counts spread smoothly over the channels, banks and modules
//    at slightly different levels, and a fixed set of faults that the checks find, with their
//    built-in limits, exactly as planted;
//  - a Poisson run: every spectrum's counts are Poisson draws, channel by channel, whose
//    expected total is the same for every spectrum, times the factor of the faults asked for;
//    the faults' places are drawn from the seed.
// Either can come with a reference run: the same detector before the faults, every expected
// integral times a factor, chosen spectra at another factor.
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace bantrisk::mkrun {

struct Entry {
  std::int32_t code;     // detector code
  std::int32_t spectrum; // 1-based spectrum number
};

enum class Finding { none, low, high };

// `count` modules or spectra, chosen from the seed, at `factor` times their expected counts.
struct Planting {
  int count = 0;
  double factor = 1.0;
};

struct PlanOptions {
  int spectra = 0;
  int channels = 0;
  std::uint64_t seed = 1;
  double mean_counts = 10000.0;  // standard run: the average counts of a spectrum
  std::optional<double> poisson; // Poisson run: the expected counts of every spectrum
  std::vector<Planting> modules_at, spectra_at; // Poisson run: the faults planted
  std::set<int> spectra_banks; // bank slots whose modules the chosen spectra come from; empty: all
  bool reference = false;      // plan a reference run
  double reference_factor = 1.0;           // its expected integrals over the run's
  std::vector<Planting> reference_spectra; // its chosen spectra, at factor x reference_factor
};

// A module (index) or a spectrum (number) planted at a factor.
struct Planted {
  std::int32_t at = 0;
  double factor = 1.0;
};

struct Plan {
  int spectra = 0;
  int channels = 0;
  std::uint64_t seed = 0;
  std::optional<double> poisson; // the expected counts of a spectrum, for a Poisson run
  std::vector<double> expected;  // expected counts of spectrum s at s-1, the faults applied
  std::vector<Planted> planted_modules, planted_spectra; // Poisson run, ascending
  bool reference = false;
  double reference_factor = 1.0;
  std::vector<Planted> reference_spectra;           // ascending
  std::vector<double> reference_expected;           // spectrum s at s-1
  std::vector<std::int32_t> reference_totals;       // spectrum s at s-1
  std::vector<std::int32_t> reference_zero_spectra; // every reference spectrum with no counts
  std::vector<Entry> entries;                       // spectra file entries, in file order
  std::vector<std::int32_t> totals;                 // counts of spectrum s at index s-1
  std::vector<int> module_of;                       // module index of spectrum s at s-1 (0: none)
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
// 1..9999 channels, counts or factors out of range, or faults that do not fit the run, and
// std::logic_error if the standard run's faults would not be found as planted.
Plan make_plan(const PlanOptions &options);
// The standard run.
Plan make_plan(int spectra, int channels, std::uint64_t seed, double mean_counts);

// The largest expected count of a spectrum (run or reference): its Poisson draw stays far
// inside the 32-bit range and every channel below 2^24 counts, where the integration is exact.
inline constexpr double max_expected_counts = 1.0e7;

// Cumulative share of a spectrum's counts up to each channel boundary (channels + 1 values, from
// 0 to 1) for a bank slot: a flat background under a peak whose place depends on the bank.
// Channel i (from 0) of C has the weight 0.15 + exp(-z^2 / 2), z = ((i + 0.5) / C - centre) /
// 0.08 with centre = 0.25 + 0.06 * slot, over the sum of the weights. Spectra outside the modules
// take the shape of slot 8.
std::vector<double> channel_shape(int channels, int bank_slot);

// Counts of one spectrum: `total` spread over the channels following `shape`; they add up to
// `total` exactly.
void spread_counts(std::int32_t total, const std::vector<double> &shape, double offset,
                   std::int32_t *counts);

// Offset in [0, 1) that varies the rounding of spectrum s.
double spectrum_offset(std::uint64_t seed, int spectrum);

// The counts of every spectrum of a plan, channel by channel, in the run and in the reference.
class ChannelCounts {
public:
  explicit ChannelCounts(const Plan &plan);
  // The plan's `channels` counts of spectrum s (from 1).
  void run(std::int32_t s, std::int32_t *counts) const;
  void reference(std::int32_t s, std::int32_t *counts) const;

private:
  const std::vector<double> &shape_of(std::int32_t s) const;
  const Plan &plan_;
  std::vector<std::vector<double>> shapes_; // by bank slot 1..8 at 0..7
};

// SplitMix64 (Steele, Lea and Flood, 2014): the generator behind every draw, one stream per
// spectrum, so that the counts of a spectrum can be drawn again in any order.
class SplitMix64 {
public:
  explicit SplitMix64(std::uint64_t state) : state_(state) {}
  std::uint64_t next();
  double uniform(); // in [0, 1), 53 bits

private:
  std::uint64_t state_;
};

// A Poisson draw of mean `mean` (0 or below gives 0): inversion by sequential search below a
// mean of 10, above it the transformed rejection with squeeze of Hoermann (1993, "PTRS"). Only
// IEEE double arithmetic, sqrt, floor, exp and log are used, and the logarithm of a factorial is
// formed here (not by lgamma, whose results differ between C libraries), so a seed gives the
// same counts on every machine.
std::int64_t poisson(double mean, SplitMix64 &random);

// What was planted, one "key values" line each. `reference_file` is empty without a reference.
std::string summary(const Plan &plan, const std::string &run_file,
                    const std::string &reference_file = {});

} // namespace bantrisk::mkrun

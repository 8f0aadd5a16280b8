#pragma once
// `bantrisk check`: the whole pass without a question, its choices taken from the command line.
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "driver/answers.hpp"
#include "lib/check_defaults.hpp"
#include "lib/io.hpp"
#include "lib/tof_window.hpp"

namespace bantrisk {

struct BankLimits {
  int bank = 0; // 1..8
  float low = 0.0f;
  float high = 0.0f;
};

// The options of a check, already checked for their forms and ranges.
struct CheckOptions {
  // Source: exactly one of run (with instrument, raw_dir, extension), run_file, integrals.
  std::optional<std::int32_t> run;
  std::string instrument = std::string(default_instrument);
  std::optional<std::string> raw_dir; // a final '/' already added
  std::string extension = std::string(default_extension);
  std::optional<std::string> run_file;
  std::optional<std::string> integrals;
  std::int32_t max_spectrum = 0;
  std::optional<TofRange> tof_range; // every channel without one

  // Detector map: at most one of the two.
  std::optional<std::string> spectrum_list;
  std::optional<std::string> spectra_file;

  // Checks.
  float low_fraction = default_low_fraction;
  float high_fraction = default_high_fraction;
  std::vector<BankLimits> limits; // in the order given; a later one for a bank wins
  bool counts_per_spectrum = false;
  bool median = false;       // --statistic median
  float significance = 0.0f; // error bars; 0 is off
  std::optional<std::string> hard_mask;
  std::optional<std::string> reference;
  float variation = default_variation;
  std::vector<std::string> fail_on; // finding classes, each once, in the order given

  // Outputs.
  std::string results = std::string(default_results_file);
  std::optional<std::string> save_integrals;
  std::optional<std::string> mask;
  int mask_option = mask_dead; // a set of the mask_ reasons (answers.hpp)
  MaskFormat mask_format = MaskFormat::columns;
  std::optional<std::string> summary; // "-" for standard output
  std::vector<std::string> pictures;  // PNG or SVG files of the picture of the check
  bool quiet = false;
};

// The raw-data directory of a check on a run number: --raw-dir, or else the instrument's
// variable as the dialogue takes it (nothing added).
std::string raw_directory_of(const CheckOptions &o, const EnvLookup &env);

// The name of a mask form (as --mask-format and the JSON summary give it), the form of a name,
// and the form a mask file's name implies.
std::string_view mask_format_name(MaskFormat format);
std::optional<MaskFormat> mask_format_named(std::string_view name);
MaskFormat mask_format_of(std::string_view file);

// The classes of findings --fail-on names, in their order.
inline constexpr std::string_view fail_classes[] = {"dead-spectra", "dead-modules", "low-modules",
                                                    "high-modules", "low-spectra",  "high-spectra",
                                                    "varying",      "newly-dead",   "any"};

// Runs the check in the current folder. The report lines and the closing summary go to `out`
// (to `err` when the JSON summary goes to standard output), errors and warnings to `err`, the
// progress line to `err` when `progress` is true. Returns 0 when the check completed, 1 when it
// could not, 3 when it completed with a finding of a class of --fail-on.
int run_check(const CheckOptions &options, const EnvLookup &env, std::ostream &out,
              std::ostream &err, bool progress);

} // namespace bantrisk

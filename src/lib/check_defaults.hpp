#pragma once
// The built-in choices of a check: the names of its files, the instrument and extension of the
// raw file's name, and the limits of the low/high checks (the module fractions and, by bank slot,
// the spectrum limits). The dialogue offers them as its defaults, `bantrisk check` starts from
// them and its help shows them, and the run generator plants its faults against the limits.
#include <array>
#include <string_view>

#include "lib/capacities.hpp"

namespace bantrisk {

inline constexpr std::string_view default_instrument = "KRV";
inline constexpr std::string_view default_extension = "RAW";
inline constexpr std::string_view default_results_file = "bantrisk.dat";
inline constexpr std::string_view default_integrals_file = "bantrisk.ans";
inline constexpr std::string_view default_mask_file = "bantrisk.mask";
inline constexpr std::string_view default_spectrum_list = "specfile.dat";
inline constexpr std::string_view default_spectra_file = "spectra.dat";

inline constexpr float default_low_fraction = 0.3f;
inline constexpr float default_high_fraction = 1.5f;

// Indexed by bank slot 1..8; element 0 is unused.
inline constexpr std::array<float, bank_slots + 1> default_low_limit{
    0.0f, 0.1f, 0.25f, 0.44f, 0.55f, 0.75f, 0.44f, 0.1f, 0.2f};
inline constexpr std::array<float, bank_slots + 1> default_high_limit{
    0.0f, 1.9f, 2.5f, 1.64f, 1.65f, 1.25f, 1.64f, 1.64f, 1.64f};

// The variation limit of the comparison with a reference run: a spectrum whose ratio to the
// reference, over the median of those ratios, lies above it or below its inverse varies.
inline constexpr float default_variation = 1.1f;

// The largest maximum spectrum number the check takes (0 means all spectra).
inline constexpr int max_spectrum_bound = 10000;

} // namespace bantrisk

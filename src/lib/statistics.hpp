#pragma once
// The reference statistics of the checks: the median of a module's integrals or of a bank's
// module averages, and the test that a value found low or high also lies beyond its error bars.
#include <cstdint>
#include <optional>
#include <span>

namespace bantrisk {

// The median of `values`, found by selection (linear on average), not by sorting them all: the
// middle value of an odd count, the mean of the two middle values of an even count, formed in
// double precision; nothing for no value. It REORDERS `values` (pass a copy to keep an order).
// For whole numbers the result is exact (a middle value, or half the sum of two). A NaN among
// floats is ordered above every number, so the result is defined, and is a NaN only when at
// least half the values are.
std::optional<double> median(std::span<std::int32_t> values);
std::optional<double> median(std::span<float> values);
std::optional<double> median(std::span<double> values);

// Whether `value`, found low or high by its ratio to `reference`, stays so under the error-bar
// test of `k` error bars: |value - reference| > k * sqrt(reference / n). For a spectrum, value
// is its integral and n is 1 (the error bar of the count expected there); for a module, value is
// its average, reference its bank's, n its live spectra.
//
// Single precision, as the checks hold their values: `reference` and `k` are the 32-bit values
// the checks use (value is a whole number or a 32-bit average, exact in double). The difference
// and the threshold are each formed in double precision and rounded to single precision, then
// compared strictly, as every ratio of the checks is: a difference equal to the threshold does
// not pass. k of 0 or below (or NaN) is the test switched off: always true. A reference of 0 or
// below has no error bar (the threshold is 0), and n below 1 is taken as 1.
bool beyond_error_bars(double value, float reference, float k, std::int32_t n = 1);

} // namespace bantrisk

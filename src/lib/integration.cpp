#include "lib/integration.hpp"

#include <cfloat>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace bantrisk {

namespace {

constexpr std::int64_t int64_max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t int64_min = std::numeric_limits<std::int64_t>::min();

// One channel's counts as a whole number. Counts beyond the 64-bit range take its limit; the
// total is then beyond the 32-bit range anyway and is clamped.
std::int64_t channel_term(float width, double value, IntegrationNotes &notes) {
  const double product = static_cast<double>(width) * value;
  if (std::isnan(product)) {
    notes.not_a_number = true;
    return 0;
  }
  if (!(std::fabs(product) <= static_cast<double>(FLT_MAX)))
    return product > 0 ? int64_max : int64_min; // beyond single precision, or infinite
  // Rounded to single precision first: the counts of a channel are a single-precision value.
  const double rounded = std::round(static_cast<double>(static_cast<float>(product)));
  if (rounded >= 0x1p63)
    return int64_max;
  if (rounded < -0x1p63)
    return int64_min;
  return static_cast<std::int64_t>(rounded);
}

std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum))
    return b > 0 ? int64_max : int64_min;
  return sum;
}

} // namespace

std::int32_t integ_spec(std::span<const float> boundaries, std::span<const double> values,
                        std::int32_t n, IntegrationNotes *notes) {
  IntegrationNotes local;
  IntegrationNotes &note = notes != nullptr ? *notes : local;
  note = IntegrationNotes{};
  if (n < 1)
    return 0;
  const auto channels = static_cast<std::size_t>(n);
  if (boundaries.size() < channels + 1 || values.size() < channels)
    throw std::invalid_argument("integ_spec: fewer boundaries or values than channels");

  std::int64_t sum = 0;
  for (std::size_t i = 0; i < channels; ++i) {
    const float width = boundaries[i + 1] - boundaries[i];
    sum = saturating_add(sum, channel_term(width, values[i], note));
  }
  constexpr std::int64_t lo = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t hi = std::numeric_limits<std::int32_t>::max();
  if (sum < lo || sum > hi) {
    note.clamped = true;
    return static_cast<std::int32_t>(sum < lo ? lo : hi);
  }
  return static_cast<std::int32_t>(sum);
}

} // namespace bantrisk

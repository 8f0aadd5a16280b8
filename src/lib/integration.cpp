#include "lib/integration.hpp"

#include <cfloat>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace bantrisk {

namespace {

constexpr std::int64_t int64_max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t int64_min = std::numeric_limits<std::int64_t>::min();

// One channel's counts as a whole number. A channel that is not a number is counted as 0, and
// so is one whose counts are infinite or lie beyond the 64-bit range: such a count cannot be
// added without cancelling (the largest and the smallest limit would add to -1).
std::int64_t channel_term(float width, double value, IntegrationNotes &notes) {
  const double product = static_cast<double>(width) * value;
  if (std::isnan(product)) {
    notes.not_a_number = true;
    return 0;
  }
  // Rounded to single precision first: the counts of a channel are a single-precision value
  // (infinite when the product lies beyond single precision).
  const double rounded = std::round(static_cast<double>(static_cast<float>(product)));
  if (!(rounded >= -0x1p63 && rounded < 0x1p63)) {
    notes.out_of_range = true;
    return 0;
  }
  return static_cast<std::int64_t>(rounded);
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

  // A sum that reached a 64-bit limit stays there: later channels cannot bring it back.
  std::int64_t sum = 0;
  bool saturated = false;
  for (std::size_t i = 0; i < channels; ++i) {
    const float width = boundaries[i + 1] - boundaries[i];
    const std::int64_t term = channel_term(width, values[i], note);
    if (!saturated && __builtin_add_overflow(sum, term, &sum)) {
      sum = term > 0 ? int64_max : int64_min;
      saturated = true;
    }
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

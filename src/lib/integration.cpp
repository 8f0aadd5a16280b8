#include "lib/integration.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace bantrisk {

namespace {

constexpr std::int64_t int64_max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t int64_min = std::numeric_limits<std::int64_t>::min();

// A single-precision value (held in a double) rounded to the nearest whole number, halves away
// from zero, for |x| < 2^63. Written out rather than std::round, which is a library call on the
// baseline x86-64 target: below 2^52 the sum x +- 0.5 is exact for every single-precision x
// (its bits span at most 54 places, the last a half, and x below 0.5 cannot reach 1), so
// truncating it rounds x; from 2^52 on x is already whole.
std::int64_t round_single(double x) {
  if (std::fabs(x) >= 0x1p52)
    return static_cast<std::int64_t>(x);
  return static_cast<std::int64_t>(x + std::copysign(0.5, x));
}

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
  const double single = static_cast<double>(static_cast<float>(product));
  if (!(single >= -0x1p63 && single < 0x1p63)) {
    notes.out_of_range = true;
    return 0;
  }
  return round_single(single);
}

std::int32_t limited(std::int64_t sum, IntegrationNotes &note) {
  constexpr std::int64_t lo = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t hi = std::numeric_limits<std::int32_t>::max();
  if (sum < lo || sum > hi) {
    note.clamped = true;
    return static_cast<std::int32_t>(sum < lo ? lo : hi);
  }
  return static_cast<std::int32_t>(sum);
}

// The range of whole counts and, when they all lie within +-2^24, their sum (otherwise the sum
// is not used). The counts are added in 32 bits, 64 at a time, which 64 counts within +-2^24
// cannot overflow (at most 2^30), then carried into 64 bits: plain arithmetic the compiler
// vectorises, also built for wider vectors. Beyond that range the 32-bit sums wrap, unsigned.
struct CountsSummary {
  std::int64_t sum = 0;
  std::int32_t lowest = 0;
  std::int32_t highest = 0;
};
__attribute__((target_clones("avx2", "default"))) CountsSummary
summarise(const std::int32_t *counts, std::size_t n) {
  constexpr std::size_t group = 64;
  std::int64_t sum = 0;
  std::int32_t lowest = 0;
  std::int32_t highest = 0;
  std::size_t i = 0;
  for (; i + group <= n; i += group) {
    std::uint32_t part = 0;
    for (std::size_t k = 0; k < group; ++k) {
      const std::int32_t c = counts[i + k];
      part += static_cast<std::uint32_t>(c);
      lowest = std::min(lowest, c);
      highest = std::max(highest, c);
    }
    sum += static_cast<std::int32_t>(part);
  }
  for (; i < n; ++i) {
    sum += counts[i];
    lowest = std::min(lowest, counts[i]);
    highest = std::max(highest, counts[i]);
  }
  return {sum, lowest, highest};
}

IntegrationNotes &reset(IntegrationNotes *notes, IntegrationNotes &local) {
  IntegrationNotes &note = notes != nullptr ? *notes : local;
  note = IntegrationNotes{};
  return note;
}

// The number of channels to integrate: 0 for n below 1, else n once the spans are seen to hold
// n+1 boundaries and n values.
std::size_t channels_of(std::int32_t n, std::size_t boundaries, std::size_t values) {
  if (n < 1)
    return 0;
  const auto channels = static_cast<std::size_t>(n);
  if (boundaries < channels + 1 || values < channels)
    throw std::invalid_argument("integ_spec: fewer boundaries or values than channels");
  return channels;
}

// The rule channel by channel, value(i) giving channel i's value.
template <typename Value>
std::int32_t by_channel(std::span<const float> boundaries, std::size_t channels, const Value &value,
                        IntegrationNotes &note) {
  // A sum that reached a 64-bit limit stays there: later channels cannot bring it back.
  std::int64_t sum = 0;
  bool saturated = false;
  for (std::size_t i = 0; i < channels; ++i) {
    const float width = boundaries[i + 1] - boundaries[i];
    const std::int64_t term = channel_term(width, value(i, width), note);
    if (!saturated && __builtin_add_overflow(sum, term, &sum)) {
      sum = term > 0 ? int64_max : int64_min;
      saturated = true;
    }
  }
  return limited(sum, note);
}

} // namespace

std::int32_t integ_spec(std::span<const float> boundaries, std::span<const double> values,
                        std::int32_t n, IntegrationNotes *notes) {
  IntegrationNotes local;
  IntegrationNotes &note = reset(notes, local);
  const std::size_t channels = channels_of(n, boundaries.size(), values.size());
  return by_channel(
      boundaries, channels, [&](std::size_t i, float) { return values[i]; }, note);
}

// A whole count c with |c| <= 2^24 comes back from integ_spec as exactly c, for every positive
// finite single-precision width w:
// - the value c / w lies between 2^-128 and 2^173 in size (w is at least 2^-149 and below
//   2^128), well inside double precision, so forming it and then the product w * (c / w) each
//   round by a relative 2^-53 at most: the product lies within |c| * 2^-51 of c;
// - c itself has at most 24 significant bits, so it is a single-precision value, and the
//   single-precision values next to it lie at least |c| * 2^-25 away: the product rounds to c
//   in single precision, and c rounds to itself as a whole number (0 stays 0).
// So the integral is the plain sum of the counts, limited as integ_spec limits it. Above 2^24
// whole counts stop being single-precision values and about half the terms differ from c, so
// the counts beyond that range take the channel-by-channel rule.
std::int64_t whole_counts_terms(const float *boundaries, const std::int32_t *counts,
                                std::size_t n) {
  if (n == 0)
    return 0;
  const CountsSummary whole = summarise(counts, n);
  constexpr std::int32_t exact_limit = 1 << 24;
  if (whole.lowest >= -exact_limit && whole.highest <= exact_limit)
    return whole.sum;
  // Terms of counts within +-2^24 are the counts themselves; the others are formed as
  // integ_spec forms them from counts / width. No term can be infinite or not a number.
  IntegrationNotes unused;
  std::int64_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::int32_t c = counts[i];
    if (c >= -exact_limit && c <= exact_limit) {
      sum += c;
    } else {
      const float width = boundaries[i + 1] - boundaries[i];
      sum += channel_term(width, static_cast<double>(c) / static_cast<double>(width), unused);
    }
  }
  return sum;
}

std::int32_t limit_total(std::int64_t sum, IntegrationNotes &notes) {
  return limited(sum, notes);
}

std::int32_t integ_whole_counts(std::span<const float> boundaries,
                                std::span<const std::int32_t> counts, std::int32_t n,
                                IntegrationNotes *notes) {
  IntegrationNotes local;
  IntegrationNotes &note = reset(notes, local);
  const std::size_t channels = channels_of(n, boundaries.size(), counts.size());
  return limited(whole_counts_terms(boundaries.data(), counts.data(), channels), note);
}

} // namespace bantrisk

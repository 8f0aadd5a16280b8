#pragma once
// The total counts of one spectrum from its time-channel histogram.
#include <cstddef>
#include <cstdint>
#include <span>

namespace bantrisk {

// What integ_spec had to do beyond the plain sum.
struct IntegrationNotes {
  bool clamped = false;      // the total lay beyond the 32-bit range and was limited to it
  bool not_a_number = false; // some channels were not numbers and were counted as 0
  bool out_of_range = false; // some channels were infinite or beyond the 64-bit range: 0
};

// The integral of a spectrum of `n` time channels: boundaries[0..n] are its n+1 channel
// boundaries, values[0..n-1] its channel values (counts per unit width). Each channel's counts,
// width (in single precision) times value rounded to single precision, is rounded to the
// nearest whole number, halves away from zero, before it is added. The sum is kept in 64 bits
// (a sum that reaches a 64-bit limit stays there) and limited to the 32-bit range. n below 1
// gives 0. Throws std::invalid_argument when the spans hold fewer than n+1 boundaries or n
// values.
std::int32_t integ_spec(std::span<const float> boundaries, std::span<const double> values,
                        std::int32_t n, IntegrationNotes *notes = nullptr);

// The same integral for a spectrum whose channels hold whole counts: what integ_spec gives for
// the values counts[i] / width_i (formed in double precision from the single-precision widths),
// bit for bit, without forming them when every count lies within +-2^24. Same preconditions,
// with counts in place of values.
std::int32_t integ_whole_counts(std::span<const float> boundaries,
                                std::span<const std::int32_t> counts, std::int32_t n,
                                IntegrationNotes *notes = nullptr);

// The same integral before it is limited: the exact 64-bit sum of the channel terms of whole
// counts (boundaries[0..n] and counts[0..n-1], n = counts.size()). Each term is a whole number
// below 2^32 in size, so for fewer than 2^31 channels no 64-bit limit can be reached and the sum
// of a spectrum can be formed from any split of its channels, added in any order:
// integ_whole_counts is limit_total of the sum of the parts. Boundaries must hold n+1 values.
std::int64_t whole_counts_terms(const float *boundaries, const std::int32_t *counts,
                                std::size_t n);

// A spectrum's 64-bit total limited to the 32-bit range, noting in `notes` when it was.
std::int32_t limit_total(std::int64_t sum, IntegrationNotes &notes);

} // namespace bantrisk

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "lib/integration.hpp"

using bantrisk::integ_spec;
using bantrisk::IntegrationNotes;

namespace {

constexpr std::int32_t int32_max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t int32_min = std::numeric_limits<std::int32_t>::min();

struct IntegCase {
  const char *what;
  std::vector<float> boundaries;
  std::vector<double> values;
  std::int32_t expected;
  bool clamped;
  bool not_a_number;
  bool out_of_range = false;
};

class IntegSpec : public ::testing::TestWithParam<IntegCase> {};

TEST_P(IntegSpec, RoundsEachChannelThenSums) {
  const IntegCase &c = GetParam();
  IntegrationNotes notes;
  const auto n = static_cast<std::int32_t>(c.values.size());
  EXPECT_EQ(integ_spec(c.boundaries, c.values, n, &notes), c.expected) << c.what;
  EXPECT_EQ(notes.clamped, c.clamped) << c.what;
  EXPECT_EQ(notes.not_a_number, c.not_a_number) << c.what;
  EXPECT_EQ(notes.out_of_range, c.out_of_range) << c.what;
}

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Rules, IntegSpec,
    ::testing::Values(
        IntegCase{
            "terms 1 (1.4), 3 (2.5), 1 (1.0)", {0, 1, 2, 4}, {1.4, 2.5, 0.5}, 5, false, false},
        IntegCase{"0.48 rounds to 0", {0, 2}, {0.24}, 0, false, false},
        IntegCase{"-1.5 and 1.5 cancel to 0", {0, 1, 2}, {-1.5, 1.5}, 0, false, false},
        IntegCase{
            "halves away from zero", {0, 1, 2, 3, 4}, {0.5, 0.5, -0.5, -0.5}, 0, false, false},
        IntegCase{"-2.5 gives -3", {0, 1}, {-2.5}, -3, false, false},
        IntegCase{"2.5 gives 3", {10, 11}, {2.5}, 3, false, false},
        IntegCase{
            "each channel rounded, not the sum", {0, 1, 2, 3}, {0.4, 0.4, 0.4}, 0, false, false},
        // The single-precision width (1000.31) times 82.25 is 82275.4973, which rounds to the
        // single value 82275.5 and so to 82276; the double width (1000.30997) would give
        // 82275.4953, single 82275.492, and so 82275.
        IntegCase{
            "width taken in single precision", {0.1f, 1000.40997f}, {82.25}, 82276, false, false},
        IntegCase{"product rounded to single before the whole number",
                  {0, 1},
                  {2.49999999999},
                  3,
                  false,
                  false},
        IntegCase{"negative total", {0, 1, 3}, {-100.0, -0.75}, -102, false, false},
        IntegCase{"largest single below a half gives 0",
                  {0, 1, 2},
                  {0.4999999701976776, -0.4999999701976776},
                  0,
                  false,
                  false},
        IntegCase{"halves away from zero at 2^23", {0, 1}, {8388607.5}, 8388608, false, false},
        IntegCase{"minus halves at 2^23", {0, 1}, {-8388606.5}, -8388607, false, false},
        IntegCase{
            "largest 32-bit total", {0, 1, 2}, {2147483520.0, 127.0}, int32_max, false, false},
        IntegCase{"total above 32 bits clamped",
                  {0, 1, 2},
                  {2147483520.0, 128.0},
                  int32_max,
                  true,
                  false},
        IntegCase{"total below 32 bits clamped", {0, 1}, {-3e9}, int32_min, true, false},
        IntegCase{
            "channel beyond single precision counted as 0", {0, 1}, {1e300}, 0, false, false, true},
        IntegCase{"beyond 64 bits in either sign cannot cancel",
                  {0, 1, 2, 3},
                  {1e300, -1e300, 5.0},
                  5,
                  false,
                  false,
                  true},
        IntegCase{"beyond 64 bits below single precision",
                  {0, 1, 2},
                  {1e30, -1.0},
                  -1,
                  false,
                  false,
                  true},
        IntegCase{"infinite value", {0, 1, 2}, {inf, 1.0}, 1, false, false, true},
        IntegCase{"minus infinite value", {0, 1}, {-inf}, 0, false, false, true},
        IntegCase{"a saturated sum stays saturated",
                  {0, 1, 2, 3, 4},
                  {5e18, 5e18, -5e18, -5e18},
                  int32_max,
                  true,
                  false},
        IntegCase{"NaN counted as 0", {0, 1, 2}, {nan, 7.0}, 7, false, true}));

TEST(IntegSpec, NoChannelsGivesZero) {
  const std::vector<float> b{0, 1};
  const std::vector<double> v{9};
  for (const std::int32_t n : {0, -1, int32_min})
    EXPECT_EQ(integ_spec(b, v, n), 0) << n;
}

TEST(IntegSpec, ReadsOnlyTheFirstNChannels) {
  const std::vector<float> b{0, 1, 2, 3};
  const std::vector<double> v{1, 2, 1000};
  EXPECT_EQ(integ_spec(b, v, 2), 3);
}

TEST(IntegSpec, RefusesBuffersShorterThanTheChannels) {
  const std::vector<float> b{0, 1, 2};
  const std::vector<double> v{1, 2, 3};
  EXPECT_THROW(integ_spec(b, v, 3), std::invalid_argument); // needs 4 boundaries
  EXPECT_THROW(integ_spec(b, std::vector<double>{1}, 2), std::invalid_argument);
}

TEST(IntegSpec, NotesAreResetForEachSpectrum) {
  IntegrationNotes notes;
  notes.clamped = notes.not_a_number = notes.out_of_range = true;
  const std::vector<float> b{0, 1};
  const std::vector<double> v{4};
  EXPECT_EQ(integ_spec(b, v, 1, &notes), 4);
  EXPECT_FALSE(notes.clamped);
  EXPECT_FALSE(notes.not_a_number);
  EXPECT_FALSE(notes.out_of_range);
}

} // namespace

namespace {

// Whole counts: integ_whole_counts must give what integ_spec gives for the values it would be
// handed (count / width in double precision), bit for bit, notes included; and within +-2^24 a
// count comes back unchanged whatever the width.
TEST(IntegWholeCounts, AgreesWithTheChannelRuleAtTheLimits) {
  const std::int32_t limit = 1 << 24;
  const std::vector<std::int32_t> counts{0,         1,         -1,         limit - 1, limit,
                                         -limit,    limit + 1, -limit - 1, limit + 3, 99999999,
                                         int32_max, int32_min, -123456789};
  const std::vector<float> widths{std::numeric_limits<float>::denorm_min(),
                                  std::numeric_limits<float>::min(),
                                  3e-5f,
                                  0.1f,
                                  1.0f,
                                  1000.31f,
                                  1e30f,
                                  std::numeric_limits<float>::max()};
  for (const float w : widths) {
    const std::vector<float> b{0.0f, w};
    for (const std::int32_t c : counts) {
      const std::vector<std::int32_t> whole{c};
      const std::vector<double> value{static_cast<double>(c) / static_cast<double>(w)};
      IntegrationNotes by_rule;
      IntegrationNotes by_counts;
      const std::int32_t expected = integ_spec(b, value, 1, &by_rule);
      EXPECT_EQ(bantrisk::integ_whole_counts(b, whole, 1, &by_counts), expected) << c << " " << w;
      EXPECT_EQ(by_counts.clamped, by_rule.clamped) << c << " " << w;
      if (c >= -limit && c <= limit) {
        EXPECT_EQ(expected, c) << w;
      }
    }
  }
  // Whole spectra: a sum clamped beyond 32 bits, and one count past the limit among others
  // (the whole spectrum then takes the channel rule) at widths that are not powers of two.
  const std::vector<float> b{0.0f, 0.3f, 1.0f, 1e4f, 1.00001e4f};
  const std::vector<std::vector<std::int32_t>> spectra{{limit, limit, limit, limit},
                                                       {int32_max, int32_max, 5, -7},
                                                       {int32_min, int32_min, int32_min, 1},
                                                       {3, limit + 1, -limit - 5, 77777777}};
  for (const auto &whole : spectra) {
    std::vector<double> values;
    for (std::size_t i = 0; i < whole.size(); ++i)
      values.push_back(static_cast<double>(whole[i]) / static_cast<double>(b[i + 1] - b[i]));
    IntegrationNotes by_rule;
    IntegrationNotes by_counts;
    const std::int32_t expected = integ_spec(b, values, 4, &by_rule);
    EXPECT_EQ(bantrisk::integ_whole_counts(b, whole, 4, &by_counts), expected) << whole[1];
    EXPECT_EQ(by_counts.clamped, by_rule.clamped) << whole[1];
  }
  // Spectra longer than the groups the counts are added in: all at the limits, mixed signs, and
  // one count past the limit in the last group.
  std::vector<float> long_b(131);
  for (std::size_t i = 0; i < long_b.size(); ++i)
    long_b[i] = 0.5f * static_cast<float>(i * i) + 0.1f * static_cast<float>(i);
  std::vector<std::vector<std::int32_t>> long_spectra(4, std::vector<std::int32_t>(130, limit));
  long_spectra[1].assign(130, -limit);
  for (std::size_t i = 0; i < 130; ++i)
    long_spectra[2][i] = long_spectra[3][i] =
        (i % 3 == 0 ? -limit : limit / 3) + static_cast<int>(i);
  long_spectra[3][127] = limit + 1;
  for (const auto &whole : long_spectra) {
    std::vector<double> values;
    for (std::size_t i = 0; i < whole.size(); ++i)
      values.push_back(static_cast<double>(whole[i]) /
                       static_cast<double>(long_b[i + 1] - long_b[i]));
    IntegrationNotes by_rule;
    IntegrationNotes by_counts;
    const std::int32_t expected = integ_spec(long_b, values, 130, &by_rule);
    EXPECT_EQ(bantrisk::integ_whole_counts(long_b, whole, 130, &by_counts), expected) << whole[0];
    EXPECT_EQ(by_counts.clamped, by_rule.clamped) << whole[0];
  }
  EXPECT_EQ(bantrisk::integ_whole_counts(b, std::vector<std::int32_t>{1}, 0), 0);
  EXPECT_THROW(bantrisk::integ_whole_counts(b, std::vector<std::int32_t>{1}, 2),
               std::invalid_argument);
}

} // namespace

// The building blocks of the median and error-bar checks and of the time-of-flight window.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "lib/fields.hpp"
#include "lib/statistics.hpp"
#include "lib/tof_window.hpp"

using namespace bantrisk;

namespace {
constexpr float nan_value = std::numeric_limits<float>::quiet_NaN();
constexpr float inf_value = std::numeric_limits<float>::infinity();
} // namespace

TEST(Median, OddEvenAndExtremes) {
  struct Case {
    std::vector<std::int32_t> values;
    std::optional<double> median;
  };
  const std::vector<Case> cases = {
      {{}, std::nullopt},
      {{5}, 5.0},
      {{3, 1, 2}, 2.0},
      {{4, 1, 3, 2}, 2.5},
      {{-3, 7}, 2.0},
      {{5, 5, 5, 1}, 5.0},
      {{1, 9, 9, 1}, 5.0},
      {{2147483647, 2147483646}, 2147483646.5}, // exact: no sum in 32 bits
      {{-2147483647 - 1, -2147483647 - 1, 0}, -2147483648.0},
  };
  for (const Case &c : cases) {
    std::vector<std::int32_t> values = c.values;
    EXPECT_EQ(median(values), c.median) << ::testing::PrintToString(c.values);
    std::sort(values.begin(), values.end());
    std::vector<std::int32_t> sorted = c.values;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(values, sorted) << "the values are only reordered";
  }
}

TEST(Median, FloatsWithNotANumberOrderedLast) {
  struct Case {
    std::vector<float> values;
    double median; // NaN: a NaN median
  };
  const std::vector<Case> cases = {
      {{1.5f, nan_value, 0.5f}, 1.5},
      {{nan_value, 2.0f, 1.0f, 4.0f}, 3.0},
      {{nan_value, nan_value, 1.0f}, std::nan("")},
      {{0.1f, 0.2f}, (static_cast<double>(0.1f) + static_cast<double>(0.2f)) / 2.0},
      {{-inf_value, 1.0f, inf_value}, 1.0},
  };
  for (const Case &c : cases) {
    std::vector<float> values = c.values;
    const std::optional<double> m = median(values);
    ASSERT_TRUE(m.has_value());
    if (std::isnan(c.median))
      EXPECT_TRUE(std::isnan(*m));
    else
      EXPECT_EQ(*m, c.median);
  }
}

// Selection against a full sort, on sizes around the even/odd switch and with many ties.
TEST(Median, AgreesWithSorting) {
  std::mt19937 random(7);
  for (const std::size_t size : {2U, 3U, 10U, 11U, 1000U, 1001U}) {
    for (const int spread : {3, 1000000}) {
      std::uniform_int_distribution<std::int32_t> draw(-spread, spread);
      std::vector<std::int32_t> values(size);
      for (auto &v : values)
        v = draw(random);
      std::vector<std::int32_t> sorted = values;
      std::sort(sorted.begin(), sorted.end());
      const double expected = size % 2 == 1 ? sorted[size / 2]
                                            : (static_cast<double>(sorted[size / 2 - 1]) +
                                               static_cast<double>(sorted[size / 2])) /
                                                  2.0;
      EXPECT_EQ(median(values), expected) << size << " values within " << spread;
    }
  }
}

TEST(ErrorBars, StrictTestInSinglePrecision) {
  struct Case {
    double value;
    float reference, k;
    std::int32_t n;
    bool beyond;
  };
  const std::vector<Case> cases = {
      // A spectrum: 3.3 error bars of 100 counts are 33 once rounded to single precision
      // (3.3f * 10 = 32.9999995), and a difference equal to them does not pass.
      {133.0, 100.0f, 3.3f, 1, false},
      {134.0, 100.0f, 3.3f, 1, true},
      {67.0, 100.0f, 3.3f, 1, false},
      {66.0, 100.0f, 3.3f, 1, true},
      // A module: the error bar of the average of n spectra is sqrt(R / n).
      {105.5f, 100.0f, 3.0f, 25, false},
      {105.5f, 100.0f, 3.0f, 100, true},
      {105.0, 100.0f, 0.5f, 0, false}, // n below 1 taken as 1: threshold 5
      {106.0, 100.0f, 0.5f, -4, true},
      // The test switched off: the verdict of the ratio stands.
      {100.0, 100.0f, 0.0f, 1, true},
      {101.0, 100.0f, -1.0f, 1, true},
      {101.0, 100.0f, nan_value, 1, true},
      // No error bar without a positive reference.
      {1.0, 0.0f, 3.3f, 1, true},
      {0.0, 0.0f, 3.3f, 1, false},
      {-5.0, -10.0f, 3.3f, 1, true},
      // Large counts: the difference is exact before its rounding.
      {2147483647.0, 2147400000.0f, 1.0f, 1, true},
  };
  for (const Case &c : cases)
    EXPECT_EQ(beyond_error_bars(c.value, c.reference, c.k, c.n), c.beyond)
        << c.value << " against " << c.reference << ", k " << c.k << ", n " << c.n;
}

TEST(TofWindow, ChannelsWhollyWithinTheWindow) {
  const std::vector<float> b{1000.0f, 2000.0f, 3000.0f, 4000.0f, 5000.0f}; // four channels
  struct Case {
    float t1, t2;
    std::optional<ChannelRange> channels;
  };
  const std::vector<Case> cases = {
      {1000.0f, 5000.0f, ChannelRange{0, 4}},
      {999.0f, 5001.0f, ChannelRange{0, 4}},
      {-inf_value, inf_value, ChannelRange{0, 4}},
      {1000.5f, 5000.0f, ChannelRange{1, 3}},
      {1000.0f, 4999.5f, ChannelRange{0, 3}},
      {2000.0f, 3000.0f, ChannelRange{1, 1}}, // bounds included
      {2000.0f, 2999.0f, std::nullopt},
      {2500.0f, 3500.0f, std::nullopt}, // no channel wholly inside
      {0.0f, 999.0f, std::nullopt},
      {6000.0f, 7000.0f, std::nullopt},
      {3000.0f, 2000.0f, std::nullopt},
      {nan_value, 5000.0f, std::nullopt},
      {1000.0f, nan_value, std::nullopt},
  };
  for (const Case &c : cases)
    EXPECT_EQ(tof_channels(b, c.t1, c.t2), c.channels) << c.t1 << ":" << c.t2;
  EXPECT_EQ(tof_channels(std::vector<float>{1000.0f}, 0.0f, 2000.0f), std::nullopt);
  EXPECT_EQ(tof_channels(std::vector<float>{}, 0.0f, 2000.0f), std::nullopt);

  EXPECT_EQ(empty_window_reason(b, 2500.0f, 3500.0f),
            "no time channel of the run lies within 2500 to 3500; its channels span 1000 to 5000");
  EXPECT_EQ(empty_window_reason(std::vector<float>{0.1f, 1e20f}, -0.5f, 0.0f, "the reference run"),
            "no time channel of the reference run lies within -0.5 to 0; its channels span 0.1 to "
            "1e+20");
  EXPECT_EQ(empty_window_reason(std::vector<float>{}, 1.0f, 2.0f), "the run has no time channel");
}

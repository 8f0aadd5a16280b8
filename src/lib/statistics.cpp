#include "lib/statistics.hpp"

#include <algorithm>
#include <cmath>

namespace bantrisk {

namespace {

// NaN above every number: a strict weak ordering, so the selection never sees an inconsistent
// comparison.
struct NanLast {
  bool operator()(float a, float b) const {
    return std::isnan(a) ? false : (std::isnan(b) || a < b);
  }
  bool operator()(double a, double b) const {
    return std::isnan(a) ? false : (std::isnan(b) || a < b);
  }
  bool operator()(std::int32_t a, std::int32_t b) const { return a < b; }
};

template <typename T> std::optional<double> median_of(std::span<T> values) {
  if (values.empty())
    return std::nullopt;
  const NanLast less;
  const std::size_t half = values.size() / 2;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(half);
  std::nth_element(values.begin(), middle, values.end(), less);
  const double upper = static_cast<double>(*middle);
  if (values.size() % 2 == 1)
    return upper;
  // The lower middle is the largest of the values the selection put before the upper one.
  const double lower = static_cast<double>(*std::max_element(values.begin(), middle, less));
  return (lower + upper) / 2.0;
}

} // namespace

std::optional<double> median(std::span<std::int32_t> values) {
  return median_of(values);
}
std::optional<double> median(std::span<float> values) {
  return median_of(values);
}
std::optional<double> median(std::span<double> values) {
  return median_of(values);
}

bool beyond_error_bars(double value, float reference, float k, std::int32_t n) {
  if (!(k > 0.0f))
    return true;
  const double bar =
      reference > 0.0f
          ? std::sqrt(static_cast<double>(reference) / static_cast<double>(std::max(n, 1)))
          : 0.0;
  const auto threshold = static_cast<float>(static_cast<double>(k) * bar);
  const auto difference = static_cast<float>(std::fabs(value - static_cast<double>(reference)));
  return difference > threshold;
}

} // namespace bantrisk

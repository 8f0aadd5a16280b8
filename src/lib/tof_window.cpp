#include "lib/tof_window.hpp"

#include <algorithm>
#include <cmath>

#include "lib/fields.hpp"
#include "lib/text.hpp"

namespace bantrisk {

std::optional<ChannelRange> tof_channels(std::span<const float> boundaries, float t1, float t2) {
  // A NaN bound would make both searches below run to the ends: every channel.
  if (std::isnan(t1) || std::isnan(t2) || boundaries.size() < 2)
    return std::nullopt;
  // The first boundary at or after t1 opens the first channel within; the last boundary at or
  // before t2 closes the last one.
  const auto opening = std::lower_bound(boundaries.begin(), boundaries.end(), t1);
  const auto closing = std::upper_bound(boundaries.begin(), boundaries.end(), t2);
  const auto first = opening - boundaries.begin();
  const auto past = closing - boundaries.begin(); // one past the closing boundary
  if (past - 1 <= first)
    return std::nullopt;
  return ChannelRange{static_cast<std::int32_t>(first),
                      static_cast<std::int32_t>(past - 1 - first)};
}

std::string empty_window_reason(std::span<const float> boundaries, float t1, float t2,
                                std::string_view run) {
  if (boundaries.size() < 2)
    return concat({run, " has no time channel"});
  return concat({"no time channel of ", run, " lies within ", shortest_real(t1), " to ",
                 shortest_real(t2), "; its channels span ", shortest_real(boundaries.front()),
                 " to ", shortest_real(boundaries.back())});
}

} // namespace bantrisk

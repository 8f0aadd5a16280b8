#pragma once
// The time-of-flight window of a check: which time channels of a run each spectrum is
// integrated over when the check is given a window [t1, t2] instead of every channel.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace bantrisk {

// Time channels first .. first + count - 1, counted from 0 (channel i lies between boundaries i
// and i + 1).
struct ChannelRange {
  std::int32_t first = 0;
  std::int32_t count = 0;
  bool operator==(const ChannelRange &) const = default;
};

// A time-of-flight window as a check is given it: from t1 to t2, in the run's time unit.
struct TofRange {
  float t1 = 0.0f;
  float t2 = 0.0f;
};

// The channels whose two boundaries both lie within [t1, t2] (bounds included), among the
// channels of `boundaries` (the run's n + 1 boundaries, strictly increasing, as the run-file
// layer gives them: the channels found are then consecutive). Nothing when no channel lies
// within, t1 is above t2, or either bound is not a number.
std::optional<ChannelRange> tof_channels(std::span<const float> boundaries, float t1, float t2);

// The reason a window holds no channel, giving the run's range: "no time channel of the run lies
// within 20000 to 30000; its channels span 1000 to 20000" (`run` names the run: "the run", "the
// reference run"), or "the run has no time channel" when it has none.
std::string empty_window_reason(std::span<const float> boundaries, float t1, float t2,
                                std::string_view run = "the run");

} // namespace bantrisk

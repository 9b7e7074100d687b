#include "motion/frame_range.h"

#include <cmath>
#include <cstdint>

namespace {

// floor(x + 0.5) as a 32-bit index; INT32_MIN when that is not a finite 32-bit value,
// so such a start clamps to frame 0 and such an end empties the range.
std::int32_t round_to_index(double x) {
  double rounded = std::floor(x + 0.5);
  if (!(rounded >= -2147483648.0 && rounded < 2147483648.0)) return INT32_MIN;
  return static_cast<std::int32_t>(rounded);
}

}  // namespace

std::int32_t range_size(FrameRange range) {
  return static_cast<std::int32_t>(std::int64_t{range.last} - range.first + 1);
}

std::int32_t resolve_position(const FramePosition& position, const MotionInfo& info) {
  switch (position.kind) {
    case PositionKind::FrameNumber:
      return position.frame;
    case PositionKind::Percent:
      return round_to_index((static_cast<double>(info.frame_count) - 1.0) *
                            static_cast<double>(position.fraction));
    case PositionKind::Seconds:
      // No frame time (an unreadable line) gives no answer rather than a division by zero.
      if (info.frame_time == 0.0f) return INT32_MIN;
      return round_to_index(static_cast<double>(position.seconds) /
                            static_cast<double>(info.frame_time));
  }
  return INT32_MIN;
}

FrameRange resolve_range(const FramePosition& start, const FramePosition& end,
                         const MotionInfo& info) {
  // 64-bit throughout: frame_count - 1 and first - 1 overflow 32 bits at the extremes.
  std::int64_t first = resolve_position(start, info);
  std::int64_t last = resolve_position(end, info);
  if (first < 0) first = 0;
  if (last > std::int64_t{info.frame_count} - 1) last = std::int64_t{info.frame_count} - 1;
  if (last < first) last = first - 1;
  FrameRange range;
  range.first = static_cast<std::int32_t>(first);
  range.last = static_cast<std::int32_t>(last);
  return range;
}

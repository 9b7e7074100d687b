// Frame positions as the user gives them, the motion as the file declares it,
// and the translation of one into inclusive frame indices of the other.
#pragma once

#include <cstdint>

enum class PositionKind { FrameNumber = 0, Percent = 1, Seconds = 2 };

// A requested start or end. Only the field that belongs to `kind` is meaningful;
// `fraction` is the percentage already divided by 100.
struct FramePosition {
  PositionKind kind = PositionKind::FrameNumber;
  std::int32_t frame = 0;
  float fraction = 0.0f;
  float seconds = 0.0f;
};

// What the motion section declares. Both stay 0 when their line cannot be read.
struct MotionInfo {
  std::int32_t frame_count = 0;
  float frame_time = 0.0f;  // seconds per frame
};

// Zero-based, inclusive; empty when last == first - 1, never smaller.
struct FrameRange {
  std::int32_t first = 0;
  std::int32_t last = -1;
};

// Number of frames in the range, never negative.
std::int32_t range_size(FrameRange range);

// The frame index `position` names, before clamping. Percentages are shares of the
// last frame index and times are divided by the frame time; both round half up
// (floor(x + 0.5) in double precision on the stored 32-bit values). A result that is
// not finite or does not fit 32 bits (a frame time of 0, a huge value) is INT32_MIN.
std::int32_t resolve_position(const FramePosition& position, const MotionInfo& info);

// Resolves both ends and brings the range inside the motion: a negative first becomes 0,
// a last past the end becomes the last frame, and a last before first empties the range.
// A first past the end is kept as it is.
FrameRange resolve_range(const FramePosition& start, const FramePosition& end,
                         const MotionInfo& info);

#include "motion/frame_range.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "cli/options.h"

namespace {

// A position as the command line would store it, so the 32-bit float storage of
// percentages and times is exercised exactly as in a real run.
FramePosition position(const char* value) {
  FramePosition result;
  set_position(value, result);
  return result;
}

MotionInfo motion(std::int32_t frame_count, float frame_time) {
  MotionInfo info;
  info.frame_count = frame_count;
  info.frame_time = frame_time;
  return info;
}

TEST(FrameRange, ResolvesAndClamps) {
  struct Case {
    const char* start;
    const char* end;
    std::int32_t frame_count;
    float frame_time;
    std::int32_t first;
    std::int32_t last;
  };
  const Case cases[] = {
      {"20", "100", 300, 0.04f, 20, 100},
      {"0%", "100%", 300, 0.04f, 0, 299},         // the defaults: the whole motion
      {"0", "33.33%", 301, 0.04f, 0, 100},        // 300 x 0.3333 + 0.5
      {"0", "50%", 5, 0.04f, 0, 2},               // 2 + 0.5
      {"0", "50%", 4, 0.04f, 0, 2},               // 1.5 + 0.5: a half rounds up
      {"12.5%", "100%", 5, 0.04f, 1, 4},          // 4 x 0.125 = 0.5
      {"0.2s", "100%", 300, 0.04f, 5, 299},       //
      {"0.625s", "100%", 300, 0.25f, 3, 299},     // exactly 2.5
      {"1.5s", "100%", 300, 0.033333f, 45, 299},  //
      {"-5", "100%", 300, 0.04f, 0, 299},         // start clamped up
      {"0", "900", 300, 0.04f, 0, 299},           // end clamped down
      {"500", "100%", 300, 0.04f, 500, 499},      // start past the end: empty, first kept
      {"0%", "-3", 300, 0.04f, 0, -1},            //
      {"0%", "100%", 0, 0.0f, 0, -1},             // nothing declared: floor(-0.5)
      {"0%", "100%", 1, 0.04f, 0, 0},             //
      {"0", "70%", 6, 0.04f, 0, 3},               // 0.7f is just below 0.7
      {"0", "0.5%", 101, 0.04f, 0, 0},            //
      {"0.25s", "100%", 10, 0.1f, 2, 9},          // 0.1f is just above 0.1
      {"0.15s", "100%", 10, 0.1f, 2, 9},          //
      {"0", "150%", 10, 0.04f, 0, 9},             // 14, clamped
      {"-10%", "100%", 10, 0.04f, 0, 9},          // -1, clamped
      {"0%", "100%", -5, 0.04f, 0, -1},           // a negative count
      {"1s", "-1s", 300, -0.04f, 0, 25},          // a negative frame time enters as it is
      {"4", "1", 5, 0.04f, 4, 3},                 //
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.start) + " .. " + c.end + " of " + std::to_string(c.frame_count));
    FrameRange range =
        resolve_range(position(c.start), position(c.end), motion(c.frame_count, c.frame_time));
    EXPECT_EQ(range.first, c.first);
    EXPECT_EQ(range.last, c.last);
    EXPECT_GE(range_size(range), 0);
  }
}

// Results that are not finite or do not fit 32 bits give INT32_MIN: a start of frame 0
// and an empty range for an end. Built with UBSan, these also prove there is no undefined
// conversion or overflow on the way.
TEST(FrameRange, OutOfRangeResultsAreTheSmallestIndex) {
  struct Case {
    const char* value;
    std::int32_t frame_count;
    float frame_time;
  };
  const Case cases[] = {
      {"1s", 300, 0.0f},           // division by a frame time of 0
      {"0s", 300, 0.0f},           // 0 / 0
      {"1e30%", 300, 0.04f},       // far beyond 32 bits
      {"-1e30%", 300, 0.04f},      //
      {"1e38s", 300, 1e-30f},      //
      {"1e999%", 300, 0.04f},      // an infinite percentage
      {"nan%", 300, 0.04f},        //
      {"100%", INT32_MIN, 0.04f},  // frame_count - 1 below 32 bits
      {"200%", INT32_MAX, 0.04f},  //
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    MotionInfo info = motion(c.frame_count, c.frame_time);
    EXPECT_EQ(resolve_position(position(c.value), info), INT32_MIN);
    FrameRange as_start = resolve_range(position(c.value), position("100%"), info);
    EXPECT_EQ(as_start.first, 0);
    FrameRange as_end = resolve_range(position("0"), position(c.value), info);
    EXPECT_EQ(range_size(as_end), 0);
  }
}

TEST(FrameRange, ExtremeCountsStayWithin32Bits) {
  FrameRange range = resolve_range(position("0%"), position("100%"), motion(INT32_MAX, 0.04f));
  EXPECT_EQ(range.first, 0);
  EXPECT_EQ(range.last, INT32_MAX - 1);
  EXPECT_EQ(range_size(range), INT32_MAX);

  range = resolve_range(position(std::to_string(INT32_MAX).c_str()), position("0"),
                        motion(INT32_MIN, 0.04f));
  EXPECT_EQ(range.first, INT32_MAX);
  EXPECT_EQ(range.last, INT32_MAX - 1);
  EXPECT_EQ(range_size(range), 0);
}

}  // namespace

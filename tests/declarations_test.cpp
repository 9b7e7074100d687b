#include "motion/declarations.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

namespace {

struct Scanned {
  MotionInfo info;
  std::string rest;  // the bytes left for the frame lines
};

// Scans `text` held whole in one block, with no file behind it.
Scanned scan(std::string text) {
  InputStream in;
  in.block = &text[0];
  in.end = text.size();
  Scanned result;
  scan_declarations(in, result.info);
  result.rest = text.substr(in.pos);
  return result;
}

TEST(Declarations, ReadsTheTwoLinesAsScansWould) {
  struct Case {
    std::string text;
    std::int32_t count;
    float time;
    std::string rest;
  };
  const Case cases[] = {
      {"Frames: 5\nFrame Time: 0.04\nA0\n", 5, 0.04f, "A0\n"},
      {"Frames: 5\r\nFrame Time: 0.04\r\nA0\r\n", 5, 0.04f, "A0\r\n"},
      {"Frames:\t4511\nFrame Time:\t.0083333\n-0.8 1\n", 4511, 0.0083333f, "-0.8 1\n"},
      {"Frames:    4007\r\nFrame Time:    0.008333\r\n40.3 88.2\r\n", 4007, 0.008333f,
       "40.3 88.2\r\n"},
      {"Frames: 120\nFrame Time: 0.016666666666666666\n\t-3.0 6.0\n", 120, 0.016666666666666666f,
       "-3.0 6.0\n"},
      // Blank lines after the frame time and the first frame's leading blanks are swallowed.
      {"Frames: 5\nFrame Time: 0.04\n\n  A0\n", 5, 0.04f, "A0\n"},
      // A third word after the count: the time scan takes it and "Frame" as its labels and
      // fails on "Time:", which is where the frames start.
      {"Frames: 5 extra\nFrame Time: 0.04\nA0\n", 5, 0.0f, "Time: 0.04\nA0\n"},
      // Label and count not separated: the count is lost, the time is still read.
      {"Frames:5\nFrame Time: 0.04\nA0\n", 0, 0.04f, "A0\n"},
      // The second label runs into the number: the time comes from frame 0's first number.
      {"Frames: 5\nFrame Time:0.04\n1.5 2 3\nA1\n", 5, 1.5f, "2 3\nA1\n"},
      // A space before the colon: both scans fail.
      {"Frames : 5\nFrame Time: 0.04\nA0\n", 0, 0.0f, "Frame Time: 0.04\nA0\n"},
      {"", 0, 0.0f, ""},
      {"Frames: 7", 7, 0.0f, ""},
      {"Frames: -5\nFrame Time: -0.04\nA0\n", -5, -0.04f, "A0\n"},
      {"Frames: +5\nFrame Time: +4e-2\nA0\n", 5, 0.04f, "A0\n"},
      // A failed number consumes the sign it had matched, but not the byte that ended it.
      {"Frames: -x\nFrame Time: 0.04\nA0\n", 0, 0.0f, "Time: 0.04\nA0\n"},
      {"Frames: 99999999999\nFrame Time: 0.04\nA0\n", INT32_MAX, 0.04f, "A0\n"},
      {"Frames: -99999999999999999999999\nFrame Time: 0.04\nA0\n", INT32_MIN, 0.04f, "A0\n"},
      {"Frames: 3\nFrame Time: 1e99\nA0\n", 3, INFINITY, "A0\n"},
      {"Frames: 3\nFrame Time: 0x1.8p-3\nA0\n", 3, 0.1875f, "A0\n"},
      {"Frames: 3\nFrame Time: .5.5\nA0\n", 3, 0.5f, ".5\nA0\n"},
      {"Frames: 3\nFrame Time: 1.5e3x\nA0\n", 3, 1500.0f, "x\nA0\n"},
      // Incomplete numbers fail after the part that looked like a number.
      {"Frames: 3\nFrame Time: 1e+\nA0\n", 3, 0.0f, "\nA0\n"},
      {"Frames: 3\nFrame Time: 0x\nA0\n", 3, 0.0f, "\nA0\n"},
      {"Frames: 3\nFrame Time: .\nA0\n", 3, 0.0f, "\nA0\n"},
      {"Frames: 3\nFrame Time: infinity\nA0\n", 3, INFINITY, "A0\n"},
      {"Frames: 3\nFrame Time: -Inf x\nA0\n", 3, -INFINITY, "x\nA0\n"},
      {"Frames: 3\nFrame Time: infin\nA0\n", 3, 0.0f, "\nA0\n"},
      // Digits far past any float's precision still round correctly.
      {"Frames: 3\nFrame Time: 0." + std::string(5000, '0') + "1e5000\nA0\n", 3, 0.1f, "A0\n"},
      {"Frames: 3\nFrame Time: " + std::string(300, '1') + "e-299\nA0\n", 3,
       1.11111111111111111111f, "A0\n"},
      {"Frames: 3\nFrame Time: 0.0400000000000000000000000000000000000000000000001\nA0\n", 3, 0.04f,
       "A0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    Scanned s = scan(c.text);
    EXPECT_EQ(s.info.frame_count, c.count);
    EXPECT_EQ(s.info.frame_time, c.time);
    EXPECT_EQ(s.rest, c.rest);
  }
}

TEST(Declarations, NotANumber) {
  Scanned s = scan("Frames: 3\nFrame Time: nan(0x1)\nA0\n");
  EXPECT_TRUE(std::isnan(s.info.frame_time));
  EXPECT_EQ(s.rest, "A0\n");
}

// 0.5 + 2^-25 lies between two floats' halfway point and the larger one only in the
// digits after the 200th: it must round up to 0.50000006, not to 0.5.
TEST(Declarations, RoundsOnDigitsPastThoseKept) {
  std::string halfway = "0.5000000298023223876953125";  // exactly between 0.5 and the next float
  Scanned exact = scan("F 1\nF T: " + halfway + "\nA0\n");
  EXPECT_EQ(exact.info.frame_time, 0.5f);  // a tie goes to the even one
  Scanned above = scan("F 1\nF T: " + halfway + std::string(400, '0') + "1\nA0\n");
  EXPECT_EQ(above.info.frame_time, std::nextafter(0.5f, 1.0f));
}

}  // namespace

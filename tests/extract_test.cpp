#include "motion/extract.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/options.h"
#include "tests/test_util.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace {

struct Extracted {
  int result;
  std::string out;     // what the run printed
  bool written;        // whether the output file exists afterwards
  std::string output;  // its bytes
};

// Runs one extraction in this process, from `input` bytes, with the options in `args`.
Extracted extract(const std::string& input, std::vector<const char*> args) {
  ScratchDir dir;
  std::string in_path = dir.file("in.bvh");
  std::string out_path = dir.file("out.bvh");
  write_file(in_path, input);
  args.insert(args.begin(), {"mocslice", in_path.c_str(), "-o", out_path.c_str()});
  ExtractJob job = default_job();
  EXPECT_TRUE(parse_options(static_cast<int>(args.size()), args.data(), job));
  Extracted e;
  testing::internal::CaptureStdout();
  e.result = extract_motion(job);
  std::fflush(stdout);
  e.out = testing::internal::GetCapturedStdout();
  e.written = read_file(out_path, e.output);
  // The summary names the scratch files; tests compare it with stable names.
  for (const std::string* path : {&in_path, &out_path}) {
    for (std::size_t at; (at = e.out.find(*path)) != std::string::npos;) {
      e.out.replace(at, path->size(), path == &in_path ? "IN" : "OUT");
    }
  }
  return e;
}

std::string summary(int frames, int first, int last) {
  return "\nMotion with " + std::to_string(frames) + " frames (" + std::to_string(first) + ".." +
         std::to_string(last) + ") from IN copied to OUT\n";
}

const char* const kWarning =
    "Warning: Incorrect value 'Frames' in input file, check number of copied frames.";

std::string declared(int frames, const std::string& time = "0.040000",
                     const std::string& eol = "\n") {
  return "Frames: " + std::to_string(frames) + eol + "Frame Time: " + time + eol;
}

TEST(Extract, CopiesTheRange) {
  const std::string h = hierarchy();
  struct Case {
    const char* name;
    std::string input;
    std::vector<const char*> args;
    std::string output;
    std::string out;
  };
  const Case cases[] = {
      {"whole",
       motion_file(5, 5),
       {},
       h + declared(5) + frame_lines(0, 4),
       "OK" + summary(5, 0, 4)},
      {"inner",
       motion_file(5, 5),
       {"-s", "1", "-e", "3"},
       h + declared(3) + frame_lines(1, 3),
       "OK" + summary(3, 1, 3)},
      {"reversed",
       motion_file(5, 5),
       {"-s", "4", "-e", "1"},
       h + declared(0),
       "OK" + summary(0, 4, 3)},
      {"percent and seconds",
       motion_file(5, 5),
       {"-s", "0.04s", "-e", "75%"},
       h + declared(3) + frame_lines(1, 3),
       "OK" + summary(3, 1, 3)},
      {"count promises more",
       motion_file(7, 5),
       {},
       h + declared(7) + frame_lines(0, 4),
       kWarning + summary(5, 0, 4)},
      {"count promises fewer",
       motion_file(3, 5),
       {},
       h + declared(3) + frame_lines(0, 2),
       "OK" + summary(3, 0, 2)},
      {"range past the lines",
       motion_file(10, 5),
       {"-s", "7", "-e", "9"},
       h + declared(3),
       kWarning + summary(0, 7, 6)},
      {"blank line and leading blanks",
       h + "Frames: 2\nFrame Time: 0.04\n\n  A0\nA1\n",
       {},
       h + declared(2) + "A0\nA1\n",
       "OK" + summary(2, 0, 1)},
      {"nothing after MOTION", h, {}, h + declared(0, "0.000000"), "OK" + summary(0, 0, -1)},
      {"third word on the count line",
       h + "Frames: 2 x\nFrame Time: 0.04\nA0\n",
       {},
       h + declared(2, "0.000000") + "Time: 0.04\nA0\n",
       "OK" + summary(2, 0, 1)},
      {"space before the colon",
       h + "Frames : 2\nFrame Time: 0.04\nA0\n",
       {},
       h + declared(0, "0.000000"),
       "OK" + summary(0, 0, -1)},
      {"frame time of .0083333",
       h + "Frames: 1\nFrame Time: .0083333\nA0\n",
       {},
       h + declared(1, "0.008333") + "A0\n",
       "OK" + summary(1, 0, 0)},
      {"no final line break",
       h + "Frames: 2\nFrame Time: 0.04\nA0\nA1",
       {},
       h + declared(2) + "A0\nA1",
       "OK" + summary(2, 0, 1)},
      {"CRLF stays CRLF",
       motion_file(3, 3, "\r\n"),
       {"-s", "1"},
       hierarchy("\r\n") + declared(2, "0.040000", "\r\n") + frame_lines(1, 2, "\r\n"),
       "OK" + summary(2, 1, 2)},
      {"CRLF MOTION line, LF declarations",
       hierarchy("\r\n") + "Frames: 1\nFrame Time: 0.04\nA0\n",
       {},
       hierarchy("\r\n") + declared(1, "0.040000", "\r\n") + "A0\n",
       "OK" + summary(1, 0, 0)},
      {"MOTION followed by more on its line",
       "H\nMOTION here\nFrames: 1\nFrame Time: 0.5\nA0\n",
       {},
       "H\nMOTION here\n" + declared(1, "0.500000") + "A0\n",
       "OK" + summary(1, 0, 0)},
      {"indented and lower-case MOTION do not count",
       " MOTION\nmotion\nMOTION\nFrames: 1\nFrame Time: 1\nA0\n",
       {},
       " MOTION\nmotion\nMOTION\n" + declared(1, "1.000000") + "A0\n",
       "OK" + summary(1, 0, 0)},
      {"NUL bytes are bytes",
       bytes("H\0x\nMOTION\nFrames: 2\nFrame Time: 1\nA\0\n\0B\n"),
       {},
       bytes("H\0x\nMOTION\n") + declared(2, "1.000000") + bytes("A\0\n\0B\n"),
       "OK" + summary(2, 0, 1)},
      {"huge declared count",
       h + "Frames: 99999999999\nFrame Time: 0.04\nA0\n",
       {"-e", "1"},
       h + declared(2) + "A0\n",
       kWarning + summary(1, 0, 0)},
      {"frame time 0 and seconds",
       h + "Frames: 3\nFrame Time: 0\nA0\nA1\nA2\n",
       {"-s", "1s", "-e", "2"},
       h + declared(3, "0.000000") + "A0\nA1\nA2\n",
       "OK" + summary(3, 0, 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Extracted e = extract(c.input, c.args);
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.out, c.out);
    EXPECT_TRUE(e.written);
    EXPECT_EQ(e.output, c.output);
  }
}

// A failed run prints one error without a line break, returns -1 and leaves no output.
TEST(Extract, FailsWithoutLeavingOutput) {
  const std::string no_motion = "Error: Incomplete input file, the MOTION section missing";
  struct Case {
    const char* name;
    std::string input;
  };
  const Case cases[] = {
      {"no MOTION line", "HIERARCHY\nROOT Hips\n{\n}\n"},
      {"MOTION without a line break ends the file", "HIERARCHY\nMOTION"},
      {"empty input", ""},
      {"MOTION only mid-line", "HIERARCHY x MOTION\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Extracted e = extract(c.input, {});
    EXPECT_EQ(e.result, -1);
    EXPECT_EQ(e.out, no_motion);
    EXPECT_FALSE(e.written);
  }
}

// Lines are lines at any length: neither a long hierarchy line nor a long frame line is
// split, and "MOTION" is only looked for at the start of real lines, also where a line or
// the tag straddles the reading blocks.
TEST(Extract, LinesOfAnyLength) {
  const std::size_t kBlock = std::size_t{1} << 20;
  std::string wide_a(3 * kBlock + 17, '1');
  std::string wide_b(10000, '2');  // exactly a 10,000-byte line
  std::string wide_c(9999, '3');
  std::string tag_inside = std::string(9999, 'x') + "MOTION";  // a tag mid-line
  std::string input = "HIERARCHY\n" + tag_inside + "\n" + std::string(kBlock - 3, 'c') +
                      "\nMOTION\nFrames: 4\nFrame Time: 0.04\n" + wide_a + "\n" + wide_b + "\n" +
                      wide_c + "\nA3\n";
  Extracted e = extract(input, {"-s", "1", "-e", "2"});
  EXPECT_EQ(e.result, 0);
  EXPECT_EQ(e.out, "OK" + summary(2, 1, 2));
  std::string head =
      "HIERARCHY\n" + tag_inside + "\n" + std::string(kBlock - 3, 'c') + "\nMOTION\n" + declared(2);
  EXPECT_EQ(e.output.size(), head.size() + wide_b.size() + wide_c.size() + 2);
  EXPECT_TRUE(e.output == head + wide_b + "\n" + wide_c + "\n");

  // The tag itself split across two blocks, and the CR of its line ending too.
  for (std::size_t cut = 0; cut <= 7; ++cut) {
    std::string prefix = "H\n" + std::string(kBlock - 2 - cut - 1, 'h') + "\n";
    std::string text = prefix + "MOTION\r\nFrames: 1\nFrame Time: 1\nA0\n";
    Extracted split = extract(text, {});
    SCOPED_TRACE(cut);
    EXPECT_EQ(split.out, "OK" + summary(1, 0, 0));
    EXPECT_TRUE(split.output == prefix + "MOTION\r\n" + declared(1, "1.000000", "\r\n") + "A0\n");
  }
}

TEST(Extract, ManyShortLinesAcrossBlocks) {
  std::string frames;
  for (int i = 0; i < 200000; ++i)
    frames += std::to_string(i) + " 0.5 0.25\n";
  std::string input = hierarchy() + "Frames: 200000\nFrame Time: 0.01\n" + frames;
  Extracted e = extract(input, {"-s", "123456", "-e", "199998"});
  EXPECT_EQ(e.out, "OK" + summary(76543, 123456, 199998));
  std::size_t from = frames.find("\n123456 ") + 1;
  std::size_t to = frames.find("\n199999 ") + 1;
  EXPECT_TRUE(e.output ==
              hierarchy() + declared(76543, "0.010000") + frames.substr(from, to - from));
}

// Frame lines of ~100 bytes: 250,000 make a file of ~24 MiB, so big cuts are written
// behind the scan and long skips are counted by two threads.
std::string big_motion(int frames) {
  std::string text = hierarchy() + "Frames: " + std::to_string(frames) + "\nFrame Time: 0.01\n";
  for (int i = 0; i < frames; ++i) {
    text += std::to_string(i) + " 12.345678 -0.123456 87.654321 1.000000 2.000000 3.000000 " +
            std::to_string(i % 97) + ".5 0.25 0.125 -4.0625\n";
  }
  return text;
}

// The bytes of frame lines first..last of big_motion(frames).
std::string big_frames(const std::string& text, int first, int last) {
  std::size_t motion = text.find("Frame Time: 0.01\n") + 17;
  std::size_t from = motion;
  for (int i = 0; i < first; ++i)
    from = text.find('\n', from) + 1;
  std::size_t to = from;
  for (int i = first; i <= last; ++i)
    to = text.find('\n', to) + 1;
  return text.substr(from, to - from);
}

TEST(Extract, BigCutsAreExact) {
  const int kFrames = 500000;
  const std::string input = big_motion(kFrames);
  struct Case {
    const char* start;
    const char* end;
    int first;
    int last;
  };
  const Case cases[] = {
      {"0", "100%", 0, kFrames - 1},        {"25%", "75%", 125000, 374999},
      {"1", "499998", 1, 499998},           {"400000", "100%", 400000, kFrames - 1},
      {"499999", "499999", 499999, 499999},  // the skip runs through almost all of it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.start) + ".." + c.end);
    Extracted e = extract(input, {"-s", c.start, "-e", c.end});
    int size = c.last - c.first + 1;
    EXPECT_EQ(e.out, "OK" + summary(size, c.first, c.last));
    std::string expected =
        hierarchy() + declared(size, "0.010000") + big_frames(input, c.first, c.last);
    EXPECT_EQ(e.output.size(), expected.size());
    EXPECT_TRUE(e.output == expected);
  }
  // Fewer lines than declared, the last one without its line break.
  std::string promising_more = input + "tail";
  promising_more.replace(promising_more.find("Frames: 500000"), 14, "Frames: 600000");
  Extracted e = extract(promising_more, {"-s", "400000", "-e", "599999"});
  EXPECT_EQ(e.out, kWarning + summary(100001, 400000, 500000));
  EXPECT_TRUE(e.output == hierarchy() + declared(200000, "0.010000") +
                              big_frames(input, 400000, kFrames - 1) + "tail");
  // A skip past every line there is.
  Extracted past = extract(promising_more, {"-s", "550000", "-e", "599999"});
  EXPECT_EQ(past.out, kWarning + summary(0, 550000, 549999));
  EXPECT_TRUE(past.output == hierarchy() + declared(50000, "0.010000"));
}

#ifndef _WIN32
// A file-size limit reached while the copy runs beside the scan: the failure is reported,
// nothing is left, and the file that was there is kept.
TEST(Extract, WriteFailureDuringABigCopy) {
  ScratchDir dir;
  ExtractJob job = default_job();
  job.input_path = dir.file("in.bvh");
  job.output_path = dir.file("out.bvh");
  write_file(job.input_path, big_motion(250000));
  write_file(job.output_path, "keep me\n");

  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit lower = saved;
  lower.rlim_cur = 8 << 20;
  void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lower), 0);
  testing::internal::CaptureStdout();
  int result = extract_motion(job);
  std::fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);

  EXPECT_EQ(result, -1);
  EXPECT_EQ(out, "Error: Cannot write output file " + job.output_path);
  std::string kept;
  ASSERT_TRUE(read_file(job.output_path, kept));
  EXPECT_EQ(kept, "keep me\n");
  EXPECT_EQ(entries(dir.path).size(), 2u);  // no temporary file left behind
}
#endif

TEST(Extract, MissingInputLeavesNoOutput) {
  ScratchDir dir;
  ExtractJob job = default_job();
  job.input_path = dir.file("missing.bvh");
  job.output_path = dir.file("out.bvh");
  testing::internal::CaptureStdout();
  EXPECT_EQ(extract_motion(job), -1);
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error: Cannot open input file " + job.input_path);
  EXPECT_FALSE(file_exists(job.output_path));
}

TEST(Extract, OutputInMissingFolder) {
  ScratchDir dir;
  ExtractJob job = default_job();
  job.input_path = dir.file("in.bvh");
  job.output_path = dir.file("nowhere/out.bvh");
  write_file(job.input_path, motion_file(3, 3));
  testing::internal::CaptureStdout();
  EXPECT_EQ(extract_motion(job), -1);
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error: Cannot create output file " + job.output_path);
}

}  // namespace

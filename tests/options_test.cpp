#include "cli/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Parsed {
  bool ok;
  ExtractJob job;
  std::string out;  // what parsing printed
};

Parsed parse(std::vector<const char*> args) {
  args.insert(args.begin(), "mocslice");
  Parsed result;
  result.job = default_job();
  testing::internal::CaptureStdout();
  result.ok = parse_options(static_cast<int>(args.size()), args.data(), result.job);
  std::fflush(stdout);
  result.out = testing::internal::GetCapturedStdout();
  return result;
}

std::string usage_screen() {
  testing::internal::CaptureStdout();
  print_usage();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// The position as "<kind>:<value of that kind>", to compare in one line.
std::string describe(const FramePosition& p) {
  switch (p.kind) {
    case PositionKind::FrameNumber:
      return "frame:" + std::to_string(p.frame);
    case PositionKind::Percent:
      return "percent:" + std::to_string(p.fraction);
    case PositionKind::Seconds:
      return "seconds:" + std::to_string(p.seconds);
  }
  return "?";
}

TEST(Options, Defaults) {
  ExtractJob job = default_job();
  EXPECT_EQ(job.input_path, "");
  EXPECT_EQ(job.output_path, "out.bvh");
  EXPECT_EQ(describe(job.start), "percent:0.000000");
  EXPECT_EQ(describe(job.end), "percent:1.000000");
}

TEST(Options, ReadsTheJob) {
  struct Case {
    std::vector<const char*> args;
    const char* input;
    const char* output;
    const char* start;
    const char* end;
  };
  const Case cases[] = {
      {{"walk.bvh", "-s", "20", "-e", "100", "-o", "step.bvh"},
       "walk.bvh",
       "step.bvh",
       "frame:20",
       "frame:100"},
      {{"-e", "33.33%", "jump.bvh", "-o", "jump1.bvh"},
       "jump.bvh",
       "jump1.bvh",
       "percent:0.000000",
       "percent:0.333300"},
      {{"run.bvh", "-s", "1.5s", "-e", "50%"},
       "run.bvh",
       "out.bvh",
       "seconds:1.500000",
       "percent:0.500000"},
      {{"walk.bvh", "-s"}, "walk.bvh", "out.bvh", "percent:0.000000", "percent:1.000000"},
      {{"walk.bvh", "-o"}, "walk.bvh", "out.bvh", "percent:0.000000", "percent:1.000000"},
      {{"a.bvh", "b.bvh"}, "b.bvh", "out.bvh", "percent:0.000000", "percent:1.000000"},
      {{"a.bvh", "-s", "10%", "-s", "5"}, "a.bvh", "out.bvh", "frame:5", "percent:1.000000"},
      {{"a.bvh", "-e", "1.5"}, "a.bvh", "out.bvh", "percent:0.000000", "frame:1"},
      {{"a.bvh", "-e", "2e1"}, "a.bvh", "out.bvh", "percent:0.000000", "frame:2"},
      {{"a.bvh", "-e", "1.5S"}, "a.bvh", "out.bvh", "percent:0.000000", "frame:1"},
      {{"a.bvh", "-s", "5%s"}, "a.bvh", "out.bvh", "percent:0.050000", "percent:1.000000"},
      {{"a.bvh", "-s", "abc"}, "a.bvh", "out.bvh", "frame:0", "percent:1.000000"},
      {{"a.bvh", "-s", "ss"}, "a.bvh", "out.bvh", "seconds:0.000000", "percent:1.000000"},
      {{"a.bvh", "-s", " 5"}, "a.bvh", "out.bvh", "frame:5", "percent:1.000000"},
      {{"a.bvh", "-s", "-5"}, "a.bvh", "out.bvh", "frame:-5", "percent:1.000000"},
      {{"a.bvh", "-o", "-h"}, "a.bvh", "-h", "percent:0.000000", "percent:1.000000"},
      {{"a.bvh", "-s", "%"}, "a.bvh", "out.bvh", "percent:0.000000", "percent:1.000000"},
      {{"a.bvh", "-s", "99999999999"}, "a.bvh", "out.bvh", "frame:2147483647", "percent:1.000000"},
      {{"a.bvh", "-s", "-99999999999"},
       "a.bvh",
       "out.bvh",
       "frame:-2147483648",
       "percent:1.000000"},
      {{"a.bvh", "-s", "1e300s"}, "a.bvh", "out.bvh", "seconds:inf", "percent:1.000000"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const char* a : c.args)
      joined += std::string(a) + " ";
    SCOPED_TRACE(joined);
    Parsed p = parse(c.args);
    EXPECT_TRUE(p.ok);
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.job.input_path, c.input);
    EXPECT_EQ(p.job.output_path, c.output);
    EXPECT_EQ(describe(p.job.start), c.start);
    EXPECT_EQ(describe(p.job.end), c.end);
  }
}

// A later -s of another kind changes the kind and writes only that kind's field.
TEST(Options, OnlyTheFieldOfTheKindIsWritten) {
  Parsed p = parse({"a.bvh", "-s", "7", "-s", "2.5s", "-s", "10%"});
  EXPECT_EQ(p.job.start.kind, PositionKind::Percent);
  EXPECT_EQ(p.job.start.frame, 7);
  EXPECT_EQ(p.job.start.seconds, 2.5f);
  EXPECT_EQ(p.job.start.fraction, 0.1f);
}

TEST(Options, RejectsAndReportsErrors) {
  const std::string usage = usage_screen();
  struct Case {
    std::vector<const char*> args;
    bool ok;
    std::string out;
  };
  const Case cases[] = {
      {{"-h"}, false, usage + "Error: No input file given\n"},
      {{"a.bvh", "-h"}, true, usage},
      {{"-h", "a.bvh", "-h"}, true, usage + usage},
      {{"-x", "walk.bvh", "-h"}, false, "Error: Invalid option -x\n"},
      {{"-h", "-x"}, false, usage + "Error: Invalid option -x\n"},
      {{"a.bvh", "-"}, false, "Error: Invalid option -\n"},
      {{"a.bvh", "-S", "3"}, false, "Error: Invalid option -S\n"},
      {{"a.bvh", "-s20"}, false, "Error: Invalid option -s20\n"},
      {{"a.bvh", "--"}, false, "Error: Invalid option --\n"},
      {{"a.bvh", "--help"}, false, "Error: Invalid option --help\n"},
      {{"-s", "5"}, false, "Error: No input file given\n"},
      {{"a.bvh", ""}, false, "Error: No input file given\n"},
      {{"-o", "x.bvh", "-e", "-5"}, false, "Error: No input file given\n"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const char* a : c.args)
      joined += std::string(a) + " ";
    SCOPED_TRACE(joined);
    Parsed p = parse(c.args);
    EXPECT_EQ(p.ok, c.ok);
    EXPECT_EQ(p.out, c.out);
  }
}

TEST(Options, NamesOfAnyLength) {
  std::string input(100000, 'i');
  std::string output(70000, 'o');
  Parsed p = parse({input.c_str(), "-o", output.c_str()});
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.job.input_path, input);
  EXPECT_EQ(p.job.output_path, output);
}

}  // namespace

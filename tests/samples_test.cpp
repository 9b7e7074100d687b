// The awkward samples in data/ (made by data/make_samples.sh), cut by the real program. Each
// output is compared byte for byte with one put together here from the sample's own lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

const std::string kData = MOCSLICE_DATA_DIR;

// A sample cut where its reading turns: everything up to and including the MOTION line,
// the frame time as written, and the frame lines with their endings.
struct Sample {
  std::string bytes;
  std::string hierarchy;
  std::string eol;  // the MOTION line's ending
  std::string count_line;
  std::string time_line;
  std::string frame_time;
  std::vector<std::string> frames;
};

std::vector<std::string> lines_of(const std::string& bytes) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < bytes.size();) {
    std::size_t newline = bytes.find('\n', at);
    std::size_t end = newline == std::string::npos ? bytes.size() : newline + 1;
    lines.push_back(bytes.substr(at, end - at));
    at = end;
  }
  return lines;
}

bool is_blank(const std::string& line) {
  return line.find_first_not_of(" \t\r\n") == std::string::npos;
}

// The frame time is the last word of its line; blank lines before the first frame line and
// blanks at its start are not part of any frame.
bool load_sample(const std::string& name, Sample& s) {
  if (!read_file(kData + "/" + name, s.bytes)) return false;
  std::vector<std::string> lines = lines_of(s.bytes);
  std::size_t motion = 0;
  while (motion < lines.size() && lines[motion].compare(0, 6, "MOTION") != 0)
    ++motion;
  if (motion + 2 >= lines.size()) return false;
  for (std::size_t i = 0; i <= motion; ++i)
    s.hierarchy += lines[i];
  const std::string& tag = lines[motion];
  s.eol = tag.size() >= 2 && tag.compare(tag.size() - 2, 2, "\r\n") == 0 ? "\r\n" : "\n";
  s.count_line = lines[motion + 1];
  s.time_line = lines[motion + 2];
  std::string time = s.time_line.substr(0, s.time_line.find_last_not_of(" \t\r\n") + 1);
  s.frame_time = time.substr(time.find_last_of(" \t") + 1);
  std::size_t first = motion + 3;
  while (first < lines.size() && is_blank(lines[first]))
    ++first;
  for (std::size_t i = first; i < lines.size(); ++i)
    s.frames.push_back(lines[i]);
  if (!s.frames.empty()) s.frames[0].erase(0, s.frames[0].find_first_not_of(" \t"));
  return true;
}

std::string six_decimals(const std::string& number) {
  char text[64];
  std::snprintf(text, sizeof text, "%f", static_cast<double>(std::strtof(number.c_str(), nullptr)));
  return text;
}

const char* const kWarning =
    "Warning: Incorrect value 'Frames' in input file, check number of copied frames.";

// Each sample has the oddity its name promises, or the cuts below would prove nothing.
TEST(Samples, HaveTheirOddities) {
  Sample crlf, tabs, blank, unended, short_count, wide;
  ASSERT_TRUE(load_sample("crlf.bvh", crlf));
  ASSERT_TRUE(load_sample("tabs.bvh", tabs));
  ASSERT_TRUE(load_sample("blank_after_time.bvh", blank));
  ASSERT_TRUE(load_sample("no_final_newline.bvh", unended));
  ASSERT_TRUE(load_sample("short_count.bvh", short_count));
  ASSERT_TRUE(load_sample("wide.bvh", wide));
  for (const std::string& line : lines_of(crlf.bytes))
    EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
  EXPECT_EQ(tabs.count_line.substr(0, 8), "Frames:\t");
  EXPECT_EQ(tabs.time_line.substr(0, 12), "Frame Time:\t");
  EXPECT_EQ(blank.bytes.find(blank.time_line + "\n"),
            blank.hierarchy.size() + blank.count_line.size());
  EXPECT_NE(unended.bytes.back(), '\n');
  EXPECT_GT(std::atoi(short_count.count_line.substr(7).c_str()),
            static_cast<int>(short_count.frames.size()));
  for (const std::string& frame : wide.frames)
    EXPECT_GT(frame.size(), 10000u);
}

TEST(Samples, CutsComeOutByteForByte) {
  struct Case {
    const char* sample;
    std::vector<std::string> args;
    int first;  // the range the arguments name
    int last;
  };
  const Case cases[] = {
      {"crlf.bvh", {}, 0, 9},
      {"crlf.bvh", {"-s", "3", "-e", "6"}, 3, 6},
      {"tabs.bvh", {"-s", "25%", "-e", "75%"}, 2, 7},
      {"tabs.bvh", {"-s", "0.05s"}, 6, 9},
      {"blank_after_time.bvh", {}, 0, 9},
      {"blank_after_time.bvh", {"-e", "0"}, 0, 0},
      {"no_final_newline.bvh", {"-s", "7"}, 7, 9},
      {"no_final_newline.bvh", {"-s", "9", "-e", "9"}, 9, 9},
      {"no_final_newline.bvh", {"-s", "0", "-e", "1"}, 0, 1},
      {"short_count.bvh", {"-s", "2", "-e", "4"}, 2, 4},
      {"short_count.bvh", {}, 0, 11},
      {"short_count.bvh", {"-s", "5", "-e", "10"}, 5, 10},
      {"short_count.bvh", {"-s", "9"}, 9, 11},
      {"wide.bvh", {}, 0, 3},
      {"wide.bvh", {"-s", "1", "-e", "2"}, 1, 2},
      {"wide.bvh", {"-s", "3", "-e", "2"}, 3, 2},
  };
  for (const Case& c : cases) {
    std::string trace = c.sample;
    for (const std::string& arg : c.args)
      trace += " " + arg;
    SCOPED_TRACE(trace);
    Sample s;
    ASSERT_TRUE(load_sample(c.sample, s));

    int size = c.last - c.first + 1;
    int available = static_cast<int>(s.frames.size());
    int copied = std::max(0, std::min(c.last, available - 1) - c.first + 1);
    std::string expected = s.hierarchy + "Frames: " + std::to_string(size) + s.eol +
                           "Frame Time: " + six_decimals(s.frame_time) + s.eol;
    for (int i = c.first; i < c.first + copied; ++i)
      expected += s.frames[static_cast<std::size_t>(i)];

    ScratchDir dir;
    std::vector<std::string> args = {kData + "/" + c.sample, "-o", "out.bvh"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ToolOptions options;
    options.cwd = dir.path;
    ToolRun run = run_tool(args, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, std::string(copied == size ? "OK" : kWarning) + "\nMotion with " +
                           std::to_string(copied) + " frames (" + std::to_string(c.first) + ".." +
                           std::to_string(c.first + copied - 1) + ") from " + kData + "/" +
                           c.sample + " copied to out.bvh\n");
    std::string output;
    ASSERT_TRUE(read_file(dir.file("out.bvh"), output));
    EXPECT_EQ(output, expected);
  }
}

}  // namespace

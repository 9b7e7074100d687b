// Faults injected into real runs of the built program: broken and odd inputs, outputs that
// cannot be created or written, names that lead back to the input. Every run is checked
// for its message, its exit status, and that nothing was lost: the input's bytes are
// unchanged, the folder holds no new or leftover files, and an output that was there
// before is either replaced by a complete cut or kept as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/test_util.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <thread>
#endif

namespace {

const char kPrevious[] = "the previous cut\n";
const char kNoMotion[] = "Error: Incomplete input file, the MOTION section missing";
const char kWarning[] =
    "Warning: Incorrect value 'Frames' in input file, check number of copied frames.";

std::string summary(int frames, int first, int last, const std::string& out = "out.bvh") {
  return "\nMotion with " + std::to_string(frames) + " frames (" + std::to_string(first) + ".." +
         std::to_string(last) + ") from in.bvh copied to " + out + "\n";
}

std::string declared(const std::string& count, const std::string& time = "0.040000",
                     const std::string& eol = "\n") {
  return "Frames: " + count + eol + "Frame Time: " + time + eol;
}

// Compares a file's bytes without printing them: some are megabytes long.
void expect_file(const std::string& path, const std::string& expected) {
  std::string actual;
  ASSERT_TRUE(read_file(path, actual)) << path << " is missing";
  EXPECT_EQ(actual.size(), expected.size()) << path;
  if (expected.size() < 4096) {
    EXPECT_EQ(actual, expected) << path;
  } else {
    EXPECT_TRUE(actual == expected) << path << " differs";
  }
}

struct Case {
  const char* name;
  std::string input;  // the bytes of in.bvh
  std::vector<std::string> args;
  std::string console;
  int status;
  std::string output;  // out.bvh after a run that succeeds
};

// Runs `c` in a folder holding in.bvh, an empty folder folder.bvh and, when `previous`,
// an out.bvh from an earlier run.
void check_case(const Case& c, bool previous) {
  SCOPED_TRACE(std::string(c.name) + (previous ? ", over an earlier output" : ""));
  ScratchDir dir;
  write_file(dir.file("in.bvh"), c.input);
  std::filesystem::create_directory(dir.file("folder.bvh"));
  if (previous) write_file(dir.file("out.bvh"), kPrevious);
  std::vector<std::string> before = entries(dir.path);

  ToolOptions options;
  options.cwd = dir.path;
  ToolRun run = run_tool(c.args, options);
  EXPECT_EQ(run.out, c.console);
  EXPECT_EQ(run.status, c.status);
  expect_file(dir.file("in.bvh"), c.input);
  EXPECT_TRUE(entries(dir.file("folder.bvh")).empty());
  if (c.status == 0) {
    if (!previous) before.push_back("out.bvh");
    std::sort(before.begin(), before.end());
    EXPECT_EQ(entries(dir.path), before);
    expect_file(dir.file("out.bvh"), c.output);
  } else {
    EXPECT_EQ(entries(dir.path), before);
    if (previous) expect_file(dir.file("out.bvh"), kPrevious);
  }
}

// Every failure leaves the folder as it was, whether it strikes before the output is
// created or after; an earlier output survives either way.
TEST(Fault, FailedRunsLoseNothing) {
  const std::string create_error = "Error: Cannot create output file ";
  const Case cases[] = {
      {"missing input", "", {"missing.bvh"}, "Error: Cannot open input file missing.bvh", 255, ""},
      {"input is a folder",
       "",
       {"folder.bvh"},
       "Error: Cannot open input file folder.bvh",
       255,
       ""},
      {"invalid option", "MOTION\n", {"in.bvh", "-x"}, "Error: Invalid option -x\n", 255, ""},
      {"no input name", "MOTION\n", {"-s", "1"}, "Error: No input file given\n", 255, ""},
      {"output in a missing folder",
       "MOTION\n",
       {"in.bvh", "-o", "missing/out.bvh"},
       create_error + "missing/out.bvh",
       255,
       ""},
      {"output below a file",
       "MOTION\n",
       {"in.bvh", "-o", "in.bvh/out.bvh"},
       create_error + "in.bvh/out.bvh",
       255,
       ""},
      {"output is a folder",
       "MOTION\n",
       {"in.bvh", "-o", "folder.bvh"},
       create_error + "folder.bvh",
       255,
       ""},
      {"empty output name", "MOTION\n", {"in.bvh", "-o", ""}, create_error, 255, ""},
      {"output name longer than a file name can be",
       "MOTION\n",
       {"in.bvh", "-o", std::string(300, 'n')},
       create_error + std::string(300, 'n'),
       255,
       ""},
      {"output is the input",
       "MOTION\n",
       {"in.bvh", "-o", "in.bvh"},
       "Error: Output file in.bvh is the input file",
       255,
       ""},
      {"only MOTION, without a line break", "MOTION", {"in.bvh"}, kNoMotion, 255, ""},
      {"empty input", "", {"in.bvh"}, kNoMotion, 255, ""},
      {"MOTION only after a NUL byte",
       bytes("HIERARCHY\n\0MOTION\nFrames: 1\n"),
       {"in.bvh"},
       kNoMotion,
       255,
       ""},
  };
  for (const Case& c : cases) {
    check_case(c, false);
    check_case(c, true);
  }
}

// Odd but readable inputs give a complete cut that replaces the earlier output.
TEST(Fault, OddInputsGiveCompleteCuts) {
  const std::string h = hierarchy();
  const std::string cut_off = h + "Frames: 3\nFrame Time: 0.04\nA0\nA1\nA2 0.25 -0.";
  const std::string zero_time = h + "Frames: 3\nFrame Time: 0\nA0\nA1\nA2\n";
  const Case cases[] = {
      {"only MOTION and its line break",
       "MOTION\n",
       {"in.bvh"},
       "OK" + summary(0, 0, -1),
       0,
       "MOTION\n" + declared("0", "0.000000")},
      {"only MOTION and CR LF",
       "MOTION\r\n",
       {"in.bvh"},
       "OK" + summary(0, 0, -1),
       0,
       "MOTION\r\n" + declared("0", "0.000000", "\r\n")},
      {"cut off in a frame line",
       cut_off,
       {"in.bvh"},
       "OK" + summary(3, 0, 2),
       0,
       h + declared("3") + "A0\nA1\nA2 0.25 -0."},
      {"cut off in a frame line, range ends before",
       cut_off,
       {"in.bvh", "-s", "1", "-e", "1"},
       "OK" + summary(1, 1, 1),
       0,
       h + declared("1") + "A1\n"},
      {"cut off in a frame line, count promises more",
       h + "Frames: 5\nFrame Time: 0.04\nA0\nA1\nA2 0.2",
       {"in.bvh", "-s", "1"},
       kWarning + summary(2, 1, 2),
       0,
       h + declared("4") + "A1\nA2 0.2"},
      {"count beyond 32 bits",
       h + "Frames: 99999999999999999999\nFrame Time: 0.04\nA0\nA1\n",
       {"in.bvh"},
       kWarning + summary(2, 0, 1),
       0,
       h + declared("2147483647") + "A0\nA1\n"},
      {"count far below 32 bits",
       h + "Frames: -99999999999\nFrame Time: 0.04\nA0\n",
       {"in.bvh"},
       "OK" + summary(0, 0, -1),
       0,
       h + declared("0")},
      {"frame time 0, times",
       zero_time,
       {"in.bvh", "-s", "1s", "-e", "2s"},
       "OK" + summary(0, 0, -1),
       0,
       h + declared("0", "0.000000")},
      {"frame time 0, start time",
       zero_time,
       {"in.bvh", "-s", "0.5s"},
       "OK" + summary(3, 0, 2),
       0,
       h + declared("3", "0.000000") + "A0\nA1\nA2\n"},
      {"NUL bytes in the hierarchy and the frames",
       bytes("HIER\0ARCHY\n\0MOTION\nMOTION\0 x\nFrames: 3\nFrame Time: 0.04\nA\0B\n\0\0\n\0C"),
       {"in.bvh"},
       "OK" + summary(3, 0, 2),
       0,
       bytes("HIER\0ARCHY\n\0MOTION\nMOTION\0 x\n") + declared("3") + bytes("A\0B\n\0\0\n\0C")},
  };
  for (const Case& c : cases) {
    check_case(c, false);
    check_case(c, true);
  }
}

// A frame line of several megabytes is one frame, with or without a line break after it.
TEST(Fault, FrameLinesOfSeveralMegabytes) {
  const std::string h = hierarchy();
  std::string wide;
  while (wide.size() < (std::size_t{5} << 20))
    wide += "-12.345678 ";
  const std::string inside = h + "Frames: 3\nFrame Time: 0.04\nA0\n" + wide + "\nA2\n";
  const std::string last = h + "Frames: 3\nFrame Time: 0.04\nA0\nA1\n" + wide;
  const Case cases[] = {
      {"inside the motion",
       inside,
       {"in.bvh", "-s", "1", "-e", "1"},
       "OK" + summary(1, 1, 1),
       0,
       h + declared("1") + wide + "\n"},
      {"inside the motion, all frames",
       inside,
       {"in.bvh"},
       "OK" + summary(3, 0, 2),
       0,
       h + declared("3") + "A0\n" + wide + "\nA2\n"},
      {"last, without a line break",
       last,
       {"in.bvh", "-s", "2"},
       "OK" + summary(1, 2, 2),
       0,
       h + declared("1") + wide},
      {"last, without a line break, all frames",
       last,
       {"in.bvh", "-e", "99"},
       "OK" + summary(3, 0, 2),
       0,
       h + declared("3") + "A0\nA1\n" + wide},
  };
  for (const Case& c : cases)
    check_case(c, true);
}

#ifndef _WIN32

std::string big_motion() {
  std::string text = hierarchy() + "Frames: 100000\nFrame Time: 0.01\n";
  for (int i = 0; i < 100000; ++i)
    text += "0.1 0.2 0.3 0.4 0.5 0.6\n";
  return text;
}

// Writes that fail (a full device, a file-size limit reached in the middle of the copy)
// are errors that leave neither a partial file nor a damaged earlier one, whatever name
// the output goes by.
TEST(Fault, WriteFailuresLoseNothing) {
  const std::string input = big_motion();
  struct WriteCase {
    const char* name;
    const char* output;
    long long file_size_limit;
  };
  const WriteCase cases[] = {
      {"full device", "/dev/full", -1},
      {"size limit, new file", "new.bvh", 1000000},
      {"size limit, earlier output", "out.bvh", 1000000},
      {"size limit, link to the earlier output", "link.bvh", 1000000},
      {"size limit, link to no file yet", "dangling.bvh", 1000000},
      {"size limit, a file of two names", "hard.bvh", 1000000},
      {"size limit, reached in the declarations", "out.bvh",
       static_cast<long long>(hierarchy().size() + 4)},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    write_file(dir.file("in.bvh"), input);
    write_file(dir.file("out.bvh"), kPrevious);
    ASSERT_EQ(::symlink("out.bvh", dir.file("link.bvh").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere.bvh", dir.file("dangling.bvh").c_str()), 0);
    write_file(dir.file("linked.bvh"), kPrevious);
    ASSERT_EQ(::link(dir.file("linked.bvh").c_str(), dir.file("hard.bvh").c_str()), 0);
    std::vector<std::string> before = entries(dir.path);

    ToolOptions options;
    options.cwd = dir.path;
    options.file_size_limit = c.file_size_limit;
    ToolRun run = run_tool({"in.bvh", "-o", c.output}, options);
    EXPECT_EQ(run.out, std::string("Error: Cannot write output file ") + c.output);
    EXPECT_EQ(run.status, 255);
    expect_file(dir.file("in.bvh"), input);
    expect_file(dir.file("out.bvh"), kPrevious);
    expect_file(dir.file("linked.bvh"), kPrevious);
    EXPECT_EQ(entries(dir.path), before);
  }
}

// A link to a file that does not exist yet is followed, through a chain of links and
// folders, to where the new file goes; the file appears complete, made like any new file.
TEST(Fault, AnOutputLinkToNoFileYet) {
  ScratchDir dir;
  write_file(dir.file("in.bvh"), motion_file(3, 3));
  ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("sub/link.bvh", dir.file("first.bvh").c_str()), 0);
  ASSERT_EQ(::symlink("made.bvh", dir.file("sub/link.bvh").c_str()), 0);
  ToolOptions options;
  options.cwd = dir.path;
  ToolRun run = run_tool({"in.bvh", "-s", "2", "-o", "first.bvh"}, options);
  EXPECT_EQ(run.out, "OK" + summary(1, 2, 2, "first.bvh"));
  EXPECT_EQ(run.status, 0);
  expect_file(dir.file("sub/made.bvh"), hierarchy() + declared("1") + "A2\n");
  EXPECT_EQ(entries(dir.file("sub")), (std::vector<std::string>{"link.bvh", "made.bvh"}));
  struct stat made, fresh;
  write_file(dir.file("fresh"), "");
  ASSERT_EQ(::lstat(dir.file("sub/made.bvh").c_str(), &made), 0);
  ASSERT_EQ(::lstat(dir.file("fresh").c_str(), &fresh), 0);
  EXPECT_EQ(made.st_mode, fresh.st_mode);
  ASSERT_EQ(::lstat(dir.file("first.bvh").c_str(), &made), 0);
  EXPECT_TRUE(S_ISLNK(made.st_mode));
}

// A named pipe cannot seek and delivers the input in pieces; failures through it keep the
// earlier output, and a line that spans many pieces is still one frame.
TEST(Fault, NamedPipeInputs) {
  std::string wide(3 << 20, '7');
  const std::string h = hierarchy();
  const Case cases[] = {
      {"only MOTION, without a line break", "MOTION", {"in.pipe"}, kNoMotion, 255, ""},
      {"a frame line of megabytes",
       h + "Frames: 3\nFrame Time: 0.04\nA0\n" + wide + "\nA2",
       {"in.pipe", "-s", "1"},
       "OK\nMotion with 2 frames (1..2) from in.pipe copied to out.bvh\n",
       0,
       h + declared("2") + wide + "\nA2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    ASSERT_EQ(::mkfifo(dir.file("in.pipe").c_str(), 0600), 0);
    write_file(dir.file("out.bvh"), kPrevious);
    std::thread writer([&] { write_file(dir.file("in.pipe"), c.input); });
    ToolOptions options;
    options.cwd = dir.path;
    ToolRun run = run_tool(c.args, options);
    writer.join();
    EXPECT_EQ(run.out, c.console);
    EXPECT_EQ(run.status, c.status);
    expect_file(dir.file("out.bvh"), c.status == 0 ? c.output : kPrevious);
    EXPECT_EQ(entries(dir.path), (std::vector<std::string>{"in.pipe", "out.bvh"}));
  }
}

// However the output's name leads to the input, the run is refused and the input stays.
TEST(Fault, TheInputUnderOtherNames) {
  const std::string input = motion_file(5, 5);
  ScratchDir dir;
  write_file(dir.file("walk.bvh"), input);
  ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("walk.bvh", dir.file("soft.bvh").c_str()), 0);
  ASSERT_EQ(::symlink("soft.bvh", dir.file("softer.bvh").c_str()), 0);
  ASSERT_EQ(::symlink(".", dir.file("here").c_str()), 0);
  ASSERT_EQ(::link(dir.file("walk.bvh").c_str(), dir.file("sub/hard.bvh").c_str()), 0);
  std::vector<std::string> before = entries(dir.path);
  struct NameCase {
    std::string input;
    std::string output;
  };
  const NameCase cases[] = {
      {"walk.bvh", dir.file("walk.bvh")},  // absolute
      {"walk.bvh", ".//sub/..//walk.bvh"},
      {"walk.bvh", "here/here/walk.bvh"},
      {"walk.bvh", "softer.bvh"},  // a link to a link
      {"walk.bvh", "sub/hard.bvh"},
      {"soft.bvh", "walk.bvh"},  // the input named by a link
      {dir.file("sub/hard.bvh"), "here/soft.bvh"},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.input + " -o " + c.output);
    ToolOptions options;
    options.cwd = dir.path;
    ToolRun run = run_tool({c.input, "-s", "1", "-o", c.output}, options);
    EXPECT_EQ(run.out, "Error: Output file " + c.output + " is the input file");
    EXPECT_EQ(run.status, 255);
    expect_file(dir.file("walk.bvh"), input);
    EXPECT_EQ(entries(dir.path), before);
  }
}

#endif  // _WIN32

}  // namespace

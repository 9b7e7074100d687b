// The real program where platforms could differ: the bytes of console output and of files,
// the exit status, wildcards in the arguments, and file names. Each test says what it
// expects on Windows and elsewhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;

// Standard output is binary on Windows too: a message's "\n" reaches a pipe as "\n", not as
// CR LF, so the console output is the same bytes on every platform.
const char kConsoleEol[] = "\n";

#ifdef _WIN32
const char* const kNullDevice = "NUL";
const std::int64_t kFailureExitCode = 0xFFFFFFFF;  // -1, all 32 bits set
#else
const char* const kNullDevice = "/dev/null";
const std::int64_t kFailureExitCode = 255;  // -1 cut to the 8 bits a process status keeps
#endif

std::string summary(int frames, int first, int last, const std::string& in,
                    const std::string& out) {
  return kConsoleEol +
         ("Motion with " + std::to_string(frames) + " frames (" + std::to_string(first) + ".." +
          std::to_string(last) + ") from " + in + " copied to " + out) +
         kConsoleEol;
}

TEST(Platform, ConsoleLineEnds) {
  ScratchDir dir;
  write_file(dir.file("walk.bvh"), motion_file(3, 3, "\r\n"));
  ToolOptions options;
  options.cwd = dir.path;
  ToolRun usage = run_tool({}, options);
  const std::string head = kConsoleEol + std::string("*** Mocslice");
  EXPECT_EQ(usage.out.substr(0, head.size()), head);
  EXPECT_EQ(usage.out.find('\r'), std::string::npos);
  // The file's CR LF stays in the file; the console keeps its own line ends.
  ToolRun run = run_tool({"walk.bvh", "-e", "1"}, options);
  EXPECT_EQ(run.out, "OK" + summary(2, 0, 1, "walk.bvh", "out.bvh"));
  ToolRun error = run_tool({"-h", "-x"}, options);
  EXPECT_EQ(error.out, usage.out + "Error: Invalid option -x" + kConsoleEol);
}

// Files are bytes on every platform: no line-ending translation (Windows text mode would
// write CR LF for LF) and no end of file at a Ctrl-Z byte (Windows text mode stops there).
TEST(Platform, FileBytesPassUnchanged) {
  struct Case {
    const char* name;
    std::string input;
    std::string output;
  };
  const Case cases[] = {
      {"LF", motion_file(3, 3), hierarchy() + "Frames: 2\nFrame Time: 0.040000\nA1\nA2\n"},
      {"CR LF", motion_file(3, 3, "\r\n"),
       hierarchy("\r\n") + "Frames: 2\r\nFrame Time: 0.040000\r\nA1\r\nA2\r\n"},
      {"Ctrl-Z and a lone CR", hierarchy() + "Frames: 3\nFrame Time: 0.04\nA0\nA\x1a\r1\nA2\n",
       hierarchy() + "Frames: 2\nFrame Time: 0.040000\nA\x1a\r1\nA2\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    write_file(dir.file("walk.bvh"), c.input);
    ToolOptions options;
    options.cwd = dir.path;
    ToolRun run = run_tool({"walk.bvh", "-s", "1"}, options);
    EXPECT_EQ(run.out, "OK" + summary(2, 1, 2, "walk.bvh", "out.bvh"));
    std::string output;
    ASSERT_TRUE(read_file(dir.file("out.bvh"), output));
    EXPECT_EQ(output, c.output);
  }
}

// -1 from main reaches a POSIX shell as 255 everywhere; Windows reports the whole 32 bits.
TEST(Platform, ExitStatus) {
  ScratchDir dir;
  write_file(dir.file("walk.bvh"), motion_file(3, 3));
  struct Case {
    std::vector<std::string> args;
    int status;
    std::int64_t exit_code;
  };
  const Case cases[] = {
      {{}, 0, 0},
      {{"walk.bvh"}, 0, 0},
      {{"-x"}, 255, kFailureExitCode},
      {{"-s", "1"}, 255, kFailureExitCode},
      {{"missing.bvh"}, 255, kFailureExitCode},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
    ToolOptions options;
    options.cwd = dir.path;
    ToolRun run = run_tool(c.args, options);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.exit_code, c.exit_code);
  }
}

// On Windows the program's start-up expands wildcards as a POSIX shell would, matches in
// name order, so the last match is the input. Elsewhere the shell expands them before
// the program starts; a pattern that reaches the program is a file name like any other.
TEST(Platform, WildcardsInArguments) {
  ScratchDir dir;
  // Made out of name order: the name decides, not the age. Each holds its number of frames.
  for (int n : {3, 1, 2})
    write_file(dir.file("walk" + std::to_string(n) + ".bvh"), motion_file(n, n));
  ASSERT_TRUE(fs::create_directory(fs::u8path(dir.file("takes"))));
  write_file(dir.file("takes/a1.bvh"), motion_file(1, 1));
  write_file(dir.file("takes/a2.bvh"), motion_file(2, 2));
  struct Case {
    std::string pattern;
    std::string windows_input;  // the input on Windows
    int windows_frames;         // its frames; 0: it cannot be opened
  };
  const Case cases[] = {
      {"walk*.bvh", "walk3.bvh", 3},
      {"walk?.bvh", "walk3.bvh", 3},
      {"takes/a*.bvh", "takes/a2.bvh", 2},
      {"w*k[0-9]*", "w*k[0-9]*", 0},        // brackets are no wildcard on Windows
      {"nothing*.bvh", "nothing*.bvh", 0},  // no match: the pattern stays
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    ToolOptions options;
    options.cwd = dir.path;
    ToolRun run = run_tool({c.pattern, "-o", kNullDevice}, options);
#ifdef _WIN32
    const std::string input = c.windows_input;
    const int frames = c.windows_frames;
#else
    const std::string input = c.pattern;
    const int frames = 0;
#endif
    if (frames == 0) {
      EXPECT_EQ(run.out, "Error: Cannot open input file " + input);
    } else {
      EXPECT_EQ(run.out, "OK" + summary(frames, 0, frames - 1, input, kNullDevice));
    }
  }
}

// Names with spaces and with characters beyond ASCII and beyond any one code page, in
// UTF-8 on the command line and on the console, on every platform.
TEST(Platform, FileNames) {
  ScratchDir dir;
  ASSERT_TRUE(fs::create_directory(fs::u8path(dir.file("my takes"))));
  const std::string input =
      "my takes/w\xC3\xA4lk \xC3\xBC"
      "ber.bvh";                                                                // wälk über
  const std::string output = "my takes/\xE6\xAD\xA9\xE8\xA1\x8C \xCE\xA9.bvh";  // 歩行 Ω
  write_file(dir.file(input), motion_file(3, 3));
  ToolOptions options;
  options.cwd = dir.path;
  ToolRun run = run_tool({input, "-s", "1", "-o", output}, options);
  EXPECT_EQ(run.out, "OK" + summary(2, 1, 2, input, output));
  std::string written;
  ASSERT_TRUE(read_file(dir.file(output), written));
  EXPECT_EQ(written, hierarchy() + "Frames: 2\nFrame Time: 0.040000\nA1\nA2\n");
  EXPECT_EQ(entries(dir.file("my takes")),
            (std::vector<std::string>{"w\xC3\xA4lk \xC3\xBC"
                                      "ber.bvh",
                                      "\xE6\xAD\xA9\xE8\xA1\x8C \xCE\xA9.bvh"}));

  // The same names given as full paths, and one that is the input spelled differently.
  ToolRun full = run_tool({dir.file(input), "-o", dir.file(output)}, options);
  EXPECT_EQ(full.out, "OK" + summary(3, 0, 2, dir.file(input), dir.file(output)));
  ToolRun same = run_tool({input, "-o", "my takes/../" + input}, options);
  EXPECT_EQ(same.out, "Error: Output file my takes/../" + input + " is the input file");
}

// The null device takes the output in place: nothing is created beside it.
TEST(Platform, NullDevice) {
  ScratchDir dir;
  write_file(dir.file("walk.bvh"), motion_file(3, 3));
  ToolOptions options;
  options.cwd = dir.path;
  ToolRun run = run_tool({"walk.bvh", "-o", kNullDevice}, options);
  EXPECT_EQ(run.out, "OK" + summary(3, 0, 2, "walk.bvh", kNullDevice));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(entries(dir.path), std::vector<std::string>{"walk.bvh"});
}

}  // namespace

// The real program, run as a user runs it: console output byte for byte, the exit status
// as a shell sees it, and the files it leaves.
#include <gtest/gtest.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h:
#include <tlhelp32.h>

#include <chrono>
#include <functional>
#include <random>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
const char* const kNullDevice = "NUL";
#else
const char* const kNullDevice = "/dev/null";
#endif

const char* const kUsage =
    "\n*** Mocslice - extracts a part of .bvh motion file. ***\n"
    "    mocslice " MOCSLICE_VERSION
    ", written by the mocslice developers; free to use and share.\n\n"
    "Usage:\n"
    "  mocslice.exe [OPTIONS] <input_file> [OPTIONS]\n"
    "  Options:\n"
    "    -s #[%/s]      start frame number #  (default: 0 - the first frame)\n"
    "    -e #[%/s]      end frame number #    (default: the last frame)\n"
    "    -o <filename>  output file name      (default: out.bvh)\n"
    "    -h             help, show usage\n"
    "\n"
    "    where format of # is: an integer frame number, or\n"
    "                          percentage (float) followed by % sign, or\n"
    "                          time in seconds (float) followed by letter s\n"
    "\n"
    "Examples:\n"
    "  mocslice.exe walk.bvh -s 20 -e 100 -o step.bvh   - extract frames 20 to 100\n"
    "  mocslice.exe jump.bvh -e 33.33% -o jump1.bvh     - extract first third\n"
    "  mocslice.exe run.bvh -s 1.5s -e 50% -o leap.bvh  - from time 1.5s to the half\n"
    "\n";

std::string summary(int frames, int first, int last, const std::string& in,
                    const std::string& out) {
  return "\nMotion with " + std::to_string(frames) + " frames (" + std::to_string(first) + ".." +
         std::to_string(last) + ") from " + in + " copied to " + out + "\n";
}

TEST(Cli, UsageAndOptionErrors) {
  ScratchDir dir;
  write_file(dir.file("walk.bvh"), motion_file(300, 300));
  struct Case {
    std::vector<std::string> args;
    std::string out;
    int status;
  };
  const Case cases[] = {
      {{}, kUsage, 0},
      {{"-h"}, std::string(kUsage) + "Error: No input file given\n", 255},
      {{"-x", "walk.bvh", "-h"}, "Error: Invalid option -x\n", 255},
      {{"-s", "3"}, "Error: No input file given\n", 255},
      // Arguments arrive as given: blanks, quotes, backslashes, an empty one.
      {{"-a \"q\" \\ z\\\\"}, "Error: Invalid option -a \"q\" \\ z\\\\\n", 255},
      {{"walk.bvh", ""}, "Error: No input file given\n", 255},
      {{"walk.bvh", "-h", "-e", "2"},
       std::string(kUsage) + "OK" + summary(3, 0, 2, "walk.bvh", "out.bvh"),
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
    ToolOptions options;
    options.cwd = dir.path;
    ToolRun run = run_tool(c.args, options);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.status, c.status);
  }
}

TEST(Cli, TheFirstExample) {
  ScratchDir dir;
  write_file(dir.file("walk.bvh"), motion_file(300, 300));
  ToolOptions options;
  options.cwd = dir.path;
  ToolRun run = run_tool({"walk.bvh", "-s", "20", "-e", "100", "-o", "step.bvh"}, options);
  EXPECT_EQ(run.out, "OK" + summary(81, 20, 100, "walk.bvh", "step.bvh"));
  EXPECT_EQ(run.status, 0);
  std::string output;
  ASSERT_TRUE(read_file(dir.file("step.bvh"), output));
  EXPECT_EQ(output, hierarchy() + "Frames: 81\nFrame Time: 0.040000\n" + frame_lines(20, 100));
}

// Whatever spelling or link names it, the input is never the output, and stays as it was.
TEST(Cli, RefusesToOverwriteTheInput) {
  ScratchDir dir;
  const std::string input = motion_file(5, 5);
  write_file(dir.file("walk.bvh"), input);
  std::vector<std::string> outputs = {"walk.bvh", "./walk.bvh", "sub/../walk.bvh", "hard.bvh"};
  std::error_code error;
  fs::create_hard_link(fs::u8path(dir.file("walk.bvh")), fs::u8path(dir.file("hard.bvh")), error);
  ASSERT_FALSE(error) << error.message();
  ASSERT_TRUE(fs::create_directory(fs::u8path(dir.file("sub"))));
#ifdef _WIN32
  // Names are case-insensitive, and backslashes separate folders too.
  outputs.insert(outputs.end(),
                 {"WALK.BVH", ".\\walk.bvh", "Sub\\..\\Walk.bvh", dir.path + "\\walk.bvh"});
#else
  ASSERT_EQ(::symlink("walk.bvh", dir.file("soft.bvh").c_str()), 0);
  outputs.push_back("soft.bvh");
#endif
  for (const std::string& output : outputs) {
    SCOPED_TRACE(output);
    ToolOptions options;
    options.cwd = dir.path;
    ToolRun run = run_tool({"walk.bvh", "-s", "1", "-o", output}, options);
    EXPECT_EQ(run.out, "Error: Output file " + output + " is the input file");
    EXPECT_EQ(run.status, 255);
    std::string after;
    ASSERT_TRUE(read_file(dir.file("walk.bvh"), after));
    EXPECT_EQ(after, input);
  }
}

#ifndef _WIN32
// A write that fails is an error, never "OK", and leaves no partial file; a good file that
// was there before stays as it was. (A full device and a file size limit are POSIX's.)
TEST(Cli, WriteErrors) {
  ScratchDir dir;
  std::string big = hierarchy() + "Frames: 100000\nFrame Time: 0.01\n";
  for (int i = 0; i < 100000; ++i)
    big += "0.1 0.2 0.3 0.4 0.5 0.6\n";
  write_file(dir.file("big.bvh"), big);
  ToolOptions options;
  options.cwd = dir.path;

  ToolRun full = run_tool({"big.bvh", "-o", "/dev/full"}, options);
  EXPECT_EQ(full.out, "Error: Cannot write output file /dev/full");
  EXPECT_EQ(full.status, 255);

  write_file(dir.file("keep.bvh"), "a good file\n");
  options.file_size_limit = 1000000;  // the copy passes this limit midway
  ToolRun limited = run_tool({"big.bvh", "-o", "keep.bvh"}, options);
  EXPECT_EQ(limited.out, "Error: Cannot write output file keep.bvh");
  EXPECT_EQ(limited.status, 255);
  std::string kept;
  ASSERT_TRUE(read_file(dir.file("keep.bvh"), kept));
  EXPECT_EQ(kept, "a good file\n");

  ToolRun fresh = run_tool({"big.bvh", "-o", "new.bvh"}, options);
  EXPECT_EQ(fresh.status, 255);
  EXPECT_FALSE(file_exists(dir.file("new.bvh")));
  EXPECT_EQ(entries(dir.path), (std::vector<std::string>{"big.bvh", "keep.bvh"}));
}
#endif

// Failures found after the output was opened remove what was written and keep what was
// there; a destination that is not a regular file is never removed.
TEST(Cli, FailedRunsKeepAnExistingOutput) {
  ScratchDir dir;
  write_file(dir.file("broken.bvh"), "HIERARCHY\nROOT Hips\n");
  write_file(dir.file("out.bvh"), "the previous cut\n");
  ToolOptions options;
  options.cwd = dir.path;
  ToolRun run = run_tool({"broken.bvh"}, options);
  EXPECT_EQ(run.out, "Error: Incomplete input file, the MOTION section missing");
  EXPECT_EQ(run.status, 255);
  std::string kept;
  ASSERT_TRUE(read_file(dir.file("out.bvh"), kept));
  EXPECT_EQ(kept, "the previous cut\n");

  ToolRun to_null = run_tool({"broken.bvh", "-o", kNullDevice}, options);
  EXPECT_EQ(to_null.status, 255);
#ifndef _WIN32
  EXPECT_TRUE(file_exists(kNullDevice));
#endif
  EXPECT_EQ(entries(dir.path), (std::vector<std::string>{"broken.bvh", "out.bvh"}));
}

TEST(Cli, ReplacesAnExistingOutput) {
  ScratchDir dir;
  write_file(dir.file("walk.bvh"), motion_file(5, 5));
  write_file(dir.file("out.bvh"),
             "an older and longer file than the new one\n" + motion_file(9, 9));
  ToolOptions options;
  options.cwd = dir.path;
  ToolRun run = run_tool({"walk.bvh", "-e", "0"}, options);
  EXPECT_EQ(run.out, "OK" + summary(1, 0, 0, "walk.bvh", "out.bvh"));
  std::string output;
  ASSERT_TRUE(read_file(dir.file("out.bvh"), output));
  EXPECT_EQ(output, hierarchy() + "Frames: 1\nFrame Time: 0.040000\nA0\n");
  EXPECT_EQ(entries(dir.path), (std::vector<std::string>{"out.bvh", "walk.bvh"}));
}

#ifndef _WIN32
TEST(Cli, ReplacesAnExistingOutputKeepingItsPermissions) {
  ScratchDir dir;
  write_file(dir.file("walk.bvh"), motion_file(5, 5));
  write_file(dir.file("out.bvh"), "old\n");
  ASSERT_EQ(::chmod(dir.file("out.bvh").c_str(), 0640), 0);
  ASSERT_EQ(::symlink("out.bvh", dir.file("link.bvh").c_str()), 0);
  ToolOptions options;
  options.cwd = dir.path;
  ToolRun run = run_tool({"walk.bvh", "-e", "0", "-o", "link.bvh"}, options);
  EXPECT_EQ(run.out, "OK" + summary(1, 0, 0, "walk.bvh", "link.bvh"));
  std::string output;
  ASSERT_TRUE(read_file(dir.file("out.bvh"), output));
  EXPECT_EQ(output, hierarchy() + "Frames: 1\nFrame Time: 0.040000\nA0\n");
  struct stat info;
  ASSERT_EQ(::lstat(dir.file("link.bvh").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));  // the link still leads to the file
  ASSERT_EQ(::stat(dir.file("out.bvh").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}
#endif

TEST(Cli, InputsThatAreNotPlainFiles) {
  ScratchDir dir;
  ToolOptions options;
  options.cwd = dir.path;
  ASSERT_TRUE(fs::create_directory(fs::u8path(dir.file("folder.bvh"))));
  ToolRun folder = run_tool({"folder.bvh"}, options);
  EXPECT_EQ(folder.out, "Error: Cannot open input file folder.bvh");
  EXPECT_EQ(folder.status, 255);
  EXPECT_FALSE(file_exists(dir.file("out.bvh")));

#ifndef _WIN32

  // Reading a process's own memory at offset 0 fails with an I/O error.
  ToolRun unreadable = run_tool({"/proc/self/mem"}, options);
  EXPECT_EQ(unreadable.out, "Error: Cannot read input file /proc/self/mem");
  EXPECT_EQ(unreadable.status, 255);
  EXPECT_FALSE(file_exists(dir.file("out.bvh")));

  // A named pipe cannot seek; one forward pass is all the run needs.
  ASSERT_EQ(::mkfifo(dir.file("pipe.bvh").c_str(), 0600), 0);
  std::thread writer([&] { write_file(dir.file("pipe.bvh"), motion_file(5, 5)); });
  ToolRun piped = run_tool({"pipe.bvh", "-s", "3"}, options);
  writer.join();
  EXPECT_EQ(piped.out, "OK" + summary(2, 3, 4, "pipe.bvh", "out.bvh"));
  std::string output;
  ASSERT_TRUE(read_file(dir.file("out.bvh"), output));
  EXPECT_EQ(output, hierarchy() + "Frames: 2\nFrame Time: 0.040000\nA3\nA4\n");
#endif
}

#ifndef _WIN32
TEST(Cli, OutputToAStream) {
  ScratchDir dir;
  write_file(dir.file("walk.bvh"), motion_file(5, 5));
  ToolOptions options;
  options.cwd = dir.path;
  ToolRun run = run_tool({"walk.bvh", "-s", "4", "-o", "/dev/stdout"}, options);
  EXPECT_EQ(run.out, hierarchy() + "Frames: 1\nFrame Time: 0.040000\nA4\n" + "OK" +
                         summary(1, 4, 4, "walk.bvh", "/dev/stdout"));
  EXPECT_EQ(run.status, 0);
}
#endif

#ifdef _WIN32
// Runs the tool while a thread serves the named pipe `name` (one connection, in
// `direction`) with `serve`. A run that never connects does not leave the thread waiting.
ToolRun run_with_pipe(const std::string& name, DWORD direction,
                      const std::function<void(HANDLE)>& serve,
                      const std::vector<std::string>& args, const ToolOptions& options) {
  HANDLE pipe = CreateNamedPipeA(name.c_str(), direction, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096,
                                 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return ToolRun();
  std::thread server([&] {
    if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) serve(pipe);
    CloseHandle(pipe);
  });
  ToolRun run = run_tool(args, options);
  HANDLE unblock = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (unblock != INVALID_HANDLE_VALUE) CloseHandle(unblock);
  server.join();
  return run;
}

// Ends this process's child mocslice.exe as Task Manager or taskkill /f would. 0 when it did.
int terminate_child() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  int result = 1;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ParentProcessID != GetCurrentProcessId() ||
        _wcsicmp(entry.szExeFile, L"mocslice.exe") != 0) {
      continue;
    }
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
    if (process && TerminateProcess(process, 9)) result = 0;
    if (process) CloseHandle(process);
  }
  CloseHandle(snapshot);
  return result;
}

std::string pipe_name(const char* purpose) {
  return std::string("\\\\.\\pipe\\mocslice-test-") + purpose + "-" +
         std::to_string(GetCurrentProcessId());
}

// A named pipe serves as input (read to its end, never sought) and as output (written in
// place); a pipe whose reader goes away is a write error, never "OK".
TEST(Cli, NamedPipes) {
  ScratchDir dir;
  ToolOptions options;
  options.cwd = dir.path;
  const std::string text = motion_file(5, 5);
  std::string in_pipe = pipe_name("in");
  ToolRun piped_in = run_with_pipe(
      in_pipe, PIPE_ACCESS_OUTBOUND,
      [&](HANDLE pipe) {
        DWORD put = 0;
        WriteFile(pipe, text.data(), static_cast<DWORD>(text.size()), &put, nullptr);
        FlushFileBuffers(pipe);
      },
      {in_pipe, "-s", "3"}, options);
  EXPECT_EQ(piped_in.out, "OK" + summary(2, 3, 4, in_pipe, "out.bvh"));
  std::string output;
  ASSERT_TRUE(read_file(dir.file("out.bvh"), output));
  EXPECT_EQ(output, hierarchy() + "Frames: 2\nFrame Time: 0.040000\nA3\nA4\n");

  write_file(dir.file("walk.bvh"), text);
  std::string out_pipe = pipe_name("out");
  std::string received;
  auto receive = [&](HANDLE pipe) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0)
      received.append(buffer, got);
  };
  ToolRun piped_out = run_with_pipe(out_pipe, PIPE_ACCESS_INBOUND, receive,
                                    {"walk.bvh", "-s", "4", "-o", out_pipe}, options);
  EXPECT_EQ(piped_out.out, "OK" + summary(1, 4, 4, "walk.bvh", out_pipe));
  EXPECT_EQ(received, hierarchy() + "Frames: 1\nFrame Time: 0.040000\nA4\n");

  std::string big = hierarchy() + "Frames: 100000\nFrame Time: 0.01\n";
  for (int i = 0; i < 100000; ++i)
    big += "0.1 0.2 0.3 0.4 0.5 0.6\n";
  write_file(dir.file("big.bvh"), big);
  std::string gone = pipe_name("gone");
  ToolRun broken = run_with_pipe(
      gone, PIPE_ACCESS_INBOUND, [](HANDLE) {}, {"big.bvh", "-o", gone}, options);
  EXPECT_EQ(broken.out, "Error: Cannot write output file " + gone);
  EXPECT_EQ(broken.status, 255);

  // Other names of the same pipe: it is opened once, by the output, never by the check that
  // the output is not the input.
  for (const char* device : {"\\\\?\\pipe\\", "\\\\.\\GLOBALROOT\\Device\\NamedPipe\\"}) {
    std::string server = pipe_name("spelt");
    std::string spelt = device + server.substr(9);
    received.clear();
    ToolRun run = run_with_pipe(server, PIPE_ACCESS_INBOUND, receive,
                                {"walk.bvh", "-s", "4", "-o", spelt}, options);
    EXPECT_EQ(run.out, "OK" + summary(1, 4, 4, "walk.bvh", spelt)) << spelt;
    EXPECT_EQ(received, hierarchy() + "Frames: 1\nFrame Time: 0.040000\nA4\n") << spelt;
  }

  // A run ended while it waits on its input, as Task Manager ends it (TerminateProcess) and
  // as the host ends Wine's process (SIGKILL): its temporary file goes with it, and an output
  // that was there keeps its content.
  for (bool host_kill : {false, true}) {
    for (bool previous : {false, true}) {
      SCOPED_TRACE(std::string(host_kill ? "SIGKILL" : "TerminateProcess") +
                   (previous ? ", over an earlier output" : ""));
      ScratchDir killed;
      options.cwd = killed.path;
      if (previous) write_file(killed.file("out.bvh"), "the previous cut\n");
      std::vector<std::string> before = entries(killed.path);
      std::string marker = std::to_string(std::random_device()());
      std::string input = "\\\\.\\pipe\\mocslice-killed-" + marker;
      int ended = -1;
      run_with_pipe(
          input, PIPE_ACCESS_OUTBOUND,
          [&](HANDLE pipe) {
            DWORD put = 0;
            WriteFile(pipe, text.data(), 200, &put, nullptr);
            auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (entries(killed.path).size() == before.size() &&
                   std::chrono::steady_clock::now() < give_up) {
              Sleep(10);
            }
            ended = host_kill
                        ? host_shell(
                              "for p in /proc/[0-9]*; do case $(tr '\\0' ' ' < $p/cmdline "
                              "2>/dev/null) in "
                              "*\"$1$2\"*) kill -KILL ${p#/proc/} && k=1;; esac; done; test $k",
                              {"mocslice-killed-", marker})
                        : terminate_child();
          },
          {input, "-o", "out.bvh"}, options);
      if (ended == -1) continue;  // no host to end it from: Windows itself
      EXPECT_EQ(ended, 0);
      EXPECT_EQ(entries(killed.path), before);
      std::string kept;
      EXPECT_EQ(read_file(killed.file("out.bvh"), kept) ? kept : "none",
                previous ? "the previous cut\n" : "none");
    }
  }
}
#endif

}  // namespace

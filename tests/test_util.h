// Helpers shared by the tests: scratch folders, whole-file reads and writes, small BVH
// texts, and running the real program. Paths are UTF-8 on every platform, as the tool's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A fresh empty folder in the system's temporary folder, removed with everything in it when
// the object goes away.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string path;
  std::string file(const std::string& name) const { return path + "/" + name; }
};

// A string literal's bytes, NUL bytes included.
template <std::size_t N>
std::string bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

void write_file(const std::string& path, const std::string& bytes);
// The file's bytes; false when it cannot be read.
bool read_file(const std::string& path, std::string& bytes);
bool file_exists(const std::string& path);

// The names in a folder, sorted.
std::vector<std::string> entries(const std::string& folder);

// A small skeleton whose hierarchy ends with the line "MOTION" and the given line ending.
std::string hierarchy(const std::string& eol = "\n");

// hierarchy() + "Frames: <declared>" + "Frame Time: 0.04" + frame lines A0 .. A<n-1>.
std::string motion_file(int declared, int frames, const std::string& eol = "\n");

// "A<first>" .. "A<last>" lines, each ended by `eol`.
std::string frame_lines(int first, int last, const std::string& eol = "\n");

struct ToolRun {
  std::string out;  // everything the program printed on standard output
  int status = -1;  // exit status as a shell sees it (0..255; -1 shows as 255); 1000 if killed
  int signal = 0;   // the signal that ended the program, if one did (POSIX)
  // The whole exit code as the system reports it: on Windows all 32 bits (-1 is
  // 0xFFFFFFFF), elsewhere the same as `status`. -1 when the program did not exit normally.
  std::int64_t exit_code = -1;
};

struct ToolOptions {
  std::string cwd;                 // folder to start in; empty: the current one
  long long file_size_limit = -1;  // bytes a file may grow to; -1: no limit (POSIX only)
  long user = -1;                  // run as this user and group, in no other group; -1: as
  long group = -1;                 // this process (POSIX only; needs root)
};

// Runs the built mocslice with `args`, passed on exactly as given (on Windows quoted for
// the C runtime's parser of the command line, so only the program's own wildcard
// expansion changes them), with standard output read through a pipe.
ToolRun run_tool(const std::vector<std::string>& args, const ToolOptions& options = {});

#ifdef _WIN32
// Under Wine, where the tests reach the host too (drive Z: is its /): the host's name for a
// Windows path, and `script` run by the host's sh with `args` ("$1" ...), as the user the
// tests run as, giving its exit status. Empty and -1 on Windows itself.
std::string host_path(const std::string& path);
int host_shell(const std::string& script, const std::vector<std::string>& args = {});
#endif

#ifndef _WIN32
// A program started and not yet waited for.
struct ToolProcess {
  long pid = -1;
  int output = -1;  // the read end of its standard output
};

// Starts `argv` (the program first) as run_tool starts mocslice.
ToolProcess start_program(const std::vector<std::string>& argv, const ToolOptions& options = {});

// Reads the rest of the program's standard output and waits for it to end.
ToolRun finish_program(ToolProcess& process);

// Runs `script` with sh, with the built mocslice as "$1", as run_tool would run mocslice.
ToolRun run_shell(const std::string& script, const ToolOptions& options = {});
#endif

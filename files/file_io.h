// The lowest layer, the operating system's files: everything above reaches the disk,
// devices and pipes through this header and nothing else. It knows nothing of BVH or of
// blocks and threads.
//
// The operating system's file calls, as the extraction run needs them: whole-block reads
// of the input, whole-block writes of the output, and an output that only ever appears
// complete. Bytes pass unchanged on every platform (no text-mode translation). Paths are
// UTF-8 on every platform. One file per platform: file_io_posix.cpp, file_io_windows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "files/output_rules.h"

struct InputFile {
  std::intptr_t handle = -1;  // file descriptor, or a Windows HANDLE
};

// Opens `path` for reading. False when it cannot be opened or is a directory.
bool open_input(const std::string& path, InputFile& file);

// Reads up to `size` bytes. Returns the count read, 0 at the end of the input, -1 on a
// read error. Interrupted calls are retried.
std::int64_t read_input(InputFile& file, char* buffer, std::size_t size);

void close_input(InputFile& file);

// The size of an input that is a regular file, whose bytes can be read at any offset;
// -1 for anything else (a pipe, a device).
std::int64_t input_file_size(const InputFile& file);

// Reads up to `size` bytes at `offset` of a regular file, like read_input otherwise. Safe to
// call from two threads at once.
std::int64_t read_input_at(InputFile& file, std::int64_t offset, char* buffer, std::size_t size);

// Makes the next read_input start at `offset` of a regular file. False on failure.
bool seek_input(InputFile& file, std::int64_t offset);

// True when `path` exists and is the very file `file` has open, whatever the spelling of
// the path or the links leading to it (the file identities are compared, not the names).
bool is_same_file(const InputFile& file, const std::string& path);

// An output under construction, written the way files/output_rules.h chooses: through a
// descriptor the process has open, in place (devices, pipes), or through a temporary file
// that becomes the output, or is copied into the existing file, only once complete. A failed
// run leaves no partial file and the file that was there as it was (only a failure in the
// midst of that final copy can leave it part new), and an interrupted one (any signal that
// would end the process, SIGKILL aside; Ctrl-C or a closed console on Windows) removes its
// temporary file, then ends by the signal as usual. While an output is open, a file-size limit
// makes a write fail instead of ending the process.
struct OutputFile {
  std::intptr_t handle = -1;  // where the cut is written now
  OutputRule rule = OutputRule::Refuse;
  std::intptr_t target = -1;  // an existing regular file, open for writing
  std::intptr_t folder = -1;  // the output's folder, for the temporary file's calls
  bool temp_unnamed = false;  // POSIX: the temporary file has no name until it is put in place
  std::string temp_name;      // POSIX: a temporary file's name, while it has one
  std::string final_name;     // the output's name in its folder
  std::int64_t target_changed = 0;  // when the target's status last changed (POSIX: in ns),
                                    // as it was when its identity was taken
  std::int64_t written = 0;         // POSIX: bytes written to a temporary file so far
  std::int64_t reserved_end = 0;    // POSIX: its blocks are set aside up to here; -1 once
                                    // the file system refused
  std::int64_t expected_size = -1;  // the size the caller expects it to reach, which decides
                                    // on setting blocks aside (POSIX) and on the writing
                                    // thread; -1 unknown
};

// Linux makes unnamed temporary files where the file system can; a named one is the way
// everywhere else, and can be asked for.
enum class TempForm { UnnamedWherePossible, Named };

// Opens the output for writing. False when it cannot be created, or is a file the caller
// may not write; nothing is changed then.
bool create_output(const std::string& path, OutputFile& file,
                   TempForm form = TempForm::UnnamedWherePossible);

// True when the file `output` will be written into or replaced is the file `input` has
// open: judged by the file that was opened, not by its name.
bool output_is_file(const OutputFile& output, const InputFile& input);

// Writes all `size` bytes (retrying short writes). False on any failure. Safe to call from
// a second thread.
bool write_output(OutputFile& file, const char* data, std::size_t size);

// Closes the output and puts the complete temporary file in place: renamed or linked in,
// or copied into the existing file. False when that fails; the temporary file is removed
// then. Interrupts wait until it is done.
bool commit_output(OutputFile& file);

// Closes the output and removes a temporary file. What was there before is left alone.
void discard_output(OutputFile& file);

#ifdef _WIN32
// For the tests: when set, asked before each Windows call that makes an output, puts it in
// place or takes a step of that back, with a few words naming the call; a nonzero answer, a
// system error code, fails the call with that code instead of making it. So the tests show
// what no test can bring about on its own: a virus scanner holding a file at a given step, a
// full disk there, another user's owner.
extern unsigned long (*file_call_fault)(const char* call);
#endif

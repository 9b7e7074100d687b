// The operating system's file calls, as the extraction run needs them: whole-block reads
// of the input, whole-block writes of the output, and an output that only ever appears
// complete. Bytes pass unchanged on every platform (no text-mode translation).
// Paths are UTF-8 on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

// An output under construction. A regular file (or a name that does not exist yet) is
// written to a temporary file beside it and moved over it only when complete, so a failed
// run never leaves a partial file nor destroys the one that was there. Anything else
// (a device, a pipe, a terminal) is written in place.
struct OutputFile {
  std::intptr_t handle = -1;
  std::string final_path;  // where the complete file goes
  std::string temp_path;   // where it is written until then; empty when written in place
};

// Opens the output for writing. False when it cannot be created.
bool create_output(const std::string& path, OutputFile& file);

// Writes all `size` bytes (retrying short writes). False on any failure.
bool write_output(OutputFile& file, const char* data, std::size_t size);

// Closes the output and moves a temporary file into place. False when closing or moving
// fails; the temporary file is then removed.
bool commit_output(OutputFile& file);

// Closes the output and removes a temporary file. A destination written in place is
// left alone: it is not ours to remove.
void discard_output(OutputFile& file);

// Skipping many lines of a regular file at twice the speed of one thread: two threads count
// the line breaks of alternate segments at once, and only the segment where the skip ends
// is then scanned line by line. (One thread alone is as fast scanning block after block.)
#pragma once

#include <cstddef>
#include <cstdint>

#include "files/file_io.h"

struct LineSkip {
  std::int64_t offset = 0;  // where the line after the skipped ones starts, or the input's end
  bool failed = false;      // a read failed
  bool no_thread = false;   // no second thread could be had, and nothing was read
};

// Skips `count` lines of the regular file `input` from `offset`: past `count` line breaks,
// or to the end of the input when fewer follow. The caller's thread and a second one read
// at offsets, `segment_size` bytes each at a time, through a buffer of `buffer_size` bytes
// each at `buffers`. Reads at most five segments past the start of the one where the skip
// ends: the second thread may be two segments ahead, and finishes the one it counts.
LineSkip skip_lines_at(InputFile& input, std::int64_t offset, std::int64_t count,
                       std::int64_t segment_size, char* buffers, std::size_t buffer_size);

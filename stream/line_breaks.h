// Finding the n-th line break of a block without a call per line: the block is taken 64
// bytes at a time, its line breaks found as a bit mask by vector compares and counted, and
// only in the 64 bytes where the count runs out is the exact break picked from the mask;
// past 64 bytes without a break, memchr jumps to the next one. Files of very short lines
// cost about as much to scan as files of long ones.
#pragma once

#include <cstddef>
#include <cstdint>

// Scans the `size` bytes at `data` for line breaks ('\n'). When `wanted` (> 0) or more are
// there, returns the offset just past the wanted-th and sets `wanted` to 0; otherwise
// returns `size` and lowers `wanted` by the number found.
std::size_t scan_line_breaks(const char* data, std::size_t size, std::int64_t& wanted);

// The number of line breaks in the `size` bytes at `data`.
std::int64_t count_line_breaks(const char* data, std::size_t size);

// Each way of scanning this build has, so that tests can hold every one of them to the plain
// byte loop; scan_line_breaks uses the last one the processor can run.
struct LineBreakScanner {
  const char* name;
  std::size_t (*scan)(const char* data, std::size_t size, std::int64_t& wanted);
  bool (*usable)();  // whether this processor can run it
};
extern const LineBreakScanner kLineBreakScanners[];
extern const int kLineBreakScannerCount;

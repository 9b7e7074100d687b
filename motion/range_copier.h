// Copies one contiguous range of the input to the output while the caller is still finding
// where that range ends. The caller scans for line breaks and announces how far the range
// is known to reach; on POSIX systems a second thread copies up to there meanwhile (inside
// the kernel where it can), so scanning and copying overlap instead of adding up.
#pragma once

#include <cstdint>

#include "motion/file_io.h"

struct RangeCopierShared;  // the state shared with the copying thread

struct RangeCopier {
  InputFile* input = nullptr;
  OutputFile* output = nullptr;
  std::int64_t input_start = 0;         // input offset of the range's first byte
  std::int64_t output_start = 0;        // where that byte goes in the output
  std::int64_t known = 0;               // bytes of the range found so far
  RangeCopierShared* shared = nullptr;  // set while a copying thread runs
};

// Prepares to copy the input from `input_start` to the output from `output_start`.
// REQUIRES: can_copy_range(input, output).
void start_range_copy(RangeCopier& copier, InputFile& input, std::int64_t input_start,
                      OutputFile& output, std::int64_t output_start);

// The range reaches at least `known` bytes. Returns false once a copy has failed, so the
// caller can stop scanning.
bool extend_range_copy(RangeCopier& copier, std::int64_t known);

// The range is `length` bytes in all: copies what is left and waits for the copy to end.
// Must be called after start_range_copy, also when the run stops early.
CopyResult finish_range_copy(RangeCopier& copier, std::int64_t length);

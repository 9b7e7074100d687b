// The BVH layer, under the command line and over the moving of bytes in stream/: the
// frame positions and ranges (frame_range.h), the two declaration lines (declarations.h)
// and the extraction run (this header). It knows the file format, not the system calls.
//
// The extraction run: one forward pass that copies the hierarchy of a BVH file, writes a
// new frame count and the frame time, and copies one contiguous range of frame lines.
#pragma once

#include <string>

#include "motion/frame_range.h"

// The settings of one run.
struct ExtractJob {
  std::string input_path;
  std::string output_path;
  FramePosition start;
  FramePosition end;
};

// Cuts job.start .. job.end out of job.input_path into job.output_path and prints the
// verdict ("OK" or a warning when fewer frames follow than the range needs) and a summary.
// Returns 0 when the output was written, -1 after printing an error. A failed run leaves
// no output file behind and never touches the input; an existing output is replaced only
// by a complete one.
int extract_motion(const ExtractJob& job);

// Checks of a finished cut from outside the tool, for the corpus test and the fuzz targets:
// the invariants every output must satisfy whatever the job, and an independent model of
// the cut. The model reads the declarations with the C library's own formatted scans and
// resolves the range with the documented formulas; it shares no code with the tool.
#pragma once

#include <cstdint>
#include <string>

#include "motion/frame_range.h"

// What a finished run left: its console text, whether it failed (status -1), and the
// output file (when there is one).
struct CutResult {
  bool failed = false;
  std::string console;
  bool output_exists = false;
  std::string output;
};

// The bytes of the file at `path`; false when it cannot be read.
bool read_bytes(const std::string& path, std::string& bytes);

// "" when `result` satisfies every invariant of a cut of `input` (bytes) named `in_name`
// into `out_name`; otherwise a description of the first one that does not hold.
// A success copies the hierarchy up to and including the first line that begins with
// "MOTION", then exactly the lines "Frames: N" and "Frame Time: X" with that line's
// ending, then whole input frame lines, contiguous and in order, as many as the summary
// says and N of them when it says "OK". A failure prints one error and writes nothing.
std::string cut_invariant_failure(const std::string& input, const CutResult& result,
                                  const std::string& in_name, const std::string& out_name);

// The frame index `position` names by the documented formulas, before clamping:
// floor((frame_count - 1) x fraction + 0.5), floor(seconds / frame_time + 0.5), or the
// frame number; INT32_MIN when the result is not a finite number within 32 bits.
std::int64_t model_position(const FramePosition& position, std::int32_t frame_count,
                            float frame_time);

// The range after clamping: first at least 0, last at most frame_count - 1, and
// last = first - 1 when it would fall below first.
void model_range(const FramePosition& start, const FramePosition& end, std::int32_t frame_count,
                 float frame_time, std::int64_t& first, std::int64_t& last);

struct ModelCut {
  bool has_motion = false;  // false: the run must fail with the MOTION error
  // False when the C library's scans are known to stop elsewhere than ISO C's rules say
  // (an incomplete number such as "1e", which some libraries accept): then only
  // has_motion is predicted.
  bool exact = true;
  std::int32_t frame_count = 0;
  float frame_time = 0.0f;
  std::int64_t first = 0;
  std::int64_t size = 0;
  std::int64_t copied = 0;
  std::string output;  // the expected output file
};

// Predicts the cut of the file at `path` (false when it cannot be read).
bool model_cut(const std::string& path, const FramePosition& start, const FramePosition& end,
               ModelCut& cut);

// The console text the predicted cut must print.
std::string model_console(const ModelCut& cut, const std::string& in_name,
                          const std::string& out_name);

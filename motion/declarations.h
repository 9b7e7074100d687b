// The two declaration lines of the motion section, "Frames: <count>" and
// "Frame Time: <seconds>", read the way the C formatted scans "%*s %d\n" and
// "%*s %*s %f\n" read them: on the character stream, not on lines. A scan that fails
// leaves its value as it was, consumes what it had matched, and the next scan goes on
// from there; each successful scan also swallows all white space after its number,
// line breaks and the leading blanks of the next line included.
#pragma once

#include "motion/frame_range.h"
#include "stream/input_stream.h"

// Fills `info` from the count line and the frame-time line and leaves `in` at the first
// byte of the first frame line. A count beyond 32 bits saturates; a frame time beyond the
// float range becomes infinite.
void scan_declarations(InputStream& in, MotionInfo& info);

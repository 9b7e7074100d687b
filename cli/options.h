// The top layer, the command line: options and usage screen (this header) and the entry
// point (main.cpp), over the extraction run of motion/.
//
// The command line: "[OPTIONS] <input_file> [OPTIONS]" with -s, -e, -o and -h, read into
// an ExtractJob, and the usage screen.
#pragma once

#include "motion/extract.h"

// Input empty, output "out.bvh", start 0 % and end 100 % (the whole motion).
ExtractJob default_job();

// Reads the arguments after the program name into `job`, left to right: the value after
// -s, -e and -o is taken whatever it looks like, -h prints the usage screen and parsing
// goes on, the last non-option argument is the input. Returns false after printing an
// error for an unknown option (anything else beginning with "-") or a missing input name.
bool parse_options(int argc, const char* const* argv, ExtractJob& job);

// Sets `position` from an -s or -e value: a value containing "%" is a percentage, else one
// containing "s" a time in seconds, else a frame number; the number is read from the
// value's start as atof or atoi would, without their undefined results on overflow.
void set_position(const char* value, FramePosition& position);

// Prints the usage screen on standard output.
void print_usage();

#include "cli/options.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// atoi, but a value beyond 32 bits saturates instead of being undefined.
std::int32_t leading_integer(const char* text) {
  long long value = std::strtoll(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

// A double rounded to a float the way IEEE arithmetic does it, overflowing to infinity
// (a plain conversion of an out-of-range double is undefined).
float to_float(double value) {
  // Halfway between the largest float and 2^128: from here on the rounding goes to infinity.
  const double kOverflow = std::ldexp(2.0 - std::ldexp(1.0, -24), 127);
  if (value >= kOverflow) return std::numeric_limits<float>::infinity();
  if (value <= -kOverflow) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

}  // namespace

ExtractJob default_job() {
  ExtractJob job;
  job.output_path = "out.bvh";
  job.start.kind = PositionKind::Percent;
  job.start.fraction = 0.0f;
  job.end.kind = PositionKind::Percent;
  job.end.fraction = 1.0f;
  return job;
}

void set_position(const char* value, FramePosition& position) {
  if (std::strchr(value, '%') != nullptr) {
    position.kind = PositionKind::Percent;
    position.fraction = to_float(std::strtod(value, nullptr) / 100.0);
  } else if (std::strchr(value, 's') != nullptr) {
    position.kind = PositionKind::Seconds;
    position.seconds = to_float(std::strtod(value, nullptr));
  } else {
    position.kind = PositionKind::FrameNumber;
    position.frame = leading_integer(value);
  }
}

bool parse_options(int argc, const char* const* argv, ExtractJob& job) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (std::strcmp(argument, "-s") == 0 || std::strcmp(argument, "-e") == 0) {
      // An option without its value at the very end is dropped.
      if (++i >= argc) break;
      set_position(argv[i], argument[1] == 's' ? job.start : job.end);
    } else if (std::strcmp(argument, "-o") == 0) {
      if (++i >= argc) break;
      job.output_path = argv[i];
    } else if (std::strcmp(argument, "-h") == 0) {
      print_usage();
    } else if (argument[0] == '-') {
      std::printf("Error: Invalid option %s\n", argument);
      return false;
    } else {
      job.input_path = argument;
    }
  }
  if (job.input_path.empty()) {
    std::printf("Error: No input file given\n");
    return false;
  }
  return true;
}

void print_usage() {
  std::printf("\n*** Mocslice - extracts a part of .bvh motion file. ***\n");
  std::printf("    mocslice %s, written by the mocslice developers; free to use and share.\n\n",
              MOCSLICE_VERSION);
  std::printf("Usage:\n");
  std::printf("  mocslice.exe [OPTIONS] <input_file> [OPTIONS]\n");
  std::printf("  Options:\n");
  std::printf("    -s #[%%/s]      start frame number #  (default: 0 - the first frame)\n");
  std::printf("    -e #[%%/s]      end frame number #    (default: the last frame)\n");
  std::printf("    -o <filename>  output file name      (default: out.bvh)\n");
  std::printf("    -h             help, show usage\n");
  std::printf("\n");
  std::printf("    where format of # is: an integer frame number, or\n");
  std::printf("                          percentage (float) followed by %% sign, or\n");
  std::printf("                          time in seconds (float) followed by letter s\n");
  std::printf("\n");
  std::printf("Examples:\n");
  std::printf("  mocslice.exe walk.bvh -s 20 -e 100 -o step.bvh   - extract frames 20 to 100\n");
  std::printf("  mocslice.exe jump.bvh -e 33.33%% -o jump1.bvh     - extract first third\n");
  std::printf("  mocslice.exe run.bvh -s 1.5s -e 50%% -o leap.bvh  - from time 1.5s to the half\n");
  std::printf("\n");
}

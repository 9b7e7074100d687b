// Fuzz target for the command line and the range resolution.
//
// Input: a declared frame count (4 bytes) and frame time (4 bytes, the bits of a float),
// little-endian, then the arguments after the program name, each ended by a NUL byte or by
// the end of the input.
// The job that parse_options fills must be the one a plain reading of the grammar gives,
// with the same console text, and the range resolved from it for the declared motion must
// follow the documented formulas and lie inside the motion (or be empty).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "cli/options.h"
#include "fuzz/fuzz_util.h"
#include "motion/frame_range.h"
#include "tests/cut_check.h"

namespace {

std::string usage_text;

// A double stored as a float the IEEE way: past the largest float by half a step or more,
// it is infinite.
float stored_float(double value) {
  const double kLargest = std::numeric_limits<float>::max();
  const double kHalfStep = std::ldexp(1.0, 103);  // half the gap below 2^128
  if (std::fabs(value) >= kLargest + kHalfStep) {
    return std::signbit(value) ? -std::numeric_limits<float>::infinity()
                               : std::numeric_limits<float>::infinity();
  }
  if (std::fabs(value) > kLargest) return static_cast<float>(std::copysign(kLargest, value));
  return static_cast<float>(value);
}

std::int32_t stored_int(const std::string& value) {
  long long number = std::strtoll(value.c_str(), nullptr, 10);
  if (number > INT32_MAX) return INT32_MAX;
  if (number < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(number);
}

// The value forms of -s and -e: a percentage, else a time, else a frame number; only the
// field of that kind changes.
void apply_value(const std::string& value, FramePosition& position) {
  if (value.find('%') != std::string::npos) {
    position.kind = PositionKind::Percent;
    position.fraction = stored_float(std::atof(value.c_str()) / 100.0);
  } else if (value.find('s') != std::string::npos) {
    position.kind = PositionKind::Seconds;
    position.seconds = stored_float(std::atof(value.c_str()));
  } else {
    position.kind = PositionKind::FrameNumber;
    position.frame = stored_int(value);
  }
}

struct ParsedModel {
  bool ok = true;
  std::string console;
  ExtractJob job;
};

ParsedModel model_parse(const std::vector<std::string>& args) {
  ParsedModel m;
  m.job.output_path = "out.bvh";
  m.job.start.kind = PositionKind::Percent;
  m.job.end.kind = PositionKind::Percent;
  m.job.end.fraction = 1.0f;
  std::size_t next = 0;
  while (next < args.size()) {
    const std::string& word = args[next++];
    bool takes_value = word == "-s" || word == "-e" || word == "-o";
    if (takes_value && next == args.size()) break;  // a value-less option at the end
    if (takes_value) {
      const std::string& value = args[next++];
      if (word == "-o") {
        m.job.output_path = value;
      } else {
        apply_value(value, word == "-s" ? m.job.start : m.job.end);
      }
    } else if (word == "-h") {
      m.console += usage_text;
    } else if (!word.empty() && word[0] == '-') {
      m.console += "Error: Invalid option " + word + "\n";
      m.ok = false;
      return m;
    } else {
      m.job.input_path = word;
    }
  }
  if (m.job.input_path.empty()) {
    m.console += "Error: No input file given\n";
    m.ok = false;
  }
  return m;
}

bool same_float(float a, float b) {
  return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

bool same_position(const FramePosition& a, const FramePosition& b) {
  return a.kind == b.kind && a.frame == b.frame && same_float(a.fraction, b.fraction) &&
         same_float(a.seconds, b.seconds);
}

void check_range(const ExtractJob& job, const MotionInfo& info) {
  FrameRange range = resolve_range(job.start, job.end, info);
  std::int64_t first = 0, last = 0;
  model_range(job.start, job.end, info.frame_count, info.frame_time, first, last);
  if (resolve_position(job.start, info) !=
          model_position(job.start, info.frame_count, info.frame_time) ||
      resolve_position(job.end, info) !=
          model_position(job.end, info.frame_count, info.frame_time)) {
    invariant_broken("a position resolves against the formulas");
  }
  if (range.first != first || range.last != last) {
    invariant_broken("the range is " + std::to_string(range.first) + ".." +
                     std::to_string(range.last) + ", the formulas give " + std::to_string(first) +
                     ".." + std::to_string(last));
  }
  std::int64_t size = std::int64_t{range.last} - range.first + 1;
  if (range.first < 0 || size < 0 || range_size(range) != size) {
    invariant_broken("the range is not a range: " + std::to_string(range.first) + ".." +
                     std::to_string(range.last));
  }
  if (size > 0 && range.last > std::int64_t{info.frame_count} - 1) {
    invariant_broken("the range runs past the motion's last frame");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!capture_console()) invariant_broken("cannot capture the console");
  print_usage();
  usage_text = console_text();
  clear_console();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  MotionInfo info;
  info.frame_count = int32_at(data);
  info.frame_time = float_at(data + 4);
  std::vector<std::string> args;
  std::string arg;
  for (std::size_t i = 8; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(arg);
      arg.clear();
    } else {
      arg += static_cast<char>(data[i]);
    }
  }
  if (!arg.empty()) args.push_back(arg);

  std::vector<const char*> argv = {"mocslice"};
  for (const std::string& word : args)
    argv.push_back(word.c_str());
  ExtractJob job = default_job();
  clear_console();
  bool ok = parse_options(static_cast<int>(argv.size()), argv.data(), job);
  std::string console = console_text();

  ParsedModel model = model_parse(args);
  if (ok != model.ok)
    invariant_broken(ok ? "parsing accepted a bad command line" : "parsing failed");
  if (console != model.console) invariant_broken("the console reads: " + console);
  if (ok && (job.input_path != model.job.input_path || job.output_path != model.job.output_path)) {
    invariant_broken("the file names are " + job.input_path + " and " + job.output_path);
  }
  if (!same_position(job.start, model.job.start) || !same_position(job.end, model.job.end)) {
    invariant_broken("a position was not read by its form");
  }
  check_range(job, info);
  return 0;
}

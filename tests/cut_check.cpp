#include "tests/cut_check.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

const char kNoMotion[] = "Error: Incomplete input file, the MOTION section missing";
const char kWarning[] =
    "Warning: Incorrect value 'Frames' in input file, check number of copied frames.";
const std::size_t npos = std::string::npos;

// Offset just past the first line that begins with "MOTION", or npos when no line does or
// that line is the end of the input without a line break.
std::size_t hierarchy_end(const std::string& text) {
  for (std::size_t line = 0; line < text.size();) {
    std::size_t newline = text.find('\n', line);
    if (text.compare(line, 6, "MOTION") == 0) return newline == npos ? npos : newline + 1;
    if (newline == npos) break;
    line = newline + 1;
  }
  return npos;
}

// Offset of the line after the one that starts at `at`.
std::size_t next_line(const std::string& text, std::size_t at) {
  std::size_t newline = text.find('\n', at);
  return newline == npos ? text.size() : newline + 1;
}

std::int64_t count_lines(const std::string& text) {
  std::int64_t lines = 0;
  for (std::size_t at = 0; at < text.size(); at = next_line(text, at))
    ++lines;
  return lines;
}

bool take(const std::string& text, std::size_t& at, const std::string& word) {
  if (text.compare(at, word.size(), word) != 0) return false;
  at += word.size();
  return true;
}

// An optional minus and 1 to 18 digits.
bool take_integer(const std::string& text, std::size_t& at, std::int64_t& value) {
  bool negative = take(text, at, "-");
  std::size_t digits = 0;
  value = 0;
  for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
    if (++digits > 18) return false;
    value = value * 10 + (text[at] - '0');
  }
  if (negative) value = -value;
  return digits > 0;
}

// What "%f" prints: digits, a point and six digits, or an infinity or a NaN.
bool take_fixed(const std::string& text, std::size_t& at) {
  take(text, at, "-");
  if (take(text, at, "inf") || take(text, at, "nan")) return true;
  std::size_t digits = 0;
  while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
    ++at;
    ++digits;
  }
  if (digits == 0 || !take(text, at, ".")) return false;
  for (int i = 0; i < 6; ++i, ++at) {
    if (at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[at]))) return false;
  }
  return true;
}

std::string fixed(float value) {
  char text[64];
  std::snprintf(text, sizeof text, "%f", static_cast<double>(value));
  return text;
}

// "%*s": false at the end of the input.
bool skip_word(std::FILE* file) {
  return std::fscanf(file, "%*s") != EOF;
}

void skip_space(std::FILE* file) {
  int matched = std::fscanf(file, " ");  // nothing to match: only the blanks are taken
  (void)matched;
}

// Whether the `from`..`to` bytes that a successful scan took are what ISO C's scanf takes
// too: a whole number as strtod reads it, not followed by anything that could extend it.
// Some C libraries accept an incomplete number ("1e", "0x1p") or stop early ("nan(...)").
bool iso_number(const std::string& text, std::size_t from, std::size_t to) {
  std::string number = text.substr(from, to - from);
  char* end = nullptr;
  std::strtod(number.c_str(), &end);
  if (number.empty() || end != number.c_str() + number.size()) return false;
  if (to >= text.size()) return true;
  unsigned char next = static_cast<unsigned char>(text[to]);
  return !(std::isalnum(next) || next == '.' || next == '+' || next == '-' || next == '(');
}

// Runs the scans "%*s %d\n" and "%*s %*s %f\n" from `file`'s position, one directive at a
// time so that the positions in between are known, and returns where they stopped.
std::size_t scan_declarations_with_c(std::FILE* file, const std::string& input, ModelCut& cut) {
  if (skip_word(file)) {
    skip_space(file);
    long long count = 0;
    long before = std::ftell(file);
    if (std::fscanf(file, "%lld", &count) == 1) {
      if (count > INT32_MAX) count = INT32_MAX;
      if (count < INT32_MIN) count = INT32_MIN;
      cut.frame_count = static_cast<std::int32_t>(count);
      skip_space(file);
    } else if (std::ftell(file) - before > 1) {
      cut.exact = false;  // more than a sign taken before the scan failed
    }
  }
  if (skip_word(file) && (skip_space(file), skip_word(file))) {
    skip_space(file);
    float seconds = 0.0f;
    long before = std::ftell(file);
    int got = std::fscanf(file, "%f", &seconds);
    long after = std::ftell(file);
    if (got == 1) {
      cut.frame_time = seconds;
      if (!iso_number(input, static_cast<std::size_t>(before), static_cast<std::size_t>(after))) {
        cut.exact = false;
      }
      skip_space(file);
    } else if (after != before) {
      cut.exact = false;
    }
  }
  return static_cast<std::size_t>(std::ftell(file));
}

std::string summary(std::int64_t copied, std::int64_t first, const std::string& in_name,
                    const std::string& out_name) {
  return "\nMotion with " + std::to_string(copied) + " frames (" + std::to_string(first) + ".." +
         std::to_string(first + copied - 1) + ") from " + in_name + " copied to " + out_name + "\n";
}

}  // namespace

bool read_bytes(const std::string& path, std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  bytes.clear();
  char buffer[65536];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
    bytes.append(buffer, got);
  bool ok = !std::ferror(file);
  std::fclose(file);
  return ok;
}

std::string cut_invariant_failure(const std::string& input, const CutResult& result,
                                  const std::string& in_name, const std::string& out_name) {
  std::size_t h = hierarchy_end(input);
  if (h == npos) {
    if (result.failed && result.console == kNoMotion) return "";
    return "no complete MOTION line, yet the run did not end with the MOTION error";
  }
  if (result.failed) return "the run failed on an input with a MOTION line: " + result.console;
  if (!result.output_exists) return "the run reported success without an output file";

  const std::string& out = result.output;
  if (out.size() < h || out.compare(0, h, input, 0, h) != 0) {
    return "the output does not begin with the input's hierarchy and MOTION line";
  }
  std::string eol = h >= 2 && input[h - 2] == '\r' ? "\r\n" : "\n";
  std::size_t at = h;
  std::int64_t declared = 0;
  if (!take(out, at, "Frames: ") || !take_integer(out, at, declared) || !take(out, at, eol)) {
    return "the line after MOTION is not \"Frames: N\" with the MOTION line's ending";
  }
  if (!take(out, at, "Frame Time: ") || !take_fixed(out, at) || !take(out, at, eol)) {
    return "the second line after MOTION is not \"Frame Time: X\" with the MOTION line's ending";
  }
  std::string frames = out.substr(at);

  const std::string& console = result.console;
  std::size_t c = 0;
  bool ok = take(console, c, "OK");
  if (!ok && !take(console, c, kWarning)) return "no verdict: " + console;
  std::int64_t copied = 0, first = 0, last = 0;
  if (!take(console, c, "\nMotion with ") || !take_integer(console, c, copied) ||
      !take(console, c, " frames (") || !take_integer(console, c, first) ||
      !take(console, c, "..") || !take_integer(console, c, last) ||
      !take(console, c, ") from " + in_name + " copied to " + out_name + "\n") ||
      c != console.size()) {
    return "the summary is malformed: " + console;
  }
  if (declared < 0 || first < 0 || copied < 0 || last != first + copied - 1) {
    return "the numbers do not add up: " + console;
  }
  if (ok ? copied != declared : copied >= declared) {
    return "the verdict does not match the count line " + std::to_string(declared);
  }
  if (count_lines(frames) != copied) {
    return "the output holds " + std::to_string(count_lines(frames)) + " frame lines, not " +
           std::to_string(copied);
  }
  if (frames.empty()) return "";
  // The frame lines are one run of whole lines of the input's motion section, which starts
  // no earlier than the hierarchy's end; frame `first` starts after `first` line breaks.
  for (std::size_t o = input.find(frames, h); o != npos; o = input.find(frames, o + 1)) {
    bool whole_end = frames.back() == '\n' || o + frames.size() == input.size();
    bool whole_start =
        first == 0 || (input[o - 1] == '\n' && count_lines(input.substr(h, o - h)) >= first);
    if (whole_end && whole_start) return "";
  }
  return "the frame lines are not a run of whole input lines from frame " + std::to_string(first);
}

std::int64_t model_position(const FramePosition& position, std::int32_t frame_count,
                            float frame_time) {
  double index = 0.0;
  switch (position.kind) {
    case PositionKind::FrameNumber:
      return position.frame;
    case PositionKind::Percent:
      index = std::floor(
          (static_cast<double>(frame_count) - 1.0) * static_cast<double>(position.fraction) + 0.5);
      break;
    case PositionKind::Seconds:
      if (frame_time == 0.0f) return INT32_MIN;  // no quotient at all
      index =
          std::floor(static_cast<double>(position.seconds) / static_cast<double>(frame_time) + 0.5);
      break;
  }
  if (std::isnan(index) || index < -2147483648.0 || index > 2147483647.0) return INT32_MIN;
  return static_cast<std::int64_t>(index);
}

void model_range(const FramePosition& start, const FramePosition& end, std::int32_t frame_count,
                 float frame_time, std::int64_t& first, std::int64_t& last) {
  first = model_position(start, frame_count, frame_time);
  last = model_position(end, frame_count, frame_time);
  if (first < 0) first = 0;
  if (last > std::int64_t{frame_count} - 1) last = std::int64_t{frame_count} - 1;
  if (last < first) last = first - 1;
}

bool model_cut(const std::string& path, const FramePosition& start, const FramePosition& end,
               ModelCut& cut) {
  cut = ModelCut();
  std::string input;
  if (!read_bytes(path, input)) return false;
  std::size_t h = hierarchy_end(input);
  cut.has_motion = h != npos;
  if (!cut.has_motion) return true;

  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr || std::fseek(file, static_cast<long>(h), SEEK_SET) != 0) {
    if (file != nullptr) std::fclose(file);
    return false;
  }
  std::size_t frames = scan_declarations_with_c(file, input, cut);
  std::fclose(file);

  std::int64_t last = 0;
  model_range(start, end, cut.frame_count, cut.frame_time, cut.first, last);
  cut.size = last - cut.first + 1;
  std::size_t at = frames;
  for (std::int64_t skipped = 0; skipped < cut.first && at < input.size(); ++skipped)
    at = next_line(input, at);
  std::size_t copy_from = at;
  for (cut.copied = 0; cut.copied < cut.size && at < input.size(); ++cut.copied)
    at = next_line(input, at);

  std::string eol = h >= 2 && input[h - 2] == '\r' ? "\r\n" : "\n";
  cut.output = input.substr(0, h) + "Frames: " + std::to_string(cut.size) + eol +
               "Frame Time: " + fixed(cut.frame_time) + eol +
               input.substr(copy_from, at - copy_from);
  return true;
}

std::string model_console(const ModelCut& cut, const std::string& in_name,
                          const std::string& out_name) {
  if (!cut.has_motion) return kNoMotion;
  return (cut.copied == cut.size ? "OK" : kWarning) +
         summary(cut.copied, cut.first, in_name, out_name);
}

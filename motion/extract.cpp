#include "motion/extract.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "files/file_io.h"
#include "motion/declarations.h"
#include "stream/block_pipe.h"
#include "stream/cores.h"
#include "stream/input_stream.h"
#include "stream/line_breaks.h"
#include "stream/line_skip.h"

namespace {

enum class Status { Ok, NoMotion, ReadError, WriteError };

const char* find_newline(const InputStream& in, std::size_t from) {
  return static_cast<const char*>(std::memchr(in.block + from, '\n', in.end - from));
}

Status end_of_input(const InputStream& in, Status otherwise) {
  return in.failed ? Status::ReadError : otherwise;
}

// Copies lines up to and including the first one that begins with "MOTION", block by
// block. Only the starts of real lines are tested, however long the lines are. `crlf`
// tells whether that line ended with CR LF.
Status copy_hierarchy(InputStream& in, OutputFile& out, bool& crlf) {
  static const char kTag[] = "MOTION";
  const std::size_t kTagLength = sizeof kTag - 1;
  std::size_t matched = 0;  // bytes of the tag matched at the start of the current line
  bool testing = true;      // still at the start of the current line
  bool in_tag_line = false;
  char previous_byte = 0;  // last byte of the previous block
  for (;;) {
    if (!refill(in)) return end_of_input(in, Status::NoMotion);
    std::size_t start = in.pos;
    std::size_t pos = in.pos;
    bool done = false;
    while (pos < in.end && !done) {
      if (in_tag_line) {
        const char* newline = find_newline(in, pos);
        if (newline == nullptr) {
          pos = in.end;
          break;
        }
        std::size_t at = static_cast<std::size_t>(newline - in.block);
        crlf = (at > 0 ? in.block[at - 1] : previous_byte) == '\r';
        pos = at + 1;
        done = true;
        break;
      }
      if (testing) {
        while (matched < kTagLength && pos < in.end && in.block[pos] == kTag[matched]) {
          ++matched;
          ++pos;
        }
        if (matched == kTagLength) {
          in_tag_line = true;
          continue;
        }
        if (pos == in.end) break;  // the tag may go on in the next block
        testing = false;
      }
      const char* newline = find_newline(in, pos);
      if (newline == nullptr) {
        pos = in.end;
        break;
      }
      pos = static_cast<std::size_t>(newline - in.block) + 1;
      testing = true;
      matched = 0;
    }
    previous_byte = in.block[in.end - 1];
    in.pos = pos;
    if (!write_output(out, in.block + start, pos - start)) return Status::WriteError;
    if (done) return Status::Ok;
  }
}

// A skip that has gone this far through a regular file with this much left goes on by
// counting the line breaks of segments of kSkipSegment bytes with two threads, where a core
// is free for the second. (One thread alone scans as fast block after block.)
const std::int64_t kSegmentSkipAfter = std::int64_t{8} << 20;
const std::int64_t kSegmentSkipLeft = std::int64_t{32} << 20;
const std::int64_t kSkipSegment = std::int64_t{8} << 20;

// Skips `count` more lines by counting the line breaks of large segments read at offsets, by
// two threads; false when the input is not a regular file with enough left, or no core or
// thread is free for the second. REQUIRES: the current block is used up.
bool skip_by_segments(InputStream& in, std::int64_t count, Status& status) {
  InputFile& input = *in.pipe->input;
  std::int64_t at = stream_offset(in);
  std::int64_t size = input_file_size(input);
  if (size < 0 || size - at < kSegmentSkipLeft || !second_core_free_now()) return false;
  // The pipe's blocks are free until the copy begins: half for each thread.
  LineSkip skip =
      skip_lines_at(input, at, count, kSkipSegment, in.pipe->memory, kPipeMemorySize / 2);
  if (skip.no_thread) return false;
  if (skip.failed || !seek_input(input, skip.offset)) {
    in.failed = true;
    status = Status::ReadError;
    return true;
  }
  in.block_offset = skip.offset;
  in.pos = in.end = 0;
  status = Status::Ok;
  return true;
}

// Reads and drops `count` lines, or as many as there are.
Status skip_lines(InputStream& in, std::int64_t count) {
  std::int64_t start = stream_offset(in);
  bool tried_segments = false;
  while (count > 0) {
    if (in.pos == in.end && !tried_segments && stream_offset(in) - start >= kSegmentSkipAfter) {
      tried_segments = true;
      Status status;
      if (skip_by_segments(in, count, status)) return status;
    }
    if (!refill(in)) return end_of_input(in, Status::Ok);
    in.pos += scan_line_breaks(in.block + in.pos, in.end - in.pos, count);
  }
  return Status::Ok;
}

// Copies up to `count` lines as they are; a last line without a line break counts as a line.
// `copied` tells how many there were. Each block's run of lines is handed over whole, and the
// next block is read while it is written.
Status copy_lines(InputStream& in, std::int64_t count, std::int64_t& copied) {
  copied = 0;
  bool inside_line = false;  // some bytes of an unfinished line were copied
  while (copied < count) {
    if (!refill(in)) {
      if (inside_line) ++copied;
      return end_of_input(in, Status::Ok);
    }
    std::size_t start = in.pos;
    std::int64_t wanted = count - copied;
    in.pos += scan_line_breaks(in.block + start, in.end - start, wanted);
    copied = count - wanted;
    inside_line = in.block[in.pos - 1] != '\n';
    if (!write_run(*in.pipe, in.block + start, in.pos - start)) return Status::WriteError;
  }
  return Status::Ok;
}

Status write_declarations(OutputFile& out, std::int32_t frames, float frame_time, bool crlf) {
  const char* eol = crlf ? "\r\n" : "\n";
  // The longest "%f" of a float is 47 characters.
  char text[160];
  int length = std::snprintf(text, sizeof text, "Frames: %d%sFrame Time: %f%s", frames, eol,
                             static_cast<double>(frame_time), eol);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof text) return Status::WriteError;
  return write_output(out, text, static_cast<std::size_t>(length)) ? Status::Ok
                                                                   : Status::WriteError;
}

// The cut's size as the input's size and the range foretell it, frame lines being of about
// one length; -1 when the input's size is not known. REQUIRES: `in` stands at frame 0.
std::int64_t expected_cut_size(const InputStream& in, const MotionInfo& info, std::int32_t size) {
  std::int64_t head = stream_offset(in);
  std::int64_t frames = input_file_size(*in.pipe->input) - head;
  if (frames < 0) return -1;
  double share = info.frame_count > 0 ? static_cast<double>(size) / info.frame_count : 0;
  return head + static_cast<std::int64_t>(static_cast<double>(frames) * share);
}

struct RunResult {
  Status status = Status::Ok;
  FrameRange range;
  std::int64_t copied = 0;
};

// Everything between opening and closing the two files, which stay open.
RunResult run_extraction(const ExtractJob& job, InputStream& in, OutputFile& out) {
  RunResult result;
  // Blocks are set aside only for a cut expected to be large (files/output_rules.h), as the
  // range tells: none for the hierarchy before it.
  out.expected_size = 0;
  bool crlf = false;
  result.status = copy_hierarchy(in, out, crlf);
  if (result.status != Status::Ok) return result;

  MotionInfo info;
  scan_declarations(in, info);
  if (in.failed) {
    result.status = Status::ReadError;
    return result;
  }
  result.range = resolve_range(job.start, job.end, info);
  std::int32_t size = range_size(result.range);
  out.expected_size = expected_cut_size(in, info, size);
  result.status = write_declarations(out, size, info.frame_time, crlf);
  if (result.status != Status::Ok) return result;
  result.status = skip_lines(in, result.range.first);
  if (result.status != Status::Ok) return result;
  result.status = copy_lines(in, size, result.copied);
  return result;
}

}  // namespace

int extract_motion(const ExtractJob& job) {
  // Messages printed so far must come before anything written through a console name.
  std::fflush(stdout);

  InputFile input;
  if (!open_input(job.input_path, input)) {
    std::printf("Error: Cannot open input file %s", job.input_path.c_str());
    return -1;
  }
  // Checked before anything is opened for writing: writing would destroy the input.
  if (is_same_file(input, job.output_path)) {
    std::printf("Error: Output file %s is the input file", job.output_path.c_str());
    close_input(input);
    return -1;
  }
  OutputFile output;
  if (!create_output(job.output_path, output)) {
    std::printf("Error: Cannot create output file %s", job.output_path.c_str());
    close_input(input);
    return -1;
  }
  // Asked again of the file that was opened: the name may lead elsewhere by now.
  if (output_is_file(output, input)) {
    discard_output(output);
    std::printf("Error: Output file %s is the input file", job.output_path.c_str());
    close_input(input);
    return -1;
  }

  BlockPipe pipe;
  start_block_pipe(pipe, input, output);
  InputStream in;
  in.pipe = &pipe;
  in.block = current_block(pipe);
  RunResult result = run_extraction(job, in, output);
  if (!finish_block_pipe(pipe) && result.status == Status::Ok) result.status = Status::WriteError;

  close_input(input);
  if (result.status == Status::Ok) {
    if (!commit_output(output)) result.status = Status::WriteError;
  } else {
    discard_output(output);
  }

  switch (result.status) {
    case Status::NoMotion:
      std::printf("Error: Incomplete input file, the MOTION section missing");
      return -1;
    case Status::ReadError:
      std::printf("Error: Cannot read input file %s", job.input_path.c_str());
      return -1;
    case Status::WriteError:
      std::printf("Error: Cannot write output file %s", job.output_path.c_str());
      return -1;
    case Status::Ok:
      break;
  }

  std::int32_t size = range_size(result.range);
  if (result.copied == size) {
    std::printf("OK");
  } else {
    std::printf("Warning: Incorrect value 'Frames' in input file, check number of copied frames.");
  }
  // copied never exceeds the range's size, so first + copied - 1 stays within 32 bits.
  std::printf("\nMotion with %d frames (%d..%d) from %s copied to %s\n",
              static_cast<int>(result.copied), static_cast<int>(result.range.first),
              static_cast<int>(result.range.first + result.copied - 1), job.input_path.c_str(),
              job.output_path.c_str());
  return 0;
}

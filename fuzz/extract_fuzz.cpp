// Fuzz target for the whole extraction run.
//
// Input: a 10-byte job, then the bytes of the input file.
//   byte 0     bits 0-1: kind of the start (0 frame number, 1 percentage, 2 time, 3 the
//              default 0 %); bits 2-3: the same for the end (3: the default 100 %);
//              bit 4: an output file from an earlier run is there.
//   bytes 1-4  the start's value: a little-endian 32-bit integer, or the bits of a float
//   bytes 5-8  the end's value
//   byte 9     the most bytes one of the first 64 reads of the input returns (0: no
//              limit), as a pipe delivers its data in pieces
// Every run must satisfy the invariants of a cut (tests/cut_check.h), leave the input
// as it was, leave no stray files, keep the earlier output when it fails, and, where the
// C library's scans are known to agree with the tool's, match the independent model.
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "motion/extract.h"
#include "tests/cut_check.h"

namespace {

const std::size_t kJobSize = 10;
const char kPrevious[] = "the previous cut\n";

// Enough pieces to put block boundaries anywhere in the hierarchy and the declarations,
// few enough that a run stays cheap.
const std::size_t kLimitedReads = 64;
std::size_t read_limit = 0;
std::size_t limited_reads = 0;

FramePosition position_from(unsigned kind, const std::uint8_t* value, float default_fraction) {
  FramePosition position;
  switch (kind) {
    case 0:
      position.kind = PositionKind::FrameNumber;
      position.frame = int32_at(value);
      break;
    case 1:
      position.kind = PositionKind::Percent;
      position.fraction = float_at(value);
      break;
    case 2:
      position.kind = PositionKind::Seconds;
      position.seconds = float_at(value);
      break;
    default:
      position.kind = PositionKind::Percent;
      position.fraction = default_fraction;
      break;
  }
  return position;
}

}  // namespace

#ifdef MOCSLICE_WRAP_READ
// The program's reads, diverted here by the linker (--wrap=read).
extern "C" ssize_t __real_read(int fd, void* buffer, std::size_t size);
extern "C" ssize_t __wrap_read(int fd, void* buffer, std::size_t size) {
  if (read_limit > 0 && size > read_limit && limited_reads < kLimitedReads) {
    size = read_limit;
    ++limited_reads;
  }
  return __real_read(fd, buffer, size);
}
#endif

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!capture_console() || scratch_folder().empty()) invariant_broken("cannot set up");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kJobSize) return 0;
  ExtractJob job;
  job.input_path = scratch_file("in.bvh");
  job.output_path = scratch_file("out.bvh");
  job.start = position_from(data[0] & 3u, data + 1, 0.0f);
  job.end = position_from((data[0] >> 2) & 3u, data + 5, 1.0f);
  bool previous = (data[0] & 16u) != 0;
  const std::string input(reinterpret_cast<const char*>(data) + kJobSize, size - kJobSize);

  if (!write_bytes(job.input_path, input)) invariant_broken("cannot write the input");
  std::remove(job.output_path.c_str());
  if (previous && !write_bytes(job.output_path, kPrevious)) invariant_broken("cannot write");
  clear_console();
#ifdef MOCSLICE_WRAP_READ
  read_limit = data[9];
  limited_reads = 0;
#endif
  int status = extract_motion(job);
  read_limit = 0;

  CutResult result;
  result.failed = status != 0;
  result.console = console_text();
  result.output_exists = read_bytes(job.output_path, result.output);
  if (status != 0 && status != -1) invariant_broken("status " + std::to_string(status));
  if (data[9] > 0 && input.size() > data[9] && limited_reads == 0) {
    invariant_broken("the reads were not limited: is the linker's --wrap=read in effect?");
  }

  std::string after;
  if (!read_bytes(job.input_path, after) || after != input) {
    invariant_broken("the input changed");
  }
  std::vector<std::string> expected_entries = {"in.bvh"};
  if (previous || !result.failed) expected_entries.push_back("out.bvh");
  if (scratch_entries() != expected_entries) invariant_broken("stray or missing files");
  if (result.failed && previous && result.output != kPrevious) {
    invariant_broken("a failed run changed the earlier output");
  }

  std::string problem = cut_invariant_failure(input, result, job.input_path, job.output_path);
  if (!problem.empty()) invariant_broken(problem);

  ModelCut cut;
  if (!model_cut(job.input_path, job.start, job.end, cut)) invariant_broken("model failed");
  if (cut.has_motion && cut.exact) {
    if (result.console != model_console(cut, job.input_path, job.output_path)) {
      invariant_broken("the console differs from the model's:\n" + result.console + "\n" +
                       model_console(cut, job.input_path, job.output_path));
    }
    if (result.output != cut.output) invariant_broken("the output differs from the model's");
  }
  return 0;
}

#include "stream/block_pipe.h"

#include <condition_variable>
#include <mutex>

#ifndef _WIN32
#include <sys/mman.h>
#endif

#include "stream/cores.h"
#include "stream/thread.h"

namespace {

// The writing thread may start once this much has been written alone: with the output's
// blocks set aside ahead of the writes, a cut of 64 MiB took 0.88 of the time alone that it
// took with the thread, and a whole 1 GiB cut as long either way. (A thread reading ahead was
// tried too: handing each block over cost more than the overlap saved.)
const std::int64_t kWriteBehindThreshold = std::int64_t{64} << 20;
// The last bytes of a cut are written faster alone when no more than this is left: with 1 KB
// lines and a free core, alone took 0.96 to 1.00 of the thread's time for up to 8 MiB left,
// 1.01 to 1.13 for 12 to 40 MiB; two-byte lines 0.94 to 0.97 (41 to 61 pairs).
const std::int64_t kTailAlone = std::int64_t{8} << 20;
// A look at the run queue costs microseconds; 16 MiB take milliseconds to write.
const std::int64_t kLookEvery = std::int64_t{16} << 20;
// The threads' processor time is judged over this many looks or more, not one burst.
const int kLooksBeforeJudging = 2;

struct Run {
  int block;
  const char* data;
  std::size_t size;
};

}  // namespace

struct BlockPipeShared {
  std::mutex lock;
  std::condition_variable changed;
  int free_blocks[kPipeBlockCount];  // the last one freed is used first: it is in cache
  int free_count = 0;
  Run runs[kPipeBlockCount];  // waiting to be written, the oldest at `first_run`
  int first_run = 0;
  int run_count = 0;
  bool closing = false;
  bool write_failed = false;
  BlockPipe* pipe = nullptr;
  Thread writer;
};

namespace {

void write_runs(BlockPipeShared& shared) {
  const BlockPipe& pipe = *shared.pipe;
  std::unique_lock<std::mutex> guard(shared.lock);
  for (;;) {
    shared.changed.wait(guard, [&] { return shared.run_count > 0 || shared.closing; });
    if (shared.run_count == 0) return;  // closing, and all written
    Run run = shared.runs[shared.first_run];
    shared.first_run = (shared.first_run + 1) % kPipeBlockCount;
    --shared.run_count;
    bool skip = shared.write_failed;
    guard.unlock();
    // After a failure the runs are only drained, so the caller never waits for a block.
    bool ok = skip || write_output(*pipe.output, run.data, run.size);
    guard.lock();
    if (!ok) shared.write_failed = true;
    shared.free_blocks[shared.free_count++] = run.block;
    shared.changed.notify_all();
  }
}

void writer_main(void* shared) {
  write_runs(*static_cast<BlockPipeShared*>(shared));
}

char* pipe_memory() {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Aligned to and as big as one huge page: where the system grants it, filling the blocks
  // costs one page fault instead of five hundred, which is much of the cost of a small cut.
  alignas(2 << 20) static char memory[kPipeMemorySize];
  static_assert(sizeof memory == 2 << 20, "the blocks fill one huge page");
  static bool advised = ::madvise(memory, sizeof memory, MADV_HUGEPAGE) == 0;
  (void)advised;
#else
  alignas(4096) static char memory[kPipeMemorySize];
#endif
  return memory;
}

// Starts the writing thread, with every block free but the caller's current one. False when
// no thread can be had.
bool start_writing_behind(BlockPipe& pipe) {
  static BlockPipeShared shared;  // one run per process at a time
  shared.free_count = 0;
  for (int block = kPipeBlockCount - 1; block >= 0; --block) {
    if (block != pipe.current) shared.free_blocks[shared.free_count++] = block;
  }
  shared.first_run = shared.run_count = 0;
  shared.closing = shared.write_failed = false;
  shared.pipe = &pipe;
  if (!start_thread(shared.writer, writer_main, &shared)) return false;
  pipe.shared = &shared;
  pipe.writing_behind = true;
  return true;
}

void stop_writing_behind(BlockPipe& pipe) {
  BlockPipeShared& shared = *pipe.shared;
  {
    std::lock_guard<std::mutex> guard(shared.lock);
    shared.closing = true;
    shared.changed.notify_all();
  }
  join_thread(shared.writer);  // every run handed so far is written
  if (shared.write_failed) pipe.write_failed = true;
  pipe.shared = nullptr;
  pipe.writing_behind = false;
  pipe.current_handed = false;
}

// Starts the writing thread while a core is free for it, and stops it once the process's
// two threads get no more processor time together than one core gives. The run queue is a
// glance at one instant, and the core it showed free may be taken by a neighbour's next
// burst or by the kernel's own work on the files, often for a moment only: so after a stop
// the caller writes alone for twice as long as after the one before, and then looks again.
void look_at_cores(BlockPipe& pipe) {
  pipe.next_look = pipe.handed + pipe.look_every;
  if (pipe.writing_behind) {
    ++pipe.looks_behind;
    if (pipe.looks_behind < kLooksBeforeJudging || pipe.processor_at_start < 0) return;
    double processor = pipe.processor_seconds() - pipe.processor_at_start;
    double wall = pipe.wall_clock() - pipe.wall_at_start;
    if (wall > 0 && !second_thread_pays(processor / wall)) {
      stop_writing_behind(pipe);
      ++pipe.stops;
      pipe.next_look = pipe.handed + (pipe.look_every << (pipe.stops < 8 ? pipe.stops : 8));
    }
    return;
  }
  if (pipe.no_thread || !pipe.core_free()) return;
  // What is left of a cut whose size is foretold (the hierarchy's few KiB aside, which are
  // not handed): -1 where it is not.
  std::int64_t expected = pipe.output->expected_size;
  if (expected >= 0 && expected - pipe.handed < pipe.tail_alone) return;
  if (!start_writing_behind(pipe)) {
    pipe.no_thread = true;
    return;
  }
  pipe.looks_behind = 0;
  pipe.processor_at_start = pipe.processor_seconds();
  pipe.wall_at_start = pipe.wall_clock();
}

}  // namespace

void start_block_pipe(BlockPipe& pipe, InputFile& input, OutputFile& output) {
  pipe = BlockPipe();
  pipe.input = &input;
  pipe.output = &output;
  pipe.memory = pipe_memory();
  pipe.next_look = kWriteBehindThreshold;
  pipe.look_every = kLookEvery;
  pipe.tail_alone = kTailAlone;
  pipe.core_free = second_core_free_now;
  pipe.processor_seconds = process_processor_seconds;
  pipe.wall_clock = wall_seconds;
}

char* current_block(const BlockPipe& pipe) {
  return pipe.memory + static_cast<std::size_t>(pipe.current) * kPipeBlockSize;
}

std::int64_t read_block(BlockPipe& pipe) {
  if (pipe.current_handed) {
    // The run in the current block is still to be written: read on in a free one.
    BlockPipeShared& shared = *pipe.shared;
    std::unique_lock<std::mutex> guard(shared.lock);
    shared.changed.wait(guard, [&] { return shared.free_count > 0; });
    pipe.current = shared.free_blocks[--shared.free_count];
    pipe.current_handed = false;
  }
  // A caller writing alone reads a large block, from the first block on; the writing thread,
  // when it starts, gets every block but that one, which the caller reads on in.
  bool large = !pipe.writing_behind;
  if (large) pipe.current = 0;
  pipe.block_size = large ? kPipeLargeBlockSize : kPipeBlockSize;
  return read_input(*pipe.input, current_block(pipe), pipe.block_size);
}

bool write_run(BlockPipe& pipe, const char* data, std::size_t size) {
  pipe.handed += static_cast<std::int64_t>(size);
  bool look = pipe.handed >= pipe.next_look;
  // A run in a small block may go to a thread started now; one in a large block, which no
  // free block could take the place of, is written first.
  if (look && pipe.block_size == kPipeBlockSize) {
    look_at_cores(pipe);
    look = false;
  }
  if (!pipe.writing_behind) {
    if (!pipe.write_failed && !write_output(*pipe.output, data, size)) pipe.write_failed = true;
    if (look) look_at_cores(pipe);
    return !pipe.write_failed;
  }
  BlockPipeShared& shared = *pipe.shared;
  std::lock_guard<std::mutex> guard(shared.lock);
  // Each waiting run holds a block of its own, so there is always room for one more.
  shared.runs[(shared.first_run + shared.run_count++) % kPipeBlockCount] =
      Run{pipe.current, data, size};
  pipe.current_handed = true;
  shared.changed.notify_all();
  return !shared.write_failed;
}

bool finish_block_pipe(BlockPipe& pipe) {
  if (pipe.writing_behind) stop_writing_behind(pipe);
  return !pipe.write_failed;
}

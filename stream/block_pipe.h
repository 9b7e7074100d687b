// The layer that moves bytes, over the file calls of files/ and under the BVH rules of
// motion/: the blocks and the writing thread (this header), the byte stream the scans read
// (input_stream.h), the line-break search and the long skip (line_breaks.h, line_skip.h),
// and whether a second core is free (cores.h, thread.h). It knows lines, not frames.
//
// The input read and the output written through a few equal blocks. The caller reads
// block after block, scans each, and hands runs of bytes in the current block to be
// written. The caller writes each run at once, reading and writing four blocks as one large
// one of 1 MiB, since each read and write costs the more the smaller it is. Once 64 MiB are
// written, and while a core is free for it, a second thread writes the runs behind the
// caller's reading and scanning, so that the two overlap instead of adding up, a block of
// 256 KiB at a time; but not for the last few MiB of a cut whose size is foretold. The cores
// are looked at again every 16 MiB: a run that found them busy hands over once one is free,
// and one whose two threads turn out to share a core (together they get no more processor
// time than one core gives) goes on alone, for twice as long each time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "files/file_io.h"

const std::size_t kPipeBlockSize = std::size_t{256} << 10;
const int kPipeBlockCount = 8;
const std::size_t kPipeMemorySize = kPipeBlockSize * kPipeBlockCount;
// The first four blocks, read as one by a caller that writes alone. (All eight, 2 MiB, made
// a cut on one core slower instead, 3 x cat's time where 1 MiB took 1.2 x, on a virtual
// machine whose host takes freed memory back: most likely the 2 MiB page-cache folios such
// writes are given, each filled from memory the host must first hand back.)
const std::size_t kPipeLargeBlockSize = kPipeBlockSize * 4;

struct BlockPipeShared;  // the state shared with the threads

struct BlockPipe {
  InputFile* input = nullptr;
  OutputFile* output = nullptr;
  char* memory = nullptr;        // kPipeBlockCount blocks of kPipeBlockSize bytes
  int current = 0;               // the block the caller scans
  std::size_t block_size = 0;    // the size of the current block
  bool current_handed = false;   // a run in it waits to be written
  std::int64_t handed = 0;       // bytes handed to write_run so far
  std::int64_t tail_alone = 0;   // no thread starts with fewer bytes than this left to hand
                                 // of the output's expected size
  bool write_failed = false;
  bool writing_behind = false;
  bool no_thread = false;                   // no thread could be had
  int stops = 0;                            // times the writing thread shared a core
  std::int64_t next_look = 0;               // `handed` at which the cores are looked at next
  std::int64_t look_every = 0;              // bytes handed between looks
  int looks_behind = 0;                     // looks since the writing thread started
  double processor_at_start = 0;            // the process's processor time when it started
  double wall_at_start = 0;                 // the clock then
  bool (*core_free)() = nullptr;            // whether a core is free now
  double (*processor_seconds)() = nullptr;  // the process's processor time, -1 if unknown
  double (*wall_clock)() = nullptr;
  BlockPipeShared* shared = nullptr;  // set while the writing thread runs
};

// Prepares the pipe; one run per process at a time uses its blocks. The decisions on the
// writing thread use the system's probes (stream/cores.h); a test may set `core_free`,
// `processor_seconds`, `wall_clock`, `next_look`, `look_every` and `tail_alone` after this
// call.
void start_block_pipe(BlockPipe& pipe, InputFile& input, OutputFile& output);

// The block the caller scans now.
char* current_block(const BlockPipe& pipe);

// Reads the next bytes of the input into a block and makes it the current one: returns
// their count (at most `block_size`: kPipeBlockSize, or kPipeLargeBlockSize), 0 at the end
// of the input, -1 after a read error. The previous current block's bytes are gone, but for
// a run handed to write_run. May wait for the writing thread to free a block.
std::int64_t read_block(BlockPipe& pipe);

// Writes the `size` bytes at `data`, which lie in the current block: one run per block read. False
// once any write has failed.
bool write_run(BlockPipe& pipe, const char* data, std::size_t size);

// Waits until every run has been written and the writing thread has ended.
// False when any write failed. Must be called after start_block_pipe, also when the run
// stops early.
bool finish_block_pipe(BlockPipe& pipe);

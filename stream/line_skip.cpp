#include "stream/line_skip.h"

#include <condition_variable>
#include <mutex>

#include "stream/line_breaks.h"
#include "stream/thread.h"

namespace {

struct SegmentCount {
  std::int64_t lines = 0;  // line breaks
  std::int64_t bytes = 0;  // fewer than the segment's size at the end of the input
  bool failed = false;
};

SegmentCount count_segment(InputFile& input, std::int64_t start, std::int64_t size, char* buffer,
                           std::size_t buffer_size) {
  SegmentCount count;
  while (count.bytes < size) {
    std::int64_t left = size - count.bytes;
    std::size_t want = left < static_cast<std::int64_t>(buffer_size)
                           ? static_cast<std::size_t>(left)
                           : buffer_size;
    std::int64_t got = read_input_at(input, start + count.bytes, buffer, want);
    if (got < 0) count.failed = true;
    if (got <= 0) return count;
    count.lines += count_line_breaks(buffer, static_cast<std::size_t>(got));
    count.bytes += got;
  }
  return count;
}

// The offset just past the `lines`-th line break from `start`, or where the input ends.
LineSkip find_line_end(InputFile& input, std::int64_t start, std::int64_t lines, char* buffer,
                       std::size_t buffer_size) {
  LineSkip skip;
  skip.offset = start;
  for (;;) {
    std::int64_t got = read_input_at(input, skip.offset, buffer, buffer_size);
    if (got < 0) skip.failed = true;
    if (got <= 0) return skip;
    skip.offset +=
        static_cast<std::int64_t>(scan_line_breaks(buffer, static_cast<std::size_t>(got), lines));
    if (lines == 0) return skip;
  }
}

// The second thread counts segments 1, 3, 5, ... and keeps at most two results waiting.
struct OddCounter {
  InputFile* input = nullptr;
  std::int64_t offset = 0;
  std::int64_t segment_size = 0;
  char* buffer = nullptr;
  std::size_t buffer_size = 0;

  std::mutex lock;
  std::condition_variable changed;
  SegmentCount results[2];   // odd segment 2j + 1 lies at results[j % 2]
  std::int64_t counted = 0;  // odd segments counted
  std::int64_t taken = 0;    // odd segments whose results were taken
  bool stop = false;
};

void count_odd_segments(void* argument) {
  OddCounter& counter = *static_cast<OddCounter*>(argument);
  for (std::int64_t j = 0;; ++j) {
    {
      std::unique_lock<std::mutex> guard(counter.lock);
      counter.changed.wait(guard, [&] { return counter.stop || j < counter.taken + 2; });
      if (counter.stop) return;
    }
    SegmentCount count =
        count_segment(*counter.input, counter.offset + (2 * j + 1) * counter.segment_size,
                      counter.segment_size, counter.buffer, counter.buffer_size);
    std::lock_guard<std::mutex> guard(counter.lock);
    counter.results[j % 2] = count;
    counter.counted = j + 1;
    counter.changed.notify_all();
    if (count.failed || count.bytes < counter.segment_size) return;  // nothing after this
  }
}

}  // namespace

LineSkip skip_lines_at(InputFile& input, std::int64_t offset, std::int64_t count,
                       std::int64_t segment_size, char* buffers, std::size_t buffer_size) {
  OddCounter counter;
  counter.input = &input;
  counter.offset = offset;
  counter.segment_size = segment_size;
  counter.buffer = buffers + buffer_size;
  counter.buffer_size = buffer_size;
  Thread thread;
  if (!start_thread(thread, count_odd_segments, &counter)) return LineSkip{0, false, true};

  LineSkip skip;
  std::int64_t remaining = count;
  for (std::int64_t k = 0;; ++k) {
    std::int64_t start = offset + k * segment_size;
    SegmentCount segment;
    if (k % 2 == 0) {
      segment = count_segment(input, start, segment_size, buffers, buffer_size);
    } else {
      std::unique_lock<std::mutex> guard(counter.lock);
      std::int64_t j = k / 2;
      counter.changed.wait(guard, [&] { return counter.counted > j; });
      segment = counter.results[j % 2];
      counter.taken = j + 1;
      counter.changed.notify_all();
    }
    if (segment.failed) {
      skip.failed = true;
      break;
    }
    if (segment.lines >= remaining) {
      skip = find_line_end(input, start, remaining, buffers, buffer_size);
      break;
    }
    remaining -= segment.lines;
    if (segment.bytes < segment_size) {  // the input ends before the lines do
      skip.offset = start + segment.bytes;
      break;
    }
  }

  {
    std::lock_guard<std::mutex> guard(counter.lock);
    counter.stop = true;
    counter.changed.notify_all();
  }
  join_thread(thread);
  return skip;
}

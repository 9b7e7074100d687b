#include "stream/line_skip.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "stream/line_breaks.h"
#include "tests/test_util.h"

namespace {

// Where the line after `count` lines of `text` starts: past the count-th line break, or at
// the end when fewer follow.
std::int64_t expected_offset(const std::string& text, std::int64_t from, std::int64_t count) {
  std::size_t at = static_cast<std::size_t>(from);
  for (std::int64_t i = 0; i < count; ++i) {
    std::size_t newline = text.find('\n', at);
    if (newline == std::string::npos) return static_cast<std::int64_t>(text.size());
    at = newline + 1;
  }
  return static_cast<std::int64_t>(at);
}

// Every count, from several starting points, with segments and buffers of many sizes, so
// that skips end on, before and after segment and buffer boundaries, lines span segments,
// and the input ends inside a segment, after a line break or in the middle of a line.
TEST(LineSkip, LandsWhereOneLineAtATimeWould) {
  const std::string texts[] = {
      "a\nbb\n\nccc\ndddd\ne\n\n\nffffffffff\ng",
      "0123456789\n0123456789\n0123456789\n",
      "\n\n\n\n\n",
      "no line break at all",
      "",
  };
  ScratchDir dir;
  for (const std::string& text : texts) {
    std::string path = dir.file("lines.txt");
    write_file(path, text);
    InputFile input;
    ASSERT_TRUE(open_input(path, input));
    for (std::int64_t segment : {1, 2, 3, 5, 8, 64}) {
      for (std::size_t buffer_size :
           {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{100}}) {
        std::vector<char> buffers(2 * buffer_size);
        for (std::int64_t from : {std::int64_t{0}, std::int64_t{1}, std::int64_t{4}}) {
          if (from > static_cast<std::int64_t>(text.size())) continue;
          for (std::int64_t count = 1; count <= 14; ++count) {
            SCOPED_TRACE(text.substr(0, 12) + " segment " + std::to_string(segment) + " buffer " +
                         std::to_string(buffer_size) + " from " + std::to_string(from) + " count " +
                         std::to_string(count));
            LineSkip skip = skip_lines_at(input, from, count, segment, buffers.data(), buffer_size);
            EXPECT_FALSE(skip.failed || skip.no_thread);
            EXPECT_EQ(skip.offset, expected_offset(text, from, count));
          }
        }
      }
    }
    close_input(input);
  }
}

TEST(LineSkip, ManySegments) {
  std::string text;
  for (int i = 0; i < 20000; ++i)
    text += std::string(static_cast<std::size_t>(i % 37), 'x') + "\n";
  ScratchDir dir;
  write_file(dir.file("many.txt"), text);
  InputFile input;
  ASSERT_TRUE(open_input(dir.file("many.txt"), input));
  std::vector<char> buffers(2 * 4096);
  for (std::int64_t count : {1, 999, 10000, 19999, 20000, 20001, 1000000}) {
    SCOPED_TRACE(count);
    LineSkip skip = skip_lines_at(input, 0, count, 10007, buffers.data(), 4096);
    EXPECT_FALSE(skip.failed || skip.no_thread);
    EXPECT_EQ(skip.offset, expected_offset(text, 0, count));
  }
  close_input(input);
}

// Every scanner against a byte loop, on random blocks whose breaks are dense, sparse or
// absent, at every alignment and length around the 64-byte chunks, for counts that run out
// in the first chunk, in the last one, in the tail or not at all.
TEST(LineBreaks, ScansStopWhereAPlainLoopWould) {
  std::mt19937 random(20261208);
  const double densities[] = {0.0, 0.01, 0.3, 1.0};
  for (int s = 0; s < kLineBreakScannerCount; ++s) {
    const LineBreakScanner& scanner = kLineBreakScanners[s];
    if (!scanner.usable()) continue;  // this processor lacks its instructions
    for (double density : densities) {
      std::bernoulli_distribution is_break(density);
      std::string block(300, 'x');
      for (char& c : block)
        c = is_break(random) ? '\n' : static_cast<char>('\n' + 1 + random() % 200);
      for (std::size_t from : {0, 1, 17, 63}) {
        for (std::size_t size = 0; from + size <= block.size(); size += 1 + size / 8) {
          for (std::int64_t wanted : {1, 2, 5, 31, 64, 65, 200, 1000}) {
            SCOPED_TRACE(std::string(scanner.name) + " density " + std::to_string(density) +
                         " from " + std::to_string(from) + " size " + std::to_string(size) +
                         " wanted " + std::to_string(wanted));
            std::int64_t left = wanted;
            std::size_t expected = size;
            for (std::size_t i = 0; i < size; ++i) {
              if (block[from + i] == '\n' && --left == 0) {
                expected = i + 1;
                break;
              }
            }
            std::int64_t got_left = wanted;
            EXPECT_EQ(scanner.scan(block.data() + from, size, got_left), expected);
            EXPECT_EQ(got_left, left);
          }
        }
      }
    }
  }
}

}  // namespace

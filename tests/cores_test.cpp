// When a second thread runs: the decisions on the probed facts, and a cut that starts and
// stops its writing thread as the cores come and go, byte for byte.
#include "stream/cores.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "stream/block_pipe.h"
#include "tests/test_util.h"

namespace {

TEST(Cores, SecondCoreFree) {
  struct Case {
    const char* name;
    CoreFacts facts;  // cpus, online, quota
    int runnable;
    bool free;
  };
  const Case cases[] = {
      {"idle machine of two", {2, 2, 0}, 1, true},
      {"a second run beside it", {2, 2, 0}, 2, false},
      {"run queue unknown", {2, 2, 0}, -1, true},
      {"pinned to one CPU", {1, 8, 0}, 1, false},
      {"quota of one and a half CPUs", {4, 4, 1.5}, 1, false},
      {"quota of two CPUs", {4, 4, 2}, 1, true},
      {"busy machine of many", {2, 64, 0}, 40, true},
      {"every CPU busy", {8, 8, 0}, 8, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(second_core_free(c.facts, c.runnable), c.free);
  }
}

TEST(Cores, ParsesTheSystemsTexts) {
  struct Quota {
    const char* quota;
    const char* period;
    double cpus;
  };
  const Quota quotas[] = {
      {"max", "100000", 0}, {"150000", "100000", 1.5},
      {"-1", "100000", 0},  {"200000\n", "100000\n", 2},
      {"", "", 0},          {"100000", "0", 0},
      {"12x", "100000", 0},
  };
  for (const Quota& q : quotas) {
    SCOPED_TRACE(std::string(q.quota) + " / " + q.period);
    EXPECT_DOUBLE_EQ(parse_cpu_quota(q.quota, q.period), q.cpus);
  }
  struct Load {
    const char* text;
    int runnable;
  };
  const Load loads[] = {
      {"0.12 0.08 0.01 2/345 6789", 2},
      {"1.00 1.00 1.00 17/1024 1", 17},
      {"", -1},
      {"0.12 0.08 0.01 2 345", -1},
  };
  for (const Load& l : loads) {
    SCOPED_TRACE(l.text);
    EXPECT_EQ(parse_runnable(l.text), l.runnable);
  }
  EXPECT_TRUE(second_thread_pays(1.37));
  EXPECT_FALSE(second_thread_pays(1.0));
}

// What the cores look like at each look, and the processor time by then: one script per
// run, read by the pipe's probes. Each read of the clock is a second later.
struct Script {
  const char* cores;  // at each look of the run queue: 'f' free, 'b' busy; then busy
  const char* time;   // at each read of the clock: 's' a shared core's second of processor
                      // time, 'w' a core each (1.8 s); then 'w'
};
const Script* script = nullptr;
int look = 0;
double processor = 0;
double wall = 0;

bool scripted_core_free() {
  std::size_t at = static_cast<std::size_t>(look++);
  return at < std::strlen(script->cores) && script->cores[at] == 'f';
}

double scripted_processor_seconds() {
  return processor;
}

double scripted_wall_clock() {
  std::size_t at = static_cast<std::size_t>(wall);
  processor += at < std::strlen(script->time) && script->time[at] == 's' ? 1.0 : 1.8;
  wall += 1;
  return wall;
}

TEST(Cores, WritingThreadComesAndGoes) {
  struct Case {
    const char* name;
    Script script;
    bool ever_behind;
    bool behind_at_end;
    bool stopped;       // the thread was stopped at least once
    const char* sizes;  // the blocks read, 's' small and 'L' large, repeats left out
  };
  const Case cases[] = {
      {"busy throughout", {"", ""}, false, false, false, "L"},
      {"free throughout", {"ffffffffffffffffffff", ""}, true, true, false, "Ls"},
      {"free once the neighbour ends", {"bbbf", ""}, true, true, false, "Ls"},
      {"free by the queue, shared in fact", {"fff", "ssssssss"}, true, false, true, "LsLsLsL"},
      {"shared for a moment, then free", {"ffffffffffffffffffff", "ss"}, true, true, true, "LsLs"},
      {"free with 4 MiB left", {"bbbbbf", ""}, true, true, false, "Ls"},
      {"free with less than 4 MiB left", {"bbbbbbf", ""}, false, false, false, "L"},
  };
  ScratchDir dir;
  std::string text;
  // Long enough for several large blocks between the switches; no two lines alike, so a lost
  // or doubled byte at a switch shows.
  for (int i = 0; text.size() < 10 * kPipeLargeBlockSize + 12345; ++i)
    text += "frame " + std::to_string(i) + " " +
            std::string(static_cast<std::size_t>(i % 97), 'x') + "\n";
  write_file(dir.file("in.bvh"), text);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    script = &c.script;
    look = 0;
    processor = wall = 0;
    InputFile input;
    OutputFile output;
    ASSERT_TRUE(open_input(dir.file("in.bvh"), input));
    ASSERT_TRUE(create_output(dir.file("out.bvh"), output));
    output.expected_size = static_cast<std::int64_t>(text.size());
    BlockPipe pipe;
    start_block_pipe(pipe, input, output);
    pipe.core_free = scripted_core_free;
    pipe.processor_seconds = scripted_processor_seconds;
    pipe.wall_clock = scripted_wall_clock;
    pipe.next_look = static_cast<std::int64_t>(kPipeBlockSize);  // looks from the first block
    pipe.look_every = 100000;
    pipe.tail_alone = 4 * static_cast<std::int64_t>(kPipeLargeBlockSize);
    bool ever_behind = false;
    std::string sizes;
    std::int64_t got;
    while ((got = read_block(pipe)) > 0) {
      char size = pipe.block_size == kPipeLargeBlockSize ? 'L' : 's';
      if (sizes.empty() || sizes.back() != size) sizes += size;
      ASSERT_TRUE(write_run(pipe, current_block(pipe), static_cast<std::size_t>(got)));
      ever_behind = ever_behind || pipe.writing_behind;
    }
    EXPECT_EQ(sizes, c.sizes);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(ever_behind, c.ever_behind);
    EXPECT_EQ(pipe.writing_behind, c.behind_at_end);
    EXPECT_EQ(pipe.stops > 0, c.stopped);
    EXPECT_TRUE(finish_block_pipe(pipe));
    close_input(input);
    ASSERT_TRUE(commit_output(output));
    std::string written;
    ASSERT_TRUE(read_file(dir.file("out.bvh"), written));
    EXPECT_TRUE(written == text);
  }
}

}  // namespace

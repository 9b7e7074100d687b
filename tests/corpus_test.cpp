// Real BVH files from many exporters, when a folder of them sits beside the checkout: every
// cut the built program makes of them must satisfy the invariants of a cut and match, byte
// for byte, an independent model of it (tests/cut_check.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/cut_check.h"
#include "tests/test_util.h"

namespace {

// An -s or -e value read by its documented forms: "%" anywhere makes a percentage, else a
// lowercase "s" a time in seconds, else it is a frame number.
FramePosition position(const std::string& value) {
  FramePosition p;
  if (value.find('%') != std::string::npos) {
    p.kind = PositionKind::Percent;
    p.fraction = static_cast<float>(std::atof(value.c_str()) / 100.0);
  } else if (value.find('s') != std::string::npos) {
    p.kind = PositionKind::Seconds;
    p.seconds = static_cast<float>(std::atof(value.c_str()));
  } else {
    p.frame = std::atoi(value.c_str());
  }
  return p;
}

std::vector<std::string> files_in(const std::string& folder) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.is_regular_file()) files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(Corpus, CutsOfRealFilesMatchTheModel) {
  const std::string folder = MOCSLICE_CORPUS_DIR;
  if (!std::filesystem::is_directory(folder)) {
    GTEST_SKIP() << "no folder of real BVH files at " << folder;
  }
  ScratchDir dir;
  const std::string out = dir.file("cut.bvh");
  int motions = 0;
  for (const std::string& path : files_in(folder)) {
    std::string input;
    ASSERT_TRUE(read_file(path, input));
    ModelCut whole;
    ASSERT_TRUE(model_cut(path, position("0%"), position("100%"), whole));
    ASSERT_TRUE(whole.exact) << path;
    motions += whole.has_motion ? 1 : 0;

    const std::vector<std::vector<std::string>> ranges = {
        {},
        {"-s", "0", "-e", "0"},
        {"-s", "10%", "-e", "20%"},
        {"-s", "1.5s", "-e", "50%"},
        {"-s", std::to_string(whole.frame_count + 5)},  // a start past the end
        {"-s", "20", "-e", "10"},                       // an end before the start
    };
    for (const std::vector<std::string>& range : ranges) {
      std::string label = path;
      FramePosition start = position("0%");
      FramePosition end = position("100%");
      for (std::size_t i = 0; i + 1 < range.size(); i += 2) {
        (range[i] == "-s" ? start : end) = position(range[i + 1]);
        label += " " + range[i] + " " + range[i + 1];
      }
      SCOPED_TRACE(label);
      ModelCut cut;
      ASSERT_TRUE(model_cut(path, start, end, cut));

      std::filesystem::remove(out);
      std::vector<std::string> args = {path};
      args.insert(args.end(), range.begin(), range.end());
      args.insert(args.end(), {"-o", out});
      ToolRun run = run_tool(args);
      CutResult result;
      result.failed = run.status != 0;
      result.console = run.out;
      result.output_exists = read_file(out, result.output);

      EXPECT_EQ(run.status, cut.has_motion ? 0 : 255);
      EXPECT_EQ(cut_invariant_failure(input, result, path, out), "");
      EXPECT_EQ(run.out, model_console(cut, path, out));
      if (cut.has_motion) {
        // Compared without printing: the files run to megabytes.
        EXPECT_EQ(result.output.size(), cut.output.size());
        EXPECT_TRUE(result.output == cut.output);
      } else {
        EXPECT_FALSE(result.output_exists);
      }
    }
  }
  EXPECT_GT(motions, 0) << "no file in " << folder << " has a motion section";
}

}  // namespace

// mocslice_bench: times mocslice against `cat IN > OUT` and an awk one-liner doing the same
// cut, on generated files already in the page cache: alone on an idle machine, pinned to one
// core, and as a batch of files cut two and four at a time through xargs; and, as the bound
// of what a cut can cost on one core, copy_loop (a plain read and write loop) at two block
// sizes. With --baseline, another build of the program (the one before a change) is timed in
// the same rounds, the two in turns. Prints a table of medians; asserts nothing (timings are
// for people, not for the test suite).
//
//   mocslice_bench [--dir DIR] [--rounds N] [--rounds-of TEXT N] [--quick] [--program PATH]
//                  [--baseline PATH] [--only TEXT]...
//
// Files are generated once into DIR (kept, and reused by the next run) or into a temporary
// folder (removed at the end); two kinds of frame line of about 1 KB, so that a result is
// not one file's. The rows are named by the sizes the files are made to, --quick's small
// ones included. The tools run in alternating rounds (mocslice, cat, awk, mocslice, ...)
// after a warm-up round; each run's output is removed, and the file system synced, untimed,
// before it. --program times another build of mocslice (a packaged one) instead of the one
// beside the benchmark. --baseline PATH times that build too, right before or after the
// program in each round (the order alternates, so that neither always meets the cache or the
// neighbours the other left), and reports the median of the per-round ratio of the two.
// --rounds sets the counted rounds of every case, --rounds-of those of the cases whose names
// hold TEXT; --only runs the cases whose names hold TEXT (any of them, when repeated).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Timing {
  double seconds = -1;  // -1: the run failed
  double cpu = 0;       // user and system time, its children's included
  long peak_kb = 0;     // peak resident memory
};

// One timed case, named by its fields; what is left out is a whole cut, on the idle machine,
// of mocslice alone against cat.
struct Case {
  const char* input = "";  // a generated file (see plan_inputs); empty: the batch
  const char* what = "";   // the rest of the row's name, after the input's label
  double from = 0;         // the cut, in percent of the motion: -s, unless 0
  double to = 100;         // -e, unless 100
  bool awk = false;        // the awk one-liner is timed too
  bool one_core = false;   // every command runs under taskset -c 0
  int jobs = 0;            // > 0: the batch files, cut whole this many at a time
  int files = 0;           // > 0: only this many of the batch files
  int least_rounds = 0;    // counted rounds at least, for cases of a few milliseconds a run
  int copy_kib = 0;        // > 0: copy_loop, with blocks of this many KiB, in mocslice's place
  std::string name = "";   // filled in: the input's label and `what`
};

struct Row {
  Case c;
  long long bytes = 0;
  int rounds = 0;
  std::vector<double> tool, cat, awk, tool_ratio, awk_ratio, cpu_ratio, base, base_ratio;
  long tool_kb = 0, cat_kb = 0, awk_kb = 0, base_kb = 0;
  bool failed = false;
};

std::string self_dir() {
  char path[4096];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  std::string s = path;
  return s.substr(0, s.find_last_of('/'));
}

// Runs `argv` with standard output sent to `out_path`; times it from fork to reaping.
Timing run(const std::vector<std::string>& argv, const std::string& out_path) {
  std::vector<char*> args;
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  Timing t;
  auto start = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    int fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::dup2(fd, 1) < 0) ::_exit(126);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (pid < 0 || ::wait4(pid, &status, 0, &usage) < 0) return t;
  auto stop = std::chrono::steady_clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return t;
  t.seconds = std::chrono::duration<double>(stop - start).count();
  t.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
          static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  t.peak_kb = usage.ru_maxrss;
  return t;
}

long long file_size(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

bool shell(const std::string& command) {
  return std::system(command.c_str()) == 0;
}

// Reads the whole file once so every timed run finds it in the page cache.
void warm(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return;
  static char buffer[1 << 20];
  while (std::fread(buffer, 1, sizeof buffer, f) > 0) {
  }
  std::fclose(f);
}

// The declared frame count, read from the line after "MOTION".
long long declared_frames(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return 0;
  char line[65536];
  long long frames = 0;
  bool motion = false;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (motion) {
      std::sscanf(line, "%*s %lld", &frames);
      break;
    }
    motion = std::strncmp(line, "MOTION", 6) == 0;
  }
  std::fclose(f);
  return frames;
}

// A size as a row's name tells it: "1 GiB", "64 MiB", "205 MB".
std::string size_text(long long bytes) {
  char text[32];
  if (bytes % (1LL << 30) == 0) {
    std::snprintf(text, sizeof text, "%lld GiB", bytes >> 30);
  } else if (bytes % (1LL << 20) == 0) {
    std::snprintf(text, sizeof text, "%lld MiB", bytes >> 20);
  } else {
    std::snprintf(text, sizeof text, "%.3g MB", static_cast<double>(bytes) / 1e6);
  }
  return text;
}

// A generated input: its file in DIR, the label its rows are named by (from the size it is
// made to), and how make_bvh makes it; `lines` > 0 instead makes that many two-byte frame
// lines, `line_bytes` > 0 one frame line of that length.
struct Input {
  std::string file;
  std::string label;
  std::string options;
  long long lines = 0;
  long long line_bytes = 0;
};

const int kBatchFiles = 16;

std::vector<Input> plan_inputs(bool quick) {
  long long big = quick ? (64LL << 20) : (1LL << 30);
  long long wide = big / 1024 * 200 * 1000 / 1024;
  long long other = big / 4;
  long long lines = quick ? (4LL << 20) : (32LL << 20);
  long long line = quick ? (8LL << 20) : (64LL << 20);
  auto sized = [](long long bytes) { return " --size " + std::to_string(bytes); };
  return {
      // 33 joints at six decimals: frame lines of about 1 KB.
      {"plain.bvh", size_text(big), "--joints 33" + sized(big)},
      {"crlf.bvh", size_text(big) + " CRLF", "--joints 33 --crlf" + sized(big)},
      // Lines of about the same length and another shape: six channels a joint at two
      // decimals, 186 short numbers a line instead of 102 long ones.
      {"other.bvh", size_text(other) + " two-decimal lines",
       "--joints 31 --six-channels --decimals 2" + sized(other)},
      // A wide rig: frame lines of about 40 KB.
      {"wide.bvh", size_text(wide) + " wide lines", "--joints 1400" + sized(wide)},
      {"small.bvh", size_text(1 << 20), sized(1 << 20)},
      // Two-byte frame lines (one channel, no decimals), as in sparse rigs and curves.
      {"short_lines.bvh", size_text(2 * lines) + " two-byte lines", "", lines},
      // One long frame line: the program must stream it, not hold it.
      {"long_line.bvh", size_text(line) + " single line", "", 0, line},
  };
}

// The batch: files of 64 MiB (4 MiB with --quick), cut whole by xargs.
long long batch_file_size(bool quick) {
  return quick ? (4LL << 20) : (64LL << 20);
}

bool generate(const std::string& make_bvh, const std::string& dir, bool quick) {
  for (const Input& in : plan_inputs(quick)) {
    std::string path = dir + "/" + in.file;
    if (file_size(path) > 0) continue;
    std::printf("generating %s\n", path.c_str());
    std::fflush(stdout);
    if (in.lines > 0) {
      if (!shell("'" + make_bvh +
                 "' --frames 0 | sed 's/^Frames: 0$/Frames: " + std::to_string(in.lines) +
                 "/' > '" + path + ".tmp' && yes 0 | head -n " + std::to_string(in.lines) +
                 " >> '" + path + ".tmp' && mv '" + path + ".tmp' '" + path + "'")) {
        return false;
      }
    } else if (in.line_bytes > 0) {
      // The "Frames: 0" ending replaced with one frame, then the line appended.
      std::string head_path = path + ".head";
      if (!shell("'" + make_bvh + "' --frames 0 | sed 's/^Frames: 0$/Frames: 1/' > '" + head_path +
                 "'")) {
        return false;
      }
      std::FILE* f = std::fopen(head_path.c_str(), "ab");
      if (f == nullptr) return false;
      const char piece[] = "12.345678 -0.123456 87.654321 ";
      for (long long n = 0; n < in.line_bytes; n += sizeof piece - 1)
        std::fputs(piece, f);
      std::fputs("1.0\n", f);
      std::fclose(f);
      if (std::rename(head_path.c_str(), path.c_str()) != 0) return false;
    } else if (!shell("'" + make_bvh + "' " + in.options + " -o '" + path + "'")) {
      return false;
    }
  }
  for (int i = 0; i < kBatchFiles; ++i) {
    std::string path = dir + "/batch/take" + std::to_string(i) + ".bvh";
    if (file_size(path) > 0) continue;
    std::printf("generating %s\n", path.c_str());
    std::fflush(stdout);
    if (!shell("mkdir -p '" + dir + "/batch' && '" + make_bvh + "' --joints 33 --fps " +
               std::to_string(24 + i) + " --size " + std::to_string(batch_file_size(quick)) +
               " -o '" + path + "'")) {
      return false;
    }
  }
  return true;
}

double median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The awk one-liner a user would write for the same cut: copy up to MOTION, rewrite the
// count, copy the frame time, print frames first..last and stop after them.
std::vector<std::string> awk_command(const std::string& file, long long first, long long last) {
  std::string program =
      "m==0{print; if(/^MOTION/) m=1; next} m==1{print \"Frames: \" (e-s+1); m=2; next} "
      "m==2{print; m=3; next} {if(f>=s) print; if(f>=e) exit; f++}";
  return {"awk",   "-v", "s=" + std::to_string(first), "-v", "e=" + std::to_string(last),
          program, file};
}

// The frame a percentage of the motion names, as mocslice rounds it.
long long frame_at(long long frames, double percent) {
  return static_cast<long long>(static_cast<double>(frames - 1) * percent / 100 + 0.5);
}

std::string percent_text(double percent) {
  char text[32];
  std::snprintf(text, sizeof text, "%g%%", percent);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  int rounds = 5;
  bool quick = false;
  std::string program;
  std::string baseline;
  std::vector<std::string> only;
  std::vector<std::pair<std::string, int>> rounds_of;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--quick") {
      quick = true;
    } else if (a == "--rounds-of" && i + 2 < argc) {
      rounds_of.emplace_back(argv[i + 1], std::max(1, std::atoi(argv[i + 2])));
      i += 2;
    } else if (a == "--program" && i + 1 < argc) {
      program = argv[++i];
    } else if (a == "--baseline" && i + 1 < argc) {
      baseline = argv[++i];
    } else if (a == "--only" && i + 1 < argc) {
      only.push_back(argv[++i]);
    } else {
      std::fprintf(stderr,
                   "usage: mocslice_bench [--dir DIR] [--rounds N] [--rounds-of TEXT N] [--quick] "
                   "[--program PATH] [--baseline PATH] [--only TEXT]...\n");
      return 2;
    }
  }
  std::string bin = self_dir();
  std::string tool = program.empty() ? bin + "/mocslice" : program;
  std::string make_bvh = bin + "/make_bvh";
  bool temporary = dir.empty();
  if (temporary) {
    char pattern[] = "/tmp/mocslice-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 1;
    dir = pattern;
  } else {
    shell("mkdir -p '" + dir + "'");
  }
  if (!generate(make_bvh, dir, quick)) {
    std::fprintf(stderr, "could not generate the benchmark files in %s\n", dir.c_str());
    return 1;
  }

  const Case table[] = {
      {.input = "plain.bvh", .what = "whole", .awk = true},
      {.input = "plain.bvh", .what = "middle 50%", .from = 25, .to = 75, .awk = true},
      {.input = "plain.bvh", .what = "first 1%", .to = 1, .awk = true},
      {.input = "plain.bvh", .what = "last 1%", .from = 99, .awk = true},
      {.input = "crlf.bvh", .what = "whole", .awk = true},
      {.input = "other.bvh", .what = "whole", .awk = true},
      {.input = "wide.bvh", .what = "whole", .awk = true},
      {.input = "wide.bvh", .what = "first 1%", .to = 1, .awk = true},
      // A run takes milliseconds, and the noise of the machine as long.
      {.input = "small.bvh", .what = "whole", .awk = true, .least_rounds = 101},
      {.input = "long_line.bvh", .what = "whole", .awk = true},
      {.input = "short_lines.bvh", .what = "whole"},
      {.input = "short_lines.bvh", .what = "whole, one core", .one_core = true},
      {.input = "other.bvh", .what = "whole, one core", .one_core = true},
      {.input = "plain.bvh", .what = "whole, one core", .one_core = true},
      {.input = "plain.bvh", .what = "last 1%, one core", .from = 99, .one_core = true},
      {.input = "plain.bvh",
       .what = "whole, one core: copy_loop 256 KiB (bound)",
       .one_core = true,
       .copy_kib = 256},
      {.input = "plain.bvh",
       .what = "whole, one core: copy_loop 1 MiB (bound)",
       .one_core = true,
       .copy_kib = 1024},
      {.what = "xargs -P 2", .jobs = 2},
      {.what = "xargs -P 2", .jobs = 2, .files = 8},
      {.what = "xargs -P 4", .jobs = 4},
      {.what = "xargs -P 2: copy_loop 256 KiB (bound)", .jobs = 2, .copy_kib = 256},
      {.what = "xargs -P 2: copy_loop 1 MiB (bound)", .jobs = 2, .copy_kib = 1024},
      {.what = "xargs -P 4: copy_loop 256 KiB (bound)", .jobs = 4, .copy_kib = 256},
      {.what = "xargs -P 4: copy_loop 1 MiB (bound)", .jobs = 4, .copy_kib = 1024},
  };
  std::vector<Input> inputs = plan_inputs(quick);
  std::vector<Case> cases;
  for (Case c : table) {
    std::string label = std::to_string(c.files > 0 ? c.files : kBatchFiles) + " x " +
                        size_text(batch_file_size(quick));
    for (const Input& in : inputs) {
      if (in.file == c.input) label = in.label;
    }
    c.name = label + ", " + c.what;
    cases.push_back(c);
  }
  std::string out = dir + "/out.bvh";
  std::vector<std::string> batch;
  for (int i = 0; i < kBatchFiles; ++i)
    batch.push_back(dir + "/batch/take" + std::to_string(i) + ".bvh");
  auto remove_outputs = [&] {
    ::unlink(out.c_str());
    for (const std::string& b : batch)
      ::unlink((b + ".out").c_str());
  };
  auto selected = [&](const std::string& name) {
    for (const std::string& text : only) {
      if (name.find(text) != std::string::npos) return true;
    }
    return only.empty();
  };
  std::vector<Row> rows;
  for (const Case& c : cases) {
    if (!selected(c.name)) continue;
    Row row;
    row.c = c;
    row.rounds = std::max(rounds, c.least_rounds);
    for (const auto& [text, n] : rounds_of) {
      if (c.name.find(text) != std::string::npos) row.rounds = n;
    }
    // The command that runs `program` for this case (copy_loop in its place for a bound).
    std::function<std::vector<std::string>(const std::string&)> command;
    std::vector<std::string> cat_argv, awk_argv;
    if (c.jobs > 0) {
      // All through the same xargs and shell, each file to a file of its own.
      int files = c.files > 0 ? c.files : kBatchFiles;
      std::string list = dir + "/batch-" + std::to_string(files) + ".list";
      std::FILE* f = std::fopen(list.c_str(), "w");
      if (f == nullptr) return 1;
      for (int i = 0; i < files; ++i) {
        std::fprintf(f, "%s\n", batch[i].c_str());
        row.bytes += file_size(batch[i]);
        warm(batch[i]);
      }
      std::fclose(f);
      std::vector<std::string> xargs = {"xargs", "-a", list, "-P", std::to_string(c.jobs),
                                        "-I{}",  "sh", "-c"};
      command = [=](const std::string& path) {
        std::vector<std::string> words = xargs;
        if (c.copy_kib > 0) {
          words.insert(words.end(), {"exec \"$0\" \"$1\" \"$1.out\" " + std::to_string(c.copy_kib),
                                     bin + "/copy_loop", "{}"});
        } else {
          words.insert(words.end(), {"exec \"$0\" \"$1\" -o \"$1.out\" >/dev/null", path, "{}"});
        }
        return words;
      };
      cat_argv = xargs;
      cat_argv.insert(cat_argv.end(), {"exec cat \"$1\" > \"$1.out\"", "cat", "{}"});
    } else {
      std::string file = dir + "/" + c.input;
      row.bytes = file_size(file);
      warm(file);
      command = [=](const std::string& path) {
        if (c.copy_kib > 0)
          return std::vector<std::string>{bin + "/copy_loop", file, out,
                                          std::to_string(c.copy_kib)};
        std::vector<std::string> words = {path, file, "-o", out};
        if (c.from > 0) words.insert(words.end(), {"-s", percent_text(c.from)});
        if (c.to < 100) words.insert(words.end(), {"-e", percent_text(c.to)});
        return words;
      };
      cat_argv = {"cat", file};
      long long frames = declared_frames(file);
      if (c.awk) awk_argv = awk_command(file, frame_at(frames, c.from), frame_at(frames, c.to));
    }
    std::vector<std::string> tool_argv = command(tool), base_argv;
    if (!baseline.empty() && c.copy_kib == 0) base_argv = command(baseline);
    if (c.one_core) {
      for (std::vector<std::string>* words : {&tool_argv, &base_argv, &cat_argv}) {
        if (!words->empty()) words->insert(words->begin(), {"taskset", "-c", "0"});
      }
    }
    for (int round = 0; round <= row.rounds; ++round) {  // round 0 warms up
      // The program and the baseline take turns at going first.
      Timing t[4];
      const std::vector<std::string>* commands[4] = {&tool_argv, &base_argv, &cat_argv, &awk_argv};
      if (round % 2 == 1) std::swap(commands[0], commands[1]);
      for (int k = 0; k < 4; ++k) {
        if (commands[k]->empty()) continue;
        // Untimed: the previous output goes, and what the file system still has to do about
        // it is done before the clock starts.
        remove_outputs();
        ::sync();
        // The program's own messages go nowhere; cat and awk write the cut itself.
        t[k] = k < 2 ? run(*commands[k], "/dev/null") : run(*commands[k], out);
        if (t[k].seconds < 0) row.failed = true;
      }
      if (round % 2 == 1) std::swap(t[0], t[1]);
      remove_outputs();
      if (round == 0 || row.failed) continue;
      row.tool.push_back(t[0].seconds);
      row.cat.push_back(t[2].seconds);
      row.tool_ratio.push_back(t[0].seconds / t[2].seconds);
      if (t[2].cpu > 0) row.cpu_ratio.push_back(t[0].cpu / t[2].cpu);
      if (!base_argv.empty()) {
        row.base.push_back(t[1].seconds);
        row.base_ratio.push_back(t[0].seconds / t[1].seconds);
      }
      if (!awk_argv.empty()) {
        row.awk.push_back(t[3].seconds);
        row.awk_ratio.push_back(t[3].seconds / t[2].seconds);
      }
      row.tool_kb = std::max(row.tool_kb, t[0].peak_kb);
      row.base_kb = std::max(row.base_kb, t[1].peak_kb);
      row.cat_kb = std::max(row.cat_kb, t[2].peak_kb);
      row.awk_kb = std::max(row.awk_kb, t[3].peak_kb);
    }
    std::fprintf(stderr, "%s: done\n", c.name.c_str());
    rows.push_back(row);
  }

  std::printf(
      "\nTimes are medians in seconds of the counted rounds, ratios are medians of the "
      "per-round ratio to `cat IN > OUT` (whole file), CPU is user and system time, memory "
      "is peak resident KiB.\n\n");
  std::printf(
      "| case | rounds | input MB | mocslice s | cat s | awk s | mocslice / cat | CPU / cat's | "
      "awk / cat | mocslice KiB | cat KiB | awk KiB |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const Row& r : rows) {
    if (r.failed) {
      std::printf("| %s | %d | %.1f | failed | | | | | | | | |\n", r.c.name.c_str(), r.rounds,
                  r.bytes / 1e6);
      continue;
    }
    std::string awk_s = "-", awk_ratio = "-", awk_kb = "-";
    if (!r.awk.empty()) {
      char text[64];
      std::snprintf(text, sizeof text, "%.4f", median(r.awk));
      awk_s = text;
      std::snprintf(text, sizeof text, "%.2f", median(r.awk_ratio));
      awk_ratio = text;
      awk_kb = std::to_string(r.awk_kb);
    }
    std::printf("| %s | %d | %.1f | %.4f | %.4f | %s | %.3f | %.2f | %s | %ld | %ld | %s |\n",
                r.c.name.c_str(), r.rounds, r.bytes / 1e6, median(r.tool), median(r.cat),
                awk_s.c_str(), median(r.tool_ratio), median(r.cpu_ratio), awk_ratio.c_str(),
                r.tool_kb, r.cat_kb, awk_kb.c_str());
  }
  if (!baseline.empty()) {
    std::printf(
        "\nPaired with the baseline %s, in the same rounds, the order alternating: medians of "
        "the per-round ratio (below 1: the program is faster), and the rounds in which the "
        "program was faster.\n\n",
        baseline.c_str());
    std::printf(
        "| case | pairs | mocslice s | baseline s | mocslice / baseline | faster in | mocslice "
        "KiB | baseline KiB |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const Row& r : rows) {
      if (r.failed || r.base.empty()) continue;
      long faster = std::count_if(r.base_ratio.begin(), r.base_ratio.end(),
                                  [](double ratio) { return ratio < 1; });
      std::printf("| %s | %zu | %.4f | %.4f | %.3f | %ld | %ld | %ld |\n", r.c.name.c_str(),
                  r.base_ratio.size(), median(r.tool), median(r.base), median(r.base_ratio), faster,
                  r.tool_kb, r.base_kb);
    }
  }
  if (temporary) shell("rm -rf '" + dir + "'");
  return 0;
}

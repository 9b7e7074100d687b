// mocslice_bench: times mocslice against `cat IN > OUT` and an awk one-liner doing the same
// cut, on generated files already in the page cache: alone on an idle machine, pinned to one
// core, and as a batch of files cut two and four at a time through xargs. Prints a table of
// medians; asserts nothing (timings are for people, not for the test suite).
//
//   mocslice_bench [--dir DIR] [--rounds N] [--quick] [--program PATH] [--only TEXT]
//
// Files are generated once into DIR (kept, and reused by the next run) or into a temporary
// folder (removed at the end). The tools run in alternating rounds (mocslice, cat, awk,
// mocslice, ...) after a warm-up round; each run's output is removed, and the file system
// synced, untimed, before it. --program times another build of mocslice (a packaged one)
// instead of the one beside the benchmark; --only runs the cases whose names hold TEXT.
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
#include <string>
#include <vector>

namespace {

struct Timing {
  double seconds = -1;  // -1: the run failed
  double cpu = 0;       // user and system time, its children's included
  long peak_kb = 0;     // peak resident memory
};

struct Case {
  std::string name;
  std::string file;
  std::vector<std::string> cut;  // mocslice options after the input name
  long long first = 0;           // the same cut as frame indices, for awk
  long long last = 0;
  bool awk = true;                  // awk is timed too
  std::vector<std::string> prefix;  // runs each command under this one (taskset)
  int jobs = 0;                     // > 0: every batch file, cut whole this many at a time
  bool bound = false;               // copy_loop is timed in mocslice's place
};

struct Row {
  Case c;
  long long bytes = 0;
  std::vector<double> tool, cat, awk, tool_ratio, awk_ratio, cpu_ratio;
  long tool_kb = 0, cat_kb = 0, awk_kb = 0;
  bool failed = false;
};

const int kBatchFiles = 16;

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

bool generate(const std::string& make_bvh, const std::string& dir, bool quick) {
  long long gib = quick ? (64LL << 20) : (1LL << 30);
  struct Input {
    std::string name, options;
  };
  const Input inputs[] = {
      // 33 joints at six decimals: frame lines of about 1 KB.
      {"plain.bvh", "--joints 33 --size " + std::to_string(gib)},
      {"crlf.bvh", "--joints 33 --crlf --size " + std::to_string(gib)},
      // A wide rig: frame lines of about 40 KB.
      {"wide.bvh", "--joints 1400 --size " + std::to_string(gib / 1024 * 200 * 1000 / 1024)},
      {"small.bvh", "--size 1048576"},
  };
  for (const Input& s : inputs) {
    std::string path = dir + "/" + s.name;
    if (file_size(path) > 0) continue;
    std::printf("generating %s\n", path.c_str());
    std::fflush(stdout);
    if (!shell("'" + make_bvh + "' " + s.options + " -o '" + path + "'")) return false;
  }
  // 64 MB of two-byte frame lines (one channel, no decimals), as in sparse rigs and curves.
  std::string short_path = dir + "/short_lines.bvh";
  if (file_size(short_path) <= 0) {
    std::printf("generating %s\n", short_path.c_str());
    long long lines = quick ? (4LL << 20) : (32LL << 20);
    if (!shell("'" + make_bvh +
               "' --frames 0 | sed 's/^Frames: 0$/Frames: " + std::to_string(lines) + "/' > '" +
               short_path + ".tmp' && yes 0 | head -n " + std::to_string(lines) + " >> '" +
               short_path + ".tmp' && mv '" + short_path + ".tmp' '" + short_path + "'")) {
      return false;
    }
  }
  // The batch: files of 64 MB (4 MB with --quick), cut whole by xargs.
  for (int i = 0; i < kBatchFiles; ++i) {
    std::string path = dir + "/batch/take" + std::to_string(i) + ".bvh";
    if (file_size(path) > 0) continue;
    std::printf("generating %s\n", path.c_str());
    std::fflush(stdout);
    std::string size = std::to_string(quick ? (4LL << 20) : (64LL << 20));
    if (!shell("mkdir -p '" + dir + "/batch' && '" + make_bvh + "' --joints 33 --fps " +
               std::to_string(24 + i) + " --size " + size + " -o '" + path + "'")) {
      return false;
    }
  }
  // One frame line of 64 MB: the program must stream it, not hold it.
  std::string line_path = dir + "/long_line.bvh";
  if (file_size(line_path) <= 0) {
    std::printf("generating %s\n", line_path.c_str());
    if (!shell("'" + make_bvh + "' --frames 0 -o '" + line_path + "'")) return false;
    // Replace the "Frames: 0" ending with one frame, then append the line.
    std::string head_path = line_path + ".head";
    if (!shell("sed 's/^Frames: 0$/Frames: 1/' '" + line_path + "' > '" + head_path + "'")) {
      return false;
    }
    std::FILE* f = std::fopen(head_path.c_str(), "ab");
    if (f == nullptr) return false;
    const char piece[] = "12.345678 -0.123456 87.654321 ";
    long long target = quick ? (8LL << 20) : (64LL << 20);
    for (long long n = 0; n < target; n += sizeof piece - 1)
      std::fputs(piece, f);
    std::fputs("1.0\n", f);
    std::fclose(f);
    if (std::rename(head_path.c_str(), line_path.c_str()) != 0) return false;
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
std::vector<std::string> awk_command(const Case& c) {
  std::string program =
      "m==0{print; if(/^MOTION/) m=1; next} m==1{print \"Frames: \" (e-s+1); m=2; next} "
      "m==2{print; m=3; next} {if(f>=s) print; if(f>=e) exit; f++}";
  return {"awk",   "-v",  "s=" + std::to_string(c.first), "-v", "e=" + std::to_string(c.last),
          program, c.file};
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  int rounds = 5;
  bool quick = false;
  std::string program;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--quick") {
      quick = true;
    } else if (a == "--program" && i + 1 < argc) {
      program = argv[++i];
    } else if (a == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: mocslice_bench [--dir DIR] [--rounds N] [--quick] [--program PATH] "
                   "[--only TEXT]\n");
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

  auto frames = [&](const std::string& name) { return declared_frames(dir + "/" + name); };
  long long plain = frames("plain.bvh"), crlf = frames("crlf.bvh"), wide = frames("wide.bvh"),
            small = frames("small.bvh"), short_lines = frames("short_lines.bvh");
  auto pct = [](long long n, double p) { return static_cast<long long>((n - 1) * p + 0.5); };
  const bool awk = true;
  const std::vector<std::string> one_core = {"taskset", "-c", "0"}, anywhere;
  std::vector<Case> cases = {
      {"1 GiB, whole", dir + "/plain.bvh", {}, 0, plain - 1, awk, anywhere, 0, false},
      {"1 GiB, middle 50%",
       dir + "/plain.bvh",
       {"-s", "25%", "-e", "75%"},
       pct(plain, 0.25),
       pct(plain, 0.75),
       awk,
       anywhere,
       0,
       false},
      {"1 GiB, first 1%",
       dir + "/plain.bvh",
       {"-e", "1%"},
       0,
       pct(plain, 0.01),
       awk,
       anywhere,
       0,
       false},
      {"1 GiB, last 1%",
       dir + "/plain.bvh",
       {"-s", "99%"},
       pct(plain, 0.99),
       plain - 1,
       awk,
       anywhere,
       0,
       false},
      {"1 GiB CRLF, whole", dir + "/crlf.bvh", {}, 0, crlf - 1, awk, anywhere, 0, false},
      {"200 MB wide lines, whole", dir + "/wide.bvh", {}, 0, wide - 1, awk, anywhere, 0, false},
      {"200 MB wide lines, first 1%",
       dir + "/wide.bvh",
       {"-e", "1%"},
       0,
       pct(wide, 0.01),
       awk,
       anywhere,
       0,
       false},
      {"1 MB, whole", dir + "/small.bvh", {}, 0, small - 1, awk, anywhere, 0, false},
      {"64 MB single line", dir + "/long_line.bvh", {}, 0, 0, awk, anywhere, 0, false},
      {"64 MB two-byte lines, whole",
       dir + "/short_lines.bvh",
       {},
       0,
       short_lines - 1,
       !awk,
       anywhere,
       0,
       false},
      {"1 GiB, whole, one core", dir + "/plain.bvh", {}, 0, plain - 1, !awk, one_core, 0, false},
      {"1 GiB, last 1%, one core",
       dir + "/plain.bvh",
       {"-s", "99%"},
       pct(plain, 0.99),
       plain - 1,
       !awk,
       one_core,
       0,
       false},
      {"1 GiB, whole, one core: copy_loop (bound)",
       dir + "/plain.bvh",
       {},
       0,
       0,
       !awk,
       one_core,
       0,
       true},
      {"16 x 64 MB, xargs -P 2", "", {}, 0, 0, !awk, anywhere, 2, false},
      {"16 x 64 MB, xargs -P 4", "", {}, 0, 0, !awk, anywhere, 4, false},
      {"16 x 64 MB, xargs -P 2: copy_loop (bound)", "", {}, 0, 0, !awk, anywhere, 2, true},
  };
  if (quick) {
    for (Case& c : cases) {
      std::size_t at = c.name.find("1 GiB");
      if (at != std::string::npos) c.name.replace(at, 5, "64 MiB");
      at = c.name.find("16 x 64 MB");
      if (at != std::string::npos) c.name.replace(at, 10, "16 x 4 MB");
      at = c.name.find("64 MB two-byte");
      if (at != std::string::npos) c.name.replace(at, 5, "8 MB");
    }
  }

  std::string out = dir + "/out.bvh";
  std::vector<std::string> batch;
  for (int i = 0; i < kBatchFiles; ++i)
    batch.push_back(dir + "/batch/take" + std::to_string(i) + ".bvh");
  std::string list = dir + "/batch.list";
  {
    std::FILE* f = std::fopen(list.c_str(), "w");
    if (f == nullptr) return 1;
    for (const std::string& b : batch)
      std::fprintf(f, "%s\n", b.c_str());
    std::fclose(f);
  }
  auto remove_outputs = [&] {
    ::unlink(out.c_str());
    for (const std::string& b : batch)
      ::unlink((b + ".out").c_str());
  };
  std::vector<Row> rows;
  for (const Case& c : cases) {
    if (!only.empty() && c.name.find(only) == std::string::npos) continue;
    Row row;
    row.c = c;
    std::vector<std::string> tool_argv, cat_argv, awk_argv;
    if (c.jobs > 0) {
      // Both through the same xargs and shell, each file to a file of its own.
      for (const std::string& b : batch) {
        row.bytes += file_size(b);
        warm(b);
      }
      std::vector<std::string> xargs = {"xargs", "-a", list, "-P", std::to_string(c.jobs),
                                        "-I{}",  "sh", "-c"};
      tool_argv = xargs;
      if (c.bound) {
        tool_argv.insert(tool_argv.end(),
                         {"exec \"$0\" \"$1\" \"$1.out\"", bin + "/copy_loop", "{}"});
      } else {
        tool_argv.insert(tool_argv.end(),
                         {"exec \"$0\" \"$1\" -o \"$1.out\" >/dev/null", tool, "{}"});
      }
      cat_argv = xargs;
      cat_argv.insert(cat_argv.end(), {"exec cat \"$1\" > \"$1.out\"", "cat", "{}"});
    } else {
      row.bytes = file_size(c.file);
      warm(c.file);
      if (c.bound) {
        tool_argv = {bin + "/copy_loop", c.file, out};
      } else {
        tool_argv = {tool, c.file, "-o", out};
        tool_argv.insert(tool_argv.end(), c.cut.begin(), c.cut.end());
      }
      cat_argv = {"cat", c.file};
      if (c.awk) awk_argv = awk_command(c);
    }
    for (std::vector<std::string>* command : {&tool_argv, &cat_argv})
      command->insert(command->begin(), c.prefix.begin(), c.prefix.end());
    for (int round = 0; round <= rounds; ++round) {  // round 0 warms up
      Timing t[3];
      const std::vector<std::string>* commands[3] = {&tool_argv, &cat_argv, &awk_argv};
      for (int k = 0; k < 3; ++k) {
        if (commands[k]->empty()) continue;
        // Untimed: the previous output goes, and what the file system still has to do about
        // it is done before the clock starts.
        remove_outputs();
        ::sync();
        // The program's own messages go nowhere; cat and awk write the cut itself.
        t[k] = k == 0 ? run(*commands[k], "/dev/null") : run(*commands[k], out);
        if (t[k].seconds < 0) row.failed = true;
      }
      remove_outputs();
      if (round == 0 || row.failed) continue;
      row.tool.push_back(t[0].seconds);
      row.cat.push_back(t[1].seconds);
      row.tool_ratio.push_back(t[0].seconds / t[1].seconds);
      if (t[1].cpu > 0) row.cpu_ratio.push_back(t[0].cpu / t[1].cpu);
      if (!awk_argv.empty()) {
        row.awk.push_back(t[2].seconds);
        row.awk_ratio.push_back(t[2].seconds / t[1].seconds);
      }
      row.tool_kb = std::max(row.tool_kb, t[0].peak_kb);
      row.cat_kb = std::max(row.cat_kb, t[1].peak_kb);
      row.awk_kb = std::max(row.awk_kb, t[2].peak_kb);
    }
    std::fprintf(stderr, "%s: done\n", c.name.c_str());
    rows.push_back(row);
  }

  std::printf(
      "\n%d counted rounds; times are medians in seconds, ratios are medians of the "
      "per-round ratio to `cat IN > OUT` (whole file), CPU is user and system time, memory "
      "is peak resident KiB.\n\n",
      rounds);
  std::printf(
      "| case | input MB | mocslice s | cat s | awk s | mocslice / cat | CPU / cat's | awk / cat | "
      "mocslice KiB | cat KiB | awk KiB |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const Row& r : rows) {
    if (r.failed) {
      std::printf("| %s | %.1f | failed | | | | | | | | |\n", r.c.name.c_str(), r.bytes / 1e6);
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
    std::printf("| %s | %.1f | %.4f | %.4f | %s | %.3f | %.2f | %s | %ld | %ld | %s |\n",
                r.c.name.c_str(), r.bytes / 1e6, median(r.tool), median(r.cat), awk_s.c_str(),
                median(r.tool_ratio), median(r.cpu_ratio), awk_ratio.c_str(), r.tool_kb, r.cat_kb,
                awk_kb.c_str());
  }
  if (temporary) shell("rm -rf '" + dir + "'");
  return 0;
}

#include "stream/cores.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "stream/thread.h"

namespace {

// Measured on a two-core machine over 16 MiB looks of a whole cut: 1.37 to 2.5 with the other
// core idle, 0.99 to 1.00 with a second run beside it.
const double kProcessorPerWallSecond = 1.2;

bool parse_count(const std::string& text, long long& value) {
  const char* begin = text.c_str();
  char* end = nullptr;
  value = std::strtoll(begin, &end, 10);
  if (end == begin) return false;
  while (*end == ' ' || *end == '\n')
    ++end;
  return *end == '\0';
}

#ifdef __linux__
// The first line of a small file of /proc or /sys, without its line break; empty when it
// cannot be read.
std::string read_first_line(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return std::string();
  char line[512];
  std::string text;
  if (std::fgets(line, sizeof line, file) != nullptr) text = line;
  std::fclose(file);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// The smallest quota of the folder `group` of a cgroup tree and of each folder above it;
// `v2` tells the tree's form (cpu.max, or cpu.cfs_quota_us and cpu.cfs_period_us).
double quota_up_from(const std::string& root, std::string group, bool v2) {
  double smallest = 0;
  for (;;) {
    std::string folder = root + group;
    double quota = 0;
    if (v2) {
      std::string text = read_first_line(folder + "/cpu.max");
      std::size_t space = text.find(' ');
      if (space != std::string::npos)
        quota = parse_cpu_quota(text.substr(0, space), text.substr(space + 1));
    } else {
      quota = parse_cpu_quota(read_first_line(folder + "/cpu.cfs_quota_us"),
                              read_first_line(folder + "/cpu.cfs_period_us"));
    }
    if (quota > 0 && (smallest == 0 || quota < smallest)) smallest = quota;
    if (group.empty() || group == "/") return smallest;
    std::size_t slash = group.find_last_of('/');
    group = slash == std::string::npos ? std::string() : group.substr(0, slash);
  }
}

// The quota of the process's control groups, from the lines of /proc/self/cgroup:
// "0::/path" (v2) or "4:cpu,cpuacct:/path" (v1).
double probe_quota() {
  std::FILE* file = std::fopen("/proc/self/cgroup", "r");
  if (file == nullptr) return 0;
  double quota = 0;
  char line[1024];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    std::string text = line;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    std::size_t first = text.find(':');
    std::size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos) continue;
    std::string controllers = text.substr(first + 1, second - first - 1);
    std::string group = text.substr(second + 1);
    double found = 0;
    if (controllers.empty()) {
      found = quota_up_from("/sys/fs/cgroup", group, true);
    } else if ((',' + controllers + ',').find(",cpu,") != std::string::npos) {
      found = quota_up_from("/sys/fs/cgroup/" + controllers, group, false);
      if (found == 0) found = quota_up_from("/sys/fs/cgroup/cpu", group, false);
    }
    if (found > 0 && (quota == 0 || found < quota)) quota = found;
  }
  std::fclose(file);
  return quota;
}
#endif

CoreFacts probe_facts() {
  CoreFacts facts;
  if (!count_cpus(facts.cpus, facts.online)) facts.cpus = facts.online = 1;
#ifdef __linux__
  facts.quota = probe_quota();
#endif
  if (facts.cpus < 1) facts.cpus = 1;
  if (facts.online < facts.cpus) facts.online = facts.cpus;
  return facts;
}

}  // namespace

const CoreFacts& probe_cores() {
  static const CoreFacts facts = probe_facts();
  return facts;
}

int probe_runnable() {
#ifdef __linux__
  return parse_runnable(read_first_line("/proc/loadavg"));
#else
  return -1;
#endif
}

double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool second_core_free(const CoreFacts& facts, int runnable) {
  if (facts.cpus < 2) return false;
  if (facts.quota > 0 && facts.quota < 2) return false;
  return runnable < 0 || runnable <= facts.online - 1;
}

bool second_core_free_now() {
  const CoreFacts& facts = probe_cores();
  // With one CPU the run queue is not worth reading.
  return second_core_free(facts, facts.cpus < 2 ? -1 : probe_runnable());
}

bool second_thread_pays(double processor_per_wall_second) {
  return processor_per_wall_second >= kProcessorPerWallSecond;
}

double parse_cpu_quota(const std::string& quota, const std::string& period) {
  long long time = 0, per = 0;
  if (!parse_count(quota, time) || !parse_count(period, per)) return 0;
  if (time <= 0 || per <= 0) return 0;
  return static_cast<double>(time) / static_cast<double>(per);
}

int parse_runnable(const std::string& loadavg) {
  int running = 0, total = 0;
  char slash = 0;
  double loads[3];
  if (std::sscanf(loadavg.c_str(), "%lf %lf %lf %d%c%d", &loads[0], &loads[1], &loads[2], &running,
                  &slash, &total) != 6 ||
      slash != '/' || running < 0) {
    return -1;
  }
  return running;
}

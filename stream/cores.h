// Whether a second thread can run beside the caller's. It pays only on a core of its own:
// on a shared core, as in a batch of runs in parallel, a job slot of one CPU or a container
// with a CPU quota, its hand-overs only add to the work. The facts are probed from the
// system; the decisions are plain functions of them.
#pragma once

#include <string>

struct CoreFacts {
  int cpus = 1;      // CPUs the process may run on (its affinity)
  int online = 1;    // CPUs of the machine
  double quota = 0;  // CPUs' worth of time its control groups allow; 0 for no limit
};

// The process's facts, probed once: the affinity mask, and on Linux the CPU quota of each
// control group from the process's own up to the root (cgroup v2 and v1).
const CoreFacts& probe_cores();

// Threads runnable on the machine at this moment, the caller included (Linux's run
// queue); -1 where the system does not tell.
int probe_runnable();

// A steady clock, in seconds.
double wall_seconds();

// True when a core is free for a second thread: the process may use two CPUs and two
// CPUs' worth of time, and no more threads are runnable than leave one CPU idle.
// `runnable` < 0 means unknown, and counts as free.
bool second_core_free(const CoreFacts& facts, int runnable);

// second_core_free on the probed facts of this moment.
bool second_core_free_now();

// True while the process's two threads, together, get enough processor time per second of
// the clock to show that each has a core of its own: two threads on one core get at most
// one second per second.
bool second_thread_pays(double processor_per_wall_second);

// The CPUs' worth of time in a quota of `quota` per `period` ("max" or -1: none): 0 for no
// limit or a text that is not a quota.
double parse_cpu_quota(const std::string& quota, const std::string& period);

// The runnable threads in the text of /proc/loadavg ("0.12 0.08 0.01 2/345 6789"); -1 when
// the text is not of that form.
int parse_runnable(const std::string& loadavg);

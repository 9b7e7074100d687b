// A second thread of execution, for the few places where work overlaps, and what the
// system tells of the CPUs it would run on. Plain calls of the operating system, which
// report failure by their result.
#pragma once

#ifndef _WIN32
#include <pthread.h>
#endif

struct Thread {
  void (*body)(void*) = nullptr;
  void* argument = nullptr;
#ifdef _WIN32
  void* handle = nullptr;
#else
  pthread_t handle;
#endif
};

// Runs body(argument) on a new thread. False when no thread can be had. `thread` must stay
// where it is until join_thread.
bool start_thread(Thread& thread, void (*body)(void*), void* argument);

// Waits for the thread to end.
void join_thread(Thread& thread);

// The CPUs the process may run on (its affinity) and the machine's online CPUs. False
// when the system does not tell.
bool count_cpus(int& allowed, int& online);

// The processor time of the whole process so far, every thread's user and system time, in
// seconds; -1 where the system does not tell it finely enough (Windows counts in ticks of
// 15.6 ms).
double process_processor_seconds();

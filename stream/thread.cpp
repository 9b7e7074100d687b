#include "stream/thread.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {
DWORD WINAPI thread_main(LPVOID thread) {
  Thread& self = *static_cast<Thread*>(thread);
  self.body(self.argument);
  return 0;
}
}  // namespace

bool start_thread(Thread& thread, void (*body)(void*), void* argument) {
  thread.body = body;
  thread.argument = argument;
  thread.handle = CreateThread(nullptr, 0, thread_main, &thread, 0, nullptr);
  return thread.handle != nullptr;
}

void join_thread(Thread& thread) {
  WaitForSingleObject(static_cast<HANDLE>(thread.handle), INFINITE);
  CloseHandle(static_cast<HANDLE>(thread.handle));
}

bool count_cpus(int& allowed, int& online) {
  DWORD_PTR process = 0, machine = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &machine)) return false;
  allowed = online = 0;
  for (; process != 0; process &= process - 1)
    ++allowed;
  for (; machine != 0; machine &= machine - 1)
    ++online;
  return true;
}

double process_processor_seconds() {
  return -1;
}

#else

#include <sys/resource.h>
#include <unistd.h>
#ifdef __linux__
#include <sched.h>
#endif

namespace {
void* thread_main(void* thread) {
  Thread& self = *static_cast<Thread*>(thread);
  self.body(self.argument);
  return nullptr;
}
}  // namespace

bool start_thread(Thread& thread, void (*body)(void*), void* argument) {
  thread.body = body;
  thread.argument = argument;
  return pthread_create(&thread.handle, nullptr, thread_main, &thread) == 0;
}

void join_thread(Thread& thread) {
  pthread_join(thread.handle, nullptr);
}

bool count_cpus(int& allowed, int& online) {
  long machine = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (machine <= 0) return false;
  allowed = online = static_cast<int>(machine);
#ifdef __linux__
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) == 0) allowed = CPU_COUNT(&set);
#endif
  return true;
}

double process_processor_seconds() {
  struct rusage usage;
  if (::getrusage(RUSAGE_SELF, &usage) != 0) return -1;
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

#endif

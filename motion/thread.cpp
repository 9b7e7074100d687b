#include "motion/thread.h"

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

#else

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

#endif

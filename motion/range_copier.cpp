#include "motion/range_copier.h"

#ifndef _WIN32
#include <pthread.h>
#endif

// Below this much found and not yet copied, a thread costs more than it saves: small cuts
// are copied in one go at the end.
static const std::int64_t kThreadThreshold = std::int64_t{4} << 20;

#ifndef _WIN32

struct RangeCopierShared {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t wake = PTHREAD_COND_INITIALIZER;
  pthread_t thread;
  RangeCopier* copier = nullptr;
  std::int64_t known = 0;   // bytes of the range found so far
  std::int64_t copied = 0;  // bytes copied so far
  bool complete = false;    // `known` is the whole range
  CopyResult result = CopyResult::Ok;
};

namespace {

void* copy_known_bytes(void* argument) {
  RangeCopierShared& shared = *static_cast<RangeCopierShared*>(argument);
  const RangeCopier& copier = *shared.copier;
  pthread_mutex_lock(&shared.lock);
  for (;;) {
    while (shared.known == shared.copied && !shared.complete) {
      pthread_cond_wait(&shared.wake, &shared.lock);
    }
    std::int64_t from = shared.copied;
    std::int64_t to = shared.known;
    if (from == to) break;  // complete, and all copied
    pthread_mutex_unlock(&shared.lock);
    CopyResult result = copy_input_range(*copier.input, copier.input_start + from, *copier.output,
                                         copier.output_start + from, to - from);
    pthread_mutex_lock(&shared.lock);
    shared.copied = to;
    shared.result = result;
    if (result != CopyResult::Ok) break;
  }
  pthread_mutex_unlock(&shared.lock);
  return nullptr;
}

// Starts the copying thread. False when no thread can be had: the copy then happens at the
// end, in this thread.
bool start_thread(RangeCopier& copier) {
  static RangeCopierShared shared_state;  // one run per process at a time
  shared_state = RangeCopierShared();
  shared_state.copier = &copier;
  shared_state.known = copier.known;
  if (pthread_create(&shared_state.thread, nullptr, copy_known_bytes, &shared_state) != 0) {
    return false;
  }
  copier.shared = &shared_state;
  return true;
}

}  // namespace

#endif

void start_range_copy(RangeCopier& copier, InputFile& input, std::int64_t input_start,
                      OutputFile& output, std::int64_t output_start) {
  copier = RangeCopier();
  copier.input = &input;
  copier.output = &output;
  copier.input_start = input_start;
  copier.output_start = output_start;
}

bool extend_range_copy(RangeCopier& copier, std::int64_t known) {
  copier.known = known;
#ifndef _WIN32
  if (copier.shared == nullptr) {
    if (known >= kThreadThreshold) start_thread(copier);
    return true;
  }
  RangeCopierShared& shared = *copier.shared;
  pthread_mutex_lock(&shared.lock);
  shared.known = known;
  bool ok = shared.result == CopyResult::Ok;
  pthread_cond_signal(&shared.wake);
  pthread_mutex_unlock(&shared.lock);
  return ok;
#else
  return true;
#endif
}

CopyResult finish_range_copy(RangeCopier& copier, std::int64_t length) {
#ifndef _WIN32
  if (copier.shared != nullptr) {
    RangeCopierShared& shared = *copier.shared;
    pthread_mutex_lock(&shared.lock);
    shared.known = length;
    shared.complete = true;
    pthread_cond_signal(&shared.wake);
    pthread_mutex_unlock(&shared.lock);
    pthread_join(shared.thread, nullptr);
    copier.shared = nullptr;
    return shared.result;
  }
#endif
  if (length == 0) return CopyResult::Ok;
  return copy_input_range(*copier.input, copier.input_start, *copier.output, copier.output_start,
                          length);
}

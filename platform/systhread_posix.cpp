#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "platform/systhread.h"

namespace {
// A thread record shared by the thread and its handle; whichever lets go last frees it.
struct ThreadRecord {
  int (*proc)(void*);
  void* arg;
  std::atomic<long> exitCode{kThreadStillActive};
  std::atomic<int> refs{2};
};

void Release(ThreadRecord* r) {
  if (r->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete r;
}

void* Trampoline(void* p) {
  ThreadRecord* r = static_cast<ThreadRecord*>(p);
  long code = r->proc(r->arg);
  r->exitCode.store(code, std::memory_order_release);
  Release(r);
  return nullptr;
}
}  // namespace

ThreadHandle StartThread(int (*proc)(void*), void* arg) {
  ThreadRecord* r = new ThreadRecord;
  r->proc = proc;
  r->arg = arg;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t t;
  int rc = pthread_create(&t, &attr, Trampoline, r);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete r;
    return nullptr;
  }
  return r;
}

int QueryThreadExitCode(ThreadHandle thread, long* code) {
  if (!thread) return 0;
  *code = static_cast<ThreadRecord*>(thread)->exitCode.load(std::memory_order_acquire);
  return 1;
}

void CloseThreadHandle(ThreadHandle thread) {
  if (thread) Release(static_cast<ThreadRecord*>(thread));
}

void SleepMs(unsigned ms) {
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// Other threads' calls into the dialog never wait for the dialog's thread here.
void SleepServicingSends(unsigned ms) { SleepMs(ms); }

uint32_t TickCountMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

void ReadLocalTime(LocalTimeFields* out) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  time_t now = ts.tv_sec;
  struct tm tmv;
  localtime_r(&now, &tmv);
  out->millisecond = static_cast<int>(ts.tv_nsec / 1000000);
  out->year = tmv.tm_year + 1900;
  out->month = tmv.tm_mon + 1;
  out->day = tmv.tm_mday;
  out->hour = tmv.tm_hour;
  out->minute = tmv.tm_min;
  out->second = tmv.tm_sec;
}

void ExitProcessNormally(int code) { std::exit(code); }

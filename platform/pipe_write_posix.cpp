#include "platform/pipe_write_posix.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

bool WriteAllWithoutSigpipe(int fd, const void* bytes, size_t count) {
  sigset_t pipeOnly, old, pending;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &old);
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
  size_t put = 0;
  bool broken = false;
  while (put < count) {
    ssize_t n = write(fd, static_cast<const char*>(bytes) + put, count - put);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      broken = n < 0 && errno == EPIPE;
      break;
    }
    put += static_cast<size_t>(n);
  }
  if (broken && !wasPending) {
    struct timespec zero = {0, 0};
    while (sigtimedwait(&pipeOnly, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return put == count;
}

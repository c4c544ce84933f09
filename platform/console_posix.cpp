// The console of a POSIX process: SIGINT and SIGTERM as stop requests, ttys and
// the standard descriptors.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include <cstdlib>
#include <cstring>

#include "platform/console.h"
#include "platform/pipe_write_posix.h"

namespace {
std::atomic<void (*)()> stopHandler{nullptr};

void OnSignal(int) {
  int saved = errno;  // the interrupted code may be about to read errno
  void (*onStop)() = stopHandler.load();
  if (onStop) onStop();
  errno = saved;
}
}  // namespace

void InstallStopHandler(void (*onStop)(), bool (*)()) {
  stopHandler.store(onStop);
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // Restarted calls: the rest of the program need not expect EINTR from a stop.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool StreamIsTerminal(int stream) { return (stream == 1 || stream == 2) && isatty(stream) == 1; }

bool StreamCanRedraw(int stream) {
  const char* term = getenv("TERM");
  return StreamIsTerminal(stream) && !(term && std::strcmp(term, "dumb") == 0);
}

bool ConsoleWrite(int stream, const char* bytes, size_t count) {
  if (stream != 1 && stream != 2) return false;
  // A reader that has gone (a closed pipe) makes the write fail, nothing more.
  return WriteAllWithoutSigpipe(stream, bytes, count);
}

int ConsoleReadInput(void* buffer, int count) {
  if (count < 0) return -1;
  ssize_t n;
  do {
    n = read(0, buffer, static_cast<size_t>(count));
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

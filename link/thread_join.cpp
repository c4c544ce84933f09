#include "link/thread_join.h"

int JoinThread(ThreadHandle thread) {
  bool ended = false;
  for (int poll = 0; poll < 1000; ++poll) {
    long code = 0;
    // A failed query counts as ended: there is nothing left to wait for.
    if (!QueryThreadExitCode(thread, &code) || code != kThreadStillActive) {
      ended = true;
      break;
    }
    // The joined thread may be tracing on its way out: its appends are sent to the
    // dialog's thread, which must keep carrying them out while it waits here.
    SleepServicingSends(10);
  }
  CloseThreadHandle(thread);
  return ended ? 0 : -1;
}

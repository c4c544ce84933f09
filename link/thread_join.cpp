#include "link/thread_join.h"

bool WaitThreadEnd(ThreadHandle thread, int polls) {
  for (int poll = 0; poll < polls; ++poll) {
    long code = 0;
    // A failed query counts as ended: there is nothing left to wait for.
    if (!QueryThreadExitCode(thread, &code) || code != kThreadStillActive) return true;
    // The awaited thread may set the status line or read a box on its way out: those
    // are sent to the dialog's thread, which must keep carrying them out meanwhile.
    SleepServicingSends(10);
  }
  return false;
}

int JoinThread(ThreadHandle thread) {
  bool ended = WaitThreadEnd(thread, 1000);
  CloseThreadHandle(thread);
  return ended ? 0 : -1;
}

#pragma once
#include "platform/systhread.h"

// Waits for a thread to end: up to `polls` looks at its exit code, 10 ms apart.
// True when it ended (a failed query counts as ended). On the dialog's thread the
// wait keeps serving other threads' sends (status line, box texts), so a thread
// that reports on its way out is never held up by the wait for it. Posted messages
// (trace lines among them) wait for the message loop. The handle stays open.
bool WaitThreadEnd(ThreadHandle thread, int polls);

// Waits for a thread to end (up to 1000 polls, about ten seconds) and closes its
// handle in every case. 0 when it ended, -1 when it still ran after the last poll.
int JoinThread(ThreadHandle thread);

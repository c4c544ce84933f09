#pragma once
#include "platform/systhread.h"

// Waits for a thread to end (up to 1000 polls of its exit code, 10 ms apart) and
// closes its handle in every case. 0 when it ended, -1 when it still ran after the
// last poll. On the dialog's thread the wait keeps serving other threads' sends.
int JoinThread(ThreadHandle thread);

// Threads, sleeping, clocks and process exit: the OS services every subsystem uses.
#pragma once
#include <cstdint>

typedef void* ThreadHandle;  // null when there is no thread

// The exit code a thread reports while it is still running (STILL_ACTIVE).
const long kThreadStillActive = 259;

// Creates a thread that starts at once with proc(arg); null when it cannot be created.
ThreadHandle StartThread(int (*proc)(void* arg), void* arg);
// Reads a thread's exit code; kThreadStillActive while it runs. Returns 0 when the
// query itself fails.
int QueryThreadExitCode(ThreadHandle thread, long* code);
// Gives up the handle; a thread that still runs goes on without one.
void CloseThreadHandle(ThreadHandle thread);

void SleepMs(unsigned ms);
// Sleeps like SleepMs, but a thread that owns the dialog keeps carrying out the
// messages other threads send to it meanwhile (trace appends, control texts), so a
// thread it waits for is never held up by waiting on it in turn.
void SleepServicingSends(unsigned ms);

// Milliseconds since an arbitrary start, wrapping at 2^32 like GetTickCount.
uint32_t TickCountMs();

struct LocalTimeFields {
  int year, month, day, hour, minute, second;
  int millisecond;  // 0-999
};
void ReadLocalTime(LocalTimeFields* out);

// Ends the process through the runtime's normal exit (exit handlers run, streams
// are flushed, every thread ends).
[[noreturn]] void ExitProcessNormally(int code);

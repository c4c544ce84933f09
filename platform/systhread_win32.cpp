#include <windows.h>

#include <cstdlib>

#include "platform/systhread.h"

namespace {
struct ThreadStart {
  int (*proc)(void*);
  void* arg;
};

DWORD WINAPI Trampoline(LPVOID p) {
  ThreadStart s = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  return static_cast<DWORD>(s.proc(s.arg));
}
}  // namespace

ThreadHandle StartThread(int (*proc)(void*), void* arg) {
  ThreadStart* s = new ThreadStart{proc, arg};
  HANDLE h = CreateThread(nullptr, 0, Trampoline, s, 0, nullptr);
  if (!h) delete s;
  return h;
}

int QueryThreadExitCode(ThreadHandle thread, long* code) {
  DWORD c = 0;
  if (!thread || !GetExitCodeThread(static_cast<HANDLE>(thread), &c)) return 0;
  *code = (c == STILL_ACTIVE) ? kThreadStillActive : static_cast<long>(static_cast<int>(c));
  return 1;
}

void CloseThreadHandle(ThreadHandle thread) {
  if (thread) CloseHandle(static_cast<HANDLE>(thread));
}

void SleepMs(unsigned ms) { Sleep(ms); }

void SleepServicingSends(unsigned ms) {
  // Messages that other threads send to this thread's windows (SendMessage) are
  // carried out by PeekMessage; posted messages stay queued for the message loop,
  // so no command handler runs in the middle of another one through a post.
  DWORD start = GetTickCount();
  for (;;) {
    DWORD spent = GetTickCount() - start;
    if (spent >= ms) break;
    DWORD r = MsgWaitForMultipleObjectsEx(0, nullptr, ms - spent, QS_SENDMESSAGE, 0);
    if (r == WAIT_OBJECT_0) {
      MSG msg;
      PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    } else if (r != WAIT_TIMEOUT) {
      Sleep(1);
    }
  }
}

uint32_t TickCountMs() { return GetTickCount(); }

void ReadLocalTime(LocalTimeFields* out) {
  SYSTEMTIME st;
  GetLocalTime(&st);
  out->year = st.wYear;
  out->month = st.wMonth;
  out->day = st.wDay;
  out->hour = st.wHour;
  out->minute = st.wMinute;
  out->second = st.wSecond;
  out->millisecond = st.wMilliseconds;
}

void ExitProcessNormally(int code) { std::exit(code); }

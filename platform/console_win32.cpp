// The console of a Win32 process: console control events as stop requests, the
// standard handles for output and input.
#include <windows.h>

#include <atomic>

#include "platform/console.h"

namespace {
std::atomic<void (*)()> stopHandler{nullptr};
std::atomic<bool (*)()> endedCheck{nullptr};

BOOL WINAPI OnControl(DWORD event) {
  void (*onStop)() = stopHandler.load();
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      if (onStop) onStop();
      return TRUE;
    case CTRL_CLOSE_EVENT: {
      if (onStop) onStop();
      // The system ends the process once this returns (and anyway some seconds
      // after the close): the job gets what time is left to stop and write its
      // record.
      bool (*ended)() = endedCheck.load();
      for (int waited = 0; ended && waited < 4500 && !ended(); waited += 10) Sleep(10);
      return TRUE;
    }
    default:
      return FALSE;  // logoff and shutdown: the default handling
  }
}

HANDLE StandardHandle(int stream) {
  if (stream == 1) return GetStdHandle(STD_OUTPUT_HANDLE);
  if (stream == 2) return GetStdHandle(STD_ERROR_HANDLE);
  return nullptr;
}
}  // namespace

void InstallStopHandler(void (*onStop)(), bool (*ended)()) {
  stopHandler.store(onStop);
  endedCheck.store(ended);
  SetConsoleCtrlHandler(OnControl, TRUE);
}

bool StreamIsTerminal(int stream) {
  HANDLE h = StandardHandle(stream);
  DWORD mode = 0;
  // Only a console handle has a console mode; files and pipes refuse the call.
  return h && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

bool StreamCanRedraw(int stream) {
  HANDLE h = StandardHandle(stream);
  DWORD mode = 0;
  if (!h || h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode)) return false;
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
  // Consoles before Windows 10 refuse the mode: plain lines there.
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) || SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

bool ConsoleWrite(int stream, const char* bytes, size_t count) {
  HANDLE h = StandardHandle(stream);
  if (!h || h == INVALID_HANDLE_VALUE) return false;
  size_t put = 0;
  while (put < count) {
    // Console writes of more than some tens of kilobytes can fail at once for want
    // of a buffer: pieces of at most 16 KiB.
    DWORD piece = static_cast<DWORD>(count - put < 16384 ? count - put : 16384);
    DWORD n = 0;
    if (!WriteFile(h, bytes + put, piece, &n, nullptr) || n == 0) return false;
    put += n;
  }
  return true;
}

int ConsoleReadInput(void* buffer, int count) {
  HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
  if (!h || h == INVALID_HANDLE_VALUE || count < 0) return -1;
  if (count == 0) return 0;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(h, buffer, static_cast<DWORD>(count), &got, nullptr))
      return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    if (got > 0) return static_cast<int>(got);
    // A zero-length write at a pipe's other end completes a read with nothing;
    // a file or the console at its end gives the same, which is the end.
    if (GetFileType(h) != FILE_TYPE_PIPE) return 0;
  }
}

// Child processes with pipes on Win32: anonymous pipes as the child's standard
// handles, a command line quoted so that the child's C runtime rebuilds args.
#include <windows.h>

#include "platform/process.h"

namespace {
// Inheritable handles reach every child CreateProcess starts while they exist:
// one start at a time, so one child's pipe ends never reach another child.
SRWLOCK startLock = SRWLOCK_INIT;

// One argument as the C runtime's command-line parser reads it back: quoted when
// empty or holding blanks or quotes; inside quotes a run of backslashes is
// doubled before a quote or the closing quote, and a quote escaped. The parser
// (msvcrt's, and Wine's, which splits the UTF-16 line) takes a double-byte
// character whole, so a trail byte 0x5C (表, ソ) is no backslash here either.
void AppendQuoted(std::string* line, const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
    line->append(arg);
    return;
  }
  line->push_back('"');
  size_t backslashes = 0;
  for (size_t i = 0; i < arg.size(); ++i) {
    char c = arg[i];
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      line->append(backslashes * 2 + 1, '\\');
    } else {
      line->append(backslashes, '\\');
    }
    backslashes = 0;
    line->push_back(c);
    if (IsDBCSLeadByte(static_cast<BYTE>(c)) && i + 1 < arg.size()) line->push_back(arg[++i]);
  }
  line->append(backslashes * 2, '\\');
  line->push_back('"');
}

struct Child {
  HANDLE process;
};
}  // namespace

ChildProcess StartChildProcess(const std::vector<std::string>& args, PipeHandle* toChild, PipeHandle* fromOut,
                               PipeHandle* fromErr) {
  *toChild = *fromOut = *fromErr = nullptr;
  if (args.empty()) return nullptr;
  // The program's name is taken up to its closing quote with no escapes, so it is
  // quoted plainly (a Windows path holds no quote).
  std::string line = "\"" + args[0] + "\"";
  for (size_t i = 1; i < args.size(); ++i) {
    line.push_back(' ');
    AppendQuoted(&line, args[i]);
  }

  SECURITY_ATTRIBUTES inherit;
  ZeroMemory(&inherit, sizeof inherit);
  inherit.nLength = sizeof inherit;
  inherit.bInheritHandle = TRUE;
  // [0]: the child's input (it reads, the parent writes); [1], [2]: its output and error.
  HANDLE childEnd[3] = {nullptr, nullptr, nullptr};
  HANDLE parentEnd[3] = {nullptr, nullptr, nullptr};
  AcquireSRWLockExclusive(&startLock);
  bool ok = CreatePipe(&childEnd[0], &parentEnd[0], &inherit, 0) &&
            CreatePipe(&parentEnd[1], &childEnd[1], &inherit, 0) &&
            CreatePipe(&parentEnd[2], &childEnd[2], &inherit, 0);
  for (int i = 0; ok && i < 3; ++i) ok = SetHandleInformation(parentEnd[i], HANDLE_FLAG_INHERIT, 0) != 0;
  PROCESS_INFORMATION info;
  ZeroMemory(&info, sizeof info);
  if (ok) {
    STARTUPINFOA start;
    ZeroMemory(&start, sizeof start);
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = childEnd[0];
    start.hStdOutput = childEnd[1];
    start.hStdError = childEnd[2];
    // No new console and no new process group: a Ctrl+C in the console reaches
    // the child as it reaches the parent.
    ok = CreateProcessA(args[0].c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &info) != 0;
  }
  for (HANDLE h : childEnd)
    if (h) CloseHandle(h);
  ReleaseSRWLockExclusive(&startLock);
  if (!ok) {
    for (HANDLE h : parentEnd)
      if (h) CloseHandle(h);
    return nullptr;
  }
  CloseHandle(info.hThread);
  *toChild = parentEnd[0];
  *fromOut = parentEnd[1];
  *fromErr = parentEnd[2];
  return new Child{info.hProcess};
}

int PipeRead(PipeHandle pipe, void* buffer, int count) {
  if (!pipe || count < 0) return -1;
  if (count == 0) return 0;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(pipe), buffer, static_cast<DWORD>(count), &got, nullptr))
      return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    // A zero-length write at the other end completes a read with nothing; the
    // end of the pipe is ERROR_BROKEN_PIPE, never a successful empty read.
    if (got > 0) return static_cast<int>(got);
  }
}

int PipeReadFor(PipeHandle pipe, void* buffer, int count, unsigned ms) {
  if (!pipe || count < 0) return -1;
  // An anonymous pipe has no overlapped reads: its queue is looked at every few ms.
  const DWORD start = GetTickCount();
  for (;;) {
    DWORD queued = 0;
    if (!PeekNamedPipe(static_cast<HANDLE>(pipe), nullptr, 0, nullptr, &queued, nullptr))
      return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    if (queued > 0) return PipeRead(pipe, buffer, count);
    if (GetTickCount() - start >= ms) return -2;
    Sleep(5);
  }
}

int PipeWrite(PipeHandle pipe, const void* buffer, int count) {
  if (!pipe || count < 0) return -1;
  int put = 0;
  while (put < count) {
    DWORD n = 0;
    if (!WriteFile(static_cast<HANDLE>(pipe), static_cast<const char*>(buffer) + put, static_cast<DWORD>(count - put),
                   &n, nullptr) ||
        n == 0)
      return -1;
    put += static_cast<int>(n);
  }
  return put;
}

void PipeClose(PipeHandle pipe) {
  if (pipe) CloseHandle(static_cast<HANDLE>(pipe));
}

bool WaitChildProcess(ChildProcess child, unsigned ms, int* exitValue) {
  Child* c = static_cast<Child*>(child);
  if (!c || WaitForSingleObject(c->process, ms) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  if (!GetExitCodeProcess(c->process, &code)) return false;
  *exitValue = static_cast<int>(code);
  return true;
}

void CloseChildProcess(ChildProcess child) {
  Child* c = static_cast<Child*>(child);
  if (!c) return;
  CloseHandle(c->process);
  delete c;
}

std::string OwnProgramPath() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    DWORD n = GetModuleFileNameA(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (n == 0) return std::string();
    // A path that fills the buffer was cut short (the call then says so only
    // through the length on older systems).
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    if (path.size() >= 32768) return std::string();
    path.resize(path.size() * 2);
  }
}

int OwnProcessId() { return static_cast<int>(GetCurrentProcessId()); }

std::string ComputerName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {0};
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return std::string();
  return std::string(name, size);
}

int ChildProcessId(ChildProcess child) {
  return child ? static_cast<int>(GetProcessId(static_cast<Child*>(child)->process)) : 0;
}

#include "tests/win/win_support.h"

#include <cstdio>

namespace wintest {

std::string WinPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return path;
  std::string out = "Z:";
  for (char c : path) out += (c == '/') ? '\\' : c;
  return out;
}

std::string Env(const char* name) {
  char buffer[4096];
  DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  return (n == 0 || n >= sizeof buffer) ? std::string() : std::string(buffer, n);
}

std::string MakeScratchDir(const char* tag) {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  static unsigned serial = 0;
  for (;;) {
    char dir[MAX_PATH];
    std::snprintf(dir, sizeof dir, "%sqb2-%s-%lu-%u", temp, tag, GetCurrentProcessId(), ++serial);
    if (CreateDirectoryA(dir, nullptr)) return dir;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return std::string();
  }
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadWholeFile(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  std::string out;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) out.append(buffer, got);
  CloseHandle(h);
  return out;
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  DWORD put = 0;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
  CloseHandle(h);
}

Process::~Process() {
  if (started_) {
    Kill();
    CloseHandle(info_.hProcess);
    CloseHandle(info_.hThread);
  }
}

bool Process::Start(const std::string& exe, const std::string& args, const std::string& cwd) {
  std::string command = "\"" + exe + "\"" + (args.empty() ? "" : " " + args);
  std::vector<char> line(command.begin(), command.end());
  line.push_back('\0');
  STARTUPINFOA si{};
  si.cb = sizeof si;
  started_ = CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            cwd.empty() ? nullptr : cwd.c_str(), &si, &info_) != FALSE;
  return started_;
}

bool Process::WaitExit(DWORD timeoutMs, DWORD* code) {
  if (!started_ || WaitForSingleObject(info_.hProcess, timeoutMs) != WAIT_OBJECT_0) return false;
  GetExitCodeProcess(info_.hProcess, code);
  return true;
}

bool Process::Running() { return started_ && WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT; }

void Process::Kill() {
  if (Running()) {
    TerminateProcess(info_.hProcess, 999);
    WaitForSingleObject(info_.hProcess, 5000);
  }
}

namespace {
struct Search {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK Collect(HWND w, LPARAM l) {
  Search* s = reinterpret_cast<Search*>(l);
  char cls[64];
  if (!GetClassNameA(w, cls, sizeof cls) || lstrcmpA(cls, "KM72BENCH") != 0) return TRUE;
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (s->pid == 0 || pid == s->pid) s->found.push_back(w);
  return TRUE;
}
}  // namespace

std::vector<HWND> MainDialogs() {
  Search s{0, {}};
  EnumWindows(Collect, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

HWND WaitForMainDialog(DWORD pid, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  do {
    Search s{pid, {}};
    EnumWindows(Collect, reinterpret_cast<LPARAM>(&s));
    // The window exists before its controls do; initialisation fills the status line last.
    if (!s.found.empty() && !ControlText(s.found[0], 300).empty()) return s.found[0];
    Sleep(10);
  } while (GetTickCount() - start < timeoutMs);
  return nullptr;
}

std::string ControlText(HWND dialog, int id) {
  HWND c = GetDlgItem(dialog, id);
  if (!c) return std::string();
  char buffer[1024];
  LRESULT n = SendMessageA(c, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer));
  return std::string(buffer, static_cast<size_t>(n > 0 ? n : 0));
}

void PumpPosted() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

std::vector<std::string> ListLines(HWND dialog, int id) {
  std::vector<std::string> lines;
  HWND list = GetDlgItem(dialog, id);
  LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    LRESULT len = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
    // Room to spare: a list that is being written can replace line i by a longer
    // one between the two messages (the 200-line cap drops the first line).
    std::wstring w(static_cast<size_t>(len > 1024 ? len : 1024) + 1, L'\0');
    LRESULT got = SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&w[0]));
    w.resize(static_cast<size_t>(got > 0 ? got : 0));
    char out[2048];
    int n = WideCharToMultiByte(932, 0, w.c_str(), static_cast<int>(w.size()), out, sizeof out, nullptr, nullptr);
    lines.emplace_back(out, static_cast<size_t>(n > 0 ? n : 0));
  }
  return lines;
}

int ListSelection(HWND dialog, int id) {
  return static_cast<int>(SendDlgItemMessageW(dialog, id, LB_GETCURSEL, 0, 0));
}

std::string ProgramPath() { return WinPath(Env("QB2_EXE")); }
std::string BenchProgramPath() { return WinPath(Env("QB2_BENCH_EXE")); }

}  // namespace wintest

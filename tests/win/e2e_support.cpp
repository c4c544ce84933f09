#include "tests/win/e2e_support.h"

#include <cstdio>

#include "tests/win/win_support.h"

namespace wintest {

namespace {
const char kKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
const char kValue[] = "\\Device\\Serial2";
}  // namespace

bool PlugIn(const std::string& comName) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return false;
  LONG rc = RegSetValueExA(key, kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(comName.c_str()),
                           static_cast<DWORD>(comName.size() + 1));
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

bool Unplug() {
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return false;
  LONG rc = RegDeleteValueA(key, kValue);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

std::string PortsDir() { return Env("QB2_PORTS"); }

bool Unit::Start(int port, const std::string& extraArgs) {
  std::string sim = Env("QB2_SIM");
  if (sim.empty() || PortsDir().empty()) return false;
  std::string link = PortsDir() + "/com" + std::to_string(port);
  logPath_ = PortsDir() + "/unit" + std::to_string(port) + ".log";
  stopPath_ = PortsDir() + "/unit" + std::to_string(port) + ".stop";
  DeleteFileA(WinPath(logPath_).c_str());
  DeleteFileA(WinPath(stopPath_).c_str());
  log_.clear();

  std::string command = WinPath(sim) + " --link " + link + " --log " + logPath_ + " --stop-file " + stopPath_ +
                        " --seconds 600 " + extraArgs;
  std::vector<char> line(command.begin(), command.end());
  line.push_back('\0');
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
  if (pi.hProcess) CloseHandle(pi.hProcess);
  if (pi.hThread) CloseHandle(pi.hThread);
  running_ = WaitLog(" start ", 10000);  // its pty and link are ready
  return running_;
}

void Unit::Stop() {
  if (!running_) return;
  WriteWholeFile(WinPath(stopPath_), "stop");
  WaitLog(" stop", 3000);
  DeleteFileA(WinPath(stopPath_).c_str());
  running_ = false;
}

const std::string& Unit::Log() {
  HANDLE h = CreateFileA(WinPath(logPath_).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return log_;
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(log_.size());
  if (SetFilePointerEx(h, at, nullptr, FILE_BEGIN)) {
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) log_.append(buffer, got);
  }
  CloseHandle(h);
  return log_;
}

bool Unit::WaitLog(const std::string& text, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  do {
    if (LogHas(text)) return true;
    Sleep(10);
  } while (Since(start) < static_cast<long>(timeoutMs));
  return false;
}

namespace {
struct BoxSearch {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK FindBox(HWND w, LPARAM l) {
  BoxSearch* s = reinterpret_cast<BoxSearch*>(l);
  char cls[32] = "";
  GetClassNameA(w, cls, sizeof cls);
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  // The program's own dialog is of class KM72BENCH; a #32770 of the process is a box.
  if (pid == s->pid && lstrcmpA(cls, "#32770") == 0 && IsWindowVisible(w)) {
    s->found = w;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK LongestStatic(HWND c, LPARAM l) {
  char cls[32] = "";
  GetClassNameA(c, cls, sizeof cls);
  if (lstrcmpiA(cls, "Static") == 0) {
    std::string t = ControlText(GetParent(c), GetDlgCtrlID(c));
    std::string* best = reinterpret_cast<std::string*>(l);
    if (t.size() > best->size()) *best = t;
  }
  return TRUE;
}
}  // namespace

Box WaitForMessageBox(DWORD pid, DWORD timeoutMs) {
  Box box;
  DWORD start = GetTickCount();
  do {
    BoxSearch s{pid, nullptr};
    EnumWindows(FindBox, reinterpret_cast<LPARAM>(&s));
    if (s.found) {
      box.window = s.found;
      char caption[256] = "";
      GetWindowTextA(s.found, caption, sizeof caption);
      box.caption = caption;
      EnumChildWindows(s.found, LongestStatic, reinterpret_cast<LPARAM>(&box.text));
      return box;
    }
    Sleep(10);
  } while (Since(start) < static_cast<long>(timeoutMs));
  return box;
}

void DismissBox(const Box& box) { PostMessageA(box.window, WM_COMMAND, IDOK, 0); }

}  // namespace wintest

// Wine test helpers that reach outside the program: the serial-port registry value
// a plug-in adds, the virtual unit (a Linux program started from here), and the
// modal boxes the program shows.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace wintest {

// "\Device\Serial2" under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, as the USB serial
// driver adds and removes it.
bool PlugIn(const std::string& comName);
bool Unplug();

// The virtual unit on COM<port>: the prefix's fixed link "<ports>/com<port>" is
// pointed at its pty. Wine can neither end nor hand a pipe to a Linux program it
// starts, so the unit is stopped through a stop file (and ends by itself after a
// few minutes should a test die first).
class Unit {
 public:
  ~Unit() { Stop(); }
  bool Start(int port, const std::string& extraArgs = "");
  void Stop();
  // The unit's byte and event log so far. Read on from where the last call ended:
  // a flash job's log grows to a megabyte, and tests poll it every few milliseconds.
  const std::string& Log();
  bool LogHas(const std::string& text) { return Log().find(text) != std::string::npos; }
  bool WaitLog(const std::string& text, DWORD timeoutMs);

 private:
  std::string logPath_, stopPath_, log_;
  bool running_ = false;
};

// Linux paths handed to the test by ctest.
std::string PortsDir();

struct Box {
  HWND window = nullptr;
  std::string caption;
  std::string text;
};
// A message box of process pid, once it shows; window null after the time-out.
Box WaitForMessageBox(DWORD pid, DWORD timeoutMs);
void DismissBox(const Box& box);

// GetTickCount difference as a signed count of milliseconds.
inline long Since(DWORD start) { return static_cast<long>(GetTickCount() - start); }

}  // namespace wintest

// Helpers for the Windows tests that run under Wine: starting QB2LINK.EXE in a
// scratch folder, finding its dialog, reading its controls from this process.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace wintest {

// A Unix path (as the build passes them) as a Windows path on Wine's Z: drive;
// Windows paths are returned unchanged.
std::string WinPath(const std::string& path);
std::string Env(const char* name);
// A new empty folder under %TEMP%.
std::string MakeScratchDir(const char* tag);
bool FileExists(const std::string& path);
// The file's bytes; "<missing>" when it cannot be read.
std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);

class Process {
 public:
  Process() = default;
  ~Process();  // ends the process if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool Start(const std::string& exe, const std::string& args, const std::string& cwd);
  // True when the process ended within the time; its exit value in *code.
  bool WaitExit(DWORD timeoutMs, DWORD* code);
  bool Running();
  void Kill();
  DWORD Id() const { return info_.dwProcessId; }

 private:
  PROCESS_INFORMATION info_{};
  bool started_ = false;
};

// The top-level window of class KM72BENCH that belongs to process pid, once its
// initialisation has filled the status line; null after the time-out.
HWND WaitForMainDialog(DWORD pid, DWORD timeoutMs);
// Every top-level window of class KM72BENCH, of any process.
std::vector<HWND> MainDialogs();

// Control text as the ANSI functions give it (code page 932 bytes).
std::string ControlText(HWND dialog, int id);
// List box lines, read as UTF-16 and converted to code page 932 (an ANSI read of
// another process's list box returns UTF-16 bytes under Wine).
std::vector<std::string> ListLines(HWND dialog, int id);
// Dispatches this thread's posted messages, as the program's message loop would
// (other threads' trace lines arrive that way).
void PumpPosted();
int ListSelection(HWND dialog, int id);

// QB2LINK.EXE of this build as a Windows path.
std::string ProgramPath();
// QB2BENCH.EXE of this build (QB2_BENCH_EXE) as a Windows path: the bench, which
// never reports and never ends by itself, for tests that run longer than ten
// seconds or need the bench controls in view.
std::string BenchProgramPath();

}  // namespace wintest

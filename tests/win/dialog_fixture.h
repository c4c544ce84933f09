// The fixture of the end-to-end Windows tests that work a program's dialog: the
// program started in a scratch folder as a person starts it, its dialog found,
// and the virtual unit on COM7 for the tests that talk to one.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/win/e2e_support.h"
#include "tests/win/win_support.h"

namespace wintest {

class DialogTest : public ::testing::Test {
 protected:
  // No serial-port value listed (no port watcher gets ahead of the test) and a new
  // scratch folder.
  void SetUp() override;
  // A program still running is ended.
  void TearDown() override;

  // Starts program in cwd (the scratch folder when empty) and finds its dialog.
  void StartProgram(const std::string& program, const std::string& cwd = "");
  // QB2BENCH.EXE with the unit (started with unitArgs) on COM7, opened by hand.
  void StartBenchOnUnit(const std::string& unitArgs, const std::string& cwd = "");
  // Box 103 set to 7 and open pressed: true once the unit has seen its port opened
  // and the box is locked.
  bool OpenCom7ByHand();
  // A press the test waits out (sent, not posted).
  void Command(int id);
  bool WaitText(int id, const std::string& text, DWORD ms);
  // The trace lines that are not frame lines (T-, R-): what the jobs say.
  std::vector<std::string> TextLines();
  bool HasLine(const std::string& text);
  // Stops the unit, which writes its dump to path on the way out, and reads the
  // dump once it has size bytes (what it has after three seconds otherwise).
  std::string StopUnitAndRead(const std::string& path, size_t size);
  // Closes the dialog as its close box does; the exit value, once the program has
  // ended (which is expected within ten seconds).
  DWORD Close();

  std::string dir_;
  Unit unit_;
  Process p_;
  HWND dialog_ = nullptr;
};

}  // namespace wintest

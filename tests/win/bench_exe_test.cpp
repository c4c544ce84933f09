// QB2BENCH.EXE end to end under Wine: it starts with every control in view and no
// detection, stays past the line program's ten seconds without a result file, works
// the port by hand, and with check box 302 ticked opens the unit's port by itself,
// also again after the removal watcher of a finished run has seen it unplugged.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "operator/ids.h"
#include "ops/operations.h"
#include "tests/win/e2e_support.h"
#include "tests/win/win_support.h"
#include "tests/win/dialog_fixture.h"

namespace {

using wintest::ControlText;
using wintest::Since;

const std::string kPlugIn = "USBを接続してください。";
const std::string kUnplugText = "USBを外してください。";
const std::string kReady = "COMポート準備完了";

// The dialog's own controls; every operation of the table has its control too.
const int kControls[] = {IDC_TRACE_LIST,  IDC_OPEN,       IDC_CLOSE,       IDC_PORT_NUMBER,      IDC_LOG_FILE,
                         IDC_EM_STOP,     IDC_FLASH_ADDR, IDC_FLASH_SIZE,  IDC_FLASH_FILE,       IDC_LIST_CLEAR,
                         IDC_STATUS_LINE, IDC_WAIT_MS,    IDC_WAIT_MS_LABEL, IDC_AUTO_RECOGNITION, IDC_SERIAL_NUMBER,
                         IDC_RESULT};

class BenchExe : public wintest::DialogTest {
 protected:
  void TearDown() override {
    wintest::Unplug();
    DialogTest::TearDown();
  }
  void StartBench() {
    started_ = GetTickCount();
    StartProgram(wintest::BenchProgramPath());
  }
  // Closing is the only way it ends: exit value 0, no result file.
  void CloseAndExpectNoResult() {
    EXPECT_EQ(Close(), 0u);
    EXPECT_EQ(wintest::ReadWholeFile(dir_ + "\\QB2LINK.OK"), "<missing>");
    EXPECT_EQ(wintest::ReadWholeFile(dir_ + "\\QB2LINK.ERR"), "<missing>");
  }
  bool WaitLines(size_t n, DWORD ms) {
    DWORD t = GetTickCount();
    while (wintest::ListLines(dialog_, IDC_TRACE_LIST).size() < n && Since(t) < static_cast<long>(ms)) Sleep(2);
    return wintest::ListLines(dialog_, IDC_TRACE_LIST).size() >= n;
  }
  // The operator clicks check box 302: it changes its own state, then its command.
  void ClickAutoRecognition(bool on) {
    SendDlgItemMessageA(dialog_, IDC_AUTO_RECOGNITION, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
    Command(IDC_AUTO_RECOGNITION);
  }

  DWORD started_ = 0;
};

TEST_F(BenchExe, StaysPastTwelveSecondsInViewWorkingThePortByHand) {
  ASSERT_TRUE(unit_.Start(7));
  ASSERT_TRUE(wintest::PlugIn("COM7"));  // listed from the start: still nobody opens it
  StartBench();

  char title[128] = {};
  GetWindowTextA(dialog_, title, sizeof title);
  EXPECT_EQ(std::string(title), "QB2BENCH.EXE ver2.1a (bench)");
  EXPECT_TRUE(IsWindowVisible(dialog_));
  std::vector<int> ids(std::begin(kControls), std::end(kControls));
  for (int i = 0; i < kOperationCount; ++i) ids.push_back(kOperations[i].id);
  for (int id : ids) {
    SCOPED_TRACE(id);
    HWND c = GetDlgItem(dialog_, id);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(IsWindowVisible(c));
  }
  EXPECT_EQ(SendDlgItemMessageA(dialog_, IDC_AUTO_RECOGNITION, BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_EQ(ControlText(dialog_, IDC_PORT_NUMBER), "1");
  EXPECT_EQ(ControlText(dialog_, IDC_WAIT_MS), "5000");

  Sleep(1500);  // a line start would have opened COM7 by now
  EXPECT_FALSE(unit_.LogHas("host-open"));
  EXPECT_EQ(ControlText(dialog_, IDC_PORT_NUMBER), "1");

  // By hand: box 103 and open, then a clock read and its reply in the trace list.
  ASSERT_TRUE(OpenCom7ByHand());
  Command(IDC_CLOCK_READ);
  ASSERT_TRUE(WaitLines(2, 2000));
  std::vector<std::string> lines = wintest::ListLines(dialog_, IDC_TRACE_LIST);
  EXPECT_EQ(lines[0], "T-  7 0221000003260D");
  EXPECT_EQ(lines[1].substr(0, 16), "R- 13 0230060000");

  while (Since(started_) < 12500) {  // past the line program's watchdog
    ASSERT_TRUE(p_.Running());
    Sleep(100);
  }
  EXPECT_FALSE(wintest::FileExists(dir_ + "\\QB2LINK.ERR"));
  EXPECT_FALSE(wintest::FileExists(dir_ + "\\QB2LINK.OK"));
  Command(IDC_CLOCK_READ);  // the port is still there for the bench
  EXPECT_TRUE(WaitLines(4, 2000));
  CloseAndExpectNoResult();
  EXPECT_TRUE(unit_.WaitLog("host-close 1", 2000));  // the close stopped the receiver
}

TEST_F(BenchExe, Tick302OpensTheUnitsPortAndTheRemovalWatcherMakesALineLoop) {
  ASSERT_TRUE(unit_.Start(7));
  ASSERT_TRUE(wintest::PlugIn("COM7"));
  StartBench();
  SetDlgItemTextA(dialog_, IDC_WAIT_MS, "300");  // a short settle time

  ClickAutoRecognition(true);
  EXPECT_TRUE(WaitText(IDC_PORT_NUMBER, "7", 2000));
  ASSERT_TRUE(unit_.WaitLog("host-open 1", 3000));
  EXPECT_TRUE(WaitText(IDC_STATUS_LINE, kReady, 3000)) << ControlText(dialog_, IDC_STATUS_LINE);
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog_, IDC_PORT_NUMBER)));
  Sleep(500);
  EXPECT_TRUE(p_.Running());
  EXPECT_FALSE(unit_.LogHas("host-close"));  // the port stays open for the bench

  // The end of a production run: em-stop and close, then the removal watcher.
  Command(IDC_EM_STOP);
  Command(IDC_CLOSE);
  ASSERT_TRUE(unit_.WaitLog("host-close 1", 2000));
  PostMessageA(dialog_, UM_START_REMOVAL_WATCH, 0, 0);
  EXPECT_TRUE(WaitText(IDC_STATUS_LINE, kUnplugText, 2000));
  Sleep(300);
  EXPECT_EQ(ControlText(dialog_, IDC_STATUS_LINE), kUnplugText);  // the unit is still there

  ASSERT_TRUE(wintest::Unplug());
  EXPECT_TRUE(WaitText(IDC_STATUS_LINE, kPlugIn, 2000));
  Sleep(300);
  EXPECT_FALSE(unit_.LogHas("host-open 2"));
  ASSERT_TRUE(wintest::PlugIn("COM7"));  // the next unit
  DWORD plugged = GetTickCount();
  EXPECT_TRUE(unit_.WaitLog("host-open 2", 3000));
  long opened = Since(plugged);
  EXPECT_TRUE(WaitText(IDC_STATUS_LINE, kReady, 3000)) << ControlText(dialog_, IDC_STATUS_LINE);
  std::printf("[ figures  ] replug -> port open %ld ms, -> ready (300 ms settle) %ld ms\n", opened, Since(plugged));

  // Unticking winds the port down and stops recognition.
  ClickAutoRecognition(false);
  EXPECT_TRUE(unit_.WaitLog("host-close 2", 2000));
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog_, IDC_PORT_NUMBER)));
  EXPECT_TRUE(p_.Running());
  CloseAndExpectNoResult();
}

}  // namespace

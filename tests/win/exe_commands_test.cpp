// The dialog's commands on the real EXE, sent as the hidden buttons would send
// them: the closed-port warning, open and close by hand, bench requests traced in
// the list box, and the list's cap fed by real frames. Each run ends well inside
// the watchdog's ten seconds.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "operator/ids.h"
#include "ops/operations.h"
#include "tests/win/e2e_support.h"
#include "tests/win/win_support.h"

namespace {

using wintest::ControlText;
using wintest::Since;

class ExeCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    wintest::Unplug();  // no port watcher gets ahead of the test
    dir_ = wintest::MakeScratchDir("cmd");
    ASSERT_TRUE(p_.Start(wintest::ProgramPath(), "", dir_));
    dialog_ = wintest::WaitForMainDialog(p_.Id(), 5000);
    ASSERT_NE(dialog_, nullptr);
  }
  void TearDown() override {
    if (dialog_) PostMessageA(dialog_, WM_CLOSE, 0, 0);
    DWORD code = 99;
    EXPECT_TRUE(p_.WaitExit(10000, &code));
    EXPECT_EQ(code, 0u);
  }
  void Command(int id) { SendMessageA(dialog_, WM_COMMAND, static_cast<WPARAM>(id), 0); }
  bool PortBoxEnabled() { return IsWindowEnabled(GetDlgItem(dialog_, IDC_PORT_NUMBER)) != FALSE; }
  std::vector<std::string> Lines() { return wintest::ListLines(dialog_, IDC_TRACE_LIST); }
  int Count() { return static_cast<int>(SendDlgItemMessageW(dialog_, IDC_TRACE_LIST, LB_GETCOUNT, 0, 0)); }
  bool WaitLines(int n, DWORD ms) {
    DWORD t = GetTickCount();
    while (Count() < n && Since(t) < static_cast<long>(ms)) Sleep(1);
    return Count() >= n;
  }
  // Posted, as a click is: a failed open shows a modal box that a sent command
  // would wait on.
  void OpenPort(int n) {
    SetDlgItemTextA(dialog_, IDC_PORT_NUMBER, std::to_string(n).c_str());
    PostMessageA(dialog_, WM_COMMAND, IDC_OPEN, 0);
  }
  bool WaitPortBox(bool enabled) {
    DWORD t = GetTickCount();
    while (PortBoxEnabled() != enabled && Since(t) < 3000) Sleep(2);
    return PortBoxEnabled() == enabled;
  }

  std::string dir_;
  wintest::Process p_;
  HWND dialog_ = nullptr;
};

TEST_F(ExeCommands, CommandsThatNeedThePortWarnAndSendNothingWhileItIsClosed) {
  for (int i = 0; i < kOperationCount; ++i) {
    if ((kOperations[i].flags & OP_BENCH_ONLY) || !(kOperations[i].flags & OP_NEEDS_UNIT)) continue;
    const int id = kOperations[i].id;
    SCOPED_TRACE(id);
    PostMessageA(dialog_, WM_COMMAND, static_cast<WPARAM>(id), 0);
    wintest::Box box = wintest::WaitForMessageBox(p_.Id(), 3000);
    ASSERT_NE(box.window, nullptr);
    EXPECT_EQ(box.caption, "");  // an empty caption, not the system's default
    EXPECT_EQ(box.text, "COMﾎﾟｰﾄがオープンされていません");
    wintest::DismissBox(box);
    Sleep(100);
  }
  EXPECT_TRUE(Lines().empty());  // nothing was sent (a frame would leave its T- line)
}

TEST_F(ExeCommands, OpenAndCloseByHandWithARoundTripInTheTraceList) {
  wintest::Unit unit;
  ASSERT_TRUE(unit.Start(7));
  OpenPort(7);
  EXPECT_TRUE(WaitPortBox(false));
  EXPECT_TRUE(unit.WaitLog("host-open 1", 2000));

  Command(IDC_CLOCK_READ);
  ASSERT_TRUE(WaitLines(2, 2000));
  std::vector<std::string> lines = Lines();
  EXPECT_EQ(lines[0], "T-  7 0221000003260D");
  EXPECT_EQ(lines[1].substr(0, 16), "R- 13 0230060000");
  EXPECT_EQ(wintest::ListSelection(dialog_, IDC_TRACE_LIST), 1);

  Command(IDC_OPEN);  // open again while open: nothing happens
  Sleep(100);
  EXPECT_FALSE(unit.LogHas("host-open 2"));

  Command(IDC_AP_STOP);  // the pre-stop byte about 100 ms before CMD_APP_STOP
  ASSERT_TRUE(WaitLines(4, 2000));
  EXPECT_EQ(Lines()[2], "T-  7 0260000003650D");
  ASSERT_TRUE(unit.WaitLog("pre-stop", 1000));

  Command(IDC_CLOSE);
  EXPECT_TRUE(PortBoxEnabled());
  EXPECT_TRUE(unit.WaitLog("host-close 1", 2000));
  Command(IDC_CLOSE);  // close while closed: only re-enables the box
  EXPECT_TRUE(PortBoxEnabled());

  Command(IDC_LIST_CLEAR);
  EXPECT_TRUE(Lines().empty());
}

int Bcd(const std::string& hex, size_t at) { return std::stoi(hex.substr(at, 2)); }

TEST_F(ExeCommands, ClockSetSendsTheLocalTimeThatClockReadThenReports) {
  wintest::Unit unit;
  ASSERT_TRUE(unit.Start(7));
  OpenPort(7);
  ASSERT_TRUE(WaitPortBox(false));
  SYSTEMTIME before;
  GetLocalTime(&before);
  Command(IDC_CLOCK_SET);
  ASSERT_TRUE(WaitLines(2, 2000));
  EXPECT_EQ(Lines()[0].substr(0, 14), "T- 12 02200500");  // CMD_SET_CLOCK with its 5 bytes
  EXPECT_EQ(Lines()[1], "R-  7 0230000003350D");
  Command(IDC_CLOCK_READ);
  ASSERT_TRUE(WaitLines(4, 2000));
  // "R- 13 0230 0600" then BCD year-2000, month, day, hour, minute, second.
  std::string reply = Lines()[3].substr(6);
  ASSERT_EQ(reply.substr(0, 8), "02300600");
  EXPECT_EQ(2000 + Bcd(reply, 8), before.wYear);
  EXPECT_EQ(Bcd(reply, 10), before.wMonth);
  EXPECT_EQ(Bcd(reply, 12), before.wDay);
  int set = Bcd(reply, 14) * 3600 + Bcd(reply, 16) * 60 + Bcd(reply, 18);
  int was = before.wHour * 3600 + before.wMinute * 60 + before.wSecond;
  EXPECT_GE(set, was);
  EXPECT_LE(set, was + 3);
  Command(IDC_CLOSE);
}

TEST_F(ExeCommands, AnOpenThatFailsSaysSoAndLeavesTheNumberBoxFree) {
  OpenPort(9);  // nothing behind COM9
  wintest::Box box = wintest::WaitForMessageBox(p_.Id(), 3000);
  ASSERT_NE(box.window, nullptr);
  EXPECT_EQ(box.caption, "KM7200");
  EXPECT_EQ(box.text, "COMがオープンできません");
  wintest::DismissBox(box);
  Sleep(100);
  EXPECT_TRUE(PortBoxEnabled());
}

TEST_F(ExeCommands, TheTraceListKeepsTheNewest200FramesFromRealTraffic) {
  wintest::Unit unit;
  ASSERT_TRUE(unit.Start(7));
  OpenPort(7);
  ASSERT_TRUE(WaitPortBox(false));
  // 101 round trips: 202 lines, of which the newest 200 stay.
  for (int i = 0; i < 101; ++i) {
    Command(IDC_AP_RESUME);
    if (i < 99) {
      ASSERT_TRUE(WaitLines(2 * (i + 1), 2000)) << i;
    }
  }
  ASSERT_TRUE(unit.WaitLog("frame 101 ", 2000));
  Sleep(200);
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 200u);
  EXPECT_EQ(lines.front(), "T-  7 0261000003660D");  // the first pair went
  EXPECT_EQ(lines.back(), "R-  7 0230000003350D");
  EXPECT_EQ(wintest::ListSelection(dialog_, IDC_TRACE_LIST), 199);
  Command(IDC_CLOSE);
}

}  // namespace

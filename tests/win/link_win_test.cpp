// The link through the real Win32 port layer under Wine, against the virtual unit
// on a pty behind COM7 / COM12: opening by both names, a failed open, a round trip
// traced in the real list box, Wine's time-out and release quirks, and stopping.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "app/dialog.h"
#include "app/main_win32.h"
#include "link/frame.h"
#include "link/link.h"
#include "link/receiver.h"
#include "operator/ids.h"
#include "platform/ui.h"
#include "tests/win/e2e_support.h"
#include "tests/win/test_dialog.h"
#include "tests/win/win_support.h"

namespace {

using wintest::Since;

class LinkWine : public ::testing::Test {
 protected:
  void SetUp() override {
    dialog_ = wintest::CreateTestDialog();
    ASSERT_NE(dialog_, nullptr);
    PortHandle.store(nullptr);
    LinkFlags.store(0);
  }
  void TearDown() override {
    StopReceiverThread();
    unit_.Stop();
    wintest::DestroyTestDialog(dialog_);
  }
  // This thread owns the dialog, so every wait here serves the receiver's sends
  // (its trace lines, the number box), as the program's dialog thread does.
  bool OpenLink(int port) {
    PortNumber.store(port);
    StartReceiverThread();
    DWORD start = GetTickCount();
    while (Since(start) < 5000) {
      if (PortIsOpen(PortHandle.load())) return true;
      long code = 0;
      if (QueryThreadExitCode(ReceiverThread, &code) && code != kThreadStillActive) return false;
      SleepServicingSends(2);
    }
    return false;
  }
  static int RequestBody(void* arg) {
    int code = *static_cast<int*>(arg);
    SetRxByte(1, 0);
    ClearResponseReady();
    SendFrame(code, 0);
    *static_cast<int*>(arg) = WaitReply();
    return 0;
  }
  // A request waits for its reply on a worker thread, never on the dialog's.
  int Request(int code) {
    int io = code;
    JoinThread(StartThread(RequestBody, &io));
    wintest::PumpPosted();  // the request's trace lines, as the message loop would show them
    return io;
  }
  HWND dialog_ = nullptr;
  wintest::Unit unit_;
};

TEST_F(LinkWine, OpensCom7AndRoundTripsWithBothTraceLines) {
  ASSERT_TRUE(unit_.Start(7));
  ASSERT_TRUE(OpenLink(7));
  EXPECT_TRUE(unit_.WaitLog("host-open 1", 2000));
  SleepServicingSends(50);
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog_, IDC_PORT_NUMBER)));  // the receiver locked box 103

  EXPECT_EQ(Request(0x21), 0);  // CMD_GET_CLOCK; the unit's clock starts at 2000-01-01 00:00:00
  unsigned char clock[5];
  CopyFromRxFrame(clock, 4, 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(clock), 5), std::string("\x00\x01\x01\x00\x00", 5));
  std::vector<std::string> lines = wintest::ListLines(dialog_, IDC_TRACE_LIST);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "T-  7 0221000003260D");
  EXPECT_EQ(lines[1].substr(0, 22), "R- 13 0230060000010100");
  EXPECT_EQ(wintest::ListSelection(dialog_, IDC_TRACE_LIST), 1);
  EXPECT_TRUE(unit_.LogHas("H>D 02 21 00 00 03 26 0D"));

  EXPECT_EQ(Request(0x61), 0);
  EXPECT_EQ(wintest::ListLines(dialog_, IDC_TRACE_LIST).back(), "R-  7 0230000003350D");
}

TEST_F(LinkWine, Com12OpensOnlyUnderTheDeviceName) {
  ASSERT_TRUE(unit_.Start(12));
  // The plain name is not a device from COM10 on...
  HANDLE plain = CreateFileA("COM12", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
  EXPECT_EQ(plain, INVALID_HANDLE_VALUE);
  if (plain != INVALID_HANDLE_VALUE) CloseHandle(plain);
  // ...so the open succeeds through "\\.\COM12".
  std::atomic<PortHandleValue> h{nullptr};
  EXPECT_EQ(OpenPort(h, 12, 38400, 8, 0, 0, 0, 0, 256, 256), 0);
  EXPECT_TRUE(PortIsOpen(h.load()));
  ClosePort(h.load());
  ASSERT_TRUE(OpenLink(12));
  EXPECT_EQ(Request(0x61), 0);
}

TEST_F(LinkWine, AFailedOpenGives17AndEndsTheReceiverWithMinusOne) {
  std::atomic<PortHandleValue> h{nullptr};
  EXPECT_EQ(OpenPort(h, 9, 38400, 8, 0, 0, 0, 0, 256, 256), 17);  // COM9's link points nowhere
  EXPECT_EQ(h.load(), PortInvalidValue());

  PortNumber.store(9);
  StartReceiverThread();
  long code = kThreadStillActive;
  DWORD start = GetTickCount();
  while (code == kThreadStillActive && Since(start) < 5000) {
    Sleep(2);
    QueryThreadExitCode(ReceiverThread, &code);
  }
  EXPECT_EQ(code, -1);
  EXPECT_EQ(PortHandle.load(), nullptr);
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog_, IDC_PORT_NUMBER)));  // not locked by a failed open
}

TEST_F(LinkWine, StopReleasesTheReceiverFromItsEventWait) {
  ASSERT_TRUE(unit_.Start(7));
  ASSERT_TRUE(OpenLink(7));
  SleepServicingSends(100);  // the receiver is blocked in WaitCommEvent
  DWORD start = GetTickCount();
  EXPECT_EQ(StopReceiverThread(), 0);
  EXPECT_LT(Since(start), 1000);
  EXPECT_EQ(PortHandle.load(), nullptr);
  EXPECT_TRUE(unit_.WaitLog("host-close 1", 2000));
}

TEST_F(LinkWine, AReadThatTimesOutReturnsNothingPromptly) {
  // Wine reports the time-out as failure 1460, Windows as success with 0 bytes.
  ASSERT_TRUE(unit_.Start(7));
  std::atomic<PortHandleValue> h{nullptr};
  ASSERT_EQ(OpenPort(h, 7, 38400, 8, 0, 0, 0, 0, 256, 256), 0);
  unsigned char buffer[100];
  DWORD start = GetTickCount();
  EXPECT_EQ(PortRead(h.load(), buffer, 100), 0);
  long spent = Since(start);
  EXPECT_GE(spent, 50);   // 2 + 100 ms in all
  EXPECT_LT(spent, 1000);
  ClosePort(h.load());
}

TEST_F(LinkWine, UnplugDuringAWaitTimesOutAndTheLoopStillStops) {
  ASSERT_TRUE(unit_.Start(7, "--fault no-reply:cmd=0x21 --fault unplug:after=1"));
  ASSERT_TRUE(OpenLink(7));
  EXPECT_EQ(Request(0x21), 3);
  EXPECT_TRUE(unit_.LogHas("unplug"));
  FILETIME c, e, k0, u0, k1, u1;
  GetProcessTimes(GetCurrentProcess(), &c, &e, &k0, &u0);
  SleepServicingSends(1000);
  GetProcessTimes(GetCurrentProcess(), &c, &e, &k1, &u1);
  auto ms = [](const FILETIME& f) { return (static_cast<ULONGLONG>(f.dwHighDateTime) << 32 | f.dwLowDateTime) / 10000; };
  // Under Wine each failed round costs this process about 3 ms of CPU (280 ms in the
  // second here, 310 ms on a loaded machine); a loop without its back-off costs 740 ms.
  EXPECT_LT((ms(k1) + ms(u1)) - (ms(k0) + ms(u0)), 500u);  // backing off, not spinning
  DWORD start = GetTickCount();
  StopReceiverThread();
  EXPECT_LT(Since(start), 1000);
  EXPECT_EQ(PortHandle.load(), nullptr);
}

}  // namespace

// A close carried out inside another close, on the real Win32 layer: the dialog's
// thread serves sent messages while it joins the receiver, so the production
// sequence's synchronous close (WM_COMMAND 102 from the worker) can run in the
// middle of the operator's own. The inner close must leave the receiver's thread
// handle to the outer one: had it closed the handle, the outer close would close
// whatever handle took its value meanwhile.
#include <gtest/gtest.h>
#include <windows.h>

#include "app/dialog.h"
#include "app/main_win32.h"
#include "link/link.h"
#include "link/receiver.h"
#include "operator/ids.h"
#include "operator/outlets.h"
#include "platform/ui.h"
#include "tests/win/e2e_support.h"

namespace {

using wintest::Since;

HANDLE g_madeInside = nullptr;  // a handle made right after the inner close
int g_innerCloses = 0;

INT_PTR CALLBACK CloseProc(HWND, UINT message, WPARAM wParam, LPARAM) {
  if (message == UM_TRACE_DRAIN) DrainTraceQueue();
  if (message == WM_COMMAND && LOWORD(wParam) == IDC_CLOSE) {
    OnCommand(IDC_CLOSE, &JobParams);
    ++g_innerCloses;
    // A freed handle value is handed out again: this event takes it if the inner
    // close gave up the receiver's handle.
    g_madeInside = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  return FALSE;
}

DWORD WINAPI SendClose(LPVOID dialog) {
  SendMessageA(static_cast<HWND>(dialog), WM_COMMAND, IDC_CLOSE, 0);  // as the sequence's end state does
  return 0;
}

TEST(CloseNested, ACloseInsideACloseLeavesTheReceiverToTheOuterOne) {
  HINSTANCE self = GetModuleHandleA(nullptr);
  RegisterMainClass(self);
  HWND dialog = CreateDialogParamA(self, MAKEINTRESOURCEA(IDD_MAIN), nullptr, CloseProc, 0);
  ASSERT_NE(dialog, nullptr);
  DialogHandle = dialog;
  PortHandle.store(nullptr);
  LinkFlags.store(0);
  wintest::Unit unit;
  ASSERT_TRUE(unit.Start(7));

  for (int round = 0; round < 5; ++round) {
    PortNumber.store(7);
    StartReceiverThread();
    DWORD start = GetTickCount();
    while (!PortIsOpen(PortHandle.load()) && Since(start) < 5000) SleepServicingSends(2);
    ASSERT_TRUE(PortIsOpen(PortHandle.load())) << round;
    SleepServicingSends(50);

    g_madeInside = nullptr;
    g_innerCloses = 0;
    HANDLE sender = CreateThread(nullptr, 0, SendClose, dialog, 0, nullptr);
    Sleep(100);  // the send now waits for this thread, which serves it only inside its join
    OnCommand(IDC_CLOSE, &JobParams);
    EXPECT_EQ(g_innerCloses, 1) << round;
    EXPECT_EQ(WaitForSingleObject(sender, 5000), WAIT_OBJECT_0);
    CloseHandle(sender);

    ASSERT_NE(g_madeInside, nullptr) << round;
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(g_madeInside, &flags)) << "the outer close took a handle not its own, round " << round;
    CloseHandle(g_madeInside);
    EXPECT_EQ(PortHandle.load(), nullptr);
    EXPECT_FALSE(LinkFlagSet(StopReceiver));
  }
  unit.Stop();
  DialogHandle = nullptr;
  DestroyWindow(dialog);
}

}  // namespace

// The program's dialog template, created in the test process with a procedure that
// only carries out other threads' trace appends: the real list box without the
// dialog's handlers (which would start the watchdog).
#pragma once
#include <windows.h>

#include "app/dialog.h"
#include "app/main_win32.h"
#include "operator/ids.h"
#include "operator/outlets.h"
#include "platform/ui.h"

namespace wintest {

inline INT_PTR CALLBACK DrainOnlyProc(HWND, UINT message, WPARAM, LPARAM) {
  if (message == UM_TRACE_DRAIN) DrainTraceQueue();
  return FALSE;
}

// Creates it and makes it DialogHandle; null on failure.
inline HWND CreateTestDialog() {
  HINSTANCE self = GetModuleHandleA(nullptr);
  RegisterMainClass(self);  // a second registration in the same process just fails
  HWND dialog = CreateDialogParamA(self, MAKEINTRESOURCEA(IDD_MAIN), nullptr, DrainOnlyProc, 0);
  DialogHandle = dialog;
  return dialog;
}

inline void DestroyTestDialog(HWND dialog) {
  DialogHandle = nullptr;
  DestroyWindow(dialog);
}

}  // namespace wintest

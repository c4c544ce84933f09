// Win32 entry points of the main dialog (also used by the Windows tests).
#pragma once
#include <windows.h>

#include "app/dialog.h"

// Exit value when the window class cannot be registered or the dialog cannot be
// created: 1, the value a calling script already treats as "no port found"; the
// missing QB2LINK.ERR tells it apart from the watchdog's report. Values from 2 up
// would read as port numbers.
const int kExitStartFailed = 1;

extern HINSTANCE Instance;  // kept for resource loads
extern const char kMainClassName[];

ATOM RegisterMainClass(HINSTANCE instance);
HWND CreateMainDialog(int showCommand, JobParamsRecord* params);
// The process after the entry has set ProgramKind: the single-instance check (one
// KM72BENCH dialog per PC, bench or line, since both would use the unit's port),
// the class, the dialog from the EXE's template 100, the message loop. Returns the
// process exit value.
int RunMainDialog(HINSTANCE instance, int showCommand);
INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

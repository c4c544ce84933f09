// The window class and the modeless main dialog with its procedure.
#include <windows.h>
#include <commctrl.h>

#include <cstring>

#include "app/dialog.h"
#include "app/main_win32.h"
#include "operator/ids.h"
#include "operator/outlets.h"
#include "platform/ui.h"

HINSTANCE Instance = nullptr;
const char kMainClassName[] = "KM72BENCH";

ATOM RegisterMainClass(HINSTANCE instance) {
  WNDCLASSA wc;
  std::memset(&wc, 0, sizeof wc);
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = DefDlgProcA;
  wc.cbClsExtra = 0;
  wc.cbWndExtra = DLGWINDOWEXTRA + 4;
  wc.hInstance = instance;
  wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_MAIN));
  wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
  wc.lpszMenuName = nullptr;
  wc.lpszClassName = kMainClassName;
  return RegisterClassA(&wc);
}

HWND CreateMainDialog(int showCommand, JobParamsRecord* params) {
  HWND dialog = CreateDialogParamA(Instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc,
                                   reinterpret_cast<LPARAM>(params));
  if (dialog) {
    ShowWindow(dialog, showCommand);
    UpdateWindow(dialog);
  }
  return dialog;
}

int RunMainDialog(HINSTANCE instance, int showCommand) {
  if (FindWindowA(kMainClassName, nullptr)) return 0;  // another instance's dialog exists
  JobParams = JobParamsRecord();
  // The bench's progress bar is a common control: its class must exist before the
  // dialog is made from the template, or the whole dialog fails.
  INITCOMMONCONTROLSEX common = {sizeof common, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&common);
  if (!RegisterMainClass(instance)) return kExitStartFailed;
  Instance = instance;
  HWND dialog = CreateMainDialog(showCommand, &JobParams);
  if (!dialog) return kExitStartFailed;
  DialogHandle = dialog;

  MSG msg;
  msg.wParam = 0;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageA(static_cast<HWND>(DialogHandle), &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  return static_cast<int>(msg.wParam);
}

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  // The user-data slot is DWL_USER (8) on x86 and DWLP_USER (16) on x64.
  JobParamsRecord* params = reinterpret_cast<JobParamsRecord*>(GetWindowLongPtrA(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG:
      DialogHandle = dialog;
      SetWindowLongPtrA(dialog, DWLP_USER, lParam);
      OnInitDialog(reinterpret_cast<JobParamsRecord*>(lParam));
      break;
    case WM_CLOSE:
      OnCloseDialog();
      break;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), params);
      break;
    case UM_JOIN_WORKER:
    case UM_SEQUENCE_ENDED:
    case UM_START_PORT_WATCH:
    case UM_START_REMOVAL_WATCH:
    case UM_START_NOTICE:
      OnUserMessage(message, params);
      break;
    case UM_TRACE_DRAIN:
      DrainTraceQueue();
      break;
    case WM_CTLCOLORSTATIC:
      // The bench's result: a pass in green, a fail in red, so that no technician
      // sends on a unit that failed.
      if (GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) == IDC_RESULT) {
        char text[8] = "";
        GetDlgItemTextA(dialog, IDC_RESULT, text, sizeof text);
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, std::strncmp(text, "合格", 4) == 0 ? RGB(0, 0x80, 0) : RGB(0xD0, 0, 0));
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
      }
      break;
    default:
      break;
  }
  // FALSE for everything, initialisation included: the dialog manager sets no
  // default focus and does its default processing.
  return FALSE;
}


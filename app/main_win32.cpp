// Process entry: the single-instance check, the class, the dialog, the message loop.
#include <windows.h>

#include <cstring>

#include "app/app.h"
#include "app/main_win32.h"
#include "platform/ui.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  if (FindWindowA(kMainClassName, nullptr)) return 0;  // another instance's dialog exists
  std::memset(&JobParams, 0, sizeof JobParams);
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

#include <windows.h>
#include <commctrl.h>

#include "platform/ui.h"

void* DialogHandle = nullptr;

namespace {
HWND Dialog() { return static_cast<HWND>(DialogHandle); }
}  // namespace

// SetDlgItemTextA and the other control calls below, made from another thread,
// are sent to the dialog's thread and carried out there (cross-thread SendMessage).
int UiSetText(int id, const char* text) { return SetDlgItemTextA(Dialog(), id, text) ? 1 : 0; }

int UiGetText(int id, char* buffer, int size) {
  if (size <= 0) return 0;
  buffer[0] = '\0';
  return static_cast<int>(GetDlgItemTextA(Dialog(), id, buffer, size));
}

void UiEnable(int id, bool enable) { EnableWindow(GetDlgItem(Dialog(), id), enable ? TRUE : FALSE); }

bool UiIsEnabled(int id) { return IsWindowEnabled(GetDlgItem(Dialog(), id)) != FALSE; }

int UiGetCheck(int id) { return static_cast<int>(SendDlgItemMessageA(Dialog(), id, BM_GETCHECK, 0, 0)); }

void UiSetCheck(int id, int state) { SendDlgItemMessageA(Dialog(), id, BM_SETCHECK, static_cast<WPARAM>(state), 0); }

void UiSetProgress(int id, unsigned position, unsigned range) {
  HWND bar = GetDlgItem(Dialog(), id);
  if (!bar) return;
  SendMessageA(bar, PBM_SETRANGE32, 0, static_cast<LPARAM>(range));
  SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void UiSetProgressFailed(int id, bool failed) {
  HWND bar = GetDlgItem(Dialog(), id);
  if (!bar) return;
  // PBM_SETSTATE is comctl32 6's (visual styles); with the classic bar the colour
  // says it. Both are sent: whichever the bar knows takes effect.
  SendMessageA(bar, PBM_SETSTATE, failed ? PBST_ERROR : PBST_NORMAL, 0);
  SendMessageA(bar, PBM_SETBARCOLOR, 0, failed ? RGB(0xD0, 0, 0) : CLR_DEFAULT);
}

int UiListCount(int id) { return static_cast<int>(SendDlgItemMessageA(Dialog(), id, LB_GETCOUNT, 0, 0)); }

int UiListAdd(int id, const char* text) {
  return static_cast<int>(SendDlgItemMessageA(Dialog(), id, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
}

int UiListDelete(int id, int index) {
  return static_cast<int>(SendDlgItemMessageA(Dialog(), id, LB_DELETESTRING, static_cast<WPARAM>(index), 0));
}

int UiListSelect(int id, int index) {
  return static_cast<int>(SendDlgItemMessageA(Dialog(), id, LB_SETCURSEL, static_cast<WPARAM>(index), 0));
}

void UiListReset(int id) { SendDlgItemMessageA(Dialog(), id, LB_RESETCONTENT, 0, 0); }

void UiPost(unsigned message, uintptr_t wParam, intptr_t lParam) {
  // Without a dialog, PostMessage would post to the calling thread's own queue.
  if (Dialog()) PostMessageA(Dialog(), message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam));
}

intptr_t UiSend(unsigned message, uintptr_t wParam, intptr_t lParam) {
  return static_cast<intptr_t>(SendMessageA(Dialog(), message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam)));
}

void UiWarningBox(const char* text, const char* caption) {
  MessageBoxA(Dialog(), text, caption, MB_ICONWARNING | MB_OK);
}

bool UiConfirmBox(const char* text, const char* caption) {
  return MessageBoxA(Dialog(), text, caption, MB_ICONQUESTION | MB_OKCANCEL | MB_DEFBUTTON2) == IDOK;
}

bool UiHandlingSentMessage() { return InSendMessage() != FALSE; }

bool UiOnDialogThread() {
  return Dialog() != nullptr && GetWindowThreadProcessId(Dialog(), nullptr) == GetCurrentThreadId();
}

void UiPostQuit(int exitValue) { PostQuitMessage(exitValue); }

// The dialog and its controls, reached from any thread through DialogHandle. Every
// operation is carried out by the dialog's own thread; a call from another thread
// waits until it has been (the dialog thread keeps serving such calls while it waits
// for a thread to end, see SleepServicingSends).
#pragma once
#include <cstdint>

extern void* DialogHandle;  // the main dialog; set before any thread starts

int UiSetText(int id, const char* text);
// Copies at most size - 1 characters and a terminator; returns the length copied.
int UiGetText(int id, char* buffer, int size);
void UiEnable(int id, bool enable);
bool UiIsEnabled(int id);
int UiGetCheck(int id);
void UiSetCheck(int id, int state);
// A progress bar's range (0..range) and position; nothing when there is no such control.
void UiSetProgress(int id, unsigned position, unsigned range);
// A progress bar's error state (red) or its normal one.
void UiSetProgressFailed(int id, bool failed);

// List box operations (LB_GETCOUNT, LB_ADDSTRING, LB_DELETESTRING, LB_SETCURSEL,
// LB_RESETCONTENT).
int UiListCount(int id);
int UiListAdd(int id, const char* text);
int UiListDelete(int id, int index);
int UiListSelect(int id, int index);
void UiListReset(int id);

void UiPost(unsigned message, uintptr_t wParam, intptr_t lParam);
intptr_t UiSend(unsigned message, uintptr_t wParam, intptr_t lParam);
inline void UiPostCommand(int id) { UiPost(273 /* WM_COMMAND */, static_cast<uintptr_t>(id), 0); }
inline void UiSendCommand(int id) { UiSend(273 /* WM_COMMAND */, static_cast<uintptr_t>(id), 0); }

// A modal box owned by the dialog with the warning icon and an OK button.
void UiWarningBox(const char* text, const char* caption);
// A modal question owned by the dialog (question icon, OK and Cancel): true for OK.
bool UiConfirmBox(const char* text, const char* caption);

bool UiOnDialogThread();
// Whether the message being handled was sent by another thread, which waits for
// it (a worker's synchronous command), rather than posted or sent by this one.
bool UiHandlingSentMessage();
void UiPostQuit(int exitValue);

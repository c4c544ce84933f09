// Native builds only: the in-memory dialog behind the POSIX ui layer, so that the
// portable core runs and is inspected in native tests. Every operation is atomic
// under one lock; there is no dialog thread, so every caller counts as it.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct UiMessage {
  unsigned message;
  uintptr_t wParam;
  intptr_t lParam;
};

void UiModelReset();
std::vector<std::string> UiModelList(int id);
int UiModelSelection(int id);
std::string UiModelText(int id);
void UiModelSetCheck(int id, int state);
// Posted messages, oldest first; taking them empties the queue.
std::vector<UiMessage> UiModelTakePosted();
// Warning boxes shown so far (text, caption); each counts as dismissed with OK.
std::vector<std::pair<std::string, std::string>> UiModelBoxes();
// While held, a box's thread waits in it, as for an operator who has not answered.
void UiModelHoldBoxes(bool held);
// Sent messages go to this function (the dialog procedure's stand-in), under a
// recursive lock as if one dialog thread carried them out; null drops them.
void UiModelSetDispatcher(intptr_t (*dispatch)(unsigned message, uintptr_t wParam, intptr_t lParam));
// A progress bar's (position, range); (0, 0) when never set.
std::pair<unsigned, unsigned> UiModelProgress(int id);
// Whether a progress bar was last put in its error state.
bool UiModelProgressFailed(int id);
// The answer every confirmation box gets (OK by default; reset to OK).
void UiModelSetConfirmAnswer(bool ok);
// The value given to UiPostQuit, or -1.
int UiModelQuitValue();

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "platform/ui.h"
#include "platform/ui_model.h"

void* DialogHandle = nullptr;

namespace {
struct Model {
  std::recursive_mutex lock;
  // Serialises sent messages as one dialog thread would; separate from the data
  // lock so that a handler that waits for another thread never blocks that
  // thread's control calls.
  std::recursive_mutex dialogThread;
  std::map<int, std::string> texts;
  std::map<int, bool> disabled;
  std::map<int, int> checks;
  std::map<int, std::pair<unsigned, unsigned>> progress;
  std::map<int, bool> progressFailed;
  bool confirmAnswer = true;
  std::map<int, std::vector<std::string>> lists;
  std::map<int, int> selections;
  std::vector<UiMessage> posted;
  std::vector<std::pair<std::string, std::string>> boxes;
  intptr_t (*dispatch)(unsigned, uintptr_t, intptr_t) = nullptr;
  int quitValue = -1;
  std::atomic<bool> boxesHeld{false};
};
// Never destroyed: threads of a test may still call in while the process exits.
Model& M() {
  static Model* model = new Model;
  return *model;
}
using Hold = std::lock_guard<std::recursive_mutex>;
// Depth of sent messages this thread is carrying out for another (UiSend).
thread_local int SentDepth = 0;
}  // namespace

int UiSetText(int id, const char* text) {
  Hold h(M().lock);
  M().texts[id] = text;
  return 1;
}

int UiGetText(int id, char* buffer, int size) {
  if (size <= 0) return 0;
  Hold h(M().lock);
  const std::string& s = M().texts[id];
  int n = static_cast<int>(s.size()) < size - 1 ? static_cast<int>(s.size()) : size - 1;
  s.copy(buffer, static_cast<size_t>(n));
  buffer[n] = '\0';
  return n;
}

void UiEnable(int id, bool enable) {
  Hold h(M().lock);
  M().disabled[id] = !enable;
}

bool UiIsEnabled(int id) {
  Hold h(M().lock);
  return !M().disabled[id];
}

int UiGetCheck(int id) {
  Hold h(M().lock);
  return M().checks[id];
}

void UiSetCheck(int id, int state) {
  Hold h(M().lock);
  M().checks[id] = state;
}

void UiSetProgress(int id, unsigned position, unsigned range) {
  Hold h(M().lock);
  M().progress[id] = std::make_pair(position, range);
}

int UiListCount(int id) {
  Hold h(M().lock);
  return static_cast<int>(M().lists[id].size());
}

int UiListAdd(int id, const char* text) {
  Hold h(M().lock);
  auto& list = M().lists[id];
  list.emplace_back(text);
  return static_cast<int>(list.size()) - 1;
}

int UiListDelete(int id, int index) {
  Hold h(M().lock);
  auto& list = M().lists[id];
  if (index < 0 || index >= static_cast<int>(list.size())) return -1;
  list.erase(list.begin() + index);
  int& sel = M().selections[id];
  if (sel == index) sel = -1;
  else if (sel > index) --sel;
  return static_cast<int>(list.size());
}

int UiListSelect(int id, int index) {
  Hold h(M().lock);
  int n = static_cast<int>(M().lists[id].size());
  if (index < 0 || index >= n) {
    M().selections[id] = -1;
    return -1;
  }
  M().selections[id] = index;
  return index;
}

void UiListReset(int id) {
  Hold h(M().lock);
  M().lists[id].clear();
  M().selections[id] = -1;
}

void UiPost(unsigned message, uintptr_t wParam, intptr_t lParam) {
  Hold h(M().lock);
  M().posted.push_back(UiMessage{message, wParam, lParam});
}

intptr_t UiSend(unsigned message, uintptr_t wParam, intptr_t lParam) {
  intptr_t (*dispatch)(unsigned, uintptr_t, intptr_t);
  {
    Hold h(M().lock);
    dispatch = M().dispatch;
  }
  if (!dispatch) return 0;
  Hold serial(M().dialogThread);
  ++SentDepth;
  intptr_t result = dispatch(message, wParam, lParam);
  --SentDepth;
  return result;
}

bool UiHandlingSentMessage() { return SentDepth > 0; }

bool UiConfirmBox(const char* text, const char* caption) {
  {
    Hold h(M().lock);
    M().boxes.emplace_back(text, caption);
  }
  while (M().boxesHeld.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Hold h(M().lock);
  return M().confirmAnswer;
}

void UiSetProgressFailed(int id, bool failed) {
  Hold h(M().lock);
  M().progressFailed[id] = failed;
}

bool UiModelProgressFailed(int id) {
  Hold h(M().lock);
  return M().progressFailed[id];
}

void UiModelSetConfirmAnswer(bool ok) {
  Hold h(M().lock);
  M().confirmAnswer = ok;
}

void UiWarningBox(const char* text, const char* caption) {
  {
    Hold h(M().lock);
    M().boxes.emplace_back(text, caption);
  }
  // An operator who has not answered yet: the box's thread waits, the others go on.
  while (M().boxesHeld.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

bool UiOnDialogThread() { return true; }

void UiPostQuit(int exitValue) {
  Hold h(M().lock);
  M().quitValue = exitValue;
}

void UiModelReset() {
  Hold h(M().lock);
  Model& m = M();
  m.texts.clear();
  m.disabled.clear();
  m.checks.clear();
  m.progress.clear();
  m.progressFailed.clear();
  m.confirmAnswer = true;
  m.lists.clear();
  m.selections.clear();
  m.posted.clear();
  m.boxes.clear();
  m.quitValue = -1;
  m.boxesHeld.store(false);
}

std::vector<std::string> UiModelList(int id) {
  Hold h(M().lock);
  return M().lists[id];
}

int UiModelSelection(int id) {
  Hold h(M().lock);
  auto it = M().selections.find(id);
  return it == M().selections.end() ? -1 : it->second;
}

std::string UiModelText(int id) {
  Hold h(M().lock);
  return M().texts[id];
}

void UiModelSetCheck(int id, int state) {
  Hold h(M().lock);
  M().checks[id] = state;
}

std::vector<UiMessage> UiModelTakePosted() {
  Hold h(M().lock);
  std::vector<UiMessage> out;
  out.swap(M().posted);
  return out;
}

std::vector<std::pair<std::string, std::string>> UiModelBoxes() {
  Hold h(M().lock);
  return M().boxes;
}

void UiModelSetDispatcher(intptr_t (*dispatch)(unsigned, uintptr_t, intptr_t)) {
  Hold h(M().lock);
  M().dispatch = dispatch;
}

int UiModelQuitValue() {
  Hold h(M().lock);
  return M().quitValue;
}

std::pair<unsigned, unsigned> UiModelProgress(int id) {
  Hold h(M().lock);
  auto it = M().progress.find(id);
  return it == M().progress.end() ? std::make_pair(0u, 0u) : it->second;
}

void UiModelHoldBoxes(bool held) { M().boxesHeld.store(held); }

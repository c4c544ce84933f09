#include <atomic>
#include <deque>
#include <mutex>
#include <string>

#include "operator/outlets.h"

#include "operator/ids.h"
#include "operator/program.h"
#include "platform/ui.h"

namespace {
const int kTraceCap = 200;

// Lines appended by threads other than the dialog's wait here until the dialog's
// thread adds them. Allocated once and never destroyed: a report may end the
// process with exit() while another thread is still appending.
struct TraceQueue {
  std::mutex lock;
  std::deque<std::string> lines;  // at most kTraceCap: older ones would leave the list anyway
  bool drainPosted = false;       // a UM_TRACE_DRAIN is on its way to the dialog
};
TraceQueue& Queue() {
  static TraceQueue* queue = new TraceQueue;
  return *queue;
}

void AppendOnDialogThread(const char* text) {
  int n = UiListCount(IDC_TRACE_LIST);  // counted before the add: the 201st line pushes the first out
  UiListAdd(IDC_TRACE_LIST, text);
  if (n >= kTraceCap) {
    UiListDelete(IDC_TRACE_LIST, 0);
    n = n - 1;
  }
  UiListSelect(IDC_TRACE_LIST, n);
}

void DialogTrace(const char* text) {
  if (UiOnDialogThread()) {
    DrainTraceQueue();  // lines queued before this one go first
    AppendOnDialogThread(text);
    return;
  }
  if (DialogHandle == nullptr) return;  // no list to show it in
  // Posted, not sent: a job traces every frame both ways, and under Wine a list box
  // append costs the caller several milliseconds when it waits for it, about one
  // sixth more on a 256-page production run. One drain is posted per batch.
  bool post;
  {
    TraceQueue& q = Queue();
    std::lock_guard<std::mutex> hold(q.lock);
    if (q.lines.size() >= static_cast<size_t>(kTraceCap)) q.lines.pop_front();
    q.lines.emplace_back(text);
    post = !q.drainPosted;
    q.drainPosted = true;
  }
  if (post) UiPost(UM_TRACE_DRAIN, 0, 0);
}

void DialogStatus(const char* text) { UiSetText(IDC_STATUS_LINE, text); }

void DialogWarning(const char* text, const char* caption) { UiWarningBox(text, caption); }

// Bar 306 and the status line, on the bench only: QB2LINK.EXE's status line
// belongs to the port watcher, and it has no bar.
void DialogProgress(uint32_t done, uint32_t total, const char* text, bool) {
  if (!IsBenchProgram()) return;
  UiSetProgress(IDC_PROGRESS, done, total);
  UiSetText(IDC_STATUS_LINE, text);
}

void DialogPost(unsigned message) { UiPost(message, 0, 0); }

void DialogCommand(int id) { UiSendCommand(id); }

std::atomic<const OperatorOutlets*> Installed{nullptr};
}  // namespace

const OperatorOutlets kDialogOutlets = {DialogTrace, DialogStatus,  DialogWarning, DialogProgress,
                                        DialogPost,  DialogCommand, nullptr};

void InstallOutlets(const OperatorOutlets* outlets) { Installed.store(outlets); }

const OperatorOutlets& Outlets() {
  const OperatorOutlets* o = Installed.load();
  return o ? *o : kDialogOutlets;
}

void DrainTraceQueue() {
  TraceQueue& q = Queue();
  std::deque<std::string> batch;
  {
    std::lock_guard<std::mutex> hold(q.lock);
    batch.swap(q.lines);
    q.drainPosted = false;  // a line queued from now on posts a drain of its own
  }
  for (const std::string& line : batch) AppendOnDialogThread(line.c_str());
}

int AppendTrace(const char* text) {
  Outlets().trace(text);
  return 0;
}

void ClearTraceList() {
  // Lines another thread queued before the clear belong to the list being
  // cleared: shown after it, they would read as new.
  {
    TraceQueue& q = Queue();
    std::lock_guard<std::mutex> hold(q.lock);
    q.lines.clear();
  }
  UiListReset(IDC_TRACE_LIST);
}

void SetStatusLine(const char* text) { Outlets().status(text); }

void ShowWarningBox(const char* text, const char* caption) { Outlets().warning(text, caption); }

void WarnPortClosed() { ShowWarningBox("COMﾎﾟｰﾄがオープンされていません", ""); }

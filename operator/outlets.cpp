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
}  // namespace

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
  if (UiOnDialogThread()) {
    DrainTraceQueue();  // lines queued before this one go first
    AppendOnDialogThread(text);
    return 0;
  }
  if (DialogHandle == nullptr) return 0;  // no list to show it in (a tool without the dialog)
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
  return 0;
}

void ClearTraceList() { UiListReset(IDC_TRACE_LIST); }

void SetStatusLine(const char* text) { UiSetText(IDC_STATUS_LINE, text); }

bool VerifyAfterWriteTicked() { return IsBenchProgram() && UiGetCheck(IDC_VERIFY) == 1; }

void ShowWarningBox(const char* text, const char* caption) { UiWarningBox(text, caption); }

void WarnPortClosed() { ShowWarningBox("COMﾎﾟｰﾄがオープンされていません", ""); }

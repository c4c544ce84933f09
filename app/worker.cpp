#include "app/worker.h"

#include <atomic>

#include "link/thread_join.h"
#include "platform/ui.h"

ThreadHandle WorkerThread = nullptr;

namespace {
// Each written by one side and read by the other; sequentially consistent.
std::atomic<int> StopRequested{0};  // set by the dialog, cleared by StartWorker
std::atomic<int> EndPosted{0};      // set by the worker, cleared by StartWorker
std::atomic<int> InSend{0};         // set and cleared by the worker around its send

const int kJoinPolls = 1000;  // 10 ms apart: about ten seconds

void Forget() {
  CloseThreadHandle(WorkerThread);
  WorkerThread = nullptr;
}
}  // namespace

bool WorkerRunning() { return WorkerThread != nullptr; }

bool StartWorker(int (*proc)(void*), void* arg) {
  if (WorkerThread != nullptr) return false;
  StopRequested.store(0);
  EndPosted.store(0);
  InSend.store(0);
  WorkerThread = StartThread(proc, arg);
  return WorkerThread != nullptr;
}

void RequestWorkerStop() { StopRequested.store(1); }
bool WorkerStopRequested() { return StopRequested.load() != 0; }

void PostWorkerEnd(unsigned message) {
  EndPosted.store(1);
  UiPost(message, 0, 0);
}

bool WorkerEndPosted() { return WorkerThread != nullptr && EndPosted.load() != 0; }

void JoinEndedWorker() {
  if (!WorkerEndPosted()) return;
  if (WaitThreadEnd(WorkerThread, kJoinPolls)) Forget();
}

bool StopWorker() {
  if (WorkerThread == nullptr) return true;
  RequestWorkerStop();
  // The worker waits in its own send for the handler that is calling this: waiting
  // for it here would wait for ever. Its 1026 joins it later.
  if (InSend.load() != 0) return true;
  if (!WaitThreadEnd(WorkerThread, kJoinPolls)) return false;
  Forget();
  return true;
}

void SendCommandFromWorker(int id) {
  InSend.store(1);
  UiSendCommand(id);
  InSend.store(0);
}

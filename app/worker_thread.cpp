#include "app/worker_thread.h"

#include "link/thread_join.h"

ThreadHandle WorkerThread = nullptr;

namespace {
const int kJoinPolls = 1000;  // 10 ms apart: about ten seconds

thread_local int WorkerCommandDepth = 0;

void Forget() {
  CloseThreadHandle(WorkerThread);
  WorkerThread = nullptr;
}
}  // namespace

bool WorkerRunning() { return WorkerThread != nullptr; }

bool StartWorker(int (*proc)(void*), void* arg) {
  if (WorkerThread != nullptr) return false;
  ResetWorkerSignals();
  WorkerThread = StartThread(proc, arg);
  return WorkerThread != nullptr;
}

bool WorkerEndPosted() { return WorkerThread != nullptr && WorkerHasEnded(); }

void JoinEndedWorker() {
  if (!WorkerEndPosted()) return;
  if (WaitThreadEnd(WorkerThread, kJoinPolls)) Forget();
}

void EnterWorkerCommand() { ++WorkerCommandDepth; }
void LeaveWorkerCommand() { --WorkerCommandDepth; }

bool StopWorker() {
  if (WorkerThread == nullptr) return true;
  RequestWorkerStop();
  if (WorkerCommandDepth > 0) return true;
  if (!WaitThreadEnd(WorkerThread, kJoinPolls)) return false;
  Forget();
  return true;
}

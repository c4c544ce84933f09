#include "jobs/worker.h"

#include <atomic>

#include "platform/ui.h"

namespace {
// Each written by one side and read by the other; sequentially consistent.
std::atomic<int> StopRequested{0};  // set by the dialog, cleared by ResetWorkerSignals
std::atomic<int> EndPosted{0};      // set by the worker, cleared by ResetWorkerSignals
std::atomic<int> InSend{0};         // set and cleared by the worker around its send
}  // namespace

void RequestWorkerStop() { StopRequested.store(1); }
bool WorkerStopRequested() { return StopRequested.load() != 0; }

void PostWorkerEnd(unsigned message) {
  EndPosted.store(1);
  UiPost(message, 0, 0);
}

void SendCommandFromWorker(int id) {
  InSend.store(1);
  UiSendCommand(id);
  InSend.store(0);
}

void ResetWorkerSignals() {
  StopRequested.store(0);
  EndPosted.store(0);
  InSend.store(0);
}

bool WorkerHasEnded() { return EndPosted.load() != 0; }
bool WorkerWaitsInSend() { return InSend.load() != 0; }

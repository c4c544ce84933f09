#include "jobs/worker.h"

#include "record/line_record.h"

#include <atomic>

#include "device/commands.h"
#include "link/link.h"
#include "operator/outlets.h"
#include "platform/systhread.h"

const char* const kStoppedResult = "stopped";

namespace {
// Each written by one side and read by the other; sequentially consistent. Lock-free,
// so a signal handler may raise the stop request.
std::atomic<int> StopRequested{0};  // set by the front end, cleared by ResetWorkerSignals
std::atomic<int> EndPosted{0};      // set by the worker, cleared by ResetWorkerSignals
std::atomic<int> WaitedCommand{0};  // set and cleared by the worker around its send

const unsigned kStopLookMs = 10;
}  // namespace

void RequestWorkerStop() { StopRequested.store(1); }
bool WorkerStopRequested() { return StopRequested.load() != 0; }

bool WaitUnlessStopped(unsigned ms) {
  const uint32_t start = TickCountMs();
  for (;;) {
    if (WorkerStopRequested()) return false;
    uint32_t spent = TickCountMs() - start;
    if (spent >= ms) return true;
    uint32_t left = ms - spent;
    SleepMs(left < kStopLookMs ? left : kStopLookMs);
  }
}

void WarnUnlessStopped(const char* failure) {
  if (failure && failure != kStoppedResult) ShowWarningBox(failure, "KM7200");
}

int OutcomeOfDeviceResult(int deviceResult) {
  if (deviceResult == DEVICE_OK) return JOB_DONE;
  // Silence from a unit whose port has gone is the port's failure, not the unit's.
  if (!PortAlive(PortHandle.load())) return JOB_PORT;
  return deviceResult == DEVICE_NO_REPLY ? JOB_NO_ANSWER : JOB_REFUSED;
}

void FinishJob(JobParamsRecord* params, int outcome, const char* failure, uint32_t startMs) {
  params->outcome = outcome;
  params->run.result = failure ? failure : "OK";
  // Every job's record names the attempt and the slot its front end gave it.
  params->run.attempt = params->attempt;
  params->run.slot = params->slot;
  params->run.ms = TickCountMs() - startMs;
  params->run.timed = true;
  ReadLocalTime(&params->run.time);
  RecordRun(params->run, params->logFile, params->portName);
}

void PostWorkerEnd(unsigned message) {
  EndPosted.store(1);
  Outlets().post(message);
}

void SendCommandFromWorker(int id) {
  WaitedCommand.store(id);
  Outlets().command(id);
  WaitedCommand.store(0);
}

void ResetWorkerSignals() {
  StopRequested.store(0);
  EndPosted.store(0);
  WaitedCommand.store(0);
}

bool WorkerHasEnded() { return EndPosted.load() != 0; }
int WorkerWaitsForCommand() { return WaitedCommand.load(); }

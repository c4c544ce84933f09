#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "app/program.h"
#include "detect/detect.h"
#include "device/commands.h"
#include "firmware/download.h"
#include "flash/flash.h"
#include "link/frame.h"
#include "link/link.h"
#include "link/receiver.h"
#include "platform/ui.h"
#include "sequence/sequence.h"

JobParamsRecord JobParams;
ThreadHandle WorkerThread = nullptr;

void OnInitDialog(JobParamsRecord* params) {
  (void)params;
  PortHandle.store(nullptr);
  char number[32];
  std::snprintf(number, sizeof number, "%d", 1);
  UiSetText(IDC_PORT_NUMBER, number);
  UiSetText(IDC_FLASH_FILE, kDefaultDataFile);
  UiSetText(IDC_FLASH_SIZE, "0");
  UiSetText(IDC_FLASH_ADDR, "0");
  SetStatusLine(kStatusPlugIn);
  PortWatchArmed.store(0);
  RemovalWatchArmed.store(0);
  std::snprintf(number, sizeof number, "%ld", static_cast<long>(RecognitionWaitMs.load()));
  UiSetText(IDC_WAIT_MS, number);
  // Last: the watchers read the dialog handle, box 301 and their cleared flags.
  // The bench has no watchdog and detects only once check box 302 is ticked.
  if (IsBenchProgram()) AutoRecognition.store(0);
  else StartWatchers();
}

void OnCloseDialog() {
  StopReceiverThread();
  // A report that has begun ends the process with its own result; otherwise the
  // close holds every report off, so closing never leaves a result file.
  if (ClaimProcessEnd()) UiPostQuit(0);
}

namespace {

// Command 101. The receiver opens the port on its own thread; the command waits
// (serving other threads' sends) until the receiver has either opened the port or
// ended, so an operator who typed a wrong number is told at once instead of being
// left with a locked number box.
void OpenCommand() {
  PortHandleValue port = PortHandle.load();
  if (port != nullptr && port != PortInvalidValue()) return;  // already open
  char text[256];
  UiGetText(IDC_PORT_NUMBER, text, sizeof text);
  PortNumber.store(static_cast<int>(ParseDecimal(text)));
  bool failed = StartReceiverThread() != 0;
  for (unsigned waited = 0; !failed && waited < kOpenOutcomeWaitMs; waited += 5) {
    if (PortIsOpen(PortHandle.load())) break;
    long code = 0;
    if (!QueryThreadExitCode(ReceiverThread, &code) || code != kThreadStillActive) failed = true;
    else SleepServicingSends(5);
  }
  if (failed) {
    UiWarningBox("COMがオープンできません", "KM7200");
    return;
  }
  UiEnable(IDC_PORT_NUMBER, false);
}

// Command 206: the clock-set payload from the local time, built in place.
void SendClockSet() {
  LocalTimeFields now;
  ReadLocalTime(&now);
  SendFrame(CMD_SET_CLOCK, BuildClockPayload(TxPayload, now));
}

void JoinWorker() {
  if (WorkerThread != nullptr) {
    JoinThread(WorkerThread);  // closes the handle, also when the worker still runs
    WorkerThread = nullptr;
  }
}

// Check box 302. The box has already changed its own state when this runs.
void AutoRecognitionSwitch(JobParamsRecord* params) {
  if (PortHandle.load() != nullptr) {
    // Wind the port down first, each step finished before the next.
    OnCommand(IDC_EM_STOP, params);
    OnUserMessage(UM_JOIN_WORKER, params);
    OnCommand(IDC_CLOSE, params);
  }
  if (UiGetCheck(IDC_AUTO_RECOGNITION) == 1) {
    AutoRecognition.store(1);
    UiPost(UM_START_PORT_WATCH, 0, 0);
  } else {
    AutoRecognition.store(0);  // the watchers stop at their next poll
  }
}

bool PortNeeded() {
  if (PortHandle.load() != nullptr) return true;
  WarnPortClosed();
  return false;
}

}  // namespace

bool WorkerRunning() { return WorkerThread != nullptr; }

bool StartWorker(int (*proc)(void*), void* arg) {
  if (WorkerThread != nullptr) return false;
  WorkerThread = StartThread(proc, arg);
  return WorkerThread != nullptr;
}

void OnCommand(int id, JobParamsRecord* params) {
  // Bench commands send without waiting for the reply: the receiver traces it.
  switch (id) {
    case IDC_OPEN:
      OpenCommand();
      break;
    case IDC_CLOSE:
      StopReceiverThread();
      UiEnable(IDC_PORT_NUMBER, true);
      break;
    case IDC_COMMAND1:
      PortNeeded();
      break;
    case IDC_COMMAND2:
      // While a worker runs, not even the boot-enter frame goes out: it would put
      // the unit into its boot loader under the running job.
      if (!PortNeeded() || WorkerRunning()) break;
      SendFrame(CMD_BOOT_ENTER, 0);
      StartWorker(FirmwareDownloadJob, params);
      break;
    case IDC_EM_START:
      // Checked before the flag is cleared: with a run still winding down, clearing
      // it would take back the operator's em-stop.
      if (!PortNeeded() || WorkerRunning()) break;
      ClearLinkFlag(StopSequence);
      StartWorker(SequenceDriver, nullptr);
      break;
    case IDC_EM_STOP:
      SetLinkFlag(StopSequence);
      break;
    case IDC_AP_STOP:
      if (!PortNeeded()) break;
      SendPreStopByte();
      SleepMs(100);
      SendFrame(CMD_APP_STOP, 0);
      break;
    case IDC_AP_RESUME:
      if (PortNeeded()) SendFrame(CMD_APP_RESUME, 0);
      break;
    case IDC_CLOCK_SET:
      if (PortNeeded()) SendClockSet();
      break;
    case IDC_CLOCK_READ:
      if (PortNeeded()) SendFrame(CMD_GET_CLOCK, 0);
      break;
    case IDC_FLASH_WRITE:
    case IDC_FLASH_READ:
    case IDC_FLASH_ERASE:
      StartFlashJob(id, params);
      break;
    case IDC_LIST_CLEAR:
      ClearTraceList();
      break;
    case IDC_AUTO_RECOGNITION:
      AutoRecognitionSwitch(params);
      break;
    default:
      break;  // the dialog manager's 1 and 2 among them
  }
}

void OnUserMessage(unsigned message, JobParamsRecord* params) {
  (void)params;
  switch (message) {
    case UM_SEQUENCE_ENDED:
      ClearLinkFlag(StopSequence);
      JoinWorker();
      break;
    case UM_JOIN_WORKER:
      JoinWorker();
      break;
    case UM_START_PORT_WATCH:
      StartDetachedThread(PortWatcher);
      break;
    case UM_START_REMOVAL_WATCH:
      StartDetachedThread(RemovalWatcher);
      break;
    default:
      break;
  }
}

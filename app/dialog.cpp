#include <cstdio>
#include <cstring>

#include "app/dialog.h"
#include "app/worker_thread.h"
#include "detect/detect.h"
#include "device/commands.h"
#include "firmware/download.h"
#include "flash/flash.h"
#include "link/frame.h"
#include "link/link.h"
#include "link/receiver.h"
#include "operator/ids.h"
#include "operator/outlets.h"
#include "operator/program.h"
#include "operator/texts.h"
#include "platform/ui.h"
#include "record/run_log.h"
#include "record/settings.h"
#include "sequence/sequence.h"
#include "util/text.h"

JobParamsRecord JobParams;

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
  // The bench takes up what the line left in QB2BENCH.INI: the boxes and the next
  // serial number.
  if (IsBenchProgram()) {
    AutoRecognition.store(0);
    LoadSettings(kSettingsFile);
  } else {
    StartWatchers();
  }
}

void OnCloseDialog() {
  // A worker still running after its stop keeps the port; the process's end
  // closes it, after the worker, with every thread.
  if (StopWorker()) StopReceiverThread();
  if (IsBenchProgram() && !SaveSettings(kSettingsFile)) ShowWarningBox(kTraceSettingsNotSaved, "KM7200");
  // Run log lines that could not be written go with the process: the operator is
  // told how many, so the record can be mended by hand.
  int unwritten = FlushRunLog();
  if (unwritten > 0) {
    char text[128];
    std::snprintf(text, sizeof text, "ログファイルに書けなかった %d 行は記録されません", unwritten);
    ShowWarningBox(text, "KM7200");
  }
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
    ShowWarningBox("COMがオープンできません", "KM7200");
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

// Check box 302. The box has already changed its own state when this runs.
void AutoRecognitionSwitch(JobParamsRecord* params) {
  if (PortHandle.load() != nullptr) {
    // Wind the port down first, each step finished before the next. The close
    // stops whatever worker runs and waits for it to end before the port closes.
    OnCommand(IDC_EM_STOP, params);
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

// A command that talks to the unit: the port must be open (else the closed-port
// warning), and no worker may run. A worker's requests and this one would share
// TxFrame, RxFrame and ResponseReady: the button's reply would pass for the job's,
// and the job's page would be lost. So while a worker runs the command does
// nothing at all: no frame, no box, no file loaded.
bool UnitCommandAllowed() { return PortNeeded() && !WorkerRunning(); }

void CloseCommand() {
  // The worker uses the port: it is stopped and has ended before the port closes.
  // One that would not end keeps the port open rather than lose it under itself.
  if (!StopWorker()) {
    AppendTrace(kTraceWorkerStillRuns);
    return;
  }
  StopReceiverThread();
  UiEnable(IDC_PORT_NUMBER, true);
}

}  // namespace

void OnCommand(int id, JobParamsRecord* params) {
  // Bench commands send without waiting for the reply: the receiver traces it.
  switch (id) {
    case IDC_OPEN:
      OpenCommand();
      break;
    case IDC_CLOSE:
      CloseCommand();
      break;
    case IDC_COMMAND1:
      UnitCommandAllowed();
      break;
    case IDC_COMMAND2:
      // Not even the boot-enter frame goes out while a worker runs: it would put
      // the unit into its boot loader under the running job.
      if (!UnitCommandAllowed()) break;
      SendFrame(CMD_BOOT_ENTER, 0);
      StartWorker(FirmwareDownloadJob, params);
      break;
    case IDC_EM_START:
      // Checked before the flag is cleared: with a run still winding down, clearing
      // it would take back the operator's em-stop.
      if (!UnitCommandAllowed()) break;
      ClearLinkFlag(StopSequence);
      StartWorker(SequenceDriver, nullptr);
      break;
    case IDC_EM_STOP:
      SetLinkFlag(StopSequence);
      break;
    case IDC_AP_STOP:
      if (!UnitCommandAllowed()) break;
      SendPreStopByte();
      SleepMs(100);
      SendFrame(CMD_APP_STOP, 0);
      break;
    case IDC_AP_RESUME:
      if (UnitCommandAllowed()) SendFrame(CMD_APP_RESUME, 0);
      break;
    case IDC_CLOCK_SET:
      if (UnitCommandAllowed()) SendClockSet();
      break;
    case IDC_CLOCK_READ:
      if (UnitCommandAllowed()) SendFrame(CMD_GET_CLOCK, 0);
      break;
    case IDC_FLASH_WRITE:
    case IDC_FLASH_READ:
    case IDC_FLASH_ERASE:
      if (UnitCommandAllowed()) {
        WorkerEntry job = PrepareFlashJob(id, params);
        if (job) StartWorker(job, params);
      }
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
      // Only for the run that posted it: a late one from a run that a close already
      // joined must not take back an em-stop meant for the run after it.
      if (!WorkerRunning() || WorkerEndPosted()) {
        ClearLinkFlag(StopSequence);
        JoinEndedWorker();
      }
      break;
    case UM_JOIN_WORKER:
      JoinEndedWorker();
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

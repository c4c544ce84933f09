#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/bench_settings.h"
#include "app/dialog.h"
#include "app/worker_thread.h"
#include "detect/detect.h"
#include "firmware/download.h"
#include "flash/flash.h"
#include "link/link.h"
#include "link/receiver.h"
#include "operator/ids.h"
#include "operator/outlets.h"
#include "operator/program.h"
#include "operator/texts.h"
#include "ops/operations.h"
#include "platform/file.h"
#include "platform/ui.h"
#include "record/line_record.h"
#include "record/run_log.h"
#include "record/serial_counter.h"
#include "record/settings.h"
#include "sequence/sequence.h"
#include "util/text.h"

namespace {

const char* const kCaption = "KM7200";

// A production run's result waits to be shown when its end message comes: set when
// em-start starts a run, cleared once it is shown. Dialog's thread only.
bool ResultPending = false;

// How long em-start's claim waits for the counter: a claim of the command line
// holds it for a moment; a program that holds it for longer is named in a box.
const unsigned kEmStartCounterWaitMs = 2000;

// A file name box the program must hold whole (box 104, box 202): a name cut at
// 255 bytes would name another file, so a longer one is refused with a box.
bool TakeFileName(int id, const char* what, std::string* out) {
  *out = BoxText(id);
  if (out->size() <= kBoxTextMax) return true;
  char text[160];
  std::snprintf(text, sizeof text, "%sの名前が長すぎます (%u バイトまで)", what, static_cast<unsigned>(kBoxTextMax));
  ShowWarningBox(text, kCaption);
  return false;
}

// The line program shows the next unit's number in box 304; the bench's numbers
// are claimed for each run instead (bench_settings.h).
bool DialogSerialUsed(int32_t next) {
  if (IsBenchProgram()) return true;
  char text[16];
  std::snprintf(text, sizeof text, "%08ld", static_cast<long>(next));
  UiSetText(IDC_SERIAL_NUMBER, text);
  return true;
}

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
    ShowWarningBox("COMがオープンできません", kCaption);
    return;
  }
  UiEnable(IDC_PORT_NUMBER, false);
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

// Boxes 200-202 and 305 for a flash job; false after the box that says why not.
bool FlashInputs(const Operation& op, JobParamsRecord* params) {
  FlashRequest request;
  request.kind = op.id;
  if (!TakeFileName(IDC_FLASH_FILE, "ファイル", &request.file)) return false;
  char text[256];
  UiGetText(IDC_FLASH_ADDR, text, sizeof text);
  request.address = ParseFlashValue(text);
  UiGetText(IDC_FLASH_SIZE, text, sizeof text);
  const bool sizeEmpty = text[0] == '\0';
  request.size = ParseFlashValue(text);
  request.sizeFromFile = sizeEmpty && op.id != IDC_FLASH_READ;
  request.verify = IsBenchProgram() && UiGetCheck(IDC_VERIFY) == 1;
  int64_t loaded = -1;
  int prepared = PrepareFlashJob(request, params, &loaded);
  // An empty size box shows the length of the file that was loaded, whether the
  // range is then taken or not.
  if (loaded >= 0 && sizeEmpty) {
    std::snprintf(text, sizeof text, "%d", static_cast<int>(loaded));
    UiSetText(IDC_FLASH_SIZE, text);
  }
  return prepared == JOB_DONE;
}

// em-start's serial number: the bench takes only a number it can read and refuses
// to start while the last good run's next number is not kept; QB2LINK.EXE reads
// box 304 as it always has (no number gives 0).
bool ProductionInputs(JobParamsRecord* params) {
  if (IsBenchProgram()) {
    // A number from the line's record, claimed now: the unit's eight digits hold
    // it, and no other program anywhere gets it.
    std::string why;
    // A database that refuses the station (its login, its tables) is said before
    // a number is taken; one that is away leaves the lease to draw on.
    int taken = CheckRecord(&why) == RECORD_OK ? TakeRunSerial(&params->serialNumber, &params->attempt, &why)
                                               : RECORD_UNAVAILABLE;
    if (taken != RECORD_OK) {
      std::string box = why + ": em-start できません";
      ShowWarningBox(box.c_str(), kCaption);
      return false;
    }
  } else {
    char text[512];
    UiGetText(IDC_SERIAL_NUMBER, text, sizeof text);
    params->serialNumber = static_cast<int32_t>(ParseDecimal(text));
  }
  params->imagePath = DefaultFlashDataPath();
  params->verify = IsBenchProgram() && UiGetCheck(IDC_VERIFY) == 1;
  params->rangeReplyBoundMs = 0;
  return true;
}

// ｺﾏﾝﾄﾞ2 replaces the unit's program: the bench asks first, naming the file, its
// size and the port. A file that cannot be read is not asked about: the download
// says so itself.
bool FirmwareInputs(JobParamsRecord* params) {
  params->firmwarePath = FirmwareFilePath;
  if (!IsBenchProgram()) return true;
  long long size = FileSizeOf(FirmwareFilePath);
  if (size < 0) return true;
  char text[600];
  std::snprintf(text, sizeof text, "ユニットのプログラムを書き換えます。\n\nファイル: %s (%lld バイト)\nポート: COM%d\n\nよろしいですか?",
                FirmwareFilePath, size, PortNumber.load());
  return UiConfirmBox(text, kCaption);
}

// A row of the operations table: the checks, the job record from the boxes, what
// goes out at once, then the job.
void RunOperation(const Operation& op, JobParamsRecord* params) {
  if ((op.flags & OP_NEEDS_UNIT) && !UnitCommandAllowed()) return;
  if (op.job) {
    params->outcome = JOB_DONE;
    params->attempt = 1;  // em-start's number taken again says otherwise below
    if (!TakeFileName(IDC_LOG_FILE, "ログファイル", &params->logFile)) return;
    char port[16];
    std::snprintf(port, sizeof port, "COM%d", PortNumber.load());
    params->portName = port;
    bool ready = true;
    switch (op.inputs) {
      case IN_FLASH_WRITE:
      case IN_FLASH_READ:
      case IN_FLASH_ERASE:
        ready = FlashInputs(op, params);
        break;
      case IN_PRODUCTION:
        ready = ProductionInputs(params);
        break;
      case IN_FIRMWARE:
        ready = FirmwareInputs(params);
        break;
      default:
        break;
    }
    if (!ready) return;
  }
  if (op.inputs == IN_PRODUCTION) {
    // Cleared only now: with a run still winding down, clearing it would take back
    // the operator's em-stop.
    ClearLinkFlag(StopSequence);
    UiSetText(IDC_RESULT, "");
    UiSetProgressFailed(IDC_PROGRESS, false);
    ResultPending = true;
  }
  if (op.send) op.send();
  if (op.job) StartWorker(op.job, params);
}

// The bench after a production run: its result where the technician cannot miss
// it, the bar red and a box for a failure, and the box of a next number that could
// not be kept. The removal prompt comes on the status line; this stays until the
// next run starts.
void ShowProductionResult(const JobParamsRecord& params) {
  if (!ResultPending || !IsBenchProgram() || std::strcmp(params.run.operation, "production") != 0) return;
  ResultPending = false;
  char text[300];
  const bool good = params.outcome == JOB_DONE;
  if (good && params.run.unstamped) std::snprintf(text, sizeof text, "合格 S/N なし (データに S/N の場所がありません)");
  else if (good) std::snprintf(text, sizeof text, "合格 S/N %08ld", static_cast<long>(params.serialNumber));
  else std::snprintf(text, sizeof text, "不合格: %s", params.reason.c_str());
  UiSetText(IDC_RESULT, text);
  // A failure fills the bar in red, also when it came before any page went out.
  if (!good) UiSetProgress(IDC_PROGRESS, 1, 1);
  UiSetProgressFailed(IDC_PROGRESS, !good);
  SerialRunEnded(good);
  if (!good && params.outcome != JOB_STOPPED) ShowWarningBox(text, kCaption);
}

// The bench's record: QB2BENCH.INI's counter, claimed for each run, or the leases
// of the line's database that QB2BENCH.INI names.
void UseBenchRecord() {
  static RecordSettings settings;
  settings.iniPath = kSettingsFile;
  settings.holder = "QB2BENCH.EXE";
  settings.counterWaitMs = kEmStartCounterWaitMs;
  ReadRecordSettings(&settings);
  InstallLineRecord(RecordFormFor(settings), &settings);
}

}  // namespace

void UseDialogOutlets() {
  static OperatorOutlets dialog = [] {
    OperatorOutlets o = kDialogOutlets;
    o.serialUsed = DialogSerialUsed;
    return o;
  }();
  InstallOutlets(&dialog);
}

void OnInitDialog(JobParamsRecord* params) {
  (void)params;
  UseDialogOutlets();
  PortHandle.store(nullptr);
  char number[32];
  std::snprintf(number, sizeof number, "%d", 1);
  UiSetText(IDC_PORT_NUMBER, number);
  UiSetText(IDC_FLASH_FILE, kDefaultDataFile);
  UiSetText(IDC_FLASH_SIZE, "0");
  UiSetText(IDC_FLASH_ADDR, "0");
  PortWatchArmed.store(0);
  RemovalWatchArmed.store(0);
  std::snprintf(number, sizeof number, "%ld", static_cast<long>(RecognitionWaitMs.load()));
  UiSetText(IDC_WAIT_MS, number);
  // Last: the watchers read the dialog handle, box 301 and their cleared flags.
  // The bench has no watchdog and detects only once check box 302 is ticked, so its
  // first line says what to do; it takes up what the line left in QB2BENCH.INI:
  // the boxes and the next serial number, and says at once what it could not.
  if (IsBenchProgram()) {
    SetStatusLine(kStatusBenchStart);
    AutoRecognition.store(0);
    UseBenchRecord();
    LoadSettings(kSettingsFile);
    if (!StartNotice().empty()) UiPost(UM_START_NOTICE, 0, 0);
  } else {
    SetStatusLine(kStatusPlugIn);
    StartWatchers();
  }
}

void OnCloseDialog() {
  // A worker still running after its stop keeps the port; the process's end
  // closes it, after the worker, with every thread.
  if (StopWorker()) StopReceiverThread();
  // One more try for a next serial number that could not be kept after a run.
  if (IsBenchProgram() && !SaveSettings(kSettingsFile)) ShowWarningBox(kTraceSettingsNotSaved, kCaption);
  // Run log lines that could not be written go with the process: the operator is
  // told how many, so the record can be mended by hand.
  std::string log = BoxText(IDC_LOG_FILE);
  int unwritten = FlushRunLog(log.size() <= kBoxTextMax ? log : std::string());
  if (unwritten > 0) {
    char text[128];
    std::snprintf(text, sizeof text, "ログファイルに書けなかった %d 行は記録されません", unwritten);
    ShowWarningBox(text, kCaption);
  }
  // A report that has begun ends the process with its own result; otherwise the
  // close holds every report off, so closing never leaves a result file.
  if (ClaimProcessEnd()) UiPostQuit(0);
}

void OnCommand(int id, JobParamsRecord* params) {
  // The end of a production run sends em-stop and close and waits for them: inside
  // their handlers a stop must not wait for that very worker.
  const bool forWorker = UiHandlingSentMessage() && WorkerWaitsForCommand() == id;
  if (forWorker) EnterWorkerCommand();
  // Bench commands send without waiting for the reply: the receiver traces it.
  switch (id) {
    case IDC_OPEN:
      OpenCommand();
      break;
    case IDC_CLOSE:
      CloseCommand();
      break;
    case IDC_EM_STOP:
      SetLinkFlag(StopSequence);
      break;
    case IDC_LIST_CLEAR:
      ClearTraceList();
      break;
    case IDC_AUTO_RECOGNITION:
      AutoRecognitionSwitch(params);
      break;
    default:
      if (const Operation* op = FindOperation(id)) RunOperation(*op, params);
      break;  // the dialog manager's 1 and 2 among the rest
  }
  if (forWorker) LeaveWorkerCommand();
}

void OnUserMessage(unsigned message, JobParamsRecord* params) {
  switch (message) {
    case UM_SEQUENCE_ENDED:
      // Only for the run that posted it: a late one from a run that a close already
      // joined must not take back an em-stop meant for the run after it.
      if (!WorkerRunning() || WorkerEndPosted()) {
        ClearLinkFlag(StopSequence);
        JoinEndedWorker();
        if (!WorkerRunning()) ShowProductionResult(*params);
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
    case UM_START_NOTICE:
      // What QB2BENCH.INI said at the start.
      if (!StartNotice().empty()) ShowWarningBox(StartNotice().c_str(), kCaption);
      break;
    default:
      break;
  }
}

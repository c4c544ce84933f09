#include "sequence/sequence.h"

#include <cstdio>
#include <cstring>

#include "device/clock.h"
#include "device/commands.h"
#include "jobs/worker.h"
#include "link/link.h"
#include "operator/ids.h"
#include "operator/outlets.h"
#include "platform/systhread.h"

std::atomic<int> SequenceState{0};
JobParamsRecord* SequenceParams = nullptr;
uint16_t SequenceTimer = 0;
int32_t SerialNumber = 0;
char SequenceLine[kSequenceLineSize];
int ClockSnapshot[6];
uint32_t (*SequenceTickSource)() = TickCountMs;

const unsigned char StartLedPattern[64] = {
    0x01, 0x03, 0x00, 0x00, 0x01, 0x0C, 0x00, 0x00, 0x01, 0x30, 0x00, 0x00, 0x01, 0xC0, 0x00, 0x00,
    0x01, 0x00, 0x03, 0x00, 0x01, 0x00, 0x0C, 0x00, 0x01, 0x00, 0x30, 0x00, 0x01, 0x00, 0xC0, 0x00,
    0x01, 0x00, 0x00, 0x03, 0x01, 0x00, 0x00, 0x0C, 0x01, 0x00, 0x00, 0x30, 0x01, 0x00, 0x00, 0xC0,
    0x01, 0xFF, 0xFF, 0xFF, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0xC1, 0xC1, 0xC1, 0xC1, 0xC1, 0xFF,
};

namespace {
// The pre-stop byte needs this long before the device takes the stop request.
const unsigned kPreStopPauseMs = 100;
const uint16_t kClockSetPauseMs = 100;   // after the range set, before the clock set
const uint16_t kClockReadPauseMs = 3000;  // the read-back must show the clock running
const uint16_t kEndRepeatMs = 300;
const uint32_t kHalfErase = 0x8000;  // one erase request covers at most 32 KiB (16-bit size)

bool TimerRunning() { return SequenceTimer != 0; }

// A device step's failure: its token, with what the result says of the unit.
void Fail(const char* token, int deviceResult) { FailRun(token, OutcomeOfDeviceResult(deviceResult)); }

// When the range request went out, for a record that bounds the wait for its reply.
uint32_t RangeSentMs = 0;

void StepLedOn() {
  if (TimerRunning()) return;  // a timer left by the previous run holds the first request
  int result = SendLedPattern(StartLedPattern, sizeof StartLedPattern);
  if (result != 0) return Fail("___LED_ON_ERR___", result);
  SequenceState = SEQ_SET_RANGE;
}

void StepRangeReply() {
  // The reply's status does not matter. On the bench only em-stop ends a wait for
  // one that never comes; a record with a bound (the command line, which has no
  // operator to press em-stop) gives up after it.
  if (!ResponseReadySet()) {
    uint32_t bound = SequenceParams->rangeReplyBoundMs;
    if (bound != 0 && TickCountMs() - RangeSentMs > bound) FailRun("___SET_RANGE_NO_REPLY___", OutcomeOfDeviceResult(DEVICE_NO_REPLY));
    return;
  }
  SendLedPattern(nullptr, 0);
  SequenceState = SEQ_SET_CLOCK;
  SequenceTimer = kClockSetPauseMs;
}

void StepSetClock() {
  if (TimerRunning()) return;
  LocalTimeFields now;
  ReadLocalTime(&now);
  ClockSnapshot[0] = static_cast<unsigned char>(now.year - 2000);
  ClockSnapshot[1] = now.month;
  ClockSnapshot[2] = now.day;
  ClockSnapshot[3] = now.hour;
  ClockSnapshot[4] = now.minute;
  ClockSnapshot[5] = now.second;
  int result = SetDeviceClock();
  if (result != 0) return Fail("___SET_RTC_ERROR___", result);
  std::snprintf(SequenceLine, sizeof SequenceLine, "設定時刻  %d年 %d月 %d日  %d時 %d分 %d秒", ClockSnapshot[0] + 2000,
                ClockSnapshot[1], ClockSnapshot[2], ClockSnapshot[3], ClockSnapshot[4], ClockSnapshot[5]);
  AppendTrace(SequenceLine);
  SequenceState = SEQ_READ_CLOCK;
  SequenceTimer = kClockReadPauseMs;
}

void StepReadClock() {
  if (TimerRunning()) return;
  DeviceTime t;
  int result = ReadDeviceClock(&t);
  if (result != 0) return Fail("___SET_RTC_ERROR___", result);
  std::snprintf(SequenceLine, sizeof SequenceLine, "取得時刻  %d年 %d月 %d日  %d時 %d分 %d秒", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  AppendTrace(SequenceLine);
  SequenceState = SEQ_ERASE;
}

void StepErase() {
  if (TimerRunning()) return;
  int result = EraseFlash(0x0000, kHalfErase);
  if (result != 0) return Fail("___FLASH_ERASE_ERROR1___", result);
  // A close asked for meanwhile ends the run here rather than after another erase
  // of up to five seconds; the driver sees the request before the next step.
  if (WorkerStopRequested()) return;
  result = EraseFlash(kHalfErase, kHalfErase);
  if (result != 0) return Fail("___FLASH_ERASE_ERROR2___", result);
  SequenceState = SEQ_FLASH_IMAGE;
}

void StepAppRestart() {
  if (TimerRunning()) return;
  int result = ResumeDeviceApp();
  if (result != 0) return Fail("___APP_RESTART_ERROR___", result);
  ReportToken("___APP_RESTART___");
  SequenceState = SEQ_END_OK;
  // Counted in unsigned arithmetic: the number after 2147483647 is -2147483648.
  SerialNumber = static_cast<int32_t>(static_cast<uint32_t>(SerialNumber) + 1u);
  // At once, not only when the front end next saves: after a crash or a power loss
  // the next unit must not get this unit's number again.
  bool (*keep)(int32_t) = Outlets().serialUsed;
  if (keep && !keep(SerialNumber)) AppendTrace("通し番号を保存できません");
}

void StepEnd() {
  if (TimerRunning()) return;
  // Both synchronous: the stop flag is up and the port closed before this returns.
  // The dialog never waits for this thread while it handles them.
  SendCommandFromWorker(IDC_EM_STOP);
  SendCommandFromWorker(IDC_CLOSE);
  Outlets().post(UM_START_REMOVAL_WATCH);
  SequenceTimer = kEndRepeatMs;
  SequenceState = SequenceState + 1;
}
}  // namespace

void ReportToken(const char* token) {
  std::snprintf(SequenceLine, sizeof SequenceLine, "%s", token);
  AppendTrace(SequenceLine);
}

void FailRun(const char* token, int outcome) {
  ReportToken(token);
  SequenceParams->run.result = token;
  SequenceParams->outcome = outcome;
  SequenceState = SEQ_END_FAILED;
}

const char* ReasonOfToken(const std::string& token) {
  static const struct {
    const char* token;
    const char* words;
  } kReasons[] = {
      {"___CAN_NOT_STOP_APP___", "ユニットのアプリケーションを止められません"},
      {"___LED_ON_ERR___", "ユニットが LED の指示に応えません"},
      {"___SET_RANGE_NO_REPLY___", "ユニットが範囲設定に応えません"},
      {"___SET_RTC_ERROR___", "ユニットの時計を設定できません"},
      {"___FLASH_ERASE_ERROR1___", "フラッシュメモリを消去できません"},
      {"___FLASH_ERASE_ERROR2___", "フラッシュメモリを消去できません"},
      {"___FLASH_DATA_FILE_NOT_EXIST___", "書込みデータファイルがありません"},
      {"___FLASH_DATA_FILE_TOO_LARGE___", "書込みデータファイルが 64 KiB を超えています"},
      {"___ALLOCATE_MEMORY_ERROR___", "メモリが足りません"},
      {"___FLASH_DATA_FILE_NOT_OPEN___", "書込みデータファイルを開けません"},
      {"___FLASH_DATA_FILE_NOT_READ___", "書込みデータファイルを読めません"},
      {"___FLASH_DATA_FILE_READ_ERROR___", "書込みデータファイルを読めません"},
      {"___FLASH_DATA_FILE_WRITE_ERROR___", "フラッシュメモリに書き込めません"},
      {"___FLASH_VERIFY_ERROR___", "書き込んだデータが照合で一致しません"},
      {"___APP_RESTART_ERROR___", "ユニットのアプリケーションを再開できません"},
      {"stopped", "中断しました"},
  };
  for (const auto& r : kReasons)
    if (token == r.token) return r.words;
  return token.c_str();
}

void SequenceStart(JobParamsRecord* params) {
  SequenceParams = params;
  SequenceState = SEQ_LED_ON;
  for (int& field : ClockSnapshot) field = 0;
  SerialNumber = params->serialNumber;
  params->outcome = JOB_DONE;
  params->reason.clear();
  params->run = RunRecord();
  params->run.operation = "production";
  params->run.attempt = params->attempt;
  char serial[16];
  std::snprintf(serial, sizeof serial, "%08ld", static_cast<long>(SerialNumber));  // as box 304 shows numbers
  params->run.serial = serial;
  // An image that cannot be programmed ends the run before anything is sent: the
  // unit is never erased for a run that cannot succeed.
  if (!LoadFlashDataImage(params->imagePath)) return;
  SendPreStopByte();
  SleepMs(kPreStopPauseMs);
  int result = StopDeviceApp();
  if (result != 0) Fail("___CAN_NOT_STOP_APP___", result);
}

void SequenceStep() {
  switch (SequenceState.load()) {
    case SEQ_LED_ON:
      StepLedOn();
      break;
    case SEQ_SET_RANGE:
      SendSetRange(0, 7922, 0xFF);
      RangeSentMs = TickCountMs();
      SequenceState = SEQ_RANGE_REPLY;
      break;
    case SEQ_RANGE_REPLY:
      StepRangeReply();
      break;
    case SEQ_SET_CLOCK:
      StepSetClock();
      break;
    case SEQ_READ_CLOCK:
      StepReadClock();
      break;
    case SEQ_ERASE:
      StepErase();
      break;
    case SEQ_FLASH_IMAGE:
      ProgramFlashDataImage();
      break;
    case SEQ_APP_RESTART:
      StepAppRestart();
      break;
    case SEQ_END_OK:
    case SEQ_END_FAILED:
      StepEnd();
      break;
    case SEQ_RESTING_OK:
    case SEQ_RESTING_FAILED:
      if (!TimerRunning()) SequenceTimer = kEndRepeatMs;
      break;
    default:
      break;
  }
}

int SequenceDriver(void* arg) {
  const uint32_t startMs = TickCountMs();
  JobParamsRecord* params = static_cast<JobParamsRecord*>(arg);
  AppendTrace("開始!!");
  SequenceStart(params);
  uint16_t last = static_cast<uint16_t>(SequenceTickSource());
  // Looked at once a cycle, before the step: a step in progress always runs to its
  // end (but for the erases and pages, which also give way to a close's stop).
  while (!LinkFlagSet(StopSequence) && !WorkerStopRequested()) {
    // Modulo 65536: a cycle that crosses the wrap of the low 16 bits still
    // measures its true few milliseconds. The previous step's own time counts.
    uint16_t now = static_cast<uint16_t>(SequenceTickSource());
    uint16_t elapsed = static_cast<uint16_t>(now - last);
    last = now;
    SleepMs(10);
    if (SequenceTimer != 0) SequenceTimer = elapsed > SequenceTimer ? 0 : static_cast<uint16_t>(SequenceTimer - elapsed);
    SequenceStep();
  }
  AppendTrace("停止!!");
  // A run that reached its good end is OK; a failure has its token; anything else
  // was stopped (em-stop, or a close) before it came to an end.
  int state = SequenceState.load();
  const bool good = state == SEQ_END_OK || state == SEQ_RESTING_OK;
  if (!good && params->run.result.empty()) {
    params->run.result = kStoppedResult;
    params->outcome = JOB_STOPPED;
  }
  const std::string result = good ? "OK" : params->run.result;
  params->reason = good ? "" : ReasonOfToken(result);
  FinishJob(params, good ? JOB_DONE : params->outcome, good ? nullptr : result.c_str(), startMs);
  ReleaseFlashDataImage();
  PostWorkerEnd(UM_SEQUENCE_ENDED);
  return 0;
}

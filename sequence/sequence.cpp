#include "sequence/sequence.h"

#include <cstdio>
#include <cstring>

#include "device/clock.h"
#include "device/commands.h"
#include "jobs/worker.h"
#include "link/link.h"
#include "operator/ids.h"
#include "operator/outlets.h"
#include "operator/program.h"
#include "operator/texts.h"
#include "platform/systhread.h"
#include "platform/ui.h"
#include "record/settings.h"
#include "util/text.h"

std::atomic<int> SequenceState{0};
RunRecord SequenceRun;
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

void Fail(const char* token) { FailRun(token); }

void StepLedOn() {
  if (TimerRunning()) return;  // a timer left by the previous run holds the first request
  if (SendLedPattern(StartLedPattern, sizeof StartLedPattern) != 0) return Fail("___LED_ON_ERR___");
  SequenceState = SEQ_SET_RANGE;
}

void StepRangeReply() {
  // The reply's status does not matter; only em-stop ends a wait for one that never comes.
  if (!ResponseReadySet()) return;
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
  if (SetDeviceClock() != 0) return Fail("___SET_RTC_ERROR___");
  std::snprintf(SequenceLine, sizeof SequenceLine, "設定時刻  %d年 %d月 %d日  %d時 %d分 %d秒", ClockSnapshot[0] + 2000,
                ClockSnapshot[1], ClockSnapshot[2], ClockSnapshot[3], ClockSnapshot[4], ClockSnapshot[5]);
  AppendTrace(SequenceLine);
  SequenceState = SEQ_READ_CLOCK;
  SequenceTimer = kClockReadPauseMs;
}

void StepReadClock() {
  if (TimerRunning()) return;
  if (ReadDeviceClock() != 0) return Fail("___SET_RTC_ERROR___");
  unsigned char bcd[6];
  CopyFromRxFrame(bcd, 4, 6);
  std::snprintf(SequenceLine, sizeof SequenceLine, "取得時刻  %d年 %d月 %d日  %d時 %d分 %d秒", FromBcd(bcd[0]) + 2000,
                FromBcd(bcd[1]), FromBcd(bcd[2]), FromBcd(bcd[3]), FromBcd(bcd[4]), FromBcd(bcd[5]));
  AppendTrace(SequenceLine);
  SequenceState = SEQ_ERASE;
}

void StepErase() {
  if (TimerRunning()) return;
  if (EraseFlash(0x0000, kHalfErase) != 0) return Fail("___FLASH_ERASE_ERROR1___");
  // A close asked for meanwhile ends the run here rather than after another erase
  // of up to five seconds; the driver sees the request before the next step.
  if (WorkerStopRequested()) return;
  if (EraseFlash(kHalfErase, kHalfErase) != 0) return Fail("___FLASH_ERASE_ERROR2___");
  SequenceState = SEQ_FLASH_IMAGE;
}

void StepAppRestart() {
  if (TimerRunning()) return;
  if (ResumeDeviceApp() != 0) return Fail("___APP_RESTART_ERROR___");
  ReportToken("___APP_RESTART___");
  SequenceState = SEQ_END_OK;
  // Counted in unsigned arithmetic: the number after 2147483647 is -2147483648.
  SerialNumber = static_cast<int32_t>(static_cast<uint32_t>(SerialNumber) + 1u);
  std::snprintf(SequenceLine, sizeof SequenceLine, "%08ld", static_cast<long>(SerialNumber));
  UiSetText(IDC_SERIAL_NUMBER, SequenceLine);
  // At once, not only when the bench closes: after a crash or a power loss the
  // next unit must not get this unit's number again.
  if (IsBenchProgram() && !SaveSettings(kSettingsFile)) AppendTrace(kTraceSettingsNotSaved);
}

void StepEnd() {
  if (TimerRunning()) return;
  // Both synchronous: the stop flag is up and the port closed before this returns.
  // The dialog never waits for this thread while it handles them.
  SendCommandFromWorker(IDC_EM_STOP);
  SendCommandFromWorker(IDC_CLOSE);
  UiPost(UM_START_REMOVAL_WATCH, 0, 0);
  SequenceTimer = kEndRepeatMs;
  SequenceState = SequenceState + 1;
}
}  // namespace

void ReportToken(const char* token) {
  std::snprintf(SequenceLine, sizeof SequenceLine, "%s", token);
  AppendTrace(SequenceLine);
}

void FailRun(const char* token) {
  ReportToken(token);
  SequenceRun.result = token;
  SequenceState = SEQ_END_FAILED;
}

void SequenceStart() {
  SequenceState = SEQ_LED_ON;
  for (int& field : ClockSnapshot) field = 0;
  UiGetText(IDC_SERIAL_NUMBER, SequenceLine, sizeof SequenceLine);
  SerialNumber = static_cast<int32_t>(ParseDecimal(SequenceLine));
  SequenceRun = RunRecord();
  SequenceRun.operation = "production";
  char serial[16];
  std::snprintf(serial, sizeof serial, "%08ld", static_cast<long>(SerialNumber));  // as box 304 shows numbers
  SequenceRun.serial = serial;
  SendPreStopByte();
  SleepMs(kPreStopPauseMs);
  if (StopDeviceApp() != 0) Fail("___CAN_NOT_STOP_APP___");
}

void SequenceStep() {
  switch (SequenceState.load()) {
    case SEQ_LED_ON:
      StepLedOn();
      break;
    case SEQ_SET_RANGE:
      SendSetRange(0, 7922, 0xFF);
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

int SequenceDriver(void*) {
  const uint32_t startMs = TickCountMs();
  AppendTrace("開始!!");
  SequenceStart();
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
  if (state == SEQ_END_OK || state == SEQ_RESTING_OK) SequenceRun.result = "OK";
  else if (SequenceRun.result.empty()) SequenceRun.result = "stopped";
  SequenceRun.ms = TickCountMs() - startMs;
  LogRun(SequenceRun);
  PostWorkerEnd(UM_SEQUENCE_ENDED);
  return 0;
}

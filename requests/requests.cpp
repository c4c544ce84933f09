#include "requests/requests.h"

#include <cstdio>

#include "device/commands.h"
#include "link/frame.h"
#include "link/link.h"
#include "operator/ids.h"
#include "operator/outlets.h"
#include "platform/systhread.h"

namespace {
// The pre-stop byte needs this long before the unit takes the stop request.
const unsigned kPreStopPauseMs = 100;

// A request's job: the run log line, the outcome, the box of a failure, the end.
int EndRequest(JobParamsRecord* params, const char* operation, const char* failure, int result, uint32_t startMs) {
  params->run = RunRecord();
  params->run.operation = operation;
  FinishJob(params, OutcomeOfDeviceResult(result), result == DEVICE_OK ? nullptr : failure, startMs);
  if (result != DEVICE_OK) ShowWarningBox(failure, "KM7200");
  PostWorkerEnd(UM_JOIN_WORKER);
  return 0;
}
}  // namespace

void SendClockSetRequest() {
  LocalTimeFields now;
  ReadLocalTime(&now);
  SendFrame(CMD_SET_CLOCK, BuildClockPayload(TxPayload, now));
}

void SendClockGetRequest() { SendFrame(CMD_GET_CLOCK, 0); }

void SendAppStopRequest() {
  SendPreStopByte();
  SleepMs(kPreStopPauseMs);
  SendFrame(CMD_APP_STOP, 0);
}

void SendAppResumeRequest() { SendFrame(CMD_APP_RESUME, 0); }

void SendBootEnterRequest() { SendFrame(CMD_BOOT_ENTER, 0); }

int ClockSetJob(void* arg) {
  const uint32_t startMs = TickCountMs();
  JobParamsRecord* params = static_cast<JobParamsRecord*>(arg);
  LocalTimeFields time;
  ReadLocalTime(&time);
  if (params->clockGiven) {
    const DeviceTime& t = params->clock;
    time = LocalTimeFields{t.year, t.month, t.day, t.hour, t.minute, t.second, 0};
  }
  int result = SetDeviceClockTo(time);
  return EndRequest(params, "clock-set", "CLOCK SET 異常", result, startMs);
}

int ClockGetJob(void* arg) {
  const uint32_t startMs = TickCountMs();
  JobParamsRecord* params = static_cast<JobParamsRecord*>(arg);
  DeviceTime t;
  int result = ReadDeviceClock(&t);
  if (result == DEVICE_OK) {
    params->clock = t;
    char line[96];
    std::snprintf(line, sizeof line, "取得時刻  %d年 %d月 %d日  %d時 %d分 %d秒", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    AppendTrace(line);
  }
  return EndRequest(params, "clock-get", "CLOCK GET 異常", result, startMs);
}

int AppStopJob(void* arg) {
  const uint32_t startMs = TickCountMs();
  SendPreStopByte();
  // Not cut short by a stop: the pre-stop byte and its request belong together.
  SleepMs(kPreStopPauseMs);
  int result = StopDeviceApp();
  return EndRequest(static_cast<JobParamsRecord*>(arg), "app-stop", "APP STOP 異常", result, startMs);
}

int AppResumeJob(void* arg) {
  const uint32_t startMs = TickCountMs();
  int result = ResumeDeviceApp();
  return EndRequest(static_cast<JobParamsRecord*>(arg), "app-resume", "APP RESUME 異常", result, startMs);
}

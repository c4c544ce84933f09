#include "ops/operations.h"

#include <cstring>

#include "firmware/download.h"
#include "flash/flash.h"
#include "operator/ids.h"
#include "requests/requests.h"
#include "sequence/sequence.h"

const Operation kOperations[] = {
    // id, label, verb, run log name, flags, inputs, send, job, request
    {IDC_COMMAND1, "ｺﾏﾝﾄﾞ1", nullptr, nullptr, OP_NEEDS_UNIT, IN_NONE, nullptr, nullptr, nullptr},
    {IDC_COMMAND2, "ｺﾏﾝﾄﾞ2", "download", "download", OP_NEEDS_UNIT, IN_FIRMWARE, SendBootEnterRequest,
     FirmwareDownloadJob, nullptr},
    {IDC_EM_START, "em-start", "produce", "production", OP_NEEDS_UNIT, IN_PRODUCTION, nullptr, SequenceDriver, nullptr},
    {IDC_AP_STOP, "ap-stop", "app stop", "app-stop", OP_NEEDS_UNIT, IN_NONE, SendAppStopRequest, nullptr, AppStopJob},
    {IDC_AP_RESUME, "ap-resume", "app resume", "app-resume", OP_NEEDS_UNIT, IN_NONE, SendAppResumeRequest, nullptr,
     AppResumeJob},
    {IDC_FLASH_WRITE, "write", "write", "flash-write", OP_NEEDS_UNIT, IN_FLASH_WRITE, nullptr, FlashWriteJob, nullptr},
    {IDC_FLASH_READ, "read", "read", "flash-read", OP_NEEDS_UNIT, IN_FLASH_READ, nullptr, FlashReadJob, nullptr},
    {IDC_FLASH_ERASE, "erase", "erase", "flash-erase", OP_NEEDS_UNIT, IN_FLASH_ERASE, nullptr, FlashEraseJob, nullptr},
    {IDC_CLOCK_SET, "時計 S", "clock set", "clock-set", OP_NEEDS_UNIT, IN_CLOCK, SendClockSetRequest, nullptr,
     ClockSetJob},
    {IDC_CLOCK_READ, "時計 R", "clock get", "clock-get", OP_NEEDS_UNIT, IN_NONE, SendClockGetRequest, nullptr,
     ClockGetJob},
};
const int kOperationCount = static_cast<int>(sizeof kOperations / sizeof kOperations[0]);

const Operation* FindOperation(int id) {
  for (const Operation& op : kOperations)
    if (op.id == id) return &op;
  return nullptr;
}

const Operation* FindOperationByVerb(const char* verb) {
  for (const Operation& op : kOperations)
    if (op.verb && std::strcmp(op.verb, verb) == 0) return &op;
  return nullptr;
}

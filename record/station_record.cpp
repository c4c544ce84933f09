// The station's own record: serial numbers from QB2BENCH.INI's counter, held for
// each claim alone, and every operation in the station's CSV run log.
#include <cstdlib>

#include "record/line_record.h"
#include "record/serial_counter.h"
#include "record/settings.h"

namespace {
int StationCheck(const RecordSettings&, std::string* why) {
  why->clear();
  return RECORD_OK;
}

int StationPeek(const RecordSettings& s, int32_t* next, std::string* why) {
  SettingsText read;
  if (ReadSettingsFileAsIs(s.iniPath.c_str(), &read) != SETTINGS_READ || !read.values.given[SET_SERIAL]) {
    *why = s.iniPath + " holds no SerialNumber that can be read (0 to 99999999)";
    return RECORD_UNAVAILABLE;
  }
  long long value = std::atoll(read.values.value[SET_SERIAL].c_str());
  if (value > kLastSerialNumber) {
    *why = "no serial number left: the last is 99999999";
    return RECORD_NONE_LEFT;
  }
  *next = static_cast<int32_t>(value);
  return RECORD_OK;
}

int StationClaim(const RecordSettings& s, int count, std::vector<int32_t>* numbers, std::string* why) {
  FileHandle held = nullptr;
  int result = HoldRecordCounter(s, &held, why);
  if (result != RECORD_OK) return result;
  int32_t first = 0;
  int claimed = ClaimSerialNumbers(s.iniPath.c_str(), count, &first, why);
  ReleaseSerialCounter(held);
  if (claimed != CLAIM_TAKEN)
    return claimed == CLAIM_NONE_LEFT ? RECORD_NONE_LEFT : claimed == CLAIM_NOT_KEPT ? RECORD_NOT_KEPT : RECORD_UNAVAILABLE;
  numbers->clear();
  for (int i = 0; i < count; ++i) numbers->push_back(first + i);
  return RECORD_OK;
}

int StationSetNext(const RecordSettings& s, int32_t next, std::string* why) {
  FileHandle held = nullptr;
  int result = HoldRecordCounter(s, &held, why);
  if (result != RECORD_OK) return result;
  SettingsValues values;
  values.given[SET_SERIAL] = true;
  values.value[SET_SERIAL] = SerialText(next);
  bool written = WriteSettingsFile(s.iniPath.c_str(), values);
  ReleaseSerialCounter(held);
  if (!written) *why = s.iniPath + " cannot be written";
  return written ? RECORD_OK : RECORD_NOT_KEPT;
}

void StationLog(const RecordSettings& s, const RunRecord& record, const std::string& logPath, const std::string& port) {
  LogRun(record, logPath, port, s.station);
}
}  // namespace

const LineRecordForm kStationRecord = {"QB2BENCH.INI", StationCheck, StationPeek, StationClaim, StationSetNext, StationLog};

#include "record/line_record.h"

#include <atomic>
#include <cstdlib>

#include "platform/process.h"
#include "record/serial_counter.h"
#include "record/settings.h"

namespace {
const RecordSettings& DefaultSettings() {
  static const RecordSettings* settings = new RecordSettings;
  return *settings;
}
std::atomic<const LineRecordForm*> Form{nullptr};
std::atomic<const RecordSettings*> Settings{nullptr};

}  // namespace

void InstallLineRecord(const LineRecordForm* form, const RecordSettings* settings) {
  Settings.store(settings);
  Form.store(form);
}
const LineRecordForm& LineRecord() {
  const LineRecordForm* form = Form.load();
  return form ? *form : kStationRecord;
}
const RecordSettings& LineRecordSettings() {
  const RecordSettings* s = Settings.load();
  return s ? *s : DefaultSettings();
}

int CheckRecord(std::string* why) { return LineRecord().check(LineRecordSettings(), why); }
int ClaimSerials(int count, std::vector<int32_t>* numbers, std::string* why) {
  return LineRecord().claim(LineRecordSettings(), count, numbers, why);
}
int PeekSerial(int32_t* next, std::string* why) { return LineRecord().peek(LineRecordSettings(), next, why); }
int SetNextSerial(int32_t next, std::string* why) { return LineRecord().setNext(LineRecordSettings(), next, why); }
void RecordRun(const RunRecord& record, const std::string& logPath, const std::string& port) {
  LineRecord().log(LineRecordSettings(), record, logPath, port);
}

void ReadRecordSettings(RecordSettings* s) {
  SettingsText read;
  if (ReadSettingsFileAsIs(s->iniPath.c_str(), &read) == SETTINGS_READ) {
    const SettingsValues& v = read.values;
    if (v.given[SET_DATABASE]) s->database = v.value[SET_DATABASE];
    if (v.given[SET_STATION]) s->station = v.value[SET_STATION];
    if (v.given[SET_LEASE_SIZE]) s->leaseSize = std::atoi(v.value[SET_LEASE_SIZE].c_str());
  }
  if (s->station.empty()) s->station = ComputerName();
}

const LineRecordForm* RecordFormFor(const RecordSettings& s) {
  return s.database.empty() ? &kStationRecord : &kDatabaseRecord;
}

int HoldRecordCounter(const RecordSettings& s, FileHandle* held, std::string* why) {
  std::string holder;
  *held = HoldSerialCounter(s.iniPath.c_str(), s.holder, s.counterWaitMs, &holder, s.stopAsked);
  if (*held) return RECORD_OK;
  if (s.stopAsked && s.stopAsked()) {
    *why = "stopped";
    return RECORD_STOPPED;
  }
  *why = "the serial number counter is held by " + (holder.empty() ? std::string("another program") : holder);
  return RECORD_UNAVAILABLE;
}

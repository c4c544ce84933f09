#include "record/line_record.h"

#include <atomic>

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

int ClaimSerials(int count, std::vector<int32_t>* numbers, std::string* why) {
  return LineRecord().claim(LineRecordSettings(), count, numbers, why);
}
int PeekSerial(int32_t* next, std::string* why) { return LineRecord().peek(LineRecordSettings(), next, why); }
int SetNextSerial(int32_t next, std::string* why) { return LineRecord().setNext(LineRecordSettings(), next, why); }
void RecordRun(const RunRecord& record, const std::string& logPath, const std::string& port) {
  LineRecord().log(LineRecordSettings(), record, logPath, port);
}

#include "app/bench_settings.h"

#include <cstdio>
#include <vector>

#include "operator/ids.h"
#include "operator/outlets.h"
#include "platform/ui.h"
#include "record/line_record.h"
#include "record/serial_counter.h"
#include "record/settings.h"

namespace {
// The box of each key; check box 305 for VerifyAfterWrite.
const int kBoxOf[kBoxSettingCount] = {IDC_PORT_NUMBER, IDC_LOG_FILE, IDC_FLASH_ADDR,    IDC_FLASH_SIZE,
                                      IDC_FLASH_FILE,  IDC_WAIT_MS,  IDC_SERIAL_NUMBER, IDC_VERIFY};
// How long a save waits for the counter's holder when the bench does not hold it:
// only the holder writes QB2BENCH.INI, so that no write undoes another's number.
const unsigned kSaveCounterWaitMs = 2000;

std::string Notice;  // dialog's thread only

// Box 304 as the bench last wrote it ("" when it has not): a different text was
// typed. The number a failed run had, taken again by the next run, and how many
// runs had it. Dialog's thread only.
std::string Shown;
bool Reserved = false;
int32_t ReservedNumber = 0;
int Attempts = 0;

void Show(const std::string& text) {
  Shown = text;
  UiSetText(IDC_SERIAL_NUMBER, text.c_str());
}

void AddNotice(const std::string& text) { Notice += (Notice.empty() ? "" : "\n") + text; }

}  // namespace

std::string BoxText(int id) {
  std::vector<char> text(1024);
  for (;;) {
    int n = UiGetText(id, text.data(), static_cast<int>(text.size()));
    if (n < static_cast<int>(text.size()) - 1) return std::string(text.data(), static_cast<size_t>(n));
    text.resize(text.size() * 4);
  }
}

const std::string& StartNotice() { return Notice; }

void ShowNextSerial() {
  int32_t next = 0;
  std::string why;
  // None to tell (no number in the file, none left): the box is left empty, and
  // em-start asks for one.
  Show(PeekSerial(&next, &why) == RECORD_OK ? SerialText(next) : std::string());
}

int TakeRunSerial(int32_t* serial, int* attempt, std::string* why) {
  const std::string box = BoxText(IDC_SERIAL_NUMBER);
  int32_t typed = 0;
  // The line's numbers come from its database: an empty box (a lease used up) is
  // the claim's to fill, and a typed number cannot set them.
  const bool linesNumbers = &LineRecord() != &kStationRecord;
  if (linesNumbers && box.empty() && box == Shown) {
    typed = 0;
  } else if (!ParseSerialNumber(box, &typed)) {
    *why = "S/N (304) を 0 から 99999999 までの数字で入れてください";
    return RECORD_UNAVAILABLE;
  }
  // The failed run's number, still in the box: the same number again.
  if (Reserved && box == Shown && typed == ReservedNumber) {
    *serial = ReservedNumber;
    *attempt = ++Attempts;
    return RECORD_OK;
  }
  // A number a person typed: the counter goes on from it.
  if (box != Shown) {
    int set = SetNextSerial(typed, why);
    if (set != RECORD_OK) {
      if (linesNumbers) Show(Shown);  // the number the line's record gives, back in view
      return set;
    }
  }
  std::vector<int32_t> numbers;
  int claimed = ClaimSerials(1, &numbers, why);
  if (claimed != RECORD_OK) {
    // Nothing is sent without a number the line handed out.
    if (linesNumbers) *why = "シリアル番号を取得できません (" + *why + ")";
    return claimed;
  }
  Reserved = true;
  ReservedNumber = numbers[0];
  Attempts = 1;
  *serial = numbers[0];
  *attempt = 1;
  Show(SerialText(numbers[0]));
  return RECORD_OK;
}

void SerialRunEnded(bool good) {
  if (!good) return;  // the box keeps the number for the next run
  Reserved = false;
  ShowNextSerial();
  // The boxes the run used are kept with it: a crash after it loses none of them.
  SaveSettings(kSettingsFile);
}

int LoadSettings(const char* path) {
  Notice.clear();
  SettingsText read;
  std::string keptAs;
  int state = ReadSettingsFile(path, &read, &keptAs);
  char text[600];
  if (state == SETTINGS_UNREADABLE) {
    std::snprintf(text, sizeof text, "%s を読めません: 既定値で始めます。S/N (304) を入れてください", path);
    AddNotice(text);
  } else if (state == SETTINGS_DAMAGED) {
    if (keptAs.empty())
      std::snprintf(text, sizeof text, "%s は設定ファイルとして読めません (名前を変えられません): 既定値で始めます。S/N (304) を入れてください",
                    path);
    else
      std::snprintf(text, sizeof text, "%s は設定ファイルとして読めません: %s として残し、既定値で始めます。S/N (304) を入れてください",
                    path, keptAs.c_str());
    AddNotice(text);
  } else if (read.serialUnreadable && &LineRecord() == &kStationRecord) {
    std::snprintf(text, sizeof text, "%s の SerialNumber を読めません (0 から 99999999 まで): S/N (304) を入れてください", path);
    AddNotice(text);
  }
  if (read.rejected[SET_LOG_FILE]) {
    std::snprintf(text, sizeof text, "%s の LogFile は使えません: ログファイル (104) を入れるまで記録されません", path);
    AddNotice(text);
  }
  for (const std::string& line : read.problems) AppendTrace(line.c_str());
  // The line's numbers: the station's lease gives the next, not SerialNumber.
  if (&LineRecord() != &kStationRecord) ShowNextSerial();
  int taken = 0;
  for (int k = 0; k < kBoxSettingCount; ++k) {
    if (!read.values.given[k]) continue;
    if (k == SET_VERIFY) UiSetCheck(kBoxOf[k], read.values.value[k] == "1" ? 1 : 0);
    else if (k != SET_SERIAL) UiSetText(kBoxOf[k], read.values.value[k].c_str());
    else if (&LineRecord() == &kStationRecord) Show(read.values.value[k]);
    ++taken;
  }
  return taken;
}

bool SaveSettings(const char* path) {
  // The serial number is the counter's alone, written by its claims: box 304 is
  // never put back, whatever another program took meanwhile. The other boxes are
  // written while holding the counter for the moment of the write, as only a
  // holder writes the file.
  std::string other;
  FileHandle forSave = HoldSerialCounter(path, "QB2BENCH.EXE", kSaveCounterWaitMs, &other);
  if (!forSave) return false;
  SettingsValues values;
  for (int k = 0; k < kBoxSettingCount; ++k) {
    if (k == SET_SERIAL) continue;
    if (k == SET_VERIFY) {
      values.value[k] = UiGetCheck(kBoxOf[k]) == 1 ? "1" : "0";
    } else {
      values.value[k] = BoxText(kBoxOf[k]);
      // A box too long to hold whole keeps what the file has: a cut name would
      // name another file.
      if (values.value[k].size() > kBoxTextMax) continue;
    }
    values.given[k] = true;
  }
  bool written = WriteSettingsFile(path, values);
  ReleaseSerialCounter(forSave);
  return written;
}

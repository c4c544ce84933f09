#include "app/bench_settings.h"

#include <atomic>
#include <cstdio>
#include <vector>

#include "operator/ids.h"
#include "operator/outlets.h"
#include "platform/ui.h"
#include "record/serial_counter.h"
#include "record/settings.h"

namespace {
// The box of each key; check box 305 for VerifyAfterWrite.
const int kBoxOf[kSettingCount] = {IDC_PORT_NUMBER, IDC_LOG_FILE,    IDC_FLASH_ADDR,    IDC_FLASH_SIZE,
                                   IDC_FLASH_FILE,  IDC_WAIT_MS,     IDC_SERIAL_NUMBER, IDC_VERIFY};
// How long a save waits for the counter's holder when the bench does not hold it:
// only the holder writes QB2BENCH.INI, so that no write undoes another's number.
const unsigned kSaveCounterWaitMs = 2000;

std::string Notice;  // dialog's thread only
std::atomic<bool> NotKept{false};
// The counter, held by the dialog's thread; read by the worker's save after a run
// (which the dialog's thread only starts while it holds the counter).
std::atomic<FileHandle> Counter{nullptr};
bool Loaded = false;  // the boxes hold the file's values (dialog's thread)

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
bool SerialNotKept() { return NotKept.load(); }
void SetSerialNotKept(bool notKept) { NotKept.store(notKept); }
bool HoldsSerialCounter() { return Counter.load() != nullptr; }
void ReleaseBenchCounter() { ReleaseSerialCounter(Counter.exchange(nullptr)); }

bool TakeSerialCounter(unsigned waitMs, std::string* holder) {
  if (Counter.load()) return true;
  FileHandle held = HoldSerialCounter(kSettingsFile, "QB2BENCH.EXE", waitMs, holder);
  if (!held) return false;
  Counter.store(held);
  if (!Loaded) return true;
  // Held only now: another program may have counted on since the start. Box 304
  // takes the file's number (empty when it has none that can be read), never the
  // other way round.
  SettingsText read;
  const bool readable = ReadSettingsFileAsIs(kSettingsFile, &read) == SETTINGS_READ && read.values.given[SET_SERIAL];
  UiSetText(IDC_SERIAL_NUMBER, readable ? read.values.value[SET_SERIAL].c_str() : "");
  return true;
}

int LoadSettings(const char* path) {
  Loaded = true;
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
  } else if (read.serialUnreadable) {
    std::snprintf(text, sizeof text, "%s の SerialNumber を読めません (0 から 99999999 まで): S/N (304) を入れてください", path);
    AddNotice(text);
  }
  if (read.rejected[SET_LOG_FILE]) {
    std::snprintf(text, sizeof text, "%s の LogFile は使えません: ログファイル (104) を入れるまで記録されません", path);
    AddNotice(text);
  }
  for (const std::string& line : read.problems) AppendTrace(line.c_str());
  int taken = 0;
  for (int k = 0; k < kSettingCount; ++k) {
    if (!read.values.given[k]) continue;
    if (k == SET_VERIFY) UiSetCheck(kBoxOf[k], read.values.value[k] == "1" ? 1 : 0);
    else UiSetText(kBoxOf[k], read.values.value[k].c_str());
    ++taken;
  }
  return taken;
}

bool SaveSettings(const char* path) {
  // Box 304 is the counter only while the bench holds it; otherwise the file's
  // number stands, and the other boxes are written while holding the counter for
  // the moment of the write.
  FileHandle forSave = nullptr;
  const bool holder = Counter.load() != nullptr;
  if (!holder) {
    std::string other;
    forSave = HoldSerialCounter(path, "QB2BENCH.EXE", kSaveCounterWaitMs, &other);
    if (!forSave) return false;
  }
  SettingsValues values;
  for (int k = 0; k < kSettingCount; ++k) {
    if (k == SET_SERIAL && !holder) continue;
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

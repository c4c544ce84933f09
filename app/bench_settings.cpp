#include "app/bench_settings.h"

#include <atomic>
#include <cstdio>
#include <mutex>
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

// What the file last held of each key (read at start, or written since): a box
// too long to save keeps it. Shared by the dialog's thread and the worker.
std::mutex& KeptLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}
SettingsValues& Kept() {
  static SettingsValues* kept = new SettingsValues;
  return *kept;
}

std::string Notice;  // dialog's thread only
std::atomic<bool> NotKept{false};
FileHandle Counter = nullptr;  // dialog's thread only
bool Loaded = false;           // the boxes hold the file's values (dialog's thread)

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

bool TakeSerialCounter(unsigned waitMs, std::string* holder) {
  if (Counter) return true;
  Counter = HoldSerialCounter(kSettingsFile, "QB2BENCH.EXE", waitMs, holder);
  if (!Counter || !Loaded) return Counter != nullptr;
  // Held only now: the number may have been counted on by the last holder.
  SettingsText read;
  if (ReadSettingsFileAsIs(kSettingsFile, &read) == SETTINGS_READ && read.values.given[SET_SERIAL]) {
    UiSetText(IDC_SERIAL_NUMBER, read.values.value[SET_SERIAL].c_str());
    std::lock_guard<std::mutex> hold(KeptLock());
    Kept().given[SET_SERIAL] = true;
    Kept().value[SET_SERIAL] = read.values.value[SET_SERIAL];
  }
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
    Notice = text;
  } else if (state == SETTINGS_DAMAGED) {
    if (keptAs.empty())
      std::snprintf(text, sizeof text, "%s は設定ファイルとして読めません (名前を変えられません): 既定値で始めます。S/N (304) を入れてください",
                    path);
    else
      std::snprintf(text, sizeof text, "%s は設定ファイルとして読めません: %s として残し、既定値で始めます。S/N (304) を入れてください",
                    path, keptAs.c_str());
    Notice = text;
  } else if (read.serialUnreadable) {
    std::snprintf(text, sizeof text, "%s の SerialNumber を読めません: S/N (304) を入れてください", path);
    Notice = text;
  }
  for (const std::string& line : read.problems) AppendTrace(line.c_str());
  int taken = 0;
  for (int k = 0; k < kSettingCount; ++k) {
    if (!read.values.given[k]) continue;
    if (k == SET_VERIFY) UiSetCheck(kBoxOf[k], read.values.value[k] == "1" ? 1 : 0);
    else UiSetText(kBoxOf[k], read.values.value[k].c_str());
    ++taken;
  }
  std::lock_guard<std::mutex> hold(KeptLock());
  Kept() = read.values;
  return taken;
}

bool SaveSettings(const char* path) {
  SettingsValues values;
  for (int k = 0; k < kSettingCount; ++k) {
    values.given[k] = true;
    if (k == SET_VERIFY) values.value[k] = UiGetCheck(kBoxOf[k]) == 1 ? "1" : "0";
    else values.value[k] = BoxText(kBoxOf[k]);
  }
  std::lock_guard<std::mutex> hold(KeptLock());
  for (int k = 0; k < kSettingCount; ++k) {
    if (values.value[k].size() <= kBoxTextMax) continue;
    values.given[k] = Kept().given[k];
    values.value[k] = Kept().value[k];
  }
  if (!WriteSettingsFile(path, values)) return false;
  Kept() = values;
  return true;
}

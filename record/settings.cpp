#include "record/settings.h"

#include <cstdio>
#include <mutex>

#include "operator/ids.h"
#include "operator/outlets.h"
#include "platform/file.h"
#include "platform/ui.h"

const char* const kSettingsFile = "QB2BENCH.INI";

namespace {
const char kSection[] = "[QB2BENCH]";
const size_t kBoxText = 255;  // what a box takes: the boxes are read into 256 bytes
const long long kFlashTop = 0x20000;

bool Digits(const std::string& v, size_t most) {
  if (v.empty() || v.size() > most) return false;
  for (char c : v)
    if (c < '0' || c > '9') return false;
  return true;
}
long long Value(const std::string& v) {
  long long n = 0;
  for (char c : v) n = n * 10 + (c - '0');
  return n;
}
bool Text(const std::string& v) {
  if (v.size() > kBoxText) return false;
  for (unsigned char c : v)
    if (c < 0x20 || c == 0x7F) return false;
  return true;
}

bool ValidPort(const std::string& v) { return Digits(v, 9) && Value(v) >= 1; }
bool ValidAddress(const std::string& v) { return Digits(v, 6) && Value(v) <= kFlashTop; }
// Empty: the next write or erase takes its file's length.
bool ValidSize(const std::string& v) { return v.empty() || (Digits(v, 6) && Value(v) <= kFlashTop); }
bool ValidWait(const std::string& v) { return Digits(v, 6) && Value(v) <= 60000; }
// What em-start reads as a 32-bit number: a sign, then digits, as the box shows it
// after a run ("00000042", "-0000004").
bool ValidSerial(const std::string& v) {
  bool negative = !v.empty() && v[0] == '-';
  std::string digits = negative ? v.substr(1) : v;
  return Digits(digits, 10) && Value(digits) <= (negative ? 2147483648LL : 2147483647LL);
}
bool ValidCheck(const std::string& v) { return v == "0" || v == "1"; }

std::mutex& SaveLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

bool ReadWholeFile(const char* path, std::string* text) {
  long long size = FileSizeOf(path);
  if (size < 0 || size > 65536) return false;  // no settings file is that large
  FileHandle file = FileOpenRead(path);
  if (!file) return false;
  text->assign(static_cast<size_t>(size), '\0');
  int got = size > 0 ? FileRead(file, &(*text)[0], static_cast<int>(size)) : 0;
  FileClose(file);
  return got == static_cast<int>(size);
}

void Trace(const char* format, const std::string& a, const std::string& b = "") {
  char line[600];
  std::snprintf(line, sizeof line, format, a.c_str(), b.c_str());
  AppendTrace(line);
}
}  // namespace

const Setting kSettings[kSettingCount] = {
    {"ComPort", IDC_PORT_NUMBER, false, ValidPort},
    {"LogFile", IDC_LOG_FILE, false, Text},
    {"FlashAddress", IDC_FLASH_ADDR, false, ValidAddress},
    {"FlashSize", IDC_FLASH_SIZE, false, ValidSize},
    {"FlashFile", IDC_FLASH_FILE, false, Text},
    {"RecognitionWaitMs", IDC_WAIT_MS, false, ValidWait},
    {"SerialNumber", IDC_SERIAL_NUMBER, false, ValidSerial},
    {"VerifyAfterWrite", IDC_VERIFY, true, ValidCheck},
};

bool ParseSettings(const std::string& text, std::vector<std::pair<std::string, std::string>>* pairs) {
  pairs->clear();
  if (text.find('\0') != std::string::npos) return false;
  bool inSection = false;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      inSection = line == kSection;
      if (!inSection) return false;  // this file holds no other section
      continue;
    }
    size_t eq = line.find('=');
    if (!inSection || eq == std::string::npos || eq == 0) return false;
    pairs->emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
  return inSection;
}

std::string FormatSettings(const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::string out = std::string(kSection) + "\r\n";
  for (const auto& p : pairs) out += p.first + "=" + p.second + "\r\n";
  return out;
}

int LoadSettings(const char* path) {
  std::string text;
  if (FileSizeOf(path) < 0) return 0;  // none yet: the defaults
  std::vector<std::pair<std::string, std::string>> pairs;
  if (!ReadWholeFile(path, &text) || !ParseSettings(text, &pairs)) {
    Trace("%s は読めません: 既定値を使います", path);
    return 0;
  }
  int taken = 0;
  for (const auto& pair : pairs) {
    const Setting* setting = nullptr;
    for (const Setting& s : kSettings)
      if (pair.first == s.key) setting = &s;
    if (!setting) continue;  // a key of another version: nothing to put it in
    if (!setting->valid(pair.second)) {
      Trace("設定 %s=%s は使えません: 既定値のまま", pair.first, pair.second);
      continue;
    }
    if (setting->checkBox) UiSetCheck(setting->id, pair.second == "1" ? 1 : 0);
    else UiSetText(setting->id, pair.second.c_str());
    ++taken;
  }
  return taken;
}

bool SaveSettings(const char* path) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const Setting& s : kSettings) {
    char value[kBoxText + 1];
    if (s.checkBox) std::snprintf(value, sizeof value, "%d", UiGetCheck(s.id) == 1 ? 1 : 0);
    else UiGetText(s.id, value, sizeof value);
    pairs.emplace_back(s.key, value);
  }
  std::string text = FormatSettings(pairs);
  std::string temporary = std::string(path) + ".tmp";
  std::lock_guard<std::mutex> one(SaveLock());
  FileHandle file = FileCreateAlways(temporary.c_str());
  if (!file) return false;
  bool written = FileWrite(file, text.data(), static_cast<int>(text.size())) == static_cast<int>(text.size()) &&
                 FileFlush(file);
  FileClose(file);
  if (!written || !FileReplace(temporary.c_str(), path)) {
    FileDelete(temporary.c_str());
    return false;
  }
  return true;
}

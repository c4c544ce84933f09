#include "record/serial_counter.h"

#include <cstdio>
#include <cstdlib>

#include "platform/process.h"
#include "platform/systhread.h"
#include "record/settings.h"

namespace {
const unsigned kRetryMs = 50;

std::string HolderOf(const std::string& lockPath) {
  FileHandle file = FileOpenReadShared(lockPath.c_str());
  if (!file) return std::string();
  char text[256];
  int got = FileRead(file, text, sizeof text - 1);
  FileClose(file);
  if (got <= 0) return std::string();
  std::string out(text, static_cast<size_t>(got));
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}
}  // namespace

std::string SerialCounterLockPath(const char* iniPath) { return std::string(iniPath) + ".lock"; }

std::string SerialText(int32_t serial) {
  char text[16];
  std::snprintf(text, sizeof text, "%08ld", static_cast<long>(serial));
  return text;
}

bool ParseSerialNumber(const std::string& text, int32_t* serial) {
  size_t a = text.find_first_not_of(" \t"), b = text.find_last_not_of(" \t");
  if (a == std::string::npos) return false;
  std::string digits = text.substr(a, b - a + 1);
  if (digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  long long value = std::atoll(digits.c_str());
  if (value > kLastSerialNumber) return false;
  *serial = static_cast<int32_t>(value);
  return true;
}

FileHandle HoldSerialCounter(const char* iniPath, const char* holderName, unsigned waitMs, std::string* holder,
                             bool (*stopAsked)()) {
  const std::string lockPath = SerialCounterLockPath(iniPath);
  const uint32_t start = TickCountMs();
  bool heldElsewhere = false;
  for (;;) {
    FileHandle held = FileTakeLock(lockPath.c_str(), &heldElsewhere);
    if (held) {
      LocalTimeFields t;
      ReadLocalTime(&t);
      char text[200];
      int n = std::snprintf(text, sizeof text, "%s (pid %d) since %04d-%02d-%02d %02d:%02d:%02d\r\n", holderName,
                            OwnProcessId(), t.year, t.month, t.day, t.hour, t.minute, t.second);
      FileWrite(held, text, n);
      return held;
    }
    if (!heldElsewhere) break;  // no waiting makes a file we cannot open usable
    if (TickCountMs() - start >= waitMs || (stopAsked && stopAsked())) break;
    SleepMs(kRetryMs);
  }
  *holder = heldElsewhere ? HolderOf(lockPath) : "nobody: " + lockPath + " cannot be opened";
  return nullptr;
}

void ReleaseSerialCounter(FileHandle held) { FileReleaseLock(held); }

int ClaimSerialNumbers(const char* iniPath, int count, int32_t* first, std::string* error) {
  SettingsText read;
  int state = ReadSettingsFileAsIs(iniPath, &read);
  if (state == SETTINGS_MISSING) {
    *error = std::string(iniPath) + " not found: no serial number to take";
    return CLAIM_UNREADABLE;
  }
  if (state != SETTINGS_READ) {
    *error = std::string(iniPath) + " cannot be read as settings";
    return CLAIM_UNREADABLE;
  }
  if (read.serialUnreadable || !read.values.given[SET_SERIAL]) {
    *error = std::string(iniPath) + " holds no SerialNumber that can be read (0 to 99999999)";
    return CLAIM_UNREADABLE;
  }
  long long value = std::atoll(read.values.value[SET_SERIAL].c_str());
  if (count < 1 || value + count - 1 > kLastSerialNumber) {
    *error = "no serial number left: " + std::string(iniPath) + " is at " + read.values.value[SET_SERIAL] +
             " and the last is 99999999";
    return CLAIM_NONE_LEFT;
  }
  SettingsValues next;
  next.given[SET_SERIAL] = true;
  next.value[SET_SERIAL] = SerialText(static_cast<int32_t>(value + count));
  if (!WriteSettingsFile(iniPath, next)) {
    *error = std::string(iniPath) + " cannot be written: the next serial number would not be kept";
    return CLAIM_NOT_KEPT;
  }
  *first = static_cast<int32_t>(value);
  return CLAIM_TAKEN;
}

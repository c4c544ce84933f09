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

FileHandle HoldSerialCounter(const char* iniPath, const char* holderName, unsigned waitMs, std::string* holder) {
  const std::string lockPath = SerialCounterLockPath(iniPath);
  const uint32_t start = TickCountMs();
  for (;;) {
    FileHandle held = FileTakeLock(lockPath.c_str());
    if (held) {
      LocalTimeFields t;
      ReadLocalTime(&t);
      char text[200];
      int n = std::snprintf(text, sizeof text, "%s (pid %d) since %04d-%02d-%02d %02d:%02d:%02d\r\n", holderName,
                            OwnProcessId(), t.year, t.month, t.day, t.hour, t.minute, t.second);
      FileWrite(held, text, n);
      return held;
    }
    if (TickCountMs() - start >= waitMs) break;
    SleepMs(kRetryMs);
  }
  *holder = HolderOf(lockPath);
  return nullptr;
}

void ReleaseSerialCounter(FileHandle held) {
  if (held) FileClose(held);
}

bool ClaimSerialNumbers(const char* iniPath, int count, int32_t* first, std::string* error) {
  SettingsText read;
  int state = ReadSettingsFileAsIs(iniPath, &read);
  if (state == SETTINGS_MISSING) {
    *error = std::string(iniPath) + " not found: no serial number to take";
    return false;
  }
  if (state != SETTINGS_READ) {
    *error = std::string(iniPath) + " cannot be read as settings";
    return false;
  }
  if (read.serialUnreadable || !read.values.given[SET_SERIAL]) {
    *error = std::string(iniPath) + " holds no SerialNumber that can be read";
    return false;
  }
  long long value = std::atoll(read.values.value[SET_SERIAL].c_str());
  *first = static_cast<int32_t>(value);
  // Counted in unsigned arithmetic, as a run counts up: after 2147483647 comes -2147483648.
  int32_t next = static_cast<int32_t>(static_cast<uint32_t>(*first) + static_cast<uint32_t>(count));
  read.values.value[SET_SERIAL] = SerialText(next);
  if (!WriteSettingsFile(iniPath, read.values)) {
    *error = std::string(iniPath) + " cannot be written: the next serial number would not be kept";
    return false;
  }
  return true;
}

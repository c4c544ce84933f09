#include <cstdio>

#include "detect/detect.h"
#include "platform/file.h"
#include "platform/systhread.h"
#include "platform/ui.h"

namespace {
std::atomic<int> ProcessEndClaimed{0};

[[noreturn]] void Report(const char* fileName, const char* prefix, int value) {
  // The watchdog can expire while the port watcher is between its file and the
  // exit: without this, one run could leave both files and a contradictory
  // result. The loser waits here until the winner's exit ends every thread.
  if (!ClaimProcessEnd()) {
    for (;;) SleepMs(1000);
  }
  char text[300];
  FileHandle file = FileCreateAlways(fileName);
  if (!file) {
    std::snprintf(text, sizeof text, "%s をオープンできません", fileName);
    UiWarningBox(text, "QB2LINK");
  } else {
    char content[256];
    int length = std::snprintf(content, sizeof content, "%s:%d\n", prefix, value);
    // One write of the whole content; a short write is a failed write.
    if (FileWrite(file, content, length) != length) {
      std::snprintf(text, sizeof text, "WRITE ERROR(%s)", fileName);
      UiWarningBox(text, "QB2LINK");
    }
    FileClose(file);
  }
  ExitProcessNormally(value);
}
}  // namespace

bool ClaimProcessEnd() {
  int expected = 0;
  return ProcessEndClaimed.compare_exchange_strong(expected, 1);
}

void ReportOk(int port) { Report("QB2LINK.OK", "OK", port); }

void ReportError(int code) { Report("QB2LINK.ERR", "ERR", code); }

#include <cstdio>

#include "detect/detect.h"
#include "operator/outlets.h"
#include "platform/file.h"
#include "platform/systhread.h"
#include "platform/ui.h"

namespace {
// 1 while a report writes its file or ends the process, or once the dialog's close
// has begun; 0 otherwise.
std::atomic<int> ProcessEndClaimed{0};

// The loser of the race for the end waits here until the winner's exit ends every
// thread.
[[noreturn]] void WaitForTheEnd() {
  for (;;) SleepMs(1000);
}

// The warning box of a report that left no result file, then the end with the
// report's value. A report that yields lets go of the end while the box waits for
// the operator: the watchdog's ERR:1 (or a close) may then end the run on time, and
// this report, once answered, waits for that end instead of making its own.
[[noreturn]] void WarnAndEnd(const char* text, int value, bool yield) {
  if (yield) ProcessEndClaimed.store(0);
  ShowWarningBox(text, "QB2LINK");
  if (yield && !ClaimProcessEnd()) WaitForTheEnd();
  ExitProcessNormally(value);
}

[[noreturn]] void Report(const char* fileName, const char* prefix, int value, bool yieldWhileWarning) {
  // The watchdog can expire while the port watcher is between its file and the
  // exit: without this, one run could leave both files and a contradictory
  // result.
  if (!ClaimProcessEnd()) WaitForTheEnd();
  char text[300];
  FileHandle file = FileCreateAlways(fileName);
  if (!file) {
    std::snprintf(text, sizeof text, "%s をオープンできません", fileName);
    WarnAndEnd(text, value, yieldWhileWarning);
  }
  char content[256];
  int length = std::snprintf(content, sizeof content, "%s:%d\n", prefix, value);
  // One write of the whole content; a short write is a failed write.
  bool written = FileWrite(file, content, length) == length;
  FileClose(file);
  if (written) ExitProcessNormally(value);
  // An empty or cut result would be read as this run's answer: it goes. Should it
  // stay, no other report may add a second file beside it, so nothing is yielded.
  bool removed = FileDelete(fileName);
  std::snprintf(text, sizeof text, "WRITE ERROR(%s)", fileName);
  WarnAndEnd(text, value, yieldWhileWarning && removed);
}
}  // namespace

bool ClaimProcessEnd() {
  int expected = 0;
  return ProcessEndClaimed.compare_exchange_strong(expected, 1);
}

// A port watcher's box must not hold the run past the watchdog's ten seconds.
void ReportOk(int port) { Report("QB2LINK.OK", "OK", port, true); }

// The watchdog's report is the run's last word: nothing ends the run in its place.
void ReportError(int code) { Report("QB2LINK.ERR", "ERR", code, false); }

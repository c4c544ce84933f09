#include "operator/progress.h"

#include <cstdio>

#include "operator/ids.h"
#include "operator/outlets.h"
#include "operator/program.h"
#include "platform/systhread.h"
#include "platform/ui.h"

namespace {
// Before this much of the job has passed, a rate would be a guess.
const uint32_t kEstimateAfterMs = 1000;
}  // namespace

void ProgressReport::Format(char* out, int size, const char* operation, const char* unit, uint32_t done,
                            uint32_t total, uint32_t elapsedMs) {
  int n = std::snprintf(out, static_cast<size_t>(size), "%s %u/%u %s", operation, static_cast<unsigned>(done),
                        static_cast<unsigned>(total), unit);
  if (n < 0 || n >= size || done == 0 || done >= total || elapsedMs < kEstimateAfterMs) return;
  // The rest at the rate so far, rounded up: "0 秒" would say it is over.
  uint64_t left = (static_cast<uint64_t>(elapsedMs) * (total - done) + static_cast<uint64_t>(done) * 1000 - 1) /
                  (static_cast<uint64_t>(done) * 1000);
  std::snprintf(out + n, static_cast<size_t>(size - n), " 残り %u 秒", static_cast<unsigned>(left));
}

ProgressReport::ProgressReport(const char* operation, const char* unit, uint32_t total)
    : operation_(operation), unit_(unit), total_(total), enabled_(IsBenchProgram()) {
  start_ = TickCountMs();
  lastShown_ = start_;
  if (enabled_) Show(start_);
}

void ProgressReport::Step(uint32_t done) {
  done_ = done;
  if (!enabled_) return;
  uint32_t now = TickCountMs();
  if (now - lastShown_ >= kProgressIntervalMs) Show(now);
}

void ProgressReport::End(const char* how) {
  if (!enabled_) return;
  UiSetProgress(IDC_PROGRESS, done_, total_);
  char line[128];
  std::snprintf(line, sizeof line, "%s %u/%u %s %s", operation_, static_cast<unsigned>(done_),
                static_cast<unsigned>(total_), unit_, how);
  SetStatusLine(line);
}

void ProgressReport::Show(uint32_t now) {
  lastShown_ = now;
  UiSetProgress(IDC_PROGRESS, done_, total_);
  char line[128];
  Format(line, sizeof line, operation_, unit_, done_, total_, now - start_);
  SetStatusLine(line);
}

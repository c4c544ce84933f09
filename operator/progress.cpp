#include "operator/progress.h"

#include <cstdio>

#include "operator/outlets.h"
#include "platform/systhread.h"

namespace {
// Before this much of the job has passed, a rate would be a guess.
const uint32_t kEstimateAfterMs = 1000;
}  // namespace

void ProgressReport::Format(char* out, int size, const char* operation, const char* unit, uint32_t done,
                            uint32_t total, uint32_t elapsedMs, uint32_t doneBefore, uint32_t after) {
  int n = std::snprintf(out, static_cast<size_t>(size), "%s %u/%u %s", operation, static_cast<unsigned>(done),
                        static_cast<unsigned>(total), unit);
  const uint64_t doneAll = static_cast<uint64_t>(doneBefore) + done;
  const uint64_t leftAll = static_cast<uint64_t>(total - (done < total ? done : total)) + after;
  if (n < 0 || n >= size || doneAll == 0 || leftAll == 0 || elapsedMs < kEstimateAfterMs) return;
  // The rest at the rate so far, rounded up: "0 秒" would say it is over.
  uint64_t left = (static_cast<uint64_t>(elapsedMs) * leftAll + doneAll * 1000 - 1) / (doneAll * 1000);
  std::snprintf(out + n, static_cast<size_t>(size - n), " 残り %u 秒", static_cast<unsigned>(left));
}

ProgressReport::ProgressReport(const char* operation, const char* unit, uint32_t total, uint32_t after,
                               const ProgressReport* earlier)
    : operation_(operation),
      unit_(unit),
      total_(total),
      before_(earlier ? earlier->before_ + earlier->done_ : 0),
      after_(after) {
  start_ = earlier ? earlier->start_ : TickCountMs();
  lastShown_ = TickCountMs();
  Show(lastShown_);
}

void ProgressReport::Step(uint32_t done) {
  done_ = done;
  if (!Outlets().progress) return;
  uint32_t now = TickCountMs();
  if (now - lastShown_ >= kProgressIntervalMs) Show(now);
}

void ProgressReport::End(const char* how) {
  void (*progress)(uint32_t, uint32_t, const char*, bool) = Outlets().progress;
  if (!progress) return;
  char line[128];
  std::snprintf(line, sizeof line, "%s %u/%u %s %s", operation_, static_cast<unsigned>(done_),
                static_cast<unsigned>(total_), unit_, how);
  progress(before_ + done_, before_ + total_ + after_, line, true);
}

void ProgressReport::Show(uint32_t now) {
  void (*progress)(uint32_t, uint32_t, const char*, bool) = Outlets().progress;
  lastShown_ = now;
  if (!progress) return;
  char line[128];
  Format(line, sizeof line, operation_, unit_, done_, total_, now - start_, before_, after_);
  progress(before_ + done_, before_ + total_ + after_, line, false);
}

// A long job's progress: the part done (the bench's bar 306, the command line's
// progress line) and a sentence with the operation, done/total in its units and,
// once it can be told, the time left ("書込み 37/256 ページ 残り 12 秒"). It goes to
// the front end's progress outlet; QB2LINK.EXE shows none of it.
#pragma once
#include <cstdint>

// One per job phase, on the job's own thread. Updates go out at most five times a
// second, so a job pays a tick count per step and nothing more.
//
// A job of two phases (a write and its read-back) gives both one bar and one time
// left: the first phase counts the units of the phase that follows it (after), and
// the second goes on from the first (earlier), so the first estimate covers the
// whole wait, not half of it.
class ProgressReport {
 public:
  // operation: "書込み", "読出し", ...; unit: "ページ", ...; shows 0/total at once.
  ProgressReport(const char* operation, const char* unit, uint32_t total, uint32_t after = 0,
                 const ProgressReport* earlier = nullptr);
  // done units so far; shown when 200 ms have passed since the last showing.
  void Step(uint32_t done);
  // How the operation ended ("完了", "異常", "中断"): the sentence says so, with the
  // count reached, and the bar stays where the job got to.
  void End(const char* how);

  // The sentence for done of total units, with the time left when units still
  // to come after this phase (after) and those done in earlier phases
  // (doneBefore) are counted in: elapsedMs is the time since the first phase began.
  static void Format(char* out, int size, const char* operation, const char* unit, uint32_t done, uint32_t total,
                     uint32_t elapsedMs, uint32_t doneBefore = 0, uint32_t after = 0);

 private:
  void Show(uint32_t now);
  const char* operation_;
  const char* unit_;
  uint32_t total_, done_ = 0, before_, after_, start_, lastShown_;
};

// The shortest time between two showings: five a second.
const uint32_t kProgressIntervalMs = 200;

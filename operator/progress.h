// A long job's progress on the bench: the bar (306) shows the part done and the
// status line the operation, done/total in its units and, once it can be told, the
// time left ("書込み 37/256 ページ 残り 12 秒"). QB2LINK.EXE shows none of it: its
// status line belongs to the port watcher, and it has no bar.
#pragma once
#include <cstdint>

// One per job, on the job's own thread (any thread; each call is a sent message to
// the dialog, carried out during a join too). Updates come at most five times a
// second, so a job pays a tick count per step and nothing more.
class ProgressReport {
 public:
  // operation: "書込み", "読出し", ...; unit: "ページ", ...; shows 0/total at once.
  ProgressReport(const char* operation, const char* unit, uint32_t total);
  // done units so far; shown when 200 ms have passed since the last showing.
  void Step(uint32_t done);
  // How the operation ended ("完了", "異常", "中断"): the status line says so,
  // with the count reached, and the bar stays where the job got to.
  void End(const char* how);

  // The status line's text for done units after elapsedMs (shown by Step).
  static void Format(char* out, int size, const char* operation, const char* unit, uint32_t done, uint32_t total,
                     uint32_t elapsedMs);

 private:
  void Show(uint32_t now);
  const char* operation_;
  const char* unit_;
  uint32_t total_, done_ = 0, start_, lastShown_;
  bool enabled_;
};

// The shortest time between two showings: five a second.
const uint32_t kProgressIntervalMs = 200;

// Which of the two programs built from these sources this process is: the line
// tool QB2LINK.EXE, which finds the unit's port, reports it and ends, or the bench
// QB2BENCH.EXE, the same dialog with every bench control in view that stays until
// it is closed. Each EXE's entry sets it before the dialog exists; the dialog's
// initialisation and the port watcher's report point read it.
#pragma once

enum ProgramKindCode {
  kLineProgram = 0,   // QB2LINK.EXE: watchdog and port watcher at start, result file, exit
  kBenchProgram = 1,  // QB2BENCH.EXE: detection only by check box 302, never reports
};

// Written once by the entry before any thread starts, only read afterwards.
extern int ProgramKind;

inline bool IsBenchProgram() { return ProgramKind == kBenchProgram; }

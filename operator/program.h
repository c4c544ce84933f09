// Which of the programs built from these sources this process is: the line tool
// QB2LINK.EXE, which finds the unit's port, reports it and ends; the bench
// QB2BENCH.EXE, the same dialog with every bench control in view that stays until
// it is closed; or QB2CLI, the console program that runs one job and ends. Each
// entry sets it before any thread starts; the dialog's initialisation, the port
// watcher's report point and the run log's program field read it.
#pragma once

enum ProgramKindCode {
  kLineProgram = 0,   // QB2LINK.EXE: watchdog and port watcher at start, result file, exit
  kBenchProgram = 1,  // QB2BENCH.EXE: detection only by check box 302, never reports
  kCliProgram = 2,    // QB2CLI: no dialog; the command line's arguments and its console
};

// The programs' version, as their captions, --version and the run log name it.
extern const char* const kProgramVersion;  // "2.1a"

// Written once by the entry before any thread starts, only read afterwards.
extern int ProgramKind;

inline bool IsBenchProgram() { return ProgramKind == kBenchProgram; }

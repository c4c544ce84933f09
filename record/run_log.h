// The run log: one CSV line for every finished production run, flash write, read
// and erase, and firmware download, appended to the file named in box 104 (taken
// from the current directory when relative), so a line knows which unit got which
// data and with what result. Nothing is logged while the box is empty.
//
// Nothing may be lost and nothing already in the file harmed: the file is opened
// for appending and shared with readers and writers (a spreadsheet may have it
// open); each line goes out in one write and is flushed; a file whose last line
// was cut (a crash, a power loss) first gets a line end. A line that cannot be
// written (the file locked, a folder of that name, a full disk) is said in the
// trace list and the status line and kept, to go ahead of the next line that can
// be written. The log never decides a run's result.
#pragma once
#include <cstdint>
#include <string>

#include "platform/systhread.h"

// One finished operation.
struct RunRecord {
  const char* operation = "";  // "production", "flash-write", "flash-read", "flash-erase", "download"
  std::string serial;          // production only: the number the run stamped
  std::string file;            // as the operation named it
  long long bytes = -1;        // the memory range it covered; -1 when not known
  bool hasCrc = false;         // crc32 is left empty without it
  uint32_t crc32 = 0;          // of what it meant to put there, or read
  std::string result;          // "OK", the token or box text the operator was shown, or "stopped"
  uint32_t ms = 0;             // how long it took
};

extern const char* const kRunLogHeader;  // "time,program,port,operation,serial,file,bytes,crc32,result,ms"

// The worker, as an operation ends (before any box it shows): appends the record,
// stamped with the local time now, to the log of box 104, with whatever lines are
// still waiting ahead of it. Reads box 104 and writes the trace and status line
// through the dialog's thread, which serves them also while it waits in a join.
void LogRun(const RunRecord& record);

// The dialog's thread, when it closes (no worker runs then): one more try for the
// lines still waiting; returns how many are still unwritten.
int FlushRunLog();
// Lines waiting to be written (any thread).
int RunLogPending();

// One CSV line (ending in CRLF) for record, ended at time by program on port.
std::string FormatRunLine(const RunRecord& record, const LocalTimeFields& time, const char* program, int port);
// A field as CSV carries it: quoted, with quotes doubled, when it holds a comma, a
// quote or a line end.
std::string CsvField(const std::string& text);
// "QB2BENCH" or "QB2LINK", by the program that runs.
const char* RunLogProgramName();

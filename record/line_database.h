// The line's database beyond what the record's seam asks of it: the commands a
// line engineer gives it (QB2CLI db init, QB2CLI sync). record/database_record.cpp.
#pragma once
#include <cstdint>
#include <string>

#include "record/line_record.h"

// What the database's tables are as this program writes them; a database of a
// later version is refused rather than written wrongly.
const int kLineSchemaVersion = 1;

// Makes the tables and views s.database lacks, leaves those it has alone, records
// the schema's version, and starts the line's serial number counter at first
// when it makes it. RECORD_OK with what was done in *report (one line a table or
// view, in program text), else RECORD_UNAVAILABLE with why (the server's words).
int InitLineDatabase(const RecordSettings& s, int32_t first, std::string* report, std::string* why);

struct SyncCounts {
  int sent = 0;     // lines the database lacked, sent now
  int present = 0;  // lines it had already
  int cut = 0;      // lines a crash or power loss cut short: no line to send
  int refused = 0;  // lines the server would not take (the first one's reason in why)
};
// Sends every line of the run log at logPath that s.database lacks. RECORD_OK with
// the counts (and, when some were refused, the first reason in *why);
// RECORD_UNAVAILABLE with why when the database cannot be used, RECORD_NOT_KEPT
// when the log cannot be read or is no run log.
int SyncRunLog(const RecordSettings& s, const std::string& logPath, SyncCounts* counts, std::string* why);

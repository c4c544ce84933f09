// The run log: one CSV line for every finished production run, flash write, read
// and erase, firmware download, and the command line's single requests, appended
// to the file the job record names (box 104, --log; relative to the current
// directory), so a line knows which unit got which data and with what result.
// Nothing is logged without a file name.
//
// Nothing may be lost and nothing already in the file harmed: the file is opened
// for appending and shared with readers and writers (a spreadsheet may have it
// open); each line goes out in one write and is flushed; a file whose last line
// was cut (a crash, a power loss) first gets a line end. A line that cannot be
// written (the file locked, a folder of that name, a full disk) is said in the
// trace list and the status line and kept, to go ahead of the next line that can
// be written. Several programs may append to one log at once (the units of a gang,
// a bench beside a script): each takes the file's lock around its look at the
// file and its lines, so the header goes in once and no line is cut by another.
// The log never decides a run's result.
//
// A line carries the station that made it and an id unique across the line (the
// station's name, the time, the process and a count), last, so that a database
// that keeps the line's record can take it twice and keep it once. A file begun
// before those columns keeps its own header: its lines get the columns its header
// names and no more (Excel imports every line alike), and their id is made from
// the line itself (RunLineId).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/systhread.h"

// One finished operation.
struct RunRecord {
  const char* operation = "";  // "production", "flash-write", "flash-read", "flash-erase", "download", ...
  std::string serial;          // production only: the number the run stamped
  bool unstamped = false;      // production: the image has no place for a number, none went in
  std::string file;            // as the operation named it
  long long bytes = -1;        // the memory range it covered; -1 when not known
  bool hasCrc = false;         // crc32 is left empty without it
  uint32_t crc32 = 0;          // of what it meant to put there, or read
  std::string result;          // "OK", the token or box text the operator was shown, or "stopped"
  uint32_t ms = 0;             // how long it took
  bool timed = false;          // time holds when it ended (else the line is stamped when logged)
  LocalTimeFields time{};
  int attempt = 1;             // how many runs of this unit's job (a retry, a number used again)
  bool hasImageCrc = false;    // production: image_crc32 is that of the image file as supplied
  uint32_t imageCrc32 = 0;
  int slot = 0;                // a gang fixture's slot the unit sat in (0: none)
};

// "time,program,port,operation,serial,file,bytes,crc32,result,ms,station,version,
// image_crc32,attempt,slot,id"
extern const char* const kRunLogHeader;
const size_t kRunLogColumns = 16;
const size_t kRunLogFirstColumns = 10;  // the header of logs begun before station and id
enum RunLogColumn { RUN_TIME = 0, RUN_SERIAL = 4, RUN_RESULT = 8, RUN_MS = 9, RUN_STATION = 10, RUN_ID = 15 };

// One line's fields (unquoted), as many as its file's header names.
typedef std::vector<std::string> RunLine;

// The worker, as an operation ends (before any box it shows): appends the record,
// stamped with its time (or the local time now), to the log at path ("": none), with whatever
// lines are still waiting ahead of it; port as the line names it ("COM7"), station
// as it names the station. A line leaves the queue once it has been written whole;
// a line that cannot be written, or whose write cannot be made durable, is said
// through the trace and the status line (the outlets), never written twice. The
// lines written whole by this call, waiting ones included, are added to *written
// (if given), as the file holds them.
void LogRun(const RunRecord& record, const std::string& path, const std::string& port,
            const std::string& station = std::string(), std::vector<RunLine>* written = nullptr);

// The front end's thread, when it closes (no worker runs then): one more try for
// the lines still waiting, to path; returns how many are still unwritten.
int FlushRunLog(const std::string& path);
// Lines waiting to be written (any thread).
int RunLogPending();

// Whether the log at path holds a line of this program for port, operation and
// serial ("": any) stamped at or after since: a line a process wrote before it
// was killed, which must not be written a second time. Its result in *result.
// Looks at the last 1 MiB of the file. Any thread.
bool RunLogHasLine(const std::string& path, const std::string& port, const std::string& operation,
                   const std::string& serial, const LocalTimeFields& since, std::string* result);

// Every field of record's line, ended at time by program on port, at station,
// with id.
RunLine RunLineFields(const RunRecord& record, const LocalTimeFields& time, const char* program,
                      const std::string& port, const std::string& station, const std::string& id);
// One CSV line (ending in CRLF) for record, every column.
std::string FormatRunLine(const RunRecord& record, const LocalTimeFields& time, const char* program,
                          const std::string& port, const std::string& station = std::string(),
                          const std::string& id = std::string());
// The first count fields of line as one CSV line, ending in CRLF.
std::string RunLineText(const RunLine& line, size_t count);
// The fields of one CSV line as the log writes it (quoted ones unquoted; the line
// end, if any, left out).
RunLine RunLineFieldsOf(const std::string& text);
// A new id for a line of station stamped at time: never given twice by the
// stations of a line whose names differ.
std::string NewRunId(const std::string& station, const LocalTimeFields& time);
// The id of a line as a file holds it: its own, or, for a line of a log begun
// before ids (station is then the log's own station), one made from its fields,
// the same every time it is read.
std::string RunLineId(const RunLine& line, const std::string& station);
// A time as the log, the JSON line and a match against a line give it:
// "YYYY-MM-DD hh:mm:ss.mmm".
std::string RunTimeText(const LocalTimeFields& time);
// A CRC-32 as the log, the JSON line and the person's line give it: eight upper-case
// hex digits.
std::string CrcText(uint32_t crc32);
// A field as CSV carries it: quoted, with quotes doubled, when it holds a comma, a
// quote or a line end.
std::string CsvField(const std::string& text);
// "QB2BENCH", "QB2LINK" or "QB2CLI", by the program that runs.
const char* RunLogProgramName();

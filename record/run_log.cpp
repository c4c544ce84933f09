#include "record/run_log.h"

#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>
#include <vector>

#include "operator/outlets.h"
#include "operator/program.h"
#include "platform/file.h"
#include "platform/process.h"
#include "util/crc32.h"

const char* const kRunLogHeader =
    "time,program,port,operation,serial,file,bytes,crc32,result,ms,station,version,image_crc32,attempt,slot,id";

namespace {
// Lines waiting to be written, oldest first. Shared by the worker that logs and by
// the dialog's close; the lock is never held across a call into the dialog, which
// may be waiting for that very worker.
struct Pending {
  std::mutex lock;
  std::deque<RunLine> lines;  // every column: the file's header decides how many go out
};
Pending& Waiting() {
  static Pending* pending = new Pending;  // never destroyed: a report may exit() meanwhile
  return *pending;
}
// One writer at a time, so that two never interleave their lines.
std::mutex& WriteLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

enum WriteOutcome { WROTE_ALL, CANNOT_OPEN, CANNOT_WRITE, NOT_DURABLE };

const unsigned kOtherWriterWaitMs = 2000;

// How many columns the lines of a file whose first line is first get: a header
// that names the first columns of today's gets those (a log begun before the
// station and id columns keeps its form); a new file, or one whose first line is
// no header of ours, every column.
size_t ColumnsOf(const std::string& first) {
  RunLine names = RunLineFieldsOf(first), ours = RunLineFieldsOf(kRunLogHeader);
  if (names.size() < kRunLogFirstColumns || names.size() > ours.size()) return ours.size();
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] != ours[i]) return ours.size();
  return names.size();
}

// Writes the waiting lines to path, oldest first, each in one call and flushed.
// A line leaves the queue as soon as it is all in the file: a flush that fails
// after that is said, but the line is not written again (it would stand twice).
// The lines written go to *written as the file holds them.
WriteOutcome WriteWaiting(const std::string& path, std::vector<RunLine>* written) {
  std::lock_guard<std::mutex> writer(WriteLock());
  FileHandle file = FileOpenForAppend(path.c_str());
  if (!file) return CANNOT_OPEN;
  // Another writer's header and lines go first; a writer that keeps the lock this
  // long is gone or stuck, and the lines are then written all the same (the
  // append keeps them whole, at worst a second header).
  const bool locked = FileLockWhole(file, kOtherWriterWaitMs);
  std::string lead;
  size_t columns = kRunLogColumns;
  long long size = FileSizeOfOpen(file);
  if (size == 0) {
    lead = std::string(kRunLogHeader) + "\r\n";
  } else if (size > 0) {
    unsigned char last = 0;
    // A last line without its end (cut by a crash or a power loss) is ended first,
    // so the next line is not glued onto it.
    if (FileReadAt(file, size - 1, &last, 1) == 1 && last != '\n') lead = "\r\n";
    char head[512];
    int got = FileReadAt(file, 0, head, static_cast<int>(sizeof head));
    std::string first(head, static_cast<size_t>(got > 0 ? got : 0));
    columns = ColumnsOf(first.substr(0, first.find('\n')));
  }
  WriteOutcome outcome = WROTE_ALL;
  for (;;) {
    RunLine line;
    {
      std::lock_guard<std::mutex> hold(Waiting().lock);
      if (Waiting().lines.empty()) break;
      line = Waiting().lines.front();
    }
    std::string out = lead + RunLineText(line, columns);
    if (FileWrite(file, out.data(), static_cast<int>(out.size())) != static_cast<int>(out.size())) {
      outcome = CANNOT_WRITE;  // a cut line stays cut; the next try ends it first
      break;
    }
    lead.clear();
    {
      std::lock_guard<std::mutex> hold(Waiting().lock);
      Waiting().lines.pop_front();
    }
    if (written) {
      line.resize(columns);
      written->push_back(line);
    }
    if (!FileFlush(file)) outcome = NOT_DURABLE;
  }
  if (locked) FileUnlockWhole(file);
  FileClose(file);
  return outcome;
}

void Say(WriteOutcome outcome, const std::string& path) {
  if (outcome == WROTE_ALL) return;
  char line[600];
  if (outcome == NOT_DURABLE)
    std::snprintf(line, sizeof line, "ログファイルへの書込みを確定できません: %s", path.c_str());
  else
    std::snprintf(line, sizeof line, "ログファイルに書けません: %s (未記録 %d 行)", path.c_str(), RunLogPending());
  AppendTrace(line);
  SetStatusLine(line);
}
}  // namespace

const char* RunLogProgramName() {
  return ProgramKind == kBenchProgram ? "QB2BENCH" : ProgramKind == kCliProgram ? "QB2CLI" : "QB2LINK";
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string RunTimeText(const LocalTimeFields& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day, t.hour, t.minute,
                t.second, t.millisecond);
  return text;
}

std::string CrcText(uint32_t crc32) {
  char text[12];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(crc32));
  return text;
}

RunLine RunLineFields(const RunRecord& r, const LocalTimeFields& t, const char* program, const std::string& port,
                      const std::string& station, const std::string& id) {
  char number[24];
  RunLine f = {RunTimeText(t), program, port, r.operation, r.serial, r.file};
  if (r.bytes >= 0) std::snprintf(number, sizeof number, "%lld", r.bytes);
  else number[0] = '\0';
  f.push_back(number);
  f.push_back(r.hasCrc ? CrcText(r.crc32) : std::string());
  f.push_back(r.result);
  f.push_back(std::to_string(r.ms));
  f.push_back(station);
  f.push_back(kProgramVersion);
  f.push_back(r.hasImageCrc ? CrcText(r.imageCrc32) : std::string());
  f.push_back(std::to_string(r.attempt));
  f.push_back(r.slot > 0 ? std::to_string(r.slot) : std::string());
  f.push_back(id);
  return f;
}

std::string RunLineText(const RunLine& line, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += (i ? "," : "") + (i < line.size() ? CsvField(line[i]) : std::string());
  return out + "\r\n";
}

std::string FormatRunLine(const RunRecord& r, const LocalTimeFields& t, const char* program, const std::string& port,
                          const std::string& station, const std::string& id) {
  return RunLineText(RunLineFields(r, t, program, port, station, id), kRunLogColumns);
}

std::string NewRunId(const std::string& station, const LocalTimeFields& t) {
  // A count of the process's own: its lines within one millisecond differ too.
  static std::atomic<unsigned> count{0};
  char text[80];
  std::snprintf(text, sizeof text, "-%04d%02d%02d%02d%02d%02d%03d-%d-%u", t.year, t.month, t.day, t.hour, t.minute,
                t.second, t.millisecond, OwnProcessId(), ++count);
  return station + text;
}

std::string RunLineId(const RunLine& line, const std::string& station) {
  if (line.size() > RUN_ID && !line[RUN_ID].empty()) return line[RUN_ID];
  // A line of an older log names neither station nor id: its time and its
  // fields' CRC-32 tell it from every other line of the station.
  const std::string text = RunLineText(line, line.size() < kRunLogFirstColumns ? line.size() : kRunLogFirstColumns);
  std::string digits;
  for (char c : line.empty() ? std::string() : line[RUN_TIME])
    if (c >= '0' && c <= '9') digits += c;
  return station + "-" + digits + "-" + CrcText(Crc32(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
}

void LogRun(const RunRecord& record, const std::string& path, const std::string& port, const std::string& station,
            std::vector<RunLine>* written) {
  if (path.empty()) return;  // no log asked for; lines still waiting wait on
  LocalTimeFields now = record.time;
  if (!record.timed) ReadLocalTime(&now);
  {
    std::lock_guard<std::mutex> hold(Waiting().lock);
    Waiting().lines.push_back(RunLineFields(record, now, RunLogProgramName(), port, station, NewRunId(station, now)));
  }
  Say(WriteWaiting(path, written), path);
}

RunLine RunLineFieldsOf(const std::string& line) {
  RunLine fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') fields.back() += line[++i];
      else if (c == '"') quoted = false;
      else fields.back() += c;
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else if (c != '\r' && c != '\n') {
      fields.back() += c;
    }
  }
  return fields;
}

bool RunLogHasLine(const std::string& path, const std::string& port, const std::string& operation,
                   const std::string& serial, const LocalTimeFields& since, std::string* result) {
  const long long kTail = 1 << 20;
  FileHandle file = FileOpenReadShared(path.c_str());
  if (!file) return false;
  long long size = FileSizeOfOpen(file);
  long long from = size > kTail ? size - kTail : 0;
  std::string text(static_cast<size_t>(size > from ? size - from : 0), '\0');
  int got = text.empty() ? 0 : FileReadAt(file, from, &text[0], static_cast<int>(text.size()));
  FileClose(file);
  if (got <= 0) return false;
  text.resize(static_cast<size_t>(got));
  const std::string stamp = RunTimeText(since);
  bool found = false;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    RunLine f = RunLineFieldsOf(text.substr(at, end - at));
    at = end + 1;
    if (f.size() >= 9 && f[0] >= stamp && f[1] == RunLogProgramName() && f[2] == port && f[3] == operation &&
        (serial.empty() || f[4] == serial)) {
      *result = f[8];  // the last such line: a process writes one
      found = true;
    }
  }
  return found;
}

int FlushRunLog(const std::string& path) {
  if (RunLogPending() == 0) return 0;
  if (!path.empty()) WriteWaiting(path, nullptr);
  return RunLogPending();
}

int RunLogPending() {
  std::lock_guard<std::mutex> hold(Waiting().lock);
  return static_cast<int>(Waiting().lines.size());
}

#include "record/run_log.h"

#include <cstdio>
#include <deque>
#include <mutex>
#include <vector>

#include "operator/outlets.h"
#include "operator/program.h"
#include "platform/file.h"

const char* const kRunLogHeader = "time,program,port,operation,serial,file,bytes,crc32,result,ms";

namespace {
// Lines waiting to be written, oldest first. Shared by the worker that logs and by
// the dialog's close; the lock is never held across a call into the dialog, which
// may be waiting for that very worker.
struct Pending {
  std::mutex lock;
  std::deque<std::string> lines;
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

// Writes the waiting lines to path, oldest first, each in one call and flushed.
// A line leaves the queue as soon as it is all in the file: a flush that fails
// after that is said, but the line is not written again (it would stand twice).
WriteOutcome WriteWaiting(const std::string& path) {
  std::lock_guard<std::mutex> writer(WriteLock());
  FileHandle file = FileOpenForAppend(path.c_str());
  if (!file) return CANNOT_OPEN;
  // Another writer's header and lines go first; a writer that keeps the lock this
  // long is gone or stuck, and the lines are then written all the same (the
  // append keeps them whole, at worst a second header).
  const bool locked = FileLockWhole(file, kOtherWriterWaitMs);
  std::string lead;
  long long size = FileSizeOfOpen(file);
  if (size == 0) {
    lead = std::string(kRunLogHeader) + "\r\n";
  } else if (size > 0) {
    unsigned char last = 0;
    // A last line without its end (cut by a crash or a power loss) is ended first,
    // so the next line is not glued onto it.
    if (FileReadAt(file, size - 1, &last, 1) == 1 && last != '\n') lead = "\r\n";
  }
  WriteOutcome outcome = WROTE_ALL;
  for (;;) {
    std::string line;
    {
      std::lock_guard<std::mutex> hold(Waiting().lock);
      if (Waiting().lines.empty()) break;
      line = Waiting().lines.front();
    }
    std::string out = lead + line;
    if (FileWrite(file, out.data(), static_cast<int>(out.size())) != static_cast<int>(out.size())) {
      outcome = CANNOT_WRITE;  // a cut line stays cut; the next try ends it first
      break;
    }
    lead.clear();
    {
      std::lock_guard<std::mutex> hold(Waiting().lock);
      Waiting().lines.pop_front();
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

std::string FormatRunLine(const RunRecord& r, const LocalTimeFields& t, const char* program,
                          const std::string& port) {
  char bytes[24], ms[16];
  const std::string time = RunTimeText(t);
  if (r.bytes >= 0) std::snprintf(bytes, sizeof bytes, "%lld", r.bytes);
  else bytes[0] = '\0';
  const std::string crc = r.hasCrc ? CrcText(r.crc32) : std::string();
  std::snprintf(ms, sizeof ms, "%u", static_cast<unsigned>(r.ms));
  return time + "," + CsvField(program) + "," + CsvField(port) + "," + CsvField(r.operation) + "," +
         CsvField(r.serial) + "," + CsvField(r.file) + "," + bytes + "," + crc + "," + CsvField(r.result) + "," + ms +
         "\r\n";
}

void LogRun(const RunRecord& record, const std::string& path, const std::string& port) {
  if (path.empty()) return;  // no log asked for; lines still waiting wait on
  LocalTimeFields now = record.time;
  if (!record.timed) ReadLocalTime(&now);
  {
    std::lock_guard<std::mutex> hold(Waiting().lock);
    Waiting().lines.push_back(FormatRunLine(record, now, RunLogProgramName(), port));
  }
  Say(WriteWaiting(path), path);
}

namespace {
// The fields of one CSV line as FormatRunLine writes them (quoted ones unquoted).
std::vector<std::string> CsvFields(const std::string& line) {
  std::vector<std::string> fields(1);
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
    } else if (c != '\r') {
      fields.back() += c;
    }
  }
  return fields;
}
}  // namespace

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
    std::vector<std::string> f = CsvFields(text.substr(at, end - at));
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
  if (!path.empty()) WriteWaiting(path);
  return RunLogPending();
}

int RunLogPending() {
  std::lock_guard<std::mutex> hold(Waiting().lock);
  return static_cast<int>(Waiting().lines.size());
}

// The line's record in a database the stations share (PostgreSQL through ODBC).
//
// Serial numbers: the line's one counter hands out leases, a block of LeaseSize
// numbers in one UPDATE ... RETURNING, each number entered in a table whose
// primary key it is (a counter set back by hand is refused, never believed). A
// station keeps its lease in QB2BENCH.INI (LeaseNext, LeaseEnd) under the counter
// lock it already has, and its gangs and its bench draw from it; the database is
// asked only when the lease is used up, so a server that is away costs nothing
// until then.
//
// Runs: every line the CSV gets goes to the table runs too, after it is in the
// CSV, under an id the station made (ON CONFLICT DO NOTHING: a line sent twice is
// kept once). A line that cannot go now waits in this process and goes ahead of
// the next; one whose process ended first waits in the CSV for QB2CLI sync.
//
// Nothing here waits long: 3 s for a login or a statement (platform/database.h),
// and after the server could not be reached the process leaves it alone for a
// while instead of waiting again at every step.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <set>

#include "operator/outlets.h"
#include "platform/database.h"
#include "platform/systhread.h"
#include "platform/text.h"
#include "record/line_database.h"
#include "record/serial_counter.h"
#include "record/settings.h"
#include "util/utf8.h"

namespace {

const unsigned kTimeoutMs = 3000;
// After the server could not be reached: how long this process goes on without it.
const uint32_t kAwayMs = 10000;
const char kCounterName[] = "line";
// A statement that fails this fast met a connection the server reset (it was
// restarted): a new connection is tried at once, rather than the server taken as away.
const uint32_t kResetMs = 1000;
// Lines a statement of QB2CLI sync sends at once.
const size_t kSyncBatch = 100;

// The program's texts are Shift-JIS, or UTF-8 where it was built so (the Linux program).
const bool kTextsInUtf8 = sizeof("表") == 4;

// Program text (or a file name) as UTF-8 for the database; bytes in no known form
// as U+FFFD each, never dropped.
std::string Utf8Of(const std::string& text) {
  std::string out;
  if (!kTextsInUtf8 && Cp932ToUtf8(text, &out)) return out;
  if (IsUtf8(text)) return text;
  out.clear();
  for (unsigned char c : text) out += c < 0x80 ? std::string(1, static_cast<char>(c)) : std::string("\xEF\xBF\xBD");
  return out;
}
// The server's words as program text.
std::string TextOf(const std::string& utf8) {
  std::string out;
  if (kTextsInUtf8) return utf8;
  if (Utf8ToCp932(utf8, &out)) return out;
  out.clear();
  for (unsigned char c : utf8)
    if (c < 0x80) out += static_cast<char>(c);
    else if ((c & 0xC0) != 0x80) out += '?';
  return out;
}

// This process's connection and the lines it has yet to send, shared by the
// threads that claim (the front end's) and log (the worker's) under its lock.
struct Line {
  std::mutex lock;
  DbConnection db = nullptr;
  const RecordSettings* openedBy = nullptr;  // the settings db was opened with (none: db init's)
  bool away = false;     // the server could not be reached at awaySince
  uint32_t awaySince = 0;
  std::string awayWhy;
  std::deque<std::vector<DbParam>> unsent;
};
Line& TheLine() {
  static Line* line = new Line;  // never destroyed: a worker may log while the process exits
  return *line;
}

void Drop(Line& l, const std::string& why) {
  DbClose(l.db);
  l.db = nullptr;
  l.openedBy = nullptr;
  l.away = true;
  l.awaySince = TickCountMs();
  l.awayWhy = why;
}

// With the lock held: a connection whose tables are this program's. DB_OK,
// DB_UNREACHABLE (also while the server is taken to be away), or DB_REFUSED, with
// the server's words in *why.
int Open(Line& l, const RecordSettings& s, std::string* why) {
  if (l.db) return DB_OK;
  if (l.away && TickCountMs() - l.awaySince < kAwayMs) {
    *why = l.awayWhy;
    return DB_UNREACHABLE;
  }
  std::string error;
  DbConnection db = nullptr;
  int result = DbConnect(Utf8Of(s.database), kTimeoutMs, &db, &error);
  DbRows rows;
  if (result == DB_OK) {
    result = DbExecute(db, "SELECT max(version) FROM qb2_schema", {}, &rows, &error);
    if (result == DB_REFUSED) error = "no tables of QB2 in the database (QB2CLI db init makes them): " + error;
  }
  if (result == DB_OK && !rows.rows.empty() && std::atoi(rows.rows[0][0].c_str()) > kLineSchemaVersion) {
    result = DB_REFUSED;
    error = "the database's tables are of schema " + rows.rows[0][0] + ", newer than this program's";
  }
  if (result == DB_OK) {
    l.db = db;
    l.openedBy = &s;
    l.away = false;
    return DB_OK;
  }
  DbClose(db);
  *why = "the line's database: " + TextOf(error);
  if (result == DB_UNREACHABLE) {
    l.away = true;
    l.awaySince = TickCountMs();
    l.awayWhy = *why;
  }
  return result;
}

// One statement on the open connection; a connection lost is dropped.
int Run(Line& l, const std::string& sql, const std::vector<DbParam>& params, DbRows* rows, std::string* why) {
  std::string error;
  const uint32_t from = TickCountMs();
  int result = DbExecute(l.db, sql, params, rows, &error);
  if (result == DB_UNREACHABLE && TickCountMs() - from < kResetMs && l.openedBy) {
    const RecordSettings& s = *l.openedBy;
    DbClose(l.db);
    l.db = nullptr;
    l.away = false;
    if (Open(l, s, why) != DB_OK) return DB_UNREACHABLE;
    result = DbExecute(l.db, sql, params, rows, &error);
  }
  if (result == DB_OK) return DB_OK;
  *why = "the line's database: " + TextOf(error);
  if (result == DB_UNREACHABLE) Drop(l, *why);
  return result;
}

// --- serial numbers -----------------------------------------------------------

struct Lease {
  long long next = 0, end = 0;  // next .. end - 1 are the station's
};

Lease LeaseOf(const RecordSettings& s) {
  SettingsText read;
  Lease lease;
  if (ReadSettingsFileAsIs(s.iniPath.c_str(), &read) != SETTINGS_READ) return lease;
  const SettingsValues& v = read.values;
  if (!v.given[SET_LEASE_NEXT] || !v.given[SET_LEASE_END]) return lease;
  lease.next = std::atoll(v.value[SET_LEASE_NEXT].c_str());
  lease.end = std::atoll(v.value[SET_LEASE_END].c_str());
  if (lease.end < lease.next) lease = Lease();  // not a lease: none left in it
  return lease;
}

// With the lock held and the connection open: a new lease of size numbers (fewer
// when the line's counter nears its end, but at least least), entered in serials
// for station. RECORD_OK, RECORD_NONE_LEFT, or RECORD_UNAVAILABLE, with why.
int TakeLease(Line& l, const RecordSettings& s, long long size, long long least, Lease* lease, std::string* why) {
  // One statement: the counter moves on and every number of the block is entered
  // as handed out, or neither (a number entered before fails the whole statement).
  static const char kLease[] =
      "WITH lease AS (UPDATE serial_counter SET next_serial = next_serial + CAST(? AS bigint) "
      "WHERE name = ? AND next_serial + CAST(? AS bigint) <= 100000000 "
      "RETURNING next_serial - CAST(? AS bigint) AS first_serial, next_serial AS end_serial), "
      "handed AS (INSERT INTO serials (serial, station) SELECT g, CAST(? AS text) FROM lease, "
      "generate_series(lease.first_serial, lease.end_serial - 1) AS g RETURNING serial) "
      "SELECT first_serial, end_serial, (SELECT count(*) FROM handed) FROM lease";
  for (int tries = 0; tries < 3; ++tries) {
    const std::string n = std::to_string(size);
    DbRows rows;
    int result = Run(l, kLease, {n, std::string(kCounterName), n, n, Utf8Of(s.station)}, &rows, why);
    if (result != DB_OK) return RECORD_UNAVAILABLE;
    if (!rows.rows.empty()) {
      lease->next = std::atoll(rows.rows[0][0].c_str());
      lease->end = std::atoll(rows.rows[0][1].c_str());
      return RECORD_OK;
    }
    // Fewer than size left: the rest, if that is enough.
    result = Run(l, "SELECT 100000000 - next_serial FROM serial_counter WHERE name = ?", {std::string(kCounterName)},
                 &rows, why);
    if (result != DB_OK) return RECORD_UNAVAILABLE;
    long long left = rows.rows.empty() ? 0 : std::atoll(rows.rows[0][0].c_str());
    if (rows.rows.empty() || left < least) {
      *why = rows.rows.empty() ? "the line's database has no serial number counter (QB2CLI db init makes it)"
                               : "no serial number left: the line's counter hands out none past 99999999";
      return rows.rows.empty() ? RECORD_UNAVAILABLE : RECORD_NONE_LEFT;
    }
    size = left;
  }
  *why = "the line's serial number counter moved on three times under this claim";
  return RECORD_UNAVAILABLE;
}

int DatabaseCheck(const RecordSettings& s, std::string* why) {
  Line& l = TheLine();
  std::lock_guard<std::mutex> hold(l.lock);
  why->clear();
  int opened = Open(l, s, why);
  if (opened == DB_REFUSED) return RECORD_UNAVAILABLE;
  if (opened == DB_UNREACHABLE)
    *why += " (numbers come from the station's lease; lines wait in the run log for QB2CLI sync)";
  return RECORD_OK;
}

int DatabasePeek(const RecordSettings& s, int32_t* next, std::string* why) {
  Lease lease = LeaseOf(s);
  if (lease.next >= lease.end) {
    *why = "the station's lease is used up: the next claim takes a new one from the line's database";
    return RECORD_UNAVAILABLE;
  }
  *next = static_cast<int32_t>(lease.next);
  return RECORD_OK;
}

int DatabaseClaim(const RecordSettings& s, int count, std::vector<int32_t>* numbers, std::string* why) {
  FileHandle held = nullptr;
  int result = HoldRecordCounter(s, &held, why);
  if (result != RECORD_OK) return result;
  Lease lease = LeaseOf(s), next = lease;
  std::vector<int32_t> taken;
  for (long long n = lease.next; n < lease.end && static_cast<int>(taken.size()) < count; ++n)
    taken.push_back(static_cast<int32_t>(n));
  next.next += static_cast<long long>(taken.size());
  SettingsValues changes;
  changes.given[SET_LEASE_NEXT] = true;
  if (static_cast<int>(taken.size()) < count) {
    // Used up: the rest from a new lease, taken while the counter lock is held, so
    // that the station's other programs wait for it rather than take one each.
    const long long need = count - static_cast<long long>(taken.size());
    Line& l = TheLine();
    std::lock_guard<std::mutex> hold(l.lock);
    if (Open(l, s, why) != DB_OK) {
      *why = "no serial number: the station's lease holds " + std::to_string(taken.size()) + " of the " +
             std::to_string(count) + " asked for, and " + *why;
      ReleaseSerialCounter(held);
      return RECORD_UNAVAILABLE;
    }
    result = TakeLease(l, s, std::max<long long>(s.leaseSize, need), need, &next, why);
    if (result != RECORD_OK) {
      ReleaseSerialCounter(held);
      return result;
    }
    for (long long n = next.next; n < next.next + need; ++n) taken.push_back(static_cast<int32_t>(n));
    next.next += need;
    changes.given[SET_LEASE_END] = true;
    changes.value[SET_LEASE_END] = SerialText(static_cast<int32_t>(next.end));
  }
  changes.value[SET_LEASE_NEXT] = SerialText(static_cast<int32_t>(next.next));
  // A lease taken and not kept is lost (a gap), never handed out twice.
  const bool kept = WriteSettingsFile(s.iniPath.c_str(), changes);
  ReleaseSerialCounter(held);
  if (!kept) {
    *why = s.iniPath + " cannot be written: the station's lease would not be kept";
    return RECORD_NOT_KEPT;
  }
  numbers->swap(taken);
  return RECORD_OK;
}

int DatabaseSetNext(const RecordSettings&, int32_t, std::string* why) {
  *why = "the serial numbers are the line's: its database hands them out, a station cannot set them";
  return RECORD_UNAVAILABLE;
}

// --- runs -----------------------------------------------------------------------

const char kInsertColumns[] =
    "INSERT INTO runs (id, run_time, program, port, operation, serial, file, bytes, crc32, result, ms, station, "
    "version, image_crc32, attempt, slot) VALUES ";
const char kInsertValues[] =
    "(?, CAST(? AS timestamp), ?, ?, ?, ?, ?, CAST(? AS bigint), ?, ?, CAST(? AS bigint), ?, ?, ?, "
    "CAST(? AS integer), CAST(? AS integer))";
const char kInsertEnd[] = " ON CONFLICT (id) DO NOTHING";

// A line of the log as the parameters of its row: a field the line lacks (an older
// log's) or leaves empty is NULL; station is the log's own where the line names none.
std::vector<DbParam> RowOf(const RunLine& line, const std::string& station) {
  std::vector<DbParam> row;
  row.push_back(Utf8Of(RunLineId(line, station)));
  for (size_t i = 0; i + 1 < kRunLogColumns; ++i) {
    std::string field = i < line.size() ? line[i] : std::string();
    if (i == RUN_STATION && field.empty()) field = station;
    // time, program, port, operation, result and station are never NULL.
    const bool text = i <= 3 || i == RUN_RESULT || i == RUN_STATION;
    row.push_back(field.empty() && !text ? DbParam::Null() : DbParam(Utf8Of(field)));
  }
  return row;
}

std::string InsertOf(size_t rows) {
  std::string sql = kInsertColumns;
  for (size_t i = 0; i < rows; ++i) sql += (i ? "," : "") + std::string(kInsertValues);
  return sql + kInsertEnd;
}

// With the lock held: the waiting lines, oldest first, until one cannot go. A line
// the server refuses (a field it cannot take) is said and left to the CSV.
void SendWaiting(Line& l, const RecordSettings& s) {
  std::string why;
  if (l.unsent.empty()) return;
  if (Open(l, s, &why) == DB_OK) {
    while (!l.unsent.empty()) {
      int result = Run(l, InsertOf(1), l.unsent.front(), nullptr, &why);
      if (result == DB_UNREACHABLE) break;
      if (result == DB_REFUSED) AppendTrace(("データベースが記録を受け付けません: " + why).c_str());
      l.unsent.pop_front();
    }
  }
  if (l.unsent.empty()) return;
  char line[96];
  std::snprintf(line, sizeof line, " (未送信 %d 行: QB2CLI sync で送れます)", static_cast<int>(l.unsent.size()));
  const std::string said = "データベースに送れません: " + why + line;
  AppendTrace(said.c_str());
  SetStatusLine(said.c_str());
}

void DatabaseLog(const RecordSettings& s, const RunRecord& record, const std::string& logPath,
                 const std::string& port) {
  std::vector<RunLine> written;
  if (!logPath.empty()) {
    LogRun(record, logPath, port, s.station, &written);
  } else {
    // No log to keep it in: straight to the database, or lost with the process.
    LocalTimeFields now = record.time;
    if (!record.timed) ReadLocalTime(&now);
    written.push_back(RunLineFields(record, now, RunLogProgramName(), port, s.station, NewRunId(s.station, now)));
  }
  Line& l = TheLine();
  std::lock_guard<std::mutex> hold(l.lock);
  for (const RunLine& line : written) l.unsent.push_back(RowOf(line, s.station));
  SendWaiting(l, s);
}

// --- QB2CLI sync ------------------------------------------------------------------

// The lines of a CSV text: line ends inside quotes belong to their field.
std::vector<std::string> CsvLines(const std::string& text) {
  std::vector<std::string> lines(1);
  bool quoted = false;
  for (char c : text) {
    if (c == '"') quoted = !quoted;
    if (c == '\n' && !quoted) {
      lines.emplace_back();
      continue;
    }
    lines.back() += c;
  }
  if (lines.back().empty()) lines.pop_back();
  return lines;
}

bool ReadLog(const std::string& path, std::string* text) {
  FileHandle file = FileOpenReadShared(path.c_str());
  if (!file) return false;
  long long size = FileSizeOfOpen(file);
  bool ok = size >= 0 && size < (1LL << 31);
  if (ok) {
    text->assign(static_cast<size_t>(size), '\0');
    ok = size == 0 || FileReadAt(file, 0, &(*text)[0], static_cast<int>(size)) == static_cast<int>(size);
  }
  FileClose(file);
  return ok;
}

}  // namespace

const LineRecordForm kDatabaseRecord = {"database", DatabaseCheck, DatabasePeek, DatabaseClaim, DatabaseSetNext,
                                        DatabaseLog};

int SyncRunLog(const RecordSettings& s, const std::string& logPath, SyncCounts* counts, std::string* why) {
  *counts = SyncCounts();
  std::string text;
  if (!ReadLog(logPath, &text)) {
    *why = "run log cannot be read: " + logPath;
    return RECORD_NOT_KEPT;
  }
  std::vector<std::string> lines = CsvLines(text);
  if (lines.empty()) return RECORD_OK;
  const RunLine header = RunLineFieldsOf(lines[0]), ours = RunLineFieldsOf(kRunLogHeader);
  if (header.size() < kRunLogFirstColumns || !std::equal(header.begin(), header.begin() + kRunLogFirstColumns, ours.begin())) {
    *why = logPath + " is not a run log of these programs (its first line is not their header)";
    return RECORD_NOT_KEPT;
  }
  // Each line whose id the database lacks, with its row; a cut line (a crash) is
  // no line.
  std::vector<std::vector<DbParam>> rows;
  std::set<std::string> stations;
  for (size_t i = 1; i < lines.size(); ++i) {
    RunLine line = RunLineFieldsOf(lines[i]);
    if (line.size() != header.size()) {
      ++counts->cut;
      continue;
    }
    rows.push_back(RowOf(line, s.station));
    stations.insert(rows.back()[1 + RUN_STATION].text);
  }
  Line& l = TheLine();
  std::lock_guard<std::mutex> hold(l.lock);
  if (Open(l, s, why) != DB_OK) return RECORD_UNAVAILABLE;
  std::set<std::string> there;
  for (const std::string& station : stations) {
    DbRows ids;
    if (Run(l, "SELECT id FROM runs WHERE station = ?", {station}, &ids, why) != DB_OK) return RECORD_UNAVAILABLE;
    for (const auto& id : ids.rows) there.insert(id[0]);
  }
  std::vector<std::vector<DbParam>> missing;
  for (auto& row : rows) {
    if (there.count(row[0].text)) ++counts->present;
    else missing.push_back(row);
  }
  std::string refused;
  for (size_t at = 0; at < missing.size(); at += kSyncBatch) {
    const size_t n = std::min(kSyncBatch, missing.size() - at);
    std::vector<DbParam> params;
    for (size_t i = at; i < at + n; ++i) params.insert(params.end(), missing[i].begin(), missing[i].end());
    DbRows done;
    int result = Run(l, InsertOf(n), params, &done, why);
    if (result == DB_UNREACHABLE) return RECORD_UNAVAILABLE;
    if (result == DB_OK) {
      counts->sent += static_cast<int>(done.changed > 0 ? done.changed : 0);
      counts->present += static_cast<int>(n) - static_cast<int>(done.changed > 0 ? done.changed : 0);
      continue;
    }
    // A field the server cannot take fails its whole statement: line by line, to
    // send the others.
    for (size_t i = at; i < at + n; ++i) {
      result = Run(l, InsertOf(1), missing[i], &done, why);
      if (result == DB_UNREACHABLE) return RECORD_UNAVAILABLE;
      if (result == DB_OK) (done.changed > 0 ? counts->sent : counts->present) += 1;
      else if (++counts->refused == 1) refused = *why;
    }
  }
  why->clear();
  if (!refused.empty()) *why = refused;
  return RECORD_OK;
}

int InitLineDatabase(const RecordSettings& s, int32_t first, std::string* report, std::string* why) {
  static const struct {
    const char* name;
    const char* sql;
  } kObjects[] = {
      {"qb2_schema", "CREATE TABLE qb2_schema (version integer PRIMARY KEY, made timestamptz NOT NULL DEFAULT now())"},
      {"serial_counter",
       "CREATE TABLE serial_counter (name text PRIMARY KEY, "
       "next_serial bigint NOT NULL CHECK (next_serial BETWEEN 0 AND 100000000))"},
      {"serials",
       "CREATE TABLE serials (serial bigint PRIMARY KEY CHECK (serial BETWEEN 0 AND 99999999), "
       "station text NOT NULL, handed_out timestamptz NOT NULL DEFAULT now())"},
      {"runs",
       "CREATE TABLE runs (id text PRIMARY KEY, run_time timestamp NOT NULL, program text NOT NULL, "
       "port text NOT NULL, operation text NOT NULL, serial text, file text, bytes bigint, crc32 text, "
       "result text NOT NULL, ms bigint, station text NOT NULL, version text, image_crc32 text, attempt integer, "
       "slot integer, received timestamptz NOT NULL DEFAULT now())"},
      {"runs_serial", "CREATE INDEX runs_serial ON runs (serial, run_time)"},
      {"runs_station", "CREATE INDEX runs_station ON runs (station, run_time)"},
      // Per serial number its last production run: result, station, when, which try.
      {"unit_results",
       "CREATE VIEW unit_results AS SELECT DISTINCT ON (serial) serial, result, station, run_time, attempt, "
       "port, slot, id FROM runs WHERE operation = 'production' AND serial IS NOT NULL "
       "ORDER BY serial, run_time DESC, id DESC"},
      // Per station and day: units whose first production run passed, of all units
      // first run there that day.
      {"first_pass_yield",
       "CREATE VIEW first_pass_yield AS WITH first_runs AS (SELECT DISTINCT ON (serial) serial, station, "
       "run_time, result FROM runs WHERE operation = 'production' AND serial IS NOT NULL "
       "ORDER BY serial, run_time, id) SELECT station, CAST(run_time AS date) AS day, count(*) AS units, "
       "count(*) FILTER (WHERE result = 'OK') AS passed_first, "
       "round(100.0 * count(*) FILTER (WHERE result = 'OK') / count(*), 1) AS yield_percent "
       "FROM first_runs GROUP BY station, CAST(run_time AS date)"},
      // Every failure by its reason: how often, on how many units, first and last seen.
      {"failure_reasons",
       "CREATE VIEW failure_reasons AS SELECT operation, result AS reason, count(*) AS runs, "
       "count(DISTINCT serial) AS units, min(run_time) AS first_seen, max(run_time) AS last_seen "
       "FROM runs WHERE result <> 'OK' GROUP BY operation, result"},
  };
  Line& l = TheLine();
  std::lock_guard<std::mutex> hold(l.lock);
  DbClose(l.db);
  l.db = nullptr;
  l.openedBy = nullptr;  // its own connection: the tables need not be there yet
  std::string error;
  if (DbConnect(Utf8Of(s.database), kTimeoutMs, &l.db, &error) != DB_OK) {
    *why = "the line's database: " + TextOf(error);
    return RECORD_UNAVAILABLE;
  }
  report->clear();
  for (const auto& o : kObjects) {
    DbRows there;
    if (Run(l, "SELECT CASE WHEN to_regclass(?) IS NULL THEN 0 ELSE 1 END", {std::string(o.name)}, &there, why) != DB_OK)
      return RECORD_UNAVAILABLE;
    const bool exists = !there.rows.empty() && there.rows[0][0] == "1";
    if (!exists && Run(l, o.sql, {}, nullptr, why) != DB_OK) return RECORD_UNAVAILABLE;
    *report += std::string(o.name) + (exists ? ": there already, left as it is\n" : ": made\n");
  }
  DbRows rows;
  const std::string firstText = std::to_string(first);
  if (Run(l, "INSERT INTO serial_counter (name, next_serial) VALUES (?, CAST(? AS bigint)) ON CONFLICT DO NOTHING",
          {std::string(kCounterName), firstText}, &rows, why) != DB_OK ||
      Run(l, "INSERT INTO qb2_schema (version) VALUES (CAST(? AS integer)) ON CONFLICT DO NOTHING",
          {std::to_string(kLineSchemaVersion)}, nullptr, why) != DB_OK)
    return RECORD_UNAVAILABLE;
  const bool counterMade = rows.changed > 0;
  if (Run(l, "SELECT next_serial, (SELECT max(version) FROM qb2_schema) FROM serial_counter WHERE name = ?",
          {std::string(kCounterName)}, &rows, why) != DB_OK || rows.rows.empty())
    return RECORD_UNAVAILABLE;
  *report += "serial_counter: the line's next serial number is " + rows.rows[0][0] +
             (counterMade ? " (started now)\n" : " (as it was)\n");
  *report += "qb2_schema: version " + rows.rows[0][1] + "\n";
  return RECORD_OK;
}

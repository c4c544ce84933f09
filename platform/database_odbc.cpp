// ODBC through the W functions alone, one file for odbc32 (Windows, and Wine's
// odbc32, which hands the calls to the host's unixODBC) and unixODBC (Linux).
// SQLWCHAR is UTF-16 on both: Windows' WCHAR, and unixODBC's unsigned short.
#ifdef _WIN32
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/database.h"

static_assert(sizeof(SQLWCHAR) == 2, "the driver's wide text is UTF-16");

namespace {

typedef std::basic_string<SQLWCHAR> Wide;

// A driver that keeps to its own time-outs returns inside this much more; one that
// does not (a name lookup that hangs, a server frozen mid-reply) is left behind.
const unsigned kGraceMs = 500;

Wide ToWide(const std::string& in) {
  Wide out;
  for (size_t i = 0; i < in.size();) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    uint32_t cp = c;
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > in.size()) {
      cp = 0xFFFD;  // not UTF-8: the record layer never hands such text over
      n = 1;
    } else if (n > 1) {
      cp = c & (0x7F >> n);
      for (size_t k = 1; k < n; ++k) cp = cp << 6 | (static_cast<unsigned char>(in[i + k]) & 0x3F);
    }
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<SQLWCHAR>(0xD800 | cp >> 10));
      out.push_back(static_cast<SQLWCHAR>(0xDC00 | (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<SQLWCHAR>(cp));
    }
  }
  return out;
}

std::string FromWide(const SQLWCHAR* in, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    uint32_t cp = in[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < count && in[i + 1] >= 0xDC00 && in[i + 1] < 0xE000)
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[++i] - 0xDC00);
    else if (cp >= 0xD800 && cp < 0xE000)
      cp = 0xFFFD;
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | cp >> 6);
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | cp >> 12);
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | cp >> 18);
      out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// The keyword=value pairs of a connection string, each with where its value lies
// ({...} values may hold ';').
struct Pair {
  std::string key;
  size_t valueAt, valueSize;
};
std::vector<Pair> PairsOf(const std::string& c) {
  std::vector<Pair> out;
  for (size_t at = 0; at < c.size();) {
    size_t eq = c.find('=', at);
    if (eq == std::string::npos) break;
    Pair p;
    for (size_t i = at; i < eq; ++i)
      if (c[i] != ' ' && c[i] != '\t') p.key += Upper(c[i]);
    size_t v = eq + 1, end;
    if (v < c.size() && c[v] == '{') {
      end = c.find('}', v);
      end = end == std::string::npos ? c.size() : end + 1;
    } else {
      end = c.find(';', v);
      if (end == std::string::npos) end = c.size();
    }
    p.valueAt = v;
    p.valueSize = end - v;
    out.push_back(p);
    at = c.find(';', end);
    at = at == std::string::npos ? c.size() : at + 1;
  }
  return out;
}
bool IsSecret(const std::string& key) { return key == "PWD" || key == "PASSWORD"; }

// The password's value as it stands, and without its braces.
std::vector<std::string> SecretsOf(const std::string& connection) {
  std::vector<std::string> out;
  for (const Pair& p : PairsOf(connection)) {
    if (!IsSecret(p.key) || p.valueSize == 0) continue;
    std::string v = connection.substr(p.valueAt, p.valueSize);
    out.push_back(v);
    if (v.size() > 2 && v.front() == '{' && v.back() == '}') out.push_back(v.substr(1, v.size() - 2));
  }
  return out;
}

std::string Masked(std::string text, const std::vector<std::string>& secrets) {
  for (const std::string& s : secrets)
    for (size_t at; !s.empty() && (at = text.find(s)) != std::string::npos;) text.replace(at, s.size(), "***");
  return text;
}

SQLHENV Environment() {
  static SQLHENV env = [] {
    SQLHENV e = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &e))) return static_cast<SQLHENV>(SQL_NULL_HENV);
    SQLSetEnvAttr(e, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    return e;
  }();
  return env;
}

// A connection and what it must know of itself. Shared by the caller and a call
// under way: one left behind is freed by the call when it returns at last.
struct Session {
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool connected = false;
  std::atomic<bool> lost{false};
  unsigned timeoutMs = 3000;
  std::vector<std::string> secrets;
  ~Session() {
    if (connected) SQLDisconnect(dbc);
    if (dbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  }
};
typedef std::shared_ptr<Session> SessionRef;

// The diagnostics of handle: "SQLSTATE message" records, and whether one says the
// server is not there (08: connection; HYT: time-out; 57P: shut down).
int Diagnose(SQLSMALLINT type, SQLHANDLE handle, const Session& s, std::string* error) {
  int result = DB_REFUSED;
  std::string text;
  for (SQLSMALLINT i = 1; i <= 8; ++i) {
    SQLWCHAR state[6] = {0}, message[1024];
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    SQLRETURN r = SQLGetDiagRecW(type, handle, i, state, &native, message, 1024, &length);
    if (!SQL_SUCCEEDED(r)) break;
    std::string code = FromWide(state, 5);
    // 57014: the server's own statement time-out, which the driver asks for.
    if (code.compare(0, 2, "08") == 0 || code.compare(0, 3, "HYT") == 0 || code.compare(0, 3, "57P") == 0 ||
        code == "57014")
      result = DB_UNREACHABLE;
    size_t n = length < 0 ? 0 : length > 1023 ? 1023 : static_cast<size_t>(length);
    // One line: the server's messages come with line ends and tabs.
    std::string said;
    for (char c : FromWide(message, n)) {
      if (c == '\n' || c == '\r' || c == '\t') c = ' ';
      if (c != ' ' || (!said.empty() && said.back() != ' ')) said += c;
    }
    while (!said.empty() && said.back() == ' ') said.pop_back();
    text += (text.empty() ? "" : "; ") + code + " " + said;
  }
  // psqlODBC reports a refused login as 08001 like a missing server: the server's
  // own words tell them apart.
  if (text.find("authentication failed") != std::string::npos || text.find("does not exist") != std::string::npos ||
      text.find("no pg_hba.conf entry") != std::string::npos || text.find("permission denied") != std::string::npos)
    result = DB_REFUSED;
  *error = Masked(text.empty() ? std::string("the driver gave no reason") : text, s.secrets);
  return result;
}

// Runs work on a thread of its own and waits up to ms for it: DB_UNREACHABLE when
// it has not returned by then (it goes on alone, holding what it uses).
struct Outcome {
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  bool abandoned = false;  // its caller gave up waiting: it counts among the calls left behind
  int result = DB_UNREACHABLE;
  std::string error;
  DbRows rows;
};
// The calls left behind that have not returned yet.
struct LeftBehind {
  std::mutex lock;
  std::condition_variable none;
  int count = 0;
};
LeftBehind& Behind() {
  static LeftBehind* behind = new LeftBehind;  // never destroyed: such a call may outlive main
  return *behind;
}

template <typename Work>
int Bounded(unsigned ms, Work work, DbRows* rows, std::string* error) {
  auto outcome = std::make_shared<Outcome>();
  std::thread worker([outcome, work]() mutable {
    std::string e;
    DbRows r;
    int result = work(&r, &e);
    // What the work held (the last hold on a connection, whose end goes into the
    // driver) is let go before it says it is done.
    { Work spent = std::move(work); }
    std::lock_guard<std::mutex> hold(outcome->lock);
    outcome->result = result;
    outcome->error.swap(e);
    outcome->rows = std::move(r);
    outcome->finished = true;
    outcome->done.notify_all();
    if (outcome->abandoned) {
      std::lock_guard<std::mutex> behind(Behind().lock);
      if (--Behind().count == 0) Behind().none.notify_all();
    }
  });
  std::unique_lock<std::mutex> hold(outcome->lock);
  if (!outcome->done.wait_for(hold, std::chrono::milliseconds(ms), [&] { return outcome->finished; })) {
    outcome->abandoned = true;
    {
      std::lock_guard<std::mutex> behind(Behind().lock);
      ++Behind().count;
    }
    worker.detach();
    char text[64];
    std::snprintf(text, sizeof text, "no answer within %.1f s", ms / 1000.0);
    *error = text;
    return DB_UNREACHABLE;
  }
  hold.unlock();
  // Joined once it has answered: what its end lets go of in the driver (the last
  // hold on a connection) is done before this thread goes on, or the program ends.
  worker.join();
  if (outcome->result != DB_OK) *error = outcome->error;
  else if (rows) *rows = std::move(outcome->rows);
  return outcome->result;
}

int Connect(const SessionRef& s, const std::string& connection, std::string* error) {
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, Environment(), &s->dbc))) {
    s->dbc = SQL_NULL_HDBC;
    *error = "no ODBC driver manager (odbc32 / unixODBC) could be used";
    return DB_UNREACHABLE;
  }
  const SQLULEN seconds = (s->timeoutMs + 999) / 1000;
  SQLSetConnectAttrW(s->dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), 0);
  SQLSetConnectAttrW(s->dbc, SQL_ATTR_CONNECTION_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), 0);
  Wide text = ToWide(connection);
  SQLWCHAR out[1024];
  SQLSMALLINT outLength = 0;
  SQLRETURN r = SQLDriverConnectW(s->dbc, nullptr, &text[0], SQL_NTS, out, 1024, &outLength, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(r)) return Diagnose(SQL_HANDLE_DBC, s->dbc, *s, error);
  s->connected = true;
  return DB_OK;
}

int Execute(const SessionRef& s, const std::string& sql, const std::vector<DbParam>& params, DbRows* rows,
            std::string* error) {
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, s->dbc, &stmt))) return Diagnose(SQL_HANDLE_DBC, s->dbc, *s, error);
  struct Free {
    SQLHSTMT h;
    ~Free() { SQLFreeHandle(SQL_HANDLE_STMT, h); }
  } freeing{stmt};
  SQLSetStmtAttrW(stmt, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>((s->timeoutMs + 999) / 1000)), 0);
  std::vector<Wide> values(params.size());
  std::vector<SQLLEN> sizes(params.size());
  for (size_t i = 0; i < params.size(); ++i) {
    values[i] = ToWide(params[i].text);
    values[i].push_back(0);
    sizes[i] = params[i].null ? SQL_NULL_DATA : static_cast<SQLLEN>((values[i].size() - 1) * sizeof(SQLWCHAR));
    SQLULEN column = values[i].size() > 1 ? values[i].size() - 1 : 1;
    SQLRETURN b = SQLBindParameter(stmt, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                   column, 0, &values[i][0], static_cast<SQLLEN>(values[i].size() * sizeof(SQLWCHAR)),
                                   &sizes[i]);
    if (!SQL_SUCCEEDED(b)) return Diagnose(SQL_HANDLE_STMT, stmt, *s, error);
  }
  Wide text = ToWide(sql);
  SQLRETURN r = SQLExecDirectW(stmt, &text[0], SQL_NTS);
  if (r == SQL_NO_DATA) return DB_OK;  // an UPDATE or DELETE that met no row
  if (!SQL_SUCCEEDED(r)) return Diagnose(SQL_HANDLE_STMT, stmt, *s, error);
  SQLLEN changed = -1;
  if (SQL_SUCCEEDED(SQLRowCount(stmt, &changed))) rows->changed = changed;
  SQLSMALLINT columns = 0;
  SQLNumResultCols(stmt, &columns);
  while (columns > 0) {
    r = SQLFetch(stmt);
    if (r == SQL_NO_DATA) break;
    if (!SQL_SUCCEEDED(r)) return Diagnose(SQL_HANDLE_STMT, stmt, *s, error);
    std::vector<std::string> row;
    for (SQLUSMALLINT c = 1; c <= static_cast<SQLUSMALLINT>(columns); ++c) {
      Wide value;
      SQLWCHAR part[256];
      for (;;) {
        SQLLEN got = 0;
        SQLRETURN g = SQLGetData(stmt, c, SQL_C_WCHAR, part, sizeof part, &got);
        if (g == SQL_NO_DATA || got == SQL_NULL_DATA) break;
        if (!SQL_SUCCEEDED(g)) return Diagnose(SQL_HANDLE_STMT, stmt, *s, error);
        // A longer value comes in parts, each ended by a NUL in the buffer.
        size_t units = got == SQL_NO_TOTAL || got >= static_cast<SQLLEN>(sizeof part) ? 255 : static_cast<size_t>(got) / 2;
        value.append(part, units);
        if (g == SQL_SUCCESS) break;
      }
      row.push_back(FromWide(value.data(), value.size()));
    }
    rows->rows.push_back(row);
  }
  return DB_OK;
}

}  // namespace

int DbConnect(const std::string& connection, unsigned timeoutMs, DbConnection* db, std::string* error) {
  *db = nullptr;
  SessionRef s = std::make_shared<Session>();
  s->timeoutMs = timeoutMs;
  s->secrets = SecretsOf(connection);
  int result = Bounded(
      timeoutMs + kGraceMs, [s, connection](DbRows*, std::string* e) { return Connect(s, connection, e); }, nullptr,
      error);
  if (result != DB_OK) return result;
  *db = new SessionRef(s);
  return DB_OK;
}

int DbExecute(DbConnection db, const std::string& sql, const std::vector<DbParam>& params, DbRows* rows,
              std::string* error) {
  SessionRef s = *static_cast<SessionRef*>(db);
  // A call left behind may still be in the driver: the connection is not used again.
  if (s->lost.load()) {
    *error = "the connection was lost";
    return DB_UNREACHABLE;
  }
  int result = Bounded(
      s->timeoutMs + kGraceMs,
      [s, sql, params](DbRows* r, std::string* e) { return Execute(s, sql, params, r, e); }, rows, error);
  if (result == DB_UNREACHABLE) s->lost.store(true);
  return result;
}

void DbClose(DbConnection db) { delete static_cast<SessionRef*>(db); }

bool DbAwaitLeftBehind(unsigned ms) {
  std::unique_lock<std::mutex> hold(Behind().lock);
  return Behind().none.wait_for(hold, std::chrono::milliseconds(ms), [] { return Behind().count == 0; });
}

std::string DbConnectionShown(const std::string& connection) {
  std::string out = connection;
  std::vector<Pair> pairs = PairsOf(connection);
  for (size_t i = pairs.size(); i-- > 0;)
    if (IsSecret(pairs[i].key) && pairs[i].valueSize > 0) out.replace(pairs[i].valueAt, pairs[i].valueSize, "***");
  return out;
}

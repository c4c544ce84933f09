// A database server through ODBC: odbc32 on Windows, unixODBC elsewhere, the same
// calls on both (platform/database_odbc.cpp), reaching whatever driver the
// connection string names ("Driver={PostgreSQL Unicode};Server=...").
//
// Text goes in and comes back as UTF-8; the driver gets UTF-16 through the W
// functions only (Wine 8's A functions are stubs that stop the process in its
// debugger). Nothing here ever waits long: a connect gives up after its login
// time-out, a statement after its query time-out, and a driver that does not keep
// to them (a server that stopped answering in the middle of a reply) is left
// behind half a second later: the call returns DB_UNREACHABLE and the
// connection is dropped.
//
// The connection string's password (PWD=, Password=) never leaves this file: every
// error text has it masked, and DbConnectionShown gives the string as it may be
// shown.
#pragma once
#include <string>
#include <vector>

typedef void* DbConnection;  // null: none

enum DbResult {
  DB_OK = 0,
  DB_UNREACHABLE,  // no server, no answer in time, the connection lost: try again later
  DB_REFUSED,      // the server answered no: login refused, no such table, a bad value
};

// A statement's parameter: text (UTF-8), or SQL NULL.
struct DbParam {
  std::string text;
  bool null = false;
  DbParam(const std::string& t = std::string()) : text(t) {}
  static DbParam Null() {
    DbParam p;
    p.null = true;
    return p;
  }
};

// What a statement gave back: its rows, every column as text (NULL as ""), and how
// many rows it changed (-1 when the driver cannot tell).
struct DbRows {
  std::vector<std::vector<std::string>> rows;
  long long changed = -1;
};

// Connects with connection (UTF-8), allowing timeoutMs for the login and for each
// statement later. DB_OK with the connection in *db, or why not in *error (the
// driver's and server's own words, the password masked). Any thread.
int DbConnect(const std::string& connection, unsigned timeoutMs, DbConnection* db, std::string* error);
// Runs sql, whose parameters are written '?' (each bound as text: cast them in the
// SQL where another type is meant), in its own transaction. DB_OK with what it
// gave in *rows (may be null), else why not in *error. After DB_UNREACHABLE the
// connection is of no more use: close it. One thread at a time per connection.
int DbExecute(DbConnection db, const std::string& sql, const std::vector<DbParam>& params, DbRows* rows,
              std::string* error);
// Lets the connection go (null does nothing); one left behind by a driver that
// did not return is let go once the driver returns.
void DbClose(DbConnection db);
// Waits up to ms for the calls left behind to return from the driver (a program's
// end must not unload the driver under them): true when none is left. Any thread.
bool DbAwaitLeftBehind(unsigned ms);
// The connection string as it may be shown: the password's value as "***".
std::string DbConnectionShown(const std::string& connection);

// The line's database natively: qb2cli against virtual units on ptys and the
// tree's own PostgreSQL (tests/db/postgres.sh), each test in a database of its own.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <iterator>
#include <set>
#include <sstream>
#include <thread>

#include "platform/database.h"
#include "platform/process.h"
#include "record/run_log.h"
#include "tests/cli/cli_support.h"
#include "tests/link/unit_fixture.h"

// What the ODBC driver and the libraries under it keep, or lose on a refused
// login, is theirs: LeakSanitizer is told so here and in every qb2cli started.
extern "C" const char* __lsan_default_options() { return "suppressions=" QB2_LSAN_SUPPRESSIONS; }

namespace {

using Clock = std::chrono::steady_clock;

std::string Text(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}
std::string PgFile(const char* name) {
  std::string t = Text(std::string(QB2_PG_DIR) + "/" + name);
  return t.substr(0, t.find('\n'));
}
// postgres.sh COMMAND with the tree's server and more arguments; what it printed.
std::string Pg(const std::string& command, const std::string& more = "") {
  std::string line = std::string(QB2_PG_SCRIPT) + " " + command + " " + QB2_PG_DIR + " " + more;
  std::string out;
  if (FILE* p = popen(line.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
    pclose(p);
  }
  return out;
}
std::string Conn(const std::string& db, const std::string& server = "127.0.0.1") {
  return "Driver={PostgreSQL Unicode};Server=" + server + ";Port=" + PgFile("port") + ";Database=" + db +
         ";Uid=station;Pwd=" + PgFile("password");
}

class LineDb : public UnitOnPort {
 protected:
  void SetUp() override {
    UnitOnPort::SetUp();
    WorkInUnitFolder();
    setenv("LSAN_OPTIONS", __lsan_default_options(), 1);
    port_ = dir_ + "/com7";
    db_ = "t" + std::to_string(getpid()) + "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : db_) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    Pg("createdb", db_);
    std::vector<unsigned char> image = StampableImage(9);
    std::ofstream("Quillbeacon2FlashData.dat", std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                                      static_cast<std::streamsize>(image.size()));
    std::ofstream("QB2BENCH.INI") << "[QB2BENCH]\r\nDatabase=" << Conn(db_)
                                  << "\r\nStation=st1\r\nLeaseSize=6\r\nLogFile=run.csv\r\n";
  }
  Ran Run(const std::vector<std::string>& args) {
    std::vector<std::string> all = {std::getenv("QB2_CLI")};
    all.insert(all.end(), args.begin(), args.end());
    return RunProgram(all);
  }
  std::string Sql(const std::string& sql) { return Pg("sql", db_ + " \"" + sql + "\""); }
  // Units 8, 9, ... beside the fixture's 7; a gang's --port list of units first..first+n-1.
  void AddUnits(int n, bool paced) {
    if (paced) {
      ASSERT_TRUE(RestartUnitPaced());
    }
    for (int i = 0; i < n; ++i) {
      qb2sim::Options o;
      o.linkPath = dir_ + "/com" + std::to_string(8 + i);
      o.pace = o.paceHost = paced;
      units_.emplace_back(new qb2sim::VirtualUnit(o));
      ASSERT_TRUE(units_.back()->Start());
    }
  }
  std::string Ports(int n) {
    std::string list;
    for (int i = 0; i < n; ++i) list += (i ? "," : "") + dir_ + "/com" + std::to_string(7 + i);
    return list;
  }
  size_t Frames() {
    size_t n = unit_->FrameCount();
    for (auto& u : units_) n += u->FrameCount();
    return n;
  }
  std::string db_, port_;
  std::vector<std::unique_ptr<qb2sim::VirtualUnit>> units_;
};

// A database without the tables refuses the station before anything is sent, in
// the server's words; db init makes them and starts the counter; a second db init
// changes nothing, not even the counter it is given.
TEST_F(LineDb, DbInitMakesWhatIsMissingOnceAndNothingIsSentBefore) {
  Ran r = Run({"--port", port_, "--quiet", "produce"});
  EXPECT_EQ(r.exit, 9);
  EXPECT_NE(r.err.find("db init"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("qb2_schema"), std::string::npos) << r.err;  // the server's message names it
  EXPECT_EQ(unit_->FrameCount(), 0u);

  r = Run({"db", "init", "--serial", "500"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.out.find("runs: made"), std::string::npos) << r.out;
  const std::string schema = Pg("schema", db_);
  r = Run({"db", "init", "--serial", "900"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out.find(": made"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("next serial number is 500 (as it was)"), std::string::npos) << r.out;
  EXPECT_EQ(Pg("schema", db_), schema);
  EXPECT_EQ(Sql("SELECT (SELECT next_serial FROM serial_counter), (SELECT count(*) FROM qb2_schema)"), "500|1\n");
}

// The server stopped in the middle of a gang: its units finish from the lease and
// their lines wait in the CSV. With the server still away, a gang the lease cannot
// number ends with 9 before any frame. sync then fills runs with every CSV line
// (an older log's too, by the id made from the line), and a second sync adds nothing.
TEST_F(LineDb, AServerThatGoesAwayCostsNoUnitAndSyncFillsRunsOnce) {
  ASSERT_EQ(Run({"db", "init", "--serial", "100"}).exit, 0);
  AddUnits(3, true);
  std::future<Ran> gang = std::async(std::launch::async, [&] { return Run({"--port", Ports(4), "--quiet", "produce"}); });
  ASSERT_TRUE(unit_->WaitForFrames(3, 10000));
  Pg("stop");
  Ran r = gang.get();
  EXPECT_EQ(r.exit, 0) << r.err;
  std::set<std::string> stamps;
  for (int i = 0; i < 4; ++i) {
    std::vector<unsigned char> f = i ? units_[static_cast<size_t>(i - 1)]->Flash() : unit_->Flash();
    stamps.insert(std::string(f.begin() + 0xE004, f.begin() + 0xE008));
  }
  EXPECT_EQ(stamps.size(), 4u);

  const size_t frames = Frames();
  r = Run({"--port", Ports(4), "--quiet", "--json", "produce"});  // 2 left in the lease of 6
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(Frames(), frames);
  EXPECT_NE(r.out.find("\"exit\":9"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(PgFile("password")), std::string::npos);

  // An older log of the station, written before the new columns.
  std::ofstream("old.csv") << "time,program,port,operation,serial,file,bytes,crc32,result,ms\r\n"
                              "2026-01-05 10:00:00.000,QB2CLI,COM7,production,00000042,a.dat,57600,0528FFE2,OK,5091\r\n";
  Pg("start");
  r = Run({"sync"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.out.find(": 8 lines sent, 0 there already"), std::string::npos) << r.out;  // 4 done, 4 refused a number
  EXPECT_EQ(Run({"sync", "--log", "old.csv"}).exit, 0);
  r = Run({"sync", "--json"});
  EXPECT_EQ(Field(r.out, "sent"), "0") << r.out;
  EXPECT_EQ(Field(r.out, "present"), "8") << r.out;
  EXPECT_NE(Run({"sync", "--log", "old.csv"}).out.find(": 0 lines sent, 1 there already"), std::string::npos);
  // Each unit's line once, with its station, under the id its CSV line carries.
  EXPECT_EQ(Sql("SELECT count(*), count(DISTINCT serial) FROM runs WHERE result = 'OK' AND station = 'st1'"), "5|5\n");
  // One image, four stamps: image_crc32 is the file's before the stamp, crc32 what each unit got.
  EXPECT_EQ(Sql("SELECT count(DISTINCT image_crc32), count(DISTINCT crc32) FROM runs WHERE port <> 'COM7'"), "1|4\n");
  std::set<std::string> ids, inDb;
  std::istringstream csv(Text("run.csv")), db(Sql("SELECT id FROM runs WHERE serial IS DISTINCT FROM '00000042'"));
  std::string line;
  for (std::getline(csv, line); std::getline(csv, line);) ids.insert(RunLineFieldsOf(line).back());
  while (std::getline(db, line)) inDb.insert(line);
  EXPECT_EQ(ids, inDb);
}

// A login refused, a host that does not exist and a server that never answers:
// exit 9 within 4 s for a station with no lease left, nothing sent, and the
// password nowhere in what the program wrote.
TEST_F(LineDb, ARefusingOrSilentServerEndsWithin4sAndKeepsThePasswordSecret) {
  int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof at;
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(silent, 8), 0);  // takes the connection, never a word
  ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr*>(&at), &size), 0);
  const std::string secret = "Sh1n-" + PgFile("password");
  const std::string silentPort = std::to_string(ntohs(at.sin_port));
  for (const std::string& conn : {"Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" + PgFile("port") +
                                      ";Database=" + db_ + ";Uid=station;Pwd={" + secret + "}",
                                  "Driver={PostgreSQL Unicode};Server=line-db.invalid;Uid=station;PWD=" + secret,
                                  "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" + silentPort +
                                      ";Uid=station;Password=" + secret}) {
    Ran r = Run({"--database", conn, "--port", port_, "--log", "run.csv", "produce"});
    EXPECT_EQ(r.exit, 9) << r.err;
    EXPECT_LT(r.seconds, 4.0) << r.err;
    EXPECT_NE(r.err.find("the line's database: "), std::string::npos) << r.err;
    EXPECT_EQ((r.out + r.err + Text("run.csv")).find(secret), std::string::npos) << r.err;
  }
  close(silent);
  EXPECT_EQ(unit_->FrameCount(), 0u);
}

// A server that stops answering in the middle of a connection (frozen, not gone)
// never holds a statement past its time-out: the driver cannot cancel there.
TEST(DbService, AServerThatStopsAnsweringIsLeftBehindInTime) {
  Pg("createdb", "frozen");
  DbConnection db = nullptr;
  std::string error;
  ASSERT_EQ(DbConnect(Conn("frozen"), 2000, &db, &error), DB_OK) << error;
  Pg("freeze");
  Clock::time_point from = Clock::now();
  EXPECT_EQ(DbExecute(db, "SELECT 1", {}, nullptr, &error), DB_UNREACHABLE);
  const double seconds = std::chrono::duration<double>(Clock::now() - from).count();
  Pg("thaw");
  EXPECT_GE(seconds, 2.0);
  EXPECT_LT(seconds, 4.0);
  EXPECT_EQ(DbExecute(db, "SELECT 1", {}, nullptr, &error), DB_UNREACHABLE);  // never used again
  DbClose(db);
  EXPECT_TRUE(DbAwaitLeftBehind(5000));  // the thawed server answers the call left behind
}

}  // namespace

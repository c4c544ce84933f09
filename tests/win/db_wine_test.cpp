// The line's database under Wine: QB2CLI.EXE and QB2BENCH.EXE through Wine's
// odbc32, the host's unixODBC and the PostgreSQL driver, against the tree's own
// server (tests/db/postgres.sh), each test in a database of its own.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "operator/ids.h"
#include "platform/process.h"
#include "record/run_log.h"
#include "tests/cli/cli_support.h"
#include "tests/win/dialog_fixture.h"

namespace {

using wintest::Since;

std::string FirstLine(const std::string& text) { return text.substr(0, text.find_first_of("\r\n")); }

class DbWine : public wintest::DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    db_ = "w" + std::to_string(GetCurrentProcessId()) + "_" +
          ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::transform(db_.begin(), db_.end(), db_.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
    Pg("createdb", db_);
  }
  // postgres.sh COMMAND on the tree's server; what it printed. Wine cannot wait for
  // a Linux program: the shell leaves a file once the script has ended.
  std::string Pg(const std::string& command, const std::string& more = "") {
    const std::string out = wintest::Env("QB2_PG") + "/wine-" + command + ".out", done = out + ".done";
    DeleteFileA(wintest::WinPath(done).c_str());
    wintest::Process sh;
    EXPECT_TRUE(sh.Start("Z:\\bin\\sh", "-c \"'" + wintest::Env("QB2_PG_SCRIPT") + "' " + command + " '" +
                                            wintest::Env("QB2_PG") + "' " + more + " >'" + out + "' 2>&1; echo >'" +
                                            done + "'\"",
                         dir_));
    for (DWORD t = GetTickCount(); !wintest::FileExists(wintest::WinPath(done)) && Since(t) < 60000;) Sleep(20);
    return wintest::ReadWholeFile(wintest::WinPath(out));
  }
  std::string Sql(const std::string& sql) { return Pg("sql", db_ + " \\\"" + sql + "\\\""); }
  // A station's folder: its settings with the database, its image.
  std::string Station(const std::string& name, int leaseSize) {
    const std::string folder = dir_ + "\\" + name;
    CreateDirectoryA(folder.c_str(), nullptr);
    std::string image(0xE100, '\xFF');
    image.replace(0xE000, 0x100, std::string(0x100, '\x5A'));
    wintest::WriteWholeFile(folder + "\\Quillbeacon2FlashData.dat", image);
    wintest::WriteWholeFile(
        folder + "\\QB2BENCH.INI",
        "[QB2BENCH]\r\nDatabase=Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" +
            FirstLine(wintest::ReadWholeFile(wintest::WinPath(wintest::Env("QB2_PG") + "/port"))) + ";Database=" +
            db_ + ";Uid=station;Pwd=" +
            FirstLine(wintest::ReadWholeFile(wintest::WinPath(wintest::Env("QB2_PG") + "/password"))) +
            "\r\nStation=" + name + "\r\nLeaseSize=" + std::to_string(leaseSize) + "\r\nLogFile=run.csv\r\n");
    return folder;
  }
  // QB2CLI.EXE with args in folder; its standard output.
  std::string Cli(const std::string& folder, const std::vector<std::string>& args, int* exit) {
    std::vector<std::string> all = {wintest::WinPath(wintest::Env("QB2_CLI_EXE"))};
    all.insert(all.end(), args.begin(), args.end());
    PipeHandle in, out, err;
    ChildProcess child;
    {
      // The child's folder is the process's current one at its start: one start at a time.
      static std::mutex starting;
      std::lock_guard<std::mutex> one(starting);
      SetCurrentDirectoryA(folder.c_str());
      child = StartChildProcess(all, &in, &out, &err);
      SetCurrentDirectoryA(dir_.c_str());
    }
    EXPECT_NE(child, nullptr);
    PipeClose(in);
    std::string errors;
    std::thread e([&] { errors = ReadAll(err); });
    std::string text = ReadAll(out);
    e.join();
    EXPECT_TRUE(WaitChildProcess(child, 120000, exit));
    CloseChildProcess(child);
    PipeClose(out);
    PipeClose(err);
    return text + errors;
  }
  std::string db_;
};

// Two stations, each with a gang of four, at once, three rounds: every number
// stamped once, every unit's line in runs once, and the two CSVs and runs agree.
TEST_F(DbWine, TwoStationsWithGangsOfFourAtOnceNeverShareANumber) {
  const std::string a = Station("a", 5), b = Station("b", 5);
  int exit = -1;
  ASSERT_NE(Cli(a, {"db", "init", "--serial", "1000"}, &exit).find("runs: made"), std::string::npos);
  ASSERT_EQ(exit, 0);
  wintest::Unit units[8];
  std::string dumps[8];
  for (int i = 0; i < 8; ++i) {
    dumps[i] = wintest::PortsDir() + "/db" + std::to_string(i) + ".bin";
    DeleteFileA(wintest::WinPath(dumps[i]).c_str());
    ASSERT_TRUE(units[i].Start(7 + i, "--dump-flash " + dumps[i]));
  }
  std::set<std::string> serials;
  std::string last[8];
  for (int round = 0; round < 3; ++round) {
    std::string outA, outB;
    int exitA = -1, exitB = -1;
    std::thread first([&] { outA = Cli(a, {"--port", "COM7,COM8,COM9,COM10", "--json", "--quiet", "produce"}, &exitA); });
    outB = Cli(b, {"--port", "COM11,COM12,COM13,COM14", "--json", "--quiet", "produce"}, &exitB);
    first.join();
    ASSERT_EQ(exitA, 0) << outA;
    ASSERT_EQ(exitB, 0) << outB;
    // Cli gives stderr after stdout: the programs' notes there (Wine's among them
    // on a loaded machine) are not result lines.
    std::istringstream lines(outA + outB);
    int results = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line.compare(0, 1, "{") != 0) continue;
      const std::string serial = Field(line, "serial"), port = Field(line, "port");
      ASSERT_EQ(port.compare(0, 3, "COM"), 0) << line;
      EXPECT_TRUE(serials.insert(serial).second) << serial << " twice";
      last[std::stoi(port.substr(3)) - 7] = serial;
      ++results;
    }
    EXPECT_EQ(results, 8) << outA << outB;
  }
  EXPECT_EQ(serials.size(), 24u);
  for (int i = 0; i < 8; ++i) {
    units[i].Stop();
    std::string flash;
    for (DWORD t = GetTickCount(); flash.size() != 131072 && Since(t) < 3000; Sleep(20))
      flash = wintest::ReadWholeFile(wintest::WinPath(dumps[i]));
    ASSERT_EQ(flash.size(), 131072u);
    std::string stamp;  // eight digits, two to a byte
    for (int k = 0; k < 8; k += 2) stamp += static_cast<char>((last[i][k] - '0') << 4 | (last[i][k + 1] - '0'));
    EXPECT_EQ(flash.substr(0xE004, 4), stamp) << last[i];
  }
  // A line whose insert missed the server's bound on a loaded machine waits in its
  // station's CSV (the unit's process has ended with it): sync sends it, once.
  for (const std::string& folder : {a, b}) {
    int exit = -1;
    const std::string said = Cli(folder, {"sync"}, &exit);
    EXPECT_EQ(exit, 0) << said;
  }
  EXPECT_EQ(Sql("SELECT count(*), count(DISTINCT runs.serial) FROM runs JOIN serials ON serials.serial = "
                "CAST(runs.serial AS bigint) AND serials.station = runs.station WHERE result = 'OK'"),
            "24|24\n");
  std::set<std::string> inCsv, inDb;
  for (const std::string& folder : {a, b}) {
    std::istringstream csv(wintest::ReadWholeFile(folder + "\\run.csv"));
    std::string line;
    for (std::getline(csv, line); std::getline(csv, line);) inCsv.insert(RunLineFieldsOf(line).back());
  }
  std::istringstream ids(Sql("SELECT id FROM runs"));
  for (std::string id; std::getline(ids, id);) inDb.insert(id);
  EXPECT_EQ(inCsv, inDb);
  EXPECT_EQ(inDb.size(), 24u);
}

// The bench with a database: each em-start's number from the station's lease, the
// next one in box 304, its line in runs also after the server was restarted; with
// the server stopped and the lease used up, em-start is refused with a box and
// sends nothing.
TEST_F(DbWine, TheBenchTakesItsNumbersFromTheLease) {
  const std::string folder = Station("bench1", 2);
  int exit = -1;
  Cli(folder, {"db", "init", "--serial", "200"}, &exit);
  ASSERT_EQ(exit, 0);
  ASSERT_TRUE(unit_.Start(7));
  StartProgram(wintest::BenchProgramPath(), folder);
  EXPECT_EQ(wintest::ControlText(dialog_, IDC_SERIAL_NUMBER), "");  // no lease yet
  // em-start pressed (its result cleared as the run starts), and its result.
  auto emStart = [&](const std::string& result) {
    if (!OpenCom7ByHand()) return false;
    Command(IDC_EM_START);
    return WaitText(IDC_RESULT, result, 15000);
  };
  ASSERT_TRUE(emStart("合格 S/N 00000200")) << wintest::ControlText(dialog_, IDC_RESULT);
  EXPECT_EQ(wintest::ControlText(dialog_, IDC_SERIAL_NUMBER), "00000201");
  const std::string ini = wintest::ReadWholeFile(folder + "\\QB2BENCH.INI");
  EXPECT_NE(ini.find("LeaseNext=00000201\r\nLeaseEnd=00000202\r\n"), std::string::npos) << ini;
  EXPECT_EQ(Sql("SELECT serial, program, station, attempt FROM runs"), "00000200|QB2BENCH|bench1|1\n");

  // A server restarted meanwhile: the bench's connection is one it has reset, and
  // the line goes in over a new one at once.
  Pg("stop");
  Pg("start");
  ASSERT_TRUE(emStart("合格 S/N 00000201")) << wintest::ControlText(dialog_, IDC_RESULT);
  EXPECT_EQ(Sql("SELECT count(*) FROM runs"), "2\n");
  Pg("stop");
  const size_t before = unit_.Log().size();
  ASSERT_TRUE(OpenCom7ByHand());
  PostMessageA(dialog_, WM_COMMAND, IDC_EM_START, 0);
  wintest::Box box = wintest::WaitForMessageBox(p_.Id(), 8000);
  ASSERT_NE(box.window, nullptr);
  EXPECT_EQ(box.text.find("シリアル番号を取得できません"), 0u) << box.text;
  wintest::DismissBox(box);
  EXPECT_EQ(unit_.Log().find(" frame ", before), std::string::npos);  // nothing sent
  Pg("start");
  EXPECT_EQ(Close(), 0u);
}

}  // namespace

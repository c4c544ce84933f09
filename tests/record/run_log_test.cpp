// The run log on its own, over the in-memory dialog and scratch files: the line's
// fields as CSV carries them, and what happens to lines that cannot be written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

#include "operator/ids.h"
#include "platform/ui.h"
#include "platform/ui_model.h"
#include "record/run_log.h"
#include "tests/temp_dir.h"

namespace {

RunRecord Record(const char* operation, const char* result) {
  RunRecord r;
  r.operation = operation;
  r.file = "w.bin";
  r.bytes = 256;
  r.hasCrc = true;
  r.crc32 = 0x1A2B3C4D;
  r.result = result;
  r.ms = 12;
  return r;
}

TEST(RunLogLine, FieldsAsCsvCarriesThem) {
  LocalTimeFields t{2026, 12, 9, 8, 5, 3, 7};
  RunRecord r = Record("flash-write", "OK");
  EXPECT_EQ(FormatRunLine(r, t, "QB2BENCH", "COM5", "st1", "st1-1"),
            "2026-12-09 08:05:03.007,QB2BENCH,COM5,flash-write,,w.bin,256,1A2B3C4D,OK,12,st1,2.1a,,1,,st1-1\r\n");

  // Commas and quotes in a field are quoted (RFC 4180); what is not known stays empty.
  RunRecord p;
  p.operation = "production";
  p.serial = "00000041";
  p.file = "C:\\line,2\\\"new\"\\Quillbeacon2FlashData.dat";
  p.result = "___CAN_NOT_STOP_APP___";
  p.ms = 2034;
  p.hasImageCrc = true;
  p.imageCrc32 = 0xE0;
  p.attempt = 2;
  p.slot = 3;
  EXPECT_EQ(FormatRunLine(p, t, "QB2LINK", "COM12", "検査,1"),
            "2026-12-09 08:05:03.007,QB2LINK,COM12,production,00000041,"
            "\"C:\\line,2\\\"\"new\"\"\\Quillbeacon2FlashData.dat\",,,___CAN_NOT_STOP_APP___,2034,"
            "\"検査,1\",2.1a,000000E0,2,3,\r\n");
  EXPECT_EQ(CsvField("a\r\nb"), "\"a\r\nb\"");
}

class RunLog : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir("log");
    ASSERT_FALSE(dir_.empty());
    UiModelReset();
    ASSERT_EQ(FlushRunLog(""), 0);  // nothing left from another test
  }
  void TearDown() override { RemoveTempDir(dir_); }
  void Log(const RunRecord& r, const std::string& path) { LogRun(r, path, "COM7", "st1"); }
  std::string dir_;
};

TEST_F(RunLog, ANewFileGetsTheHeaderAndAnEmptyBoxLogsNothing) {
  std::string path = dir_ + "/line.csv";
  Log(Record("flash-read", "OK"), "");
  EXPECT_EQ(access(path.c_str(), F_OK), -1);
  EXPECT_EQ(RunLogPending(), 0);

  Log(Record("flash-read", "OK"), path);
  Log(Record("flash-erase", "FLASH ERASE 異常"), path);
  std::string text = ReadFileBytes(path);
  const std::string header = std::string(kRunLogHeader) + "\r\n";
  ASSERT_EQ(text.compare(0, header.size(), header), 0) << text;
  EXPECT_NE(text.find(",QB2LINK,COM7,flash-read,,w.bin,256,1A2B3C4D,OK,12,st1,2.1a,,1,,st1-"), std::string::npos);
  EXPECT_NE(text.find(",flash-erase,,w.bin,256,1A2B3C4D,FLASH ERASE 異常,12,st1,"), std::string::npos);
  EXPECT_LT(text.find("flash-read"), text.find("flash-erase"));
  EXPECT_EQ(text.find(kRunLogHeader, 1), std::string::npos);  // the header once
}

// A folder of the log's name (or a file another program holds) refuses the line:
// it is said and kept, and goes in ahead of the next line once the file can be
// written; nothing is written twice.
TEST_F(RunLog, ALineThatCannotBeWrittenWaitsForTheNext) {
  std::string path = dir_ + "/line.csv";
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  Log(Record("flash-write", "OK"), path);
  EXPECT_EQ(RunLogPending(), 1);
  std::vector<std::string> trace = UiModelList(IDC_TRACE_LIST);
  ASSERT_EQ(trace.size(), 1u);
  const std::string said = "ログファイルに書けません: " + path;
  EXPECT_EQ(trace[0].compare(0, said.size(), said), 0) << trace[0];
  EXPECT_EQ(UiModelText(IDC_STATUS_LINE), trace[0]);
  EXPECT_EQ(FlushRunLog(path), 1);  // the close finds it still unwritten

  ASSERT_EQ(rmdir(path.c_str()), 0);
  Log(Record("flash-read", "OK"), path);
  EXPECT_EQ(RunLogPending(), 0);
  std::string text = ReadFileBytes(path);
  size_t write = text.find("flash-write"), read = text.find("flash-read");
  ASSERT_NE(write, std::string::npos);
  ASSERT_NE(read, std::string::npos);
  EXPECT_LT(write, read);
  EXPECT_EQ(text.find("flash-write", write + 1), std::string::npos);
  EXPECT_EQ(FlushRunLog(path), 0);
}

// A write that went out whole but could not be made durable (a FIFO takes writes
// and refuses the flush; being empty, it gets a header each time) is said, and
// never written a second time.
TEST_F(RunLog, ALineWhoseFlushFailsIsSaidAndNotWrittenAgain) {
  std::string path = dir_ + "/line.csv";
  ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
  int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  Log(Record("flash-write", "OK"), path);
  Log(Record("flash-read", "OK"), path);
  EXPECT_EQ(RunLogPending(), 0);
  char buffer[4096];
  ssize_t n = read(reader, buffer, sizeof buffer);
  close(reader);
  ASSERT_GT(n, 0);
  std::string text(buffer, static_cast<size_t>(n));
  size_t write = text.find("flash-write");
  ASSERT_NE(write, std::string::npos);
  EXPECT_EQ(text.find("flash-write", write + 1), std::string::npos);
  EXPECT_NE(text.find("flash-read"), std::string::npos);
  const std::string said = "ログファイルへの書込みを確定できません: " + path;
  EXPECT_EQ(UiModelText(IDC_STATUS_LINE), said);
}

// A last line cut by a crash is ended before the next line; what was in the file
// stays as it was.
TEST_F(RunLog, ACutLastLineIsEndedFirstAndKept) {
  std::string path = dir_ + "/line.csv";
  const std::string before = std::string(kRunLogHeader) + "\r\n2026-12-08 17:00:00.000,QB2BENCH,COM7,flash-wr";
  std::ofstream(path, std::ios::binary) << before;
  Log(Record("flash-read", "OK"), path);
  std::string text = ReadFileBytes(path);
  ASSERT_EQ(text.compare(0, before.size(), before), 0);
  std::string rest = text.substr(before.size());
  EXPECT_EQ(rest.compare(0, 2, "\r\n"), 0);
  EXPECT_NE(rest.find(",flash-read,"), std::string::npos);
  EXPECT_EQ(rest.substr(rest.size() - 2), "\r\n");
  EXPECT_EQ(text.find(kRunLogHeader, 1), std::string::npos);
}

// A log begun before the station and id columns keeps its header: its lines get
// its ten columns, and their id, made from the line, is the same when the file is
// read back.
TEST_F(RunLog, AnOlderLogKeepsItsColumns) {
  std::string path = dir_ + "/line.csv";
  const std::string header = "time,program,port,operation,serial,file,bytes,crc32,result,ms\r\n";
  std::ofstream(path, std::ios::binary) << header;
  std::vector<RunLine> written;
  LogRun(Record("flash-read", "OK"), path, "COM7", "st1", &written);
  LogRun(Record("flash-erase", "OK"), path, "COM7", "st1", &written);
  std::string text = ReadFileBytes(path);
  ASSERT_EQ(written.size(), 2u);
  size_t second = text.find("\r\n", header.size()) + 2;
  RunLine back = RunLineFieldsOf(text.substr(second, text.find("\r\n", second) - second));
  EXPECT_EQ(back, written[1]);
  EXPECT_EQ(back.size(), 10u);
  EXPECT_EQ(RunLineId(back, "st1"), RunLineId(written[1], "st1"));
  EXPECT_NE(RunLineId(written[0], "st1"), RunLineId(written[1], "st1"));
  EXPECT_EQ(RunLineId(back, "st1").compare(0, 4, "st1-"), 0);
}

}  // namespace

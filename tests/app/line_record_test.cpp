// The bench as a line uses it, over a real pty against the virtual unit: the run
// log against what the unit holds, verify after write against a unit that stores
// a byte wrongly, the progress a long job shows, and the serial number kept in
// QB2BENCH.INI the moment a run has succeeded.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "firmware/boot_blocks.h"
#include "operator/program.h"
#include "record/run_log.h"
#include "app/bench_settings.h"
#include "record/settings.h"
#include "tests/app/bench_fixture.h"
#include "util/crc32.h"

namespace {

using qb2sim::Fault;
using Clock = std::chrono::steady_clock;

// A log line's fields (no field of these tests needs quoting).
std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> out;
  size_t at = 0;
  for (;;) {
    size_t comma = line.find(',', at);
    out.push_back(line.substr(at, comma - at));
    if (comma == std::string::npos) return out;
    at = comma + 1;
  }
}

std::string Hex(uint32_t crc) {
  char text[12];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(crc));
  return text;
}

class LineRecord : public BenchOnUnit {
 protected:
  void SetUp() override {
    BenchOnUnit::SetUp();
    ProgramKind = kBenchProgram;
    log_ = dir_ + "/line.csv";
    UiSetText(IDC_LOG_FILE, log_.c_str());
  }
  void TearDown() override {
    ProgramKind = kLineProgram;
    UiSetText(IDC_LOG_FILE, "");
    BenchOnUnit::TearDown();
  }
  // The log's lines after the header, each as its fields (CRLF taken off).
  std::vector<std::vector<std::string>> LogLines() {
    std::ifstream f(log_, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<std::vector<std::string>> out;
    size_t at = text.find("\r\n");
    while (at != std::string::npos && at + 2 < text.size()) {
      size_t end = text.find("\r\n", at + 2);
      out.push_back(Fields(text.substr(at + 2, end - at - 2)));
      at = end;
    }
    return out;
  }
  bool RunJob(int id) {
    Press(id);
    return WorkerRunning() && AwaitJobEnd(30000);
  }
  std::string log_;
};

// Every kind of operation leaves one line, and its CRC is that of what the unit
// holds afterwards (or of what was saved from it).
TEST_F(LineRecord, EachOperationLeavesALineWithTheCrcOfWhatTheUnitHolds) {
  SequenceTickSource = FastTicks;
  BootErasePauseMs = 20;
  BootWritePauseMs = 20;
  Bytes data = Pattern(1000, 1);
  WriteFileBytes(dir_ + "/w.bin", data);
  Bytes image = Pattern(0x300, 2);
  WriteImage(image);
  UiSetText(IDC_SERIAL_NUMBER, "00000041");
  Bytes code = Pattern(0x180, 3);
  WriteFirmware({{0xC000, code}});
  ASSERT_TRUE(OpenLink());

  Boxes("256", "", dir_ + "/w.bin");  // 1000 bytes at 0x100
  ASSERT_TRUE(RunJob(IDC_FLASH_WRITE));
  Bytes flash = unit_->Flash();
  Boxes("256", "1000", dir_ + "/r.bin");
  ASSERT_TRUE(RunJob(IDC_FLASH_READ));
  Boxes("256", "512", dir_ + "/w.bin");
  ASSERT_TRUE(RunJob(IDC_FLASH_ERASE));
  EmStart();
  ASSERT_TRUE(AwaitEnd(10000));
  ASSERT_TRUE(OpenLink());  // the run closed the port as it handed the unit over
  ASSERT_TRUE(RunJob(IDC_COMMAND2));

  std::vector<std::vector<std::string>> lines = LogLines();
  ASSERT_EQ(lines.size(), 5u);
  for (const auto& l : lines) {
    ASSERT_EQ(l.size(), 16u);
    EXPECT_EQ(l[0].size(), 23u) << l[0];  // YYYY-MM-DD hh:mm:ss.mmm
    EXPECT_EQ(l[1], "QB2BENCH");
    EXPECT_EQ(l[2], "COM7");
    EXPECT_EQ(l[8], "OK") << l[3];
  }
  EXPECT_EQ(std::vector<std::string>({lines[0][3], lines[0][4], lines[0][5], lines[0][6], lines[0][7]}),
            std::vector<std::string>({"flash-write", "", dir_ + "/w.bin", "1000", Hex(Crc32(&flash[0x100], 1000))}));
  EXPECT_EQ(std::vector<std::string>({lines[1][3], lines[1][5], lines[1][6], lines[1][7]}),
            std::vector<std::string>({"flash-read", dir_ + "/r.bin", "1000", Hex(Crc32(data.data(), 1000))}));
  EXPECT_EQ(std::vector<std::string>({lines[2][3], lines[2][6], lines[2][7]}),
            std::vector<std::string>({"flash-erase", "512", ""}));
  // The image as the unit got it: the serial number's stamp is not in a 0x300
  // image, so the unit's first 0x300 bytes are the file's.
  Bytes after = unit_->Flash();
  EXPECT_EQ(Bytes(after.begin(), after.begin() + 0x300), image);
  // No place for a number in it: the line names none, though the bench counts on.
  EXPECT_EQ(std::vector<std::string>({lines[3][3], lines[3][4], lines[3][5], lines[3][6], lines[3][7]}),
            std::vector<std::string>({"production", "", dir_ + "/" + kFlashDataFileName, "768",
                                      Hex(Crc32(after.data(), 0x300))}));
  EXPECT_EQ(lines[3][12], Hex(Crc32(image.data(), image.size())));  // image_crc32: the file as supplied
  // The download's used block (row 6, 0xC000-0xDFFF) as the unit's program memory holds it.
  Bytes program = unit_->ProgramMemory();
  EXPECT_EQ(std::vector<std::string>({lines[4][3], lines[4][5], lines[4][6], lines[4][7]}),
            std::vector<std::string>({"download", file_, "8192", Hex(Crc32(&program[0xC000], 0x2000))}));
}

// A failure's line holds the word the operator was shown; a stop says so.
TEST_F(LineRecord, FailuresAndStopsAreRecordedAsTheOperatorSawThem) {
  SequenceTickSource = FastTicks;
  WriteFileBytes(dir_ + "/w.bin", Pattern(0x400, 4));
  unit_->AddFault(Fault::Status('1').Cmd(0x50).Sub(0x84).Nth(2));
  unit_->AddFault(Fault::NoReply().Cmd(CMD_SET_CLOCK));
  ASSERT_TRUE(OpenLink());
  Boxes("0", "", dir_ + "/w.bin");
  ASSERT_TRUE(RunJob(IDC_FLASH_WRITE));
  WriteImage(Pattern(0x100, 9));
  UiSetText(IDC_SERIAL_NUMBER, "00000001");
  EmStart();
  ASSERT_TRUE(AwaitEnd(10000));
  ASSERT_TRUE(OpenLink());
  unit_->SetReplyDelay(20);
  Boxes("0", "65536", dir_ + "/r.bin");
  Press(IDC_FLASH_READ);
  ASSERT_TRUE(unit_->WaitFor([&] { return unit_->FrameCount() >= 12; }, 5000));
  OnCommand(IDC_CLOSE, &JobParams);
  std::vector<std::vector<std::string>> lines = LogLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0][8], "FLASH WRITE 異常");
  EXPECT_EQ(lines[1][8], "___SET_RTC_ERROR___");
  EXPECT_EQ(lines[1][6], "");  // the image was never programmed
  EXPECT_EQ(lines[2][3], "flash-read");
  EXPECT_EQ(lines[2][8], "stopped");
  EXPECT_EQ(lines[2][7], "");  // nothing was saved
}

// The unit stores one byte of the third page wrongly and still answers '0': only
// the read-back finds it, at its own address.
TEST_F(LineRecord, VerifyAfterWriteFindsTheByteTheUnitStoredWrongly) {
  WriteFileBytes(dir_ + "/w.bin", Pattern(0x800, 5));
  unit_->AddFault(Fault::CorruptWrite(5).Nth(3));
  ASSERT_TRUE(OpenLink());
  UiSetCheck(IDC_VERIFY, 1);
  Boxes("4096", "", dir_ + "/w.bin");  // pages at 0x1000, 0x1100, 0x1200 (the bad one), ...
  ASSERT_TRUE(RunJob(IDC_FLASH_WRITE));
  EXPECT_EQ(UiModelBoxes(), (std::vector<std::pair<std::string, std::string>>{{"VERIFY 異常 01205", "KM7200"}}));
  std::vector<std::vector<std::string>> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0][8], "VERIFY 異常 01205");
  // The read-back stopped at the difference: eight writes, then three reads.
  std::vector<unsigned> codes = Codes();
  ASSERT_EQ(codes.size(), 11u);
  EXPECT_EQ(codes[8], 0x5000u | MEM_FLASH_READ);
  EXPECT_EQ(codes[10], 0x5000u | MEM_FLASH_READ);

  // Without the fault the same write verifies: eight writes, eight reads, no box.
  unit_->ClearFaults();
  UiModelReset();
  UiSetCheck(IDC_VERIFY, 1);
  UiSetText(IDC_LOG_FILE, log_.c_str());
  ASSERT_TRUE(unit_->SetFlash(0x1000, Bytes(0x800, 0xFF)));
  size_t before = unit_->FrameCount();
  Boxes("4096", "2048", dir_ + "/w.bin");
  ASSERT_TRUE(RunJob(IDC_FLASH_WRITE));
  EXPECT_TRUE(UiModelBoxes().empty());
  EXPECT_EQ(unit_->FrameCount() - before, 16u);
  EXPECT_EQ(LogLines().back()[8], "OK");

  // QB2LINK.EXE never verifies, whatever the model's box says: no read goes out.
  ProgramKind = kLineProgram;
  before = unit_->FrameCount();
  ASSERT_TRUE(RunJob(IDC_FLASH_WRITE));
  EXPECT_EQ(unit_->FrameCount() - before, 8u);
}

TEST_F(LineRecord, AProductionRunThatFailsItsVerifyDoesNotRestartTheUnit) {
  SequenceTickSource = FastTicks;
  WriteImage(Pattern(0x400, 6));
  UiSetText(IDC_SERIAL_NUMBER, "00000007");
  UiSetCheck(IDC_VERIFY, 1);
  unit_->AddFault(Fault::CorruptWrite(0).Nth(2));
  ASSERT_TRUE(OpenLink());
  EmStart();
  ASSERT_TRUE(AwaitEnd(10000));
  std::vector<std::string> lines = SequenceLines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], "VERIFY 異常 00100");
  EXPECT_EQ(lines[lines.size() - 2], "___FLASH_VERIFY_ERROR___");
  EXPECT_EQ(SequenceState.load(), SEQ_RESTING_FAILED);
  for (unsigned c : Codes()) EXPECT_NE(c, CMD_APP_RESUME);
  EXPECT_EQ(UiModelText(IDC_SERIAL_NUMBER), "00000007");  // the number is used again
  EXPECT_EQ(LogLines().back()[8], "___FLASH_VERIFY_ERROR___");
}

// A write long enough to watch: the status line counts pages and, once it can,
// the seconds left; it changes at most five times a second, and ends saying how
// the write went, with the bar full.
TEST_F(LineRecord, ALongWriteShowsItsProgress) {
  WriteFileBytes(dir_ + "/w.bin", Pattern(0x8000, 7));
  unit_->SetReplyDelay(15);  // 128 pages in about two seconds
  ASSERT_TRUE(OpenLink());
  UiSetText(IDC_STATUS_LINE, "");
  Boxes("0", "", dir_ + "/w.bin");
  Clock::time_point t0 = Clock::now();
  Press(IDC_FLASH_WRITE);
  std::vector<std::pair<double, std::string>> shown;
  while (WorkerRunning() && Clock::now() - t0 < std::chrono::seconds(20)) {
    std::string text = UiModelText(IDC_STATUS_LINE);
    if (!text.empty() && (shown.empty() || shown.back().second != text))
      shown.emplace_back(std::chrono::duration<double>(Clock::now() - t0).count(), text);
    for (unsigned m : Posted())
      if (m == UM_JOIN_WORKER) OnUserMessage(UM_JOIN_WORKER, &JobParams);
    posted_.clear();
    SleepMs(2);
  }
  ASSERT_FALSE(WorkerRunning());
  double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  ASSERT_GE(shown.size(), 4u);
  EXPECT_EQ(shown.front().second, "書込み 0/128 ページ");
  EXPECT_EQ(UiModelText(IDC_STATUS_LINE), "書込み 128/128 ページ 完了");
  EXPECT_EQ(UiModelProgress(IDC_PROGRESS), std::make_pair(128u, 128u));
  EXPECT_LE(shown.size(), static_cast<size_t>(seconds * 5) + 3) << seconds << " s";
  unsigned last = 0;
  bool timeLeft = false;
  for (const auto& s : shown) {
    unsigned done = 0, total = 0, left = 0;
    int fields = std::sscanf(s.second.c_str(), "書込み %u/%u ページ 残り %u 秒", &done, &total, &left);
    ASSERT_GE(fields, 2) << s.second;
    EXPECT_EQ(total, 128u);
    EXPECT_GE(done, last);
    last = done;
    if (fields == 3) {
      timeLeft = true;
      // The rest at the rate so far: within reason of what was left to do.
      EXPECT_LE(left, 10u) << s.second;
    }
  }
  EXPECT_TRUE(timeLeft);

  // QB2LINK.EXE's status line belongs to the port watcher: a job leaves it alone.
  ProgramKind = kLineProgram;
  UiSetText(IDC_STATUS_LINE, "USBを接続してください。");
  unit_->SetReplyDelay(0);
  ASSERT_TRUE(RunJob(IDC_FLASH_WRITE));
  EXPECT_EQ(UiModelText(IDC_STATUS_LINE), "USBを接続してください。");
}

// The bench's numbers: claimed for each em-start and written at once, so a crash
// never hands one out twice; a failed run's number goes to the next run again; a
// number typed into 304 sets the counter. None that the unit's eight digits cannot
// hold, and none that cannot be kept: a box, and nothing on the wire.
TEST_F(LineRecord, EachRunClaimsItsNumberAndAFailedRunsNumberIsUsedAgain) {
  SequenceTickSource = FastTicks;
  WriteImage(StampableImage(8));
  ASSERT_TRUE(OpenLink());
  for (const char* unreadable : {"", "12ab", "100000000", "-1"}) {
    UiSetText(IDC_SERIAL_NUMBER, unreadable);
    EmStart();
    EXPECT_FALSE(WorkerRunning()) << unreadable;
  }
  ASSERT_EQ(mkdir((std::string(kSettingsFile) + ".tmp").c_str(), 0755), 0);  // no write can be made whole
  UiSetText(IDC_SERIAL_NUMBER, "00000041");
  EmStart();
  EXPECT_FALSE(WorkerRunning());
  EXPECT_EQ(UiModelBoxes().size(), 5u);
  EXPECT_EQ(unit_->FrameCount(), 0u);

  ASSERT_EQ(rmdir((std::string(kSettingsFile) + ".tmp").c_str()), 0);
  EmStart();
  ASSERT_TRUE(AwaitEnd(10000));
  EXPECT_EQ(UiModelText(IDC_RESULT), "合格 S/N 00000041");
  EXPECT_EQ(UiModelText(IDC_SERIAL_NUMBER), "00000042");
  unit_->AddFault(Fault::NoReply().Cmd(CMD_SET_CLOCK).Times(1));
  ASSERT_TRUE(OpenLink());
  EmStart();
  ASSERT_TRUE(AwaitEnd(10000));
  EXPECT_NE(UiModelText(IDC_RESULT).find("不合格"), std::string::npos);
  EXPECT_EQ(UiModelText(IDC_SERIAL_NUMBER), "00000042");
  ASSERT_TRUE(OpenLink());
  EmStart();
  ASSERT_TRUE(AwaitEnd(10000));
  EXPECT_EQ(UiModelText(IDC_RESULT), "合格 S/N 00000042");
  Bytes flash = unit_->Flash();
  EXPECT_EQ(Bytes(flash.begin() + 0xE004, flash.begin() + 0xE008), (Bytes{0x00, 0x00, 0x00, 0x42}));
  UiModelReset();  // a new start of the bench, in the same folder: every claim was kept
  EXPECT_GE(LoadSettings(kSettingsFile), 1);
  EXPECT_EQ(UiModelText(IDC_SERIAL_NUMBER), "00000043");
}

// A job's line is in the log before its box: a box that waits for an operator who
// never answers, and a close that gives up waiting for the job, lose nothing.
TEST_F(LineRecord, ALineIsInTheLogWhileTheJobsBoxWaits) {
  WriteFileBytes(dir_ + "/w.bin", Pattern(0x400, 9));
  unit_->AddFault(Fault::Status('1').Cmd(0x50).Sub(0x84).Nth(2));
  ASSERT_TRUE(OpenLink());
  UiModelHoldBoxes(true);
  Boxes("0", "", dir_ + "/w.bin");
  Press(IDC_FLASH_WRITE);
  ASSERT_TRUE(unit_->WaitFor([] { return !UiModelBoxes().empty(); }, 5000));
  std::vector<std::vector<std::string>> lines = LogLines();
  UiModelHoldBoxes(false);
  ASSERT_TRUE(AwaitJobEnd(5000));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0][8], "FLASH WRITE 異常");
}

// The operator closes the bench just as a run ends: the run's em-stop is on its way
// to the dialog. The close waits for the run, still serving its commands, so the
// run's line is in the log before the process could end.
intptr_t SlowEmStop(unsigned message, uintptr_t wParam, intptr_t lParam) {
  if (message == 273 && (wParam & 0xFFFF) == IDC_EM_STOP && WorkerWaitsForCommand() == IDC_EM_STOP) SleepMs(300);
  return DispatchToDialog(message, wParam, lParam);
}

TEST_F(LineRecord, ACloseAtTheRunsEndWaitsForItsLine) {
  SequenceTickSource = FastTicks;
  WriteImage(Pattern(0x100, 8));
  UiSetText(IDC_SERIAL_NUMBER, "00000041");
  UiModelSetDispatcher(SlowEmStop);
  ASSERT_TRUE(OpenLink());
  EmStart();
  Posted();  // the dialog's message loop goes round, as between the start and the close
  ASSERT_TRUE(unit_->WaitFor([] { return WorkerWaitsForCommand() == IDC_EM_STOP; }, 10000));
  OnCloseDialog();
  EXPECT_FALSE(WorkerRunning());
  std::vector<std::vector<std::string>> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0][3], "production");
  EXPECT_EQ(lines[0][8], "OK");
}

}  // namespace

// em-start end to end: the dialog's handlers over the dialog model, the sequence on
// its worker thread, the link over a real pty, the virtual unit as the device.
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "device/commands.h"
#include "tests/sequence/sequence_fixture.h"

namespace {

using qb2sim::Fault;
using qb2sim::FrameRecord;

Bytes Payload(const FrameRecord& f) { return Bytes(f.payload.begin(), f.payload.end()); }

// 0xE100 bytes: pages 0x0000, 0x0300 and 0xE000 hold data, every other page is blank.
Bytes TestImage() {
  Bytes image(0xE100, 0xFF);
  for (int i = 0; i < 256; ++i) image[i] = static_cast<unsigned char>(i);
  image[0x0300 + 17] = 0x00;
  for (int i = 0; i < 256; ++i) image[0xE000 + i] = static_cast<unsigned char>(0x40 + i % 7);
  return image;
}

// A one-page image in place: a run without one ends before it sends anything.
class SequenceRun : public SequenceOnUnit {
 protected:
  void SetUp() override {
    SequenceOnUnit::SetUp();
    WriteImage(Bytes(256, 0x00));
  }
};

TEST_F(SequenceRun, ASuccessfulRunProgramsTheUnitAndHandsItOver) {
  Bytes image = TestImage();
  WriteImage(image);
  UiSetText(IDC_SERIAL_NUMBER, "00000041");
  ASSERT_TRUE(OpenLink());
  Clock::time_point from = Clock::now();
  EmStart();
  ASSERT_TRUE(AwaitEnd(15000));
  EXPECT_EQ(WorkerThread, nullptr);

  std::vector<FrameRecord> f = unit_->Frames();
  ASSERT_EQ(f.size(), 12u);
  for (const FrameRecord& r : f) EXPECT_TRUE(r.Good());
  EXPECT_EQ(f[0].code, CMD_APP_STOP);
  std::vector<qb2sim::AppStopRecord> stops = unit_->AppStops();
  ASSERT_EQ(stops.size(), 1u);
  EXPECT_TRUE(stops[0].preStop);
  EXPECT_GE(stops[0].msBefore, 95);
  EXPECT_LT(stops[0].msBefore, 400);

  // The light pattern the unit shows while it sets its range, byte for byte.
  const Bytes led = {
      0x83, 0x00, 0x00, 0x00,
      0x01, 0x03, 0x00, 0x00, 0x01, 0x0C, 0x00, 0x00, 0x01, 0x30, 0x00, 0x00, 0x01, 0xC0, 0x00, 0x00,
      0x01, 0x00, 0x03, 0x00, 0x01, 0x00, 0x0C, 0x00, 0x01, 0x00, 0x30, 0x00, 0x01, 0x00, 0xC0, 0x00,
      0x01, 0x00, 0x00, 0x03, 0x01, 0x00, 0x00, 0x0C, 0x01, 0x00, 0x00, 0x30, 0x01, 0x00, 0x00, 0xC0,
      0x01, 0xFF, 0xFF, 0xFF, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0xC1, 0xC1, 0xC1, 0xC1, 0xC1, 0xFF,
  };
  EXPECT_EQ(f[1].code, CMD_MEMORY);
  EXPECT_EQ(Payload(f[1]), led);
  EXPECT_EQ(f[2].code, CMD_SET_RANGE);
  EXPECT_EQ(Payload(f[2]), (Bytes{0x00, 0x00, 0x00, 0xF2, 0x1E, 0xFF}));
  EXPECT_EQ(Payload(f[3]), (Bytes{0x83, 0, 0, 0}));
  EXPECT_EQ(f[4].code, CMD_SET_CLOCK);
  EXPECT_GE(f[4].timeMs - f[3].timeMs, 85);  // 100 ms from the cycle that sent f[3]
  EXPECT_EQ(f[5].code, CMD_GET_CLOCK);
  double clockWait = f[5].timeMs - f[4].timeMs;
  EXPECT_GT(clockWait, 2950 - HeldMs(from));  // a byte held back may shorten a gap too
  EXPECT_LT(clockWait, 3600 + HeldMs(from));
  EXPECT_EQ(Payload(f[6]), (Bytes{0x44, 0x00, 0x00, 0x00, 0x00, 0x80}));
  EXPECT_EQ(Payload(f[7]), (Bytes{0x44, 0x00, 0x80, 0x00, 0x00, 0x80}));

  // The three pages with data, in order, the last stamped with the serial number.
  Bytes stamped = image;
  stamped[0xE004] = 0x00;
  stamped[0xE005] = 0x00;
  stamped[0xE006] = 0x00;
  stamped[0xE007] = 0x41;
  const uint32_t pages[3] = {0x0000, 0x0300, 0xE000};
  for (int i = 0; i < 3; ++i) {
    Bytes expected(260, 0);
    expected[0] = 0x84;
    expected[1] = static_cast<unsigned char>(pages[i] & 0xFF);
    expected[2] = static_cast<unsigned char>(pages[i] >> 8);
    std::copy(stamped.begin() + pages[i], stamped.begin() + pages[i] + 256, expected.begin() + 4);
    EXPECT_EQ(Payload(f[8 + i]), expected) << "page " << i;
  }
  EXPECT_EQ(f[11].code, CMD_APP_RESUME);
  // 500 ms from the start of the cycle that wrote the pages: their own time counts.
  // That cycle began after the second erase's frame reached the unit, and it may
  // spend a while on the file before the first page leaves (more so under TSan and
  // load), so the erase is the firm mark; 5 ms for the two clocks' ticks.
  EXPECT_GE(f[11].timeMs - f[7].timeMs, 495);
  EXPECT_LT(f[11].timeMs - f[10].timeMs, 700);
  Bytes flash = unit_->Flash();
  EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 0xE100), stamped);
  EXPECT_TRUE(unit_->AppRunning());

  // The file keeps its own bytes.
  std::ifstream in(dir_ + "/" + kFlashDataFileName, std::ios::binary);
  Bytes onDisk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(onDisk, image);

  std::vector<std::string> lines = SequenceLines();
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], "開始!!");
  int y, mo, d, h, mi, s;
  EXPECT_EQ(std::sscanf(lines[1].c_str(), "設定時刻  %d年 %d月 %d日  %d時 %d分 %d秒", &y, &mo, &d, &h, &mi, &s), 6)
      << lines[1];
  EXPECT_GE(y, 2026);
  EXPECT_EQ(std::sscanf(lines[2].c_str(), "取得時刻  %d年 %d月 %d日  %d時 %d分 %d秒", &y, &mo, &d, &h, &mi, &s), 6)
      << lines[2];
  EXPECT_EQ(lines[3], "ファイルサイズ＝57600");
  EXPECT_EQ(lines[4], "フラッシュメモリ　データ書込み中");
  EXPECT_EQ(lines[5], "フラッシュメモリ　データ書込み 完了");
  EXPECT_EQ(lines[6], "___APP_RESTART___");
  EXPECT_EQ(lines[7], "停止!!");

  // Handed over: counted up, port closed, removal watch asked for, then the end.
  EXPECT_EQ(UiModelText(IDC_SERIAL_NUMBER), "00000042");
  EXPECT_EQ(PortHandle.load(), nullptr);
  EXPECT_TRUE(UiIsEnabled(IDC_PORT_NUMBER));
  EXPECT_TRUE(unit_->WaitForHostOpen(false, 1000));
  EXPECT_EQ(Posted(), (std::vector<unsigned>{UM_START_REMOVAL_WATCH, UM_SEQUENCE_ENDED}));
  EXPECT_FALSE(LinkFlagSet(StopSequence));
  EXPECT_EQ(SequenceState.load(), SEQ_RESTING_OK);
  EXPECT_EQ(SequenceTimer, 300);
}

// Each failing operation: its token, state 211, nothing more sent, the port closed,
// the removal watch asked for, the serial number box as it was.
struct FailureCase {
  const char* name;
  Fault fault;
  std::vector<std::string> tail;  // the last sequence lines before "停止!!"
  size_t frames;                  // frames the unit received in all
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class SequenceFailure : public SequenceOnUnit, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SequenceFailure, TracesItsTokenAndEndsWithThePortClosed) {
  const FailureCase& c = GetParam();
  SequenceTickSource = FastTicks;
  Bytes image(0x400, 0xFF);
  for (int p = 0; p < 4; ++p) image[p * 256] = static_cast<unsigned char>(p);
  WriteImage(image);
  UiSetText(IDC_SERIAL_NUMBER, "7");
  unit_->AddFault(c.fault);
  ASSERT_TRUE(OpenLink());
  EmStart();
  ASSERT_TRUE(AwaitEnd(20000));
  std::vector<std::string> lines = SequenceLines();
  ASSERT_GE(lines.size(), c.tail.size() + 1);
  std::vector<std::string> tail(lines.end() - 1 - static_cast<long>(c.tail.size()), lines.end() - 1);
  EXPECT_EQ(tail, c.tail);
  EXPECT_EQ(lines.back(), "停止!!");
  EXPECT_EQ(unit_->FrameCount(), c.frames);
  EXPECT_EQ(SequenceState.load(), SEQ_RESTING_FAILED);
  EXPECT_EQ(PortHandle.load(), nullptr);
  EXPECT_EQ(Posted(), (std::vector<unsigned>{UM_START_REMOVAL_WATCH, UM_SEQUENCE_ENDED}));
  EXPECT_EQ(UiModelText(IDC_SERIAL_NUMBER), "7");
}

const std::string kWriteError = "フラッシュメモリ　データ書込みエラー";

INSTANTIATE_TEST_SUITE_P(
    EachStep, SequenceFailure,
    ::testing::Values(
        FailureCase{"StopNoReply", Fault::NoReply().Cmd(CMD_APP_STOP), {"___CAN_NOT_STOP_APP___"}, 1},
        FailureCase{"StopRefused", Fault::Status('1').Cmd(CMD_APP_STOP), {"___CAN_NOT_STOP_APP___"}, 1},
        FailureCase{"LedRefused", Fault::Status('1').Cmd(CMD_MEMORY).Sub(MEM_LED_PATTERN).Nth(1), {"___LED_ON_ERR___"}, 2},
        FailureCase{"LedNoReply", Fault::NoReply().Cmd(CMD_MEMORY).Sub(MEM_LED_PATTERN).Nth(1), {"___LED_ON_ERR___"}, 2},
        FailureCase{"ClockSetRefused", Fault::Status('1').Cmd(CMD_SET_CLOCK), {"___SET_RTC_ERROR___"}, 5},
        FailureCase{"ClockSetNoReply", Fault::NoReply().Cmd(CMD_SET_CLOCK), {"___SET_RTC_ERROR___"}, 5},
        FailureCase{"ClockReadRefused", Fault::Status('1').Cmd(CMD_GET_CLOCK), {"___SET_RTC_ERROR___"}, 6},
        FailureCase{"ClockReadNoReply", Fault::NoReply().Cmd(CMD_GET_CLOCK), {"___SET_RTC_ERROR___"}, 6},
        FailureCase{"FirstEraseRefused", Fault::Status('1').Cmd(CMD_MEMORY).Sub(MEM_FLASH_ERASE).Nth(1),
                    {"___FLASH_ERASE_ERROR1___"}, 7},
        FailureCase{"FirstEraseNoReply", Fault::NoReply().Cmd(CMD_MEMORY).Sub(MEM_FLASH_ERASE).Nth(1),
                    {"___FLASH_ERASE_ERROR1___"}, 7},
        FailureCase{"SecondEraseRefused", Fault::Status('1').Cmd(CMD_MEMORY).Sub(MEM_FLASH_ERASE).Nth(2),
                    {"___FLASH_ERASE_ERROR2___"}, 8},
        FailureCase{"SecondEraseNoReply", Fault::NoReply().Cmd(CMD_MEMORY).Sub(MEM_FLASH_ERASE).Nth(2),
                    {"___FLASH_ERASE_ERROR2___"}, 8},
        FailureCase{"ThirdPageRefused", Fault::Status('1').Cmd(CMD_MEMORY).Sub(MEM_FLASH_WRITE).Nth(3),
                    {"フラッシュメモリ　データ書込み中", kWriteError, "___FLASH_DATA_FILE_WRITE_ERROR___"}, 11},
        FailureCase{"PageNoReply", Fault::NoReply().Cmd(CMD_MEMORY).Sub(MEM_FLASH_WRITE).Nth(1),
                    {"フラッシュメモリ　データ書込み中", kWriteError, "___FLASH_DATA_FILE_WRITE_ERROR___"}, 9},
        // Unplugged once the second page's reply is read: the third page goes nowhere.
        FailureCase{"UnplugAmidThePages", Fault::UnplugAfter(10),
                    {"フラッシュメモリ　データ書込み中", kWriteError, "___FLASH_DATA_FILE_WRITE_ERROR___"}, 10},
        FailureCase{"ResumeRefused", Fault::Status('1').Cmd(CMD_APP_RESUME), {"___APP_RESTART_ERROR___"}, 13},
        FailureCase{"ResumeNoReply", Fault::NoReply().Cmd(CMD_APP_RESUME), {"___APP_RESTART_ERROR___"}, 13}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(SequenceRun, TheThirdPageRefusedLeavesTwoPagesWritten) {
  SequenceTickSource = FastTicks;
  Bytes image(0x400, 0xFF);
  for (int p = 0; p < 4; ++p) image[p * 256 + 9] = static_cast<unsigned char>(0x10 + p);
  WriteImage(image);
  unit_->AddFault(Fault::Status('1').Cmd(CMD_MEMORY).Sub(MEM_FLASH_WRITE).Nth(3));
  ASSERT_TRUE(OpenLink());
  EmStart();
  ASSERT_TRUE(AwaitEnd(20000));
  Bytes flash = unit_->Flash();
  EXPECT_EQ(flash[9], 0x10);
  EXPECT_EQ(flash[0x109], 0x11);
  EXPECT_EQ(flash[0x209], 0xFF);
  EXPECT_EQ(flash[0x309], 0xFF);
}

// Operator's em-stop in a waiting state: the run ends at the next cycle, the port
// stays open, no removal watch, the number is not counted up.
TEST_F(SequenceRun, EmStopWhileTheRangeReplyNeverComes) {
  UiSetText(IDC_SERIAL_NUMBER, "5");
  unit_->AddFault(Fault::NoReply().Cmd(CMD_SET_RANGE));
  ASSERT_TRUE(OpenLink());
  EmStart();
  ASSERT_TRUE(AwaitState(SEQ_RANGE_REPLY, 3000));
  SleepMs(2500);  // longer than any reply wait: state 32 has no bound of its own
  EXPECT_EQ(SequenceState.load(), SEQ_RANGE_REPLY);
  OnCommand(IDC_EM_STOP, &JobParams);
  ASSERT_TRUE(AwaitEnd(1000));
  EXPECT_EQ(unit_->FrameCount(), 3u);  // stop, light pattern, range: nothing after
  EXPECT_EQ(SequenceLines(), (std::vector<std::string>{"開始!!", "停止!!"}));
  EXPECT_TRUE(PortIsOpen(PortHandle.load()));
  EXPECT_EQ(Posted(), (std::vector<unsigned>{UM_SEQUENCE_ENDED}));
  EXPECT_EQ(UiModelText(IDC_SERIAL_NUMBER), "5");
  EXPECT_FALSE(LinkFlagSet(StopSequence));
}

// em-stop in the 3 s clock wait leaves the rest of the timer, and the next run's
// first request waits for it.
TEST_F(SequenceRun, EmStopInTheClockWaitLeavesATimerThatDelaysTheNextRun) {
  ASSERT_TRUE(OpenLink());
  EmStart();
  ASSERT_TRUE(AwaitState(SEQ_READ_CLOCK, 3000));
  // Two thirds of the wait: the rest (about 1000 ms) stays well apart from a fresh
  // 3 s wait, even with the scheduling delays of a loaded machine under TSan.
  SleepMs(2000);
  OnCommand(IDC_EM_STOP, &JobParams);
  ASSERT_TRUE(AwaitEnd(1000));
  EXPECT_EQ(unit_->FrameCount(), 5u);
  int left = SequenceTimer;
  ASSERT_GT(left, 300);  // about 1000; a busy machine oversleeps the 2000
  EXPECT_LT(left, 1100);
  EXPECT_TRUE(PortIsOpen(PortHandle.load()));

  unit_->AddFault(Fault::Status('1').Cmd(CMD_MEMORY).Sub(MEM_LED_PATTERN));  // end the next run early
  Clock::time_point from = Clock::now();
  EmStart();
  ASSERT_TRUE(AwaitEnd(6000));
  std::vector<FrameRecord> f = unit_->Frames();
  ASSERT_EQ(f.size(), 7u);
  EXPECT_EQ(f[5].code, CMD_APP_STOP);
  EXPECT_EQ(f[6].code, CMD_MEMORY);
  EXPECT_GT(f[6].timeMs - f[5].timeMs, left - 100 - HeldMs(from));
  EXPECT_LT(f[6].timeMs - f[5].timeMs, left + 1000 + HeldMs(from));  // a fresh wait would be 3000
}

// em-stop in the 500 ms before the restart: the unit stays stopped and its number
// is used again by the next run.
TEST_F(SequenceRun, EmStopBeforeTheRestartKeepsTheSerialNumber) {
  WriteImage(Bytes(256, 0x00));
  UiSetText(IDC_SERIAL_NUMBER, "00000009");
  ASSERT_TRUE(OpenLink());
  EmStart();
  ASSERT_TRUE(AwaitState(SEQ_APP_RESTART, 6000));
  OnCommand(IDC_EM_STOP, &JobParams);
  ASSERT_TRUE(AwaitEnd(1000));
  EXPECT_EQ(unit_->FrameCount(), 9u);  // up to the one page: no CMD_APP_RESUME
  EXPECT_FALSE(unit_->AppRunning());
  EXPECT_EQ(UiModelText(IDC_SERIAL_NUMBER), "00000009");
  EXPECT_TRUE(PortIsOpen(PortHandle.load()));
  EXPECT_EQ(Posted(), (std::vector<unsigned>{UM_SEQUENCE_ENDED}));
  EXPECT_GT(SequenceTimer, 0);  // the rest of the 500 ms waits for the next run
}

TEST_F(SequenceRun, EmStartRefusesWhileAWorkerRunsAndWithThePortClosed) {
  EmStart();  // port closed: the warning, no worker
  EXPECT_EQ(WorkerThread, nullptr);
  ASSERT_EQ(UiModelBoxes().size(), 1u);
  unit_->AddFault(Fault::NoReply().Cmd(CMD_SET_RANGE));
  ASSERT_TRUE(OpenLink());
  EmStart();
  ASSERT_TRUE(AwaitState(SEQ_RANGE_REPLY, 3000));
  ThreadHandle running = WorkerThread;
  OnCommand(IDC_EM_STOP, &JobParams);
  EmStart();  // the run has not ended yet: refused, and the stop stands
  EXPECT_EQ(WorkerThread, running);
  EXPECT_TRUE(LinkFlagSet(StopSequence));
  ASSERT_TRUE(AwaitEnd(1000));
  EXPECT_EQ(unit_->AppStops().size(), 1u);
}

// An image that cannot be programmed ends the run before anything is sent: not the
// stop byte, not a frame; the unit is never erased for a run that cannot succeed.
TEST_F(SequenceRun, AMissingImageSendsNothing) {
  ASSERT_EQ(unlink((dir_ + "/" + kFlashDataFileName).c_str()), 0);
  ASSERT_TRUE(OpenLink());
  EmStart();
  ASSERT_TRUE(AwaitEnd(5000));
  EXPECT_EQ(unit_->FrameCount(), 0u);
  EXPECT_EQ(unit_->PreStopBytes(), 0);
  EXPECT_TRUE(Contains(SequenceLines(), "___FLASH_DATA_FILE_NOT_EXIST___"));
  EXPECT_EQ(JobParams.outcome, JOB_FILE);
  EXPECT_EQ(JobParams.reason, "書込みデータファイルがありません");
}

// The low 16 bits of the tick count wrap in the middle of the 3 s clock wait; the
// wait still lasts its 3 s.
uint32_t TickOffset = 0;
uint32_t WrappingTicks() { return TickCountMs() + TickOffset; }

TEST_F(SequenceRun, TheTickWrapInTheClockWaitKeepsItsLength) {
  // The wrap comes about 1.5 s after the start: inside the clock wait.
  TickOffset = 65536u - (TickCountMs() & 0xFFFFu) - 1500u;
  SequenceTickSource = WrappingTicks;
  unit_->AddFault(Fault::Status('1').Cmd(CMD_MEMORY).Sub(MEM_FLASH_ERASE));
  ASSERT_TRUE(OpenLink());
  Clock::time_point from = Clock::now();
  EmStart();
  ASSERT_TRUE(AwaitEnd(8000));
  std::vector<FrameRecord> f = unit_->Frames();
  ASSERT_EQ(f.size(), 7u);
  double wait = f[5].timeMs - f[4].timeMs;
  EXPECT_GT(wait, 2950 - HeldMs(from));
  EXPECT_LT(wait, 3600 + HeldMs(from));
}

TEST_F(SequenceRun, SerialNumbersCountUpAsTheBoxShowsThem) {
  SequenceTickSource = FastTicks;
  WriteImage(Bytes(256, 0x00));
  const struct {
    const char* box;
    const char* after;
  } cases[] = {{"", "00000001"}, {"12ab", "00000013"}, {"-5", "-0000004"}, {"2147483647", "-2147483648"}};
  for (const auto& c : cases) {
    UiSetText(IDC_SERIAL_NUMBER, c.box);
    posted_.clear();
    ended_ = 0;
    ASSERT_TRUE(OpenLink());
    EmStart();
    ASSERT_TRUE(AwaitEnd(8000)) << c.box;
    EXPECT_EQ(UiModelText(IDC_SERIAL_NUMBER), c.after) << c.box;
    SequenceTimer = 0;  // the end state's 300 ms would only delay the next run
  }
}

}  // namespace

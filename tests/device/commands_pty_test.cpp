// The device operations over a real pty against the virtual unit: the payload
// bytes each one sends and the results 0, 3, 4 and 5 with their bounds.
#include <chrono>
#include <vector>

#include "device/commands.h"
#include "tests/link/unit_fixture.h"

namespace {

using Bytes = std::vector<unsigned char>;
using qb2sim::Fault;
using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

class DeviceCommands : public UnitOnPort {
 protected:
  qb2sim::FrameRecord LastFrame() {
    std::vector<qb2sim::FrameRecord> frames = unit_->Frames();
    return frames.empty() ? qb2sim::FrameRecord() : frames.back();
  }
  Bytes LastPayload() {
    qb2sim::FrameRecord f = LastFrame();
    return Bytes(f.payload.begin(), f.payload.end());
  }
};

TEST(CommandPayloads, FieldsAreLeastSignificantByteFirstAndCutToTheirWidth) {
  unsigned char out[16];
  ASSERT_EQ(BuildSetRangePayload(out, 0, 7922, 0xFF), 6);
  EXPECT_EQ(Bytes(out, out + 6), (Bytes{0x00, 0x00, 0x00, 0xF2, 0x1E, 0xFF}));
  // Bits above the 24-bit address and the 16-bit count are not sent.
  BuildSetRangePayload(out, 0x12345678, 0x1ABCD, 7);
  EXPECT_EQ(Bytes(out, out + 6), (Bytes{0x78, 0x56, 0x34, 0xCD, 0xAB, 0x07}));
  ASSERT_EQ(BuildFlashReadPayload(out, 0x01FF00, 256), 6);
  EXPECT_EQ(Bytes(out, out + 6), (Bytes{0x04, 0x00, 0xFF, 0x01, 0x00, 0x01}));
  ASSERT_EQ(BuildLedPatternPayload(out, nullptr, 0), 4);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x83, 0x00, 0x00, 0x00}));
  // 2026-12-07 15:30:45: day number 9837 = 0x266D, then BCD time.
  LocalTimeFields t{2026, 12, 7, 15, 30, 45, 0};
  ASSERT_EQ(BuildClockPayload(out, t), 5);
  EXPECT_EQ(Bytes(out, out + 5), (Bytes{0x6D, 0x26, 0x15, 0x30, 0x45}));
}

TEST_F(DeviceCommands, EachOperationSendsItsPayloadAndReadsTheReply) {
  ASSERT_TRUE(OpenLink());
  EXPECT_EQ(SendLedPattern(nullptr, 0), 0);
  EXPECT_EQ(LastFrame().code, CMD_MEMORY);
  EXPECT_EQ(LastPayload(), (Bytes{0x83, 0x00, 0x00, 0x00}));

  const unsigned char pattern[3] = {1, 2, 3};
  EXPECT_EQ(SendLedPattern(pattern, 3), 0);
  EXPECT_EQ(LastPayload(), (Bytes{0x83, 0x00, 0x00, 0x00, 1, 2, 3}));

  SendSetRange(0, 7922, 0xFF);  // no wait of its own: the caller watches the flag
  ASSERT_TRUE(unit_->WaitFor([this] { return unit_->LastSetRange().has_value(); }, 2000));
  for (int i = 0; i < 200 && !ResponseReadySet(); ++i) SleepMs(5);
  EXPECT_TRUE(ResponseReadySet());
  EXPECT_EQ(LastFrame().code, CMD_SET_RANGE);
  EXPECT_EQ(LastPayload(), (Bytes{0x00, 0x00, 0x00, 0xF2, 0x1E, 0xFF}));

  EXPECT_EQ(EraseFlash(0x8000, 0x8000), 0);
  EXPECT_EQ(LastPayload(), (Bytes{0x44, 0x00, 0x80, 0x00, 0x00, 0x80}));

  Bytes page(256);
  for (int i = 0; i < 256; ++i) page[i] = static_cast<unsigned char>(255 - i);
  EXPECT_EQ(WriteFlashPage(page.data(), 0xE000, 256), 0);
  Bytes expected{0x84, 0x00, 0xE0, 0x00};
  expected.insert(expected.end(), page.begin(), page.end());
  EXPECT_EQ(LastPayload(), expected);  // 260 bytes
  Bytes flash = unit_->Flash();
  EXPECT_EQ(Bytes(flash.begin() + 0xE000, flash.begin() + 0xE100), page);

  EXPECT_EQ(StopDeviceApp(), 0);
  EXPECT_EQ(LastFrame().code, CMD_APP_STOP);
  EXPECT_FALSE(unit_->AppRunning());
  EXPECT_EQ(ResumeDeviceApp(), 0);
  EXPECT_EQ(LastFrame().code, CMD_APP_RESUME);
  EXPECT_TRUE(unit_->AppRunning());

  // The clock set carries the local time the unit then reports.
  LocalTimeFields before;
  ReadLocalTime(&before);
  EXPECT_EQ(SetDeviceClock(), 0);
  EXPECT_EQ(LastFrame().code, CMD_SET_CLOCK);
  qb2sim::ClockTime set = unit_->ClockNow();
  EXPECT_EQ(set.year, before.year);
  EXPECT_EQ(set.month, before.month);
  EXPECT_EQ(set.day, before.day);

  ASSERT_TRUE(unit_->SetClock(9837, 15, 30, 45));
  EXPECT_EQ(ReadDeviceClock(nullptr), 0);
  unsigned char bcd[6];
  CopyFromRxFrame(bcd, 4, 6);
  EXPECT_EQ(Bytes(bcd, bcd + 5), (Bytes{0x26, 0x12, 0x07, 0x15, 0x30}));  // 2026-12-07 15:30
  EXPECT_GE(bcd[5], 0x45);  // the second may have ticked on
}

TEST_F(DeviceCommands, ARefusalYields4ForReplyWaitsAnd5ForPolledOperations) {
  unit_->AddFault(Fault::Status('1'));
  ASSERT_TRUE(OpenLink());
  EXPECT_EQ(SendLedPattern(nullptr, 0), 4);
  EXPECT_EQ(StopDeviceApp(), 4);
  EXPECT_EQ(ResumeDeviceApp(), 4);
  EXPECT_EQ(SetDeviceClock(), 4);
  EXPECT_EQ(ReadDeviceClock(nullptr), 4);
  unsigned char page[256] = {0};
  EXPECT_EQ(WriteFlashPage(page, 0, 256), 5);
  EXPECT_EQ(EraseFlash(0, 0x8000), 5);
  EXPECT_EQ(unit_->FrameCount(), 7u);
}

// A device that never answers: the reply waits give up after about 2 s, a page
// write after about as long, an erase after about 5 s; all with 3.
TEST_F(DeviceCommands, NoReplyYields3WithinEachOperationsBound) {
  unit_->AddFault(Fault::NoReply());
  ASSERT_TRUE(OpenLink());
  Clock::time_point t = Clock::now();
  EXPECT_EQ(StopDeviceApp(), 3);
  double ms = MsSince(t);
  EXPECT_GT(ms, 2000);
  EXPECT_LT(ms, 3500);

  unsigned char page[256];
  std::fill(page, page + 256, 0x5A);
  t = Clock::now();
  EXPECT_EQ(WriteFlashPage(page, 0x100, 256), 3);
  ms = MsSince(t);
  EXPECT_GT(ms, 2000);
  EXPECT_LT(ms, 3500);

  t = Clock::now();
  EXPECT_EQ(EraseFlash(0, 0x8000), 3);
  ms = MsSince(t);
  EXPECT_GT(ms, 5000);
  EXPECT_LT(ms, 7000);
  EXPECT_FALSE(ResponseReadySet());
}

}  // namespace

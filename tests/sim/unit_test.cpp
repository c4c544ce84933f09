// Every command of the unit over a real pty, with exact reply bytes.
#include <thread>

#include "tools/sim/pty_canary.h"

#include "tests/sim/pty_client.h"

namespace qb2sim_test {
namespace {

const Bytes kOkEmpty = {0x02, 0x30, 0x00, 0x00, 0x03, 0x35, 0x0D};

Bytes Read(uint32_t a, uint16_t n) {
  return {0x04, uint8_t(a), uint8_t(a >> 8), uint8_t(a >> 16), uint8_t(n), uint8_t(n >> 8)};
}
Bytes Erase(uint32_t a, uint16_t n) {
  Bytes p = Read(a, n);
  p[0] = 0x44;
  return p;
}
Bytes Write(uint32_t a, const Bytes& data) {
  return Cat({0x84, uint8_t(a), uint8_t(a >> 8), uint8_t(a >> 16)}, data);
}

using SimCommands = UnitTest;

TEST_F(SimCommands, ClockSetThenRead) {
  EXPECT_EQ(host_.Request(0x20, {0x6D, 0x26, 0x15, 0x30, 0x45}), kOkEmpty);
  EXPECT_EQ(host_.Request(0x21, {}), Frame('0', {0x26, 0x12, 0x07, 0x15, 0x30, 0x45}));
  EXPECT_EQ(unit_.ClockNow().year, 2026);

  EXPECT_EQ(StatusOf(0x20, {0x6D, 0x26, 0x24, 0x00, 0x00}), '2');  // hour 24
  EXPECT_EQ(StatusOf(0x20, {0x6D, 0x26, 0x1A, 0x00, 0x00}), '2');  // not BCD
  EXPECT_EQ(StatusOf(0x20, {0xAD, 0x8E, 0x00, 0x00, 0x00}), '2');  // 2100-01-01
  EXPECT_EQ(StatusOf(0x20, {0x6D, 0x26, 0x15, 0x30}), '1');
  EXPECT_EQ(StatusOf(0x21, {0x00}), '1');
  EXPECT_EQ(host_.Request(0x21, {})[4], 0x26);  // refused sets left the clock alone
}

TEST_F(SimCommands, RangeLedAndUnknownCodes) {
  EXPECT_EQ(host_.Request(0x40, {0x00, 0x00, 0x00, 0xF2, 0x1E, 0xFF}), kOkEmpty);
  ASSERT_TRUE(unit_.LastSetRange());
  EXPECT_EQ(unit_.LastSetRange()->address, 0u);
  EXPECT_EQ(unit_.LastSetRange()->count, 7922);
  EXPECT_EQ(unit_.LastSetRange()->value, 0xFF);

  Bytes pattern(64);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i * 7);
  EXPECT_EQ(host_.Request(0x50, Cat({0x83, 0, 0, 0}, pattern)), kOkEmpty);
  EXPECT_EQ(*unit_.LastLedPattern(), pattern);
  EXPECT_EQ(host_.Request(0x50, {0x83, 0, 0, 0}), kOkEmpty);
  EXPECT_TRUE(unit_.LastLedPattern()->empty());
  EXPECT_EQ(StatusOf(0x50, {0x83, 0, 1, 0}), '2');

  EXPECT_EQ(StatusOf(0x40, {0, 0, 0, 0, 0}), '1');
  EXPECT_EQ(StatusOf(0x99, {}), '3');
  EXPECT_EQ(StatusOf(0x50, {0x99}), '3');
  EXPECT_EQ(StatusOf(0x50, {}), '1');
}

TEST_F(SimCommands, AppStopRecordsThePreStopByte) {
  qb2sim::PtyCanary canary;  // a byte the kernel holds back shortens the gap the unit sees
  ASSERT_TRUE(unit_.AppRunning());
  const auto from = qb2sim::PtyCanary::Clock::now();
  ASSERT_TRUE(host_.Write({0x5C}));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(host_.Request(0x60, {}), kOkEmpty);
  EXPECT_FALSE(unit_.AppRunning());
  EXPECT_EQ(host_.Request(0x61, {}), kOkEmpty);
  EXPECT_TRUE(unit_.AppRunning());
  // A pre-stop byte followed by another request does not count for the stop.
  ASSERT_TRUE(host_.Write({0x5C}));
  EXPECT_EQ(host_.Request(0x21, {})[1], '0');
  EXPECT_EQ(host_.Request(0x60, {}), kOkEmpty);
  EXPECT_EQ(StatusOf(0x60, {0x00}), '1');

  const auto stops = unit_.AppStops();
  ASSERT_EQ(stops.size(), 3u);
  EXPECT_TRUE(stops[0].preStop);
  EXPECT_GE(stops[0].msBefore, 90 - canary.LongestDeliveryMs(from, qb2sim::PtyCanary::Clock::now()));
  EXPECT_LT(stops[0].msBefore, 2000);
  EXPECT_FALSE(stops[1].preStop);
  EXPECT_FALSE(stops[2].preStop);
  EXPECT_EQ(unit_.PreStopBytes(), 2);
}

TEST_F(SimCommands, FlashEraseWriteReadSemantics) {
  EXPECT_EQ(host_.Request(0x50, Read(0, 16)), Frame('0', Bytes(16, 0xFF)));
  // Delimiter look-alikes inside the payload travel unchanged both ways.
  const Bytes data = {0x02, 0x03, 0x0D, 0x0F, 0xF0, 0x5C};
  EXPECT_EQ(host_.Request(0x50, Write(0x100, data)), kOkEmpty);
  EXPECT_EQ(host_.Request(0x50, Read(0x100, 6)), Frame('0', data));
  // Programming only clears bits.
  EXPECT_EQ(host_.Request(0x50, Write(0x100, Bytes(6, 0xF3))), kOkEmpty);
  EXPECT_EQ(host_.Request(0x50, Read(0x100, 6)), Frame('0', {0x02, 0x03, 0x01, 0x03, 0xF0, 0x50}));
  EXPECT_EQ(host_.Request(0x50, Erase(0x102, 3)), kOkEmpty);
  EXPECT_EQ(host_.Request(0x50, Read(0x100, 6)), Frame('0', {0x02, 0x03, 0xFF, 0xFF, 0xFF, 0x50}));

  // A full page at the top of flash; reads may cross pages, writes may not.
  const Bytes page(256, 0x3C);
  EXPECT_EQ(host_.Request(0x50, Write(0x1FF00, page)), kOkEmpty);
  EXPECT_EQ(host_.Request(0x50, Read(0x1FF00, 256)), Frame('0', page));
  EXPECT_EQ(StatusOf(0x50, Write(0x1F0, Bytes(32, 0))), '2');
  EXPECT_EQ(StatusOf(0x50, Write(0x200, Bytes(257, 0))), '1');
  EXPECT_EQ(StatusOf(0x50, Write(0x200, {})), '1');
  EXPECT_EQ(unit_.Flash()[0x1F0], 0xFF);
  EXPECT_EQ(host_.Request(0x50, Read(0x1FE80, 256)).size(), 263u);
  EXPECT_EQ(StatusOf(0x50, Read(0x1FF80, 256)), '2');
  EXPECT_EQ(StatusOf(0x50, Read(0, 0)), '2');
  EXPECT_EQ(StatusOf(0x50, Read(0, 257)), '2');
  EXPECT_EQ(StatusOf(0x50, Erase(0, 0)), '2');  // what 64 KiB becomes in 16 bits
  EXPECT_EQ(StatusOf(0x50, Erase(0x1FFFF, 2)), '2');
  EXPECT_EQ(StatusOf(0x50, {0x04, 0, 0}), '1');

  EXPECT_EQ(host_.Request(0x50, Erase(0x8000, 0x8000)), kOkEmpty);
  EXPECT_EQ(host_.Request(0x50, Erase(0x18000, 0x8000)), kOkEmpty);
  const Bytes flash = unit_.Flash();
  EXPECT_EQ(flash[0x1FF00], 0xFF);
  EXPECT_EQ(flash[0x100], 0x02);  // outside both erased ranges
}

TEST_F(SimCommands, BadFramesAreRecordedNotAnswered) {
  Bytes sum = Frame(0x21, {}), etx = Frame(0x21, {}), cr = Frame(0x21, {});
  sum[5] ^= 0x01;
  etx[4] = 0x00;
  cr[6] = 0x0A;
  // Stray bytes, three bad frames and an oversize header, then a good request.
  ASSERT_TRUE(host_.Write(Cat(Cat(Cat(Cat({0x00, 0xFF}, sum), etx), cr), {0x02, 0x21, 0x00, 0x03})));
  EXPECT_TRUE(host_.Drain(300).empty());
  EXPECT_EQ(host_.Request(0x61, {}), kOkEmpty);

  const auto f = unit_.Frames();
  ASSERT_EQ(f.size(), 5u);
  EXPECT_FALSE(f[0].checksumOk);
  EXPECT_TRUE(f[0].etxOk && f[0].crOk);
  EXPECT_FALSE(f[1].etxOk);
  EXPECT_FALSE(f[2].crOk);
  EXPECT_TRUE(f[2].checksumOk);
  EXPECT_TRUE(f[3].oversize);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(f[i].replyStatus, -1);
  EXPECT_TRUE(f[4].Good());
  EXPECT_EQ(f[4].replyStatus, '0');
  EXPECT_EQ(f[4].index, 5u);
}

TEST_F(SimCommands, FramesInPiecesAndAbandonedFragments) {
  const Bytes req = Frame(0x21, {});
  ASSERT_TRUE(host_.Write({req.begin(), req.begin() + 3}));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(host_.Write({req.begin() + 3, req.end()}));
  EXPECT_EQ(host_.ReadFrame()[1], '0');

  // A fragment followed by a long silence is given up; the next frame stands alone.
  ASSERT_TRUE(host_.Write({req.begin(), req.begin() + 5}));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(host_.Request(0x61, {}), kOkEmpty);
  const auto f = unit_.Frames();
  ASSERT_EQ(f.size(), 3u);
  EXPECT_FALSE(f[1].complete);
  EXPECT_EQ(f[2].code, 0x61);
}

}  // namespace
}  // namespace qb2sim_test

// The unit's logic without a pty: frame codec, calendar, clock, boot-loader
// message assembly and the fault grammar.
#include <gtest/gtest.h>

#include "tests/sim/pty_client.h"
#include "tools/sim/fault.h"
#include "tools/sim/frame_codec.h"
#include "tools/sim/unit_model.h"

namespace qb2sim {
namespace {

using qb2sim_test::Bytes;
using qb2sim_test::Frame;
using Clock = std::chrono::steady_clock;

TEST(SimFrameCodec, EncodesKnownFrames) {
  EXPECT_EQ(EncodeFrame(0x21, {}), (Bytes{0x02, 0x21, 0x00, 0x00, 0x03, 0x26, 0x0D}));
  EXPECT_EQ(EncodeFrame('0', {}), (Bytes{0x02, 0x30, 0x00, 0x00, 0x03, 0x35, 0x0D}));
  // Sum past 255 keeps its low byte; payload bytes that look like delimiters stay.
  const Bytes p(260, 0xFE);
  EXPECT_EQ(EncodeFrame(0x50, p), Frame(0x50, p));
}

TEST(SimFrameCodec, ParserFindsFramesByLengthAmongStrayBytes) {
  const Bytes payload = {0x02, 0x03, 0x0D, 0x5C};
  Bytes stream = {0x5C, 0x00};
  stream = qb2sim_test::Cat(stream, Frame(0x84, payload));
  Bytes bad = Frame(0x21, {});
  bad[5] ^= 1;  // sum
  stream = qb2sim_test::Cat(stream, bad);
  stream = qb2sim_test::Cat(stream, {0x02, 0x50, 0xFA, 0x01});  // announces 506 bytes

  FrameParser p;
  std::vector<ParsedFrame> frames;
  Bytes outside;
  for (uint8_t b : stream) {
    const auto e = p.Feed(b);
    if (e == FrameParser::Event::kOutside) outside.push_back(b);
    if (e == FrameParser::Event::kFrame) frames.push_back(p.Frame());
  }
  EXPECT_EQ(outside, (Bytes{0x5C, 0x00}));
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_TRUE(frames[0].Good());
  EXPECT_EQ(frames[0].payload, payload);
  EXPECT_FALSE(frames[1].sumOk);
  EXPECT_TRUE(frames[1].etxOk && frames[1].crOk);
  EXPECT_TRUE(frames[2].oversize);
  EXPECT_FALSE(p.InFrame());
}

TEST(SimCalendar, DayNumbersMatchTheCalendarUpTo2099) {
  EXPECT_EQ(DayNumberOf(2000, 2, 29), 59);
  EXPECT_EQ(DayNumberOf(2001, 1, 1), 366);
  EXPECT_EQ(DayNumberOf(2004, 3, 1), 1521);
  EXPECT_EQ(DayNumberOf(2026, 12, 7), 9837);
  EXPECT_EQ(DayNumberOf(2099, 12, 31), kLastDayNumber);
  for (int d = 0; d <= kLastDayNumber; ++d) {
    int y, m, day;
    DateOfDayNumber(d, &y, &m, &day);
    ASSERT_EQ(DayNumberOf(y, m, day), d) << y << "-" << m << "-" << day;
    ASSERT_TRUE(m >= 1 && m <= 12 && day >= 1 && day <= 31);
  }
}

TEST(SimClock, RunsOnFromTheSetTimeAndRollsOver) {
  const auto t0 = Clock::now();
  UnitModel u(t0);
  ASSERT_TRUE(u.SetClock(58, 23, 59, 59, t0));
  EXPECT_EQ(u.ClockAt(t0 + std::chrono::milliseconds(999)), (ClockTime{2000, 2, 28, 23, 59, 59}));
  EXPECT_EQ(u.ClockAt(t0 + std::chrono::seconds(1)), (ClockTime{2000, 2, 29, 0, 0, 0}));
  ASSERT_TRUE(u.SetClock(kLastDayNumber, 23, 59, 59, t0));
  EXPECT_EQ(u.ClockAt(t0 + std::chrono::seconds(2)), (ClockTime{2000, 1, 1, 0, 0, 1}));
  EXPECT_FALSE(u.SetClock(kLastDayNumber + 1, 0, 0, 0, t0));
  EXPECT_FALSE(u.SetClock(0, 24, 0, 0, t0));
}

TEST(SimBootModel, ResynchronisesAfterTheHostGivesUpOnAPage) {
  auto t = Clock::now();
  UnitModel u(t);
  ASSERT_EQ(u.Execute(kCmdBootEnter, {}, t).status, kStatusOk);
  const auto feed = [&](const Bytes& bytes) {
    std::optional<BootMessage> m;
    for (uint8_t b : bytes) m = u.BootFeed(b, t);
    return m;
  };
  ASSERT_EQ(u.BootExecute(*feed({'W'})).value, kBootWriteReady);
  ASSERT_EQ(u.BootExecute(*feed({0x00, 0xA0})).value, 0xA0);
  // Only part of the page arrives; the host waits for a reply that never
  // comes and, a second later, starts the next page.
  EXPECT_FALSE(feed(Bytes(60, 0x11)));
  t += std::chrono::milliseconds(UnitModel::kBootGapMs + 500);
  const auto m = feed({0x80, 0xA0});
  ASSERT_TRUE(m);
  EXPECT_EQ(m->step, BootStep::kAddress);
  EXPECT_EQ(u.BootExecute(*m).value, 0x20);
  // A page written over unerased memory only clears bits and fails its verify.
  u.SetProgram(0xA080, Bytes(kBootPage, 0xF0));
  ASSERT_EQ(u.BootExecute(*feed(Bytes(kBootPage, 0x0F))).value, (0x0F * kBootPage) & 0xFF);
  EXPECT_EQ(u.BootExecute(*feed({'U'})).value, kBootNak);
  EXPECT_EQ(u.Program()[0xA080], 0x00);
  EXPECT_EQ(feed({0xFF})->step, BootStep::kFinish);
}

TEST(SimFaultGrammar, ParsesTheDocumentedForms) {
  Fault f;
  std::string err;
  ASSERT_TRUE(ParseFault("no-reply:cmd=0x21,count=1", &f, &err)) << err;
  EXPECT_EQ(f.kind, FaultKind::kNoReply);
  EXPECT_EQ(f.cmd, 0x21);
  EXPECT_EQ(f.count, 1);
  ASSERT_TRUE(ParseFault("status:cmd=0x50,sub=0x84,nth=3,value=0x31", &f, &err)) << err;
  EXPECT_EQ(f.value, 0x31);
  EXPECT_EQ(f.sub, 0x84);
  EXPECT_EQ(f.nth, 3);
  ASSERT_TRUE(ParseFault("split:pieces=2+5,gap=5", &f, &err)) << err;
  EXPECT_EQ(f.pieces, (std::vector<size_t>{2, 5}));
  EXPECT_EQ(f.gapMs, 5);
  ASSERT_TRUE(ParseFault("garbage:bytes=0x55+170,gap=20", &f, &err)) << err;
  EXPECT_EQ(f.garbage, (Bytes{0x55, 0xAA}));
  ASSERT_TRUE(ParseFault("unplug:at=2000,replug=500", &f, &err)) << err;
  EXPECT_EQ(f.atMs, 2000);
  EXPECT_EQ(f.replugMs, 500);
  EXPECT_EQ(f.count, 1);
  ASSERT_TRUE(ParseFault("boot-bad-sum:step=data,nth=2", &f, &err)) << err;
  EXPECT_EQ(f.step, BootStep::kData);

  for (const char* bad : {"explode", "status", "status:value=256", "no-reply:cmd", "split:gap=5",
                          "unplug", "boot-bad-sum:step=erase", "delay:ms=-1", "no-reply:colour=1"}) {
    EXPECT_FALSE(ParseFault(bad, &f, &err)) << bad;
    EXPECT_NE(err.find(bad), std::string::npos);
  }
}

}  // namespace
}  // namespace qb2sim

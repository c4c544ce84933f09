// Each fault kind, seen from a raw pty client. Time windows are wide: two
// shared cores and sanitizers.
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "tests/sim/pty_client.h"

namespace qb2sim_test {
namespace {

using qb2sim::Fault;
using Ms = std::chrono::milliseconds;
const Bytes kOkEmpty = {0x02, 0x30, 0x00, 0x00, 0x03, 0x35, 0x0D};

using SimFaults = UnitTest;

// Replies the unit wrote, as logged, with their times.
std::vector<qb2sim::LogEntry> Sent(const qb2sim::VirtualUnit& u) {
  std::vector<qb2sim::LogEntry> out;
  for (const auto& e : u.Log())
    if (e.dir == qb2sim::LogDir::kUnitToHost) out.push_back(e);
  return out;
}

TEST_F(SimFaults, NoReplyAndStatusSelectByCommandFrameAndOccurrence) {
  unit_.AddFault(Fault::NoReply().Cmd(0x21).Times(1));
  unit_.AddFault(Fault::Status('1').Cmd(0x50).Sub(0x84).Nth(2));
  unit_.AddFault(Fault::Status('7').OnFrame(6));
  EXPECT_TRUE(host_.Request(0x21, {}, 400).empty());
  EXPECT_EQ(host_.Request(0x21, {}).size(), 13u);
  const Bytes w1 = {0x84, 0x00, 0x00, 0x00, 0x0F}, w2 = {0x84, 0x01, 0x00, 0x00, 0x0F};
  EXPECT_EQ(StatusOf(0x50, w1), '0');
  EXPECT_EQ(StatusOf(0x50, {0x04, 0, 0, 0, 1, 0}), '0');  // a read is no write
  EXPECT_EQ(StatusOf(0x50, w2), '1');
  EXPECT_EQ(unit_.Flash()[1], 0xFF);  // refused, so not written
  EXPECT_EQ(StatusOf(0x61, {}), '7');
  EXPECT_EQ(StatusOf(0x50, w2), '0');
  EXPECT_EQ(unit_.Frames()[0].replyStatus, -1);
}

// A write stored wrongly and answered '0': only a read-back can tell.
TEST_F(SimFaults, CorruptWriteStoresAChangedByteAndStillSaysDone) {
  qb2sim::Fault parsed;
  std::string error;
  ASSERT_TRUE(qb2sim::ParseFault("corrupt-write:value=3,nth=2", &parsed, &error)) << error;
  unit_.AddFault(parsed);
  const Bytes w1 = {0x84, 0x00, 0x00, 0x00, 0x10, 0x20, 0x30, 0x40}, w2 = {0x84, 0x00, 0x01, 0x00, 0x10, 0x20, 0x30, 0x40};
  EXPECT_EQ(StatusOf(0x50, w1), '0');
  EXPECT_EQ(StatusOf(0x50, w2), '0');
  const Bytes flash = unit_.Flash();
  EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 4), (Bytes{0x10, 0x20, 0x30, 0x40}));
  EXPECT_EQ(Bytes(flash.begin() + 0x100, flash.begin() + 0x104), (Bytes{0x10, 0x20, 0x30, 0x41}));
}

TEST_F(SimFaults, DamagedReplies) {
  unit_.AddFault(Fault::BadChecksum().OnFrame(1));
  unit_.AddFault(Fault::NoEtx().OnFrame(2));
  unit_.AddFault(Fault::NoEtx(0x00).OnFrame(3));
  unit_.AddFault(Fault::NoCr().OnFrame(4));
  unit_.AddFault(Fault::Oversize(0x0300).OnFrame(5));
  ASSERT_TRUE(host_.Write(Frame(0x61, {})));
  EXPECT_EQ(host_.Drain(300), (Bytes{0x02, 0x30, 0x00, 0x00, 0x03, 0xCA, 0x0D}));
  ASSERT_TRUE(host_.Write(Frame(0x61, {})));
  EXPECT_EQ(host_.Drain(300), (Bytes{0x02, 0x30, 0x00, 0x00, 0x35, 0x0D}));
  ASSERT_TRUE(host_.Write(Frame(0x61, {})));
  EXPECT_EQ(host_.Drain(300), (Bytes{0x02, 0x30, 0x00, 0x00, 0x00, 0x35, 0x0D}));
  ASSERT_TRUE(host_.Write(Frame(0x61, {})));
  EXPECT_EQ(host_.Drain(300), (Bytes{0x02, 0x30, 0x00, 0x00, 0x03, 0x35}));
  ASSERT_TRUE(host_.Write(Frame(0x61, {})));
  EXPECT_EQ(host_.Drain(300), (Bytes{0x02, 0x30, 0x00, 0x03, 0x03, 0x38, 0x0D}));
  EXPECT_EQ(host_.Request(0x61, {}), kOkEmpty);
}

TEST_F(SimFaults, SplitDelayAndGarbageShapeTheTiming) {
  unit_.AddFault(Fault::Split({2, 5}, 60).OnFrame(1));
  ASSERT_TRUE(host_.Write(Frame(0x21, {})));
  EXPECT_EQ(host_.Read(13, 2000).size(), 13u);
  auto sent = Sent(unit_);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].bytes.size(), 2u);
  EXPECT_EQ(sent[1].bytes.size(), 5u);
  EXPECT_EQ(sent[2].bytes.size(), 6u);
  EXPECT_GE(sent[1].timeMs - sent[0].timeMs, 55);
  EXPECT_GE(sent[2].timeMs - sent[1].timeMs, 55);

  unit_.AddFault(Fault::Delay(300).OnFrame(2));
  ASSERT_TRUE(host_.Write(Frame(0x61, {})));
  EXPECT_TRUE(host_.Read(7, 150).empty());
  EXPECT_EQ(host_.Read(7, 3000), kOkEmpty);

  unit_.AddFault(Fault::Garbage({0x55, 0x02, 0xAA}, 200).OnFrame(3));
  ASSERT_TRUE(host_.Write(Frame(0x61, {})));
  EXPECT_EQ(host_.Read(3, 2000), (Bytes{0x55, 0x02, 0xAA}));
  EXPECT_TRUE(host_.Read(7, 100).empty());
  EXPECT_EQ(host_.Read(7, 3000), kOkEmpty);
}

TEST_F(SimFaults, UnplugAfterAFrameLeavesTheLinkOfAGoneDevice) {
  unit_.AddFault(Fault::UnplugAfter(2));
  EXPECT_EQ(host_.Request(0x61, {}), kOkEmpty);
  EXPECT_EQ(host_.Request(0x61, {}), kOkEmpty);
  EXPECT_TRUE(unit_.WaitFor([&] { return !unit_.Plugged(); }, 2000));
  host_.Read(1, 1000);
  EXPECT_TRUE(host_.Ended());
  EXPECT_FALSE(host_.Write({0x02}));
}

class SimTimedFaults : public ::testing::Test {
 protected:
  std::string link_ = ::testing::TempDir() + "qb2sim_fault_link_" + std::to_string(getpid());
  void TearDown() override { unlink(link_.c_str()); }
};

TEST_F(SimTimedFaults, UnplugAtATimeThenReplug) {
  qb2sim::Options o;
  o.linkPath = link_;
  qb2sim::VirtualUnit unit(o);
  unit.AddFault(Fault::UnplugAt(300, 300));
  ASSERT_TRUE(unit.Start());
  PtyClient host(link_);
  ASSERT_TRUE(host.IsOpen());
  ASSERT_TRUE(unit.WaitFor([&] { return !unit.Plugged(); }, 3000));
  struct stat st;
  EXPECT_NE(stat(link_.c_str(), &st), 0);
  ASSERT_TRUE(unit.WaitFor([&] { return unit.Plugged(); }, 3000));
  char target[256] = {};
  ASSERT_GT(readlink(link_.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(unit.SlavePath(), target);
  ASSERT_TRUE(host.Open(link_));
  EXPECT_EQ(host.Request(0x61, {}), kOkEmpty);
}

TEST_F(SimTimedFaults, ReplyDelayAndPacing) {
  qb2sim::Options o;
  o.replyDelayMs = 150;
  o.pace = true;
  qb2sim::VirtualUnit unit(o);
  ASSERT_TRUE(unit.Start());
  PtyClient host(unit.SlavePath());
  ASSERT_TRUE(unit.WaitForHostOpen(true, 5000));
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(host.Write(Frame(0x50, {0x04, 0, 0, 0, 0, 1})));
  EXPECT_EQ(host.Read(263, 5000).size(), 263u);
  // 150 ms of processing and 263 bytes at 38400 baud (68 ms) are a lower bound.
  EXPECT_GE(std::chrono::steady_clock::now() - t0, Ms(150 + 65));
}

}  // namespace
}  // namespace qb2sim_test

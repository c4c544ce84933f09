// The receiver thread and the request handshake over a real pseudo-terminal, with
// the virtual unit playing the device and committing faults on request.
#include <time.h>

#include <chrono>

#include "link/frame.h"
#include "platform/ui.h"
#include "link/link.h"
#include "link/receiver.h"
#include "tests/link/unit_fixture.h"

namespace {

using qb2sim::Fault;
using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

class ReceiverPty : public UnitOnPort {};

TEST_F(ReceiverPty, RoundTripsWithTheGoldenBytesAndTraceLines) {
  ASSERT_TRUE(OpenLink());
  EXPECT_FALSE(UiIsEnabled(103));  // the COM number box is locked while the port is open
  EXPECT_EQ(Request(0x61), 0);      // CMD_APP_RESUME, no payload
  ASSERT_TRUE(unit_->WaitForFrames(1, 1000));
  std::vector<qb2sim::FrameRecord> frames = unit_->Frames();
  EXPECT_EQ(frames[0].code, 0x61);
  EXPECT_TRUE(frames[0].Good());
  EXPECT_EQ(UiModelList(100), (std::vector<std::string>{"T-  7 0261000003660D", "R-  7 0230000003350D"}));

  ASSERT_TRUE(unit_->SetClock(9837, 15, 30, 45));  // 2026-12-07 15:30:45
  EXPECT_EQ(Request(0x21), 0);  // CMD_GET_CLOCK: 02 21 00 00 03 26 0D, six BCD bytes back
  std::vector<std::string> lines = UiModelList(100);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2], "T-  7 0221000003260D");
  EXPECT_EQ(lines[3].substr(0, 23), "R- 13 02300600261207153");
  unsigned char clock[5];
  CopyFromRxFrame(clock, 4, 5);
  EXPECT_EQ(std::vector<unsigned char>(clock, clock + 5), (std::vector<unsigned char>{0x26, 0x12, 0x07, 0x15, 0x30}));
}

TEST_F(ReceiverPty, AStatusOtherThanZeroYields4) {
  unit_->AddFault(Fault::Status('1').Cmd(0x21));
  ASSERT_TRUE(OpenLink());
  EXPECT_EQ(Request(0x21), 4);
  EXPECT_EQ(Request(0x61), 0);
}

TEST_F(ReceiverPty, NoReplyYields3AfterAbout2Seconds) {
  unit_->AddFault(Fault::NoReply().Cmd(0x60));
  ASSERT_TRUE(OpenLink());
  Clock::time_point t = Clock::now();
  EXPECT_EQ(Request(0x60), 3);
  double ms = MsSince(t);
  EXPECT_GT(ms, 2000);
  EXPECT_LT(ms, 4000);
}

TEST_F(ReceiverPty, AReplyInTwoPiecesIsAssembled) {
  unit_->AddFault(Fault::Split({2}, 5).Cmd(0x61));
  ASSERT_TRUE(OpenLink());
  EXPECT_EQ(Request(0x61), 0);
}

TEST_F(ReceiverPty, ALoneByteFollowedBySilenceIsDropped) {
  ASSERT_TRUE(OpenLink());
  unit_->SendRaw({0x55});
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(Request(0x61), 0);  // read from its own STX
}

TEST_F(ReceiverPty, ALoneByteFollowedQuicklyByAReplyCostsTheReply) {
  unit_->AddFault(Fault::Garbage({0x55}, 20).Cmd(0x61).Times(1));
  ASSERT_TRUE(OpenLink());
  EXPECT_EQ(Request(0x61), 3);
}

TEST_F(ReceiverPty, DamagedRepliesFailAtOnce) {
  for (Fault f : {Fault::BadChecksum(), Fault::NoEtx(), Fault::NoCr(0x0A)}) {
    unit_->ClearFaults();
    unit_->AddFault(f.Cmd(0x61).Times(1));
    if (!PortIsOpen(PortHandle.load())) {
      ASSERT_TRUE(OpenLink());
    }
    Clock::time_point t = Clock::now();
    EXPECT_EQ(Request(0x61), 4) << f.Describe();
    EXPECT_LT(MsSince(t), 1500) << f.Describe();  // not the 2-second time-out
  }
  EXPECT_EQ(Request(0x61), 0);  // and the link carries on
}

TEST_F(ReceiverPty, AnOversizeHeaderIsDroppedAndTheRequestTimesOut) {
  unit_->AddFault(Fault::Oversize(0x0300).Cmd(0x21).Times(1));
  ASSERT_TRUE(OpenLink());
  EXPECT_EQ(Request(0x21), 3);
  EXPECT_EQ(UiModelList(100).size(), 1u);  // only the request's T- line
}

TEST_F(ReceiverPty, PayloadBytesThatLookLikeFrameBytesPassBothWays) {
  ASSERT_TRUE(OpenLink());
  std::vector<unsigned char> data = {0x02, 0x03, 0x0D, 0x5C, 0x00, 0xFF};
  std::vector<unsigned char> write = {0x84, 0x00, 0x10, 0x00};  // MEM_FLASH_WRITE at 0x1000
  write.insert(write.end(), data.begin(), data.end());
  EXPECT_EQ(Request(0x50, write), 0);
  EXPECT_EQ(Request(0x50, {0x04, 0x00, 0x10, 0x00, 0x06, 0x00}), 0);  // read 6 bytes back
  unsigned char back[6];
  CopyFromRxFrame(back, 4, 6);
  EXPECT_EQ(std::vector<unsigned char>(back, back + 6), data);
}

TEST_F(ReceiverPty, ALongFrameIsTracedWithItsLengthAndFirst64Bytes) {
  ASSERT_TRUE(OpenLink());
  std::vector<unsigned char> page = {0x84, 0x00, 0xE0, 0x00};
  for (int i = 0; i < 256; ++i) page.push_back(static_cast<unsigned char>(i));
  EXPECT_EQ(Request(0x50, page), 0);
  std::string t = UiModelList(100).at(0);
  EXPECT_EQ(t.substr(0, 6), "T-267 ");
  EXPECT_EQ(t.size(), 134u);
  EXPECT_EQ(t.substr(6, 16), "0250040184" "00E0"  "00");
  ASSERT_TRUE(unit_->WaitForFrames(1, 1000));
  EXPECT_EQ(unit_->Frames()[0].payload, page);
}

TEST_F(ReceiverPty, BootByteModeDeliversOneBytePerEvent) {
  ASSERT_TRUE(OpenLink());
  SetLinkFlag(BootByteMode);
  ClearResponseReady();
  unit_->SendRaw({0xAA, 0xBB});  // one burst
  unsigned char b = 0;
  ASSERT_EQ(WaitBootReply(&b, 100), 1);
  EXPECT_EQ(b, 0xAA);
  ClearResponseReady();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(ResponseReadySet());  // the second byte waits for the next event
  EXPECT_EQ(PortBytesWaiting(), 1);
  unit_->SendRaw({0xCC});
  ASSERT_EQ(WaitBootReply(&b, 100), 1);
  EXPECT_EQ(b, 0xBB);
  ClearLinkFlag(BootByteMode);
}

TEST_F(ReceiverPty, StopEndsAWaitingReceiverPromptly) {
  ASSERT_TRUE(OpenLink());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the receiver sits in its event wait
  Clock::time_point t = Clock::now();
  EXPECT_EQ(StopReceiverThread(), 0);
  EXPECT_LT(MsSince(t), 1000);
  EXPECT_EQ(PortHandle.load(), nullptr);
  EXPECT_FALSE(LinkFlagSet(StopReceiver));
  EXPECT_TRUE(unit_->WaitForHostOpen(false, 2000));  // the port was really closed
}

double CpuMs() {
  struct timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

TEST_F(ReceiverPty, UnplugDuringAWaitTimesOutWithoutSpinningAndStillStops) {
  unit_->AddFault(Fault::NoReply().Cmd(0x21));
  unit_->AddFault(Fault::UnplugAfter(1).Cmd(0x21));  // pulled out before it could answer
  ASSERT_TRUE(OpenLink());
  EXPECT_EQ(Request(0x21), 3);
  // The port is gone: every event wait fails at once. The loop must back off.
  double cpu = CpuMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_LT(CpuMs() - cpu, 300.0);  // a spinning loop burns ~1000 ms of one core here
  Clock::time_point t = Clock::now();
  StopReceiverThread();
  EXPECT_LT(MsSince(t), 1000);
  EXPECT_EQ(PortHandle.load(), nullptr);
}

TEST_F(ReceiverPty, AFailedOpenEndsTheReceiverWithMinusOne) {
  PortNumber.store(9);  // nothing behind COM9
  std::atomic<PortHandleValue> h{nullptr};
  EXPECT_EQ(OpenPort(h, 9, 38400, 8, 0, 0, 0, 0, 256, 256), 17);
  EXPECT_EQ(h.load(), PortInvalidValue());

  StartReceiverThread();
  ThreadHandle t = ReceiverThread;
  long code = kThreadStillActive;
  for (int i = 0; i < 500 && code == kThreadStillActive; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    QueryThreadExitCode(t, &code);
  }
  EXPECT_EQ(code, -1);
  EXPECT_EQ(PortHandle.load(), nullptr);  // back from the invalid value
}

TEST_F(ReceiverPty, ASecondReceiverWhoseOpenFailsLeavesTheFirstOnesPortAlone) {
  ASSERT_TRUE(OpenLink());
  PortHandleValue first = PortHandle.load();
  // A second receiver on a port with nothing behind it, while the first runs.
  PortNumber.store(9);
  ThreadHandle second = StartThread(ReceiverMain, nullptr);
  ASSERT_NE(second, nullptr);
  long code = kThreadStillActive;
  for (int i = 0; i < 500 && code == kThreadStillActive; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    QueryThreadExitCode(second, &code);
  }
  CloseThreadHandle(second);
  EXPECT_EQ(code, -1);
  EXPECT_EQ(PortHandle.load(), first);
  EXPECT_EQ(Request(0x21), 0);  // the link still works
  // The close command still reaches the first receiver and really closes the port.
  StopReceiverThread();
  EXPECT_EQ(PortHandle.load(), nullptr);
  EXPECT_TRUE(unit_->WaitForHostOpen(false, 2000));
}

TEST_F(ReceiverPty, PortNumberZeroOpensNothingAndTheReceiverEnds) {
  std::atomic<PortHandleValue> h{reinterpret_cast<PortHandleValue>(0x1234)};
  EXPECT_EQ(OpenPort(h, 0, 38400, 8, 0, 0, 0, 0, 256, 256), 0);
  EXPECT_EQ(h.load(), reinterpret_cast<PortHandleValue>(0x1234));  // untouched

  PortNumber.store(0);
  StartReceiverThread();
  long code = kThreadStillActive;
  for (int i = 0; i < 500 && code == kThreadStillActive; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    QueryThreadExitCode(ReceiverThread, &code);
  }
  EXPECT_EQ(code, -1);
  EXPECT_EQ(PortHandle.load(), nullptr);
  EXPECT_EQ(unit_->OpenCount(), 0);
}

TEST_F(ReceiverPty, StopWithNoPortOnlyClearsTheFlag) {
  SetLinkFlag(StopReceiver | StopSequence);
  EXPECT_EQ(StopReceiverThread(), 0);
  EXPECT_FALSE(LinkFlagSet(StopReceiver));
  EXPECT_TRUE(LinkFlagSet(StopSequence));  // the other bit is left alone
}

TEST_F(ReceiverPty, ThePreStopByteIsOneRawByteBeforeTheStopRequest) {
  ASSERT_TRUE(OpenLink());
  Clock::time_point from = Clock::now();
  SendPreStopByte();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Request(0x60), 0);
  std::vector<qb2sim::AppStopRecord> stops = unit_->AppStops();
  ASSERT_EQ(stops.size(), 1u);
  EXPECT_TRUE(stops[0].preStop);
  EXPECT_GT(stops[0].msBefore, 80 - HeldMs(from));  // the byte itself may arrive late
  EXPECT_EQ(unit_->PreStopBytes(), 1);
}

}  // namespace

// The receiver's handling of one event, fed from a byte stream: fragments and
// their age (modulo 65536), boot-loader byte mode, headers without STX, oversize
// headers and frames that arrive whole.
#include <gtest/gtest.h>

#include <deque>
#include <utility>
#include <vector>

#include "link/frame.h"
#include "link/receive_event.h"
#include "platform/ui_model.h"

namespace {

struct Stream : RxSource {
  std::deque<unsigned char> bytes;
  std::vector<std::pair<int, int>> reads;  // every read: the count asked, the bytes waiting
  int Waiting() override { return static_cast<int>(bytes.size()); }
  int Read(unsigned char* buffer, int count) override {
    reads.emplace_back(count, Waiting());
    int n = 0;
    while (n < count && !bytes.empty()) {
      buffer[n++] = bytes.front();
      bytes.pop_front();
    }
    return n;
  }
  void Add(const std::vector<unsigned char>& more) { bytes.insert(bytes.end(), more.begin(), more.end()); }
};

const std::vector<unsigned char> kOkReply = {0x02, 0x30, 0x00, 0x00, 0x03, 0x35, 0x0D};

class ReceiveEventTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UiModelReset();
    ClearResponseReady();
    SetRxByte(1, 0);
    ClearLinkFlag(BootByteMode);
    state_ = ReceiveState();
  }
  void TearDown() override { ClearLinkFlag(BootByteMode); }
  ReceiveState state_;
  Stream in_;
};

TEST_F(ReceiveEventTest, AWholeReplyIsReadAndSignalled) {
  in_.Add(kOkReply);
  ReceiveEvent(state_, in_, 1000);
  EXPECT_TRUE(ResponseReadySet());
  EXPECT_EQ(RxByte(1), '0');
  EXPECT_EQ(in_.Waiting(), 0);
  EXPECT_EQ(UiModelList(100), std::vector<std::string>{"R-  7 0230000003350D"});
}

TEST_F(ReceiveEventTest, APieceUnderFourBytesWaitsForTheRest) {
  in_.Add({0x02, 0x30});
  ReceiveEvent(state_, in_, 1000);
  EXPECT_FALSE(ResponseReadySet());
  EXPECT_EQ(in_.Waiting(), 2);  // left in the queue
  in_.Add({0x00, 0x00, 0x03, 0x35, 0x0D});
  ReceiveEvent(state_, in_, 1005);
  EXPECT_TRUE(ResponseReadySet());
  EXPECT_EQ(RxByte(1), '0');
}

TEST_F(ReceiveEventTest, AFragmentOlderThan100msIsDroppedBeforeTheNextReply) {
  in_.Add({0x55});
  ReceiveEvent(state_, in_, 1000);
  in_.Add(kOkReply);
  ReceiveEvent(state_, in_, 1101);  // 101 ms later
  EXPECT_TRUE(ResponseReadySet());
  EXPECT_EQ(RxByte(1), '0');
}

TEST_F(ReceiveEventTest, AFragmentWithin100msIsTakenAsTheHeaderAndDropsFourBytes) {
  in_.Add({0x55});
  ReceiveEvent(state_, in_, 1000);
  in_.Add(kOkReply);
  ReceiveEvent(state_, in_, 1100);  // exactly 100 ms: not stale
  EXPECT_FALSE(ResponseReadySet());
  EXPECT_EQ(in_.Waiting(), 4);  // 55 02 30 00 went; the rest waits for the next event
  EXPECT_TRUE(UiModelList(100).empty());
}

TEST_F(ReceiveEventTest, FragmentAgeIsTakenModulo65536) {
  // Seen at 65500, the rest at 40 after the wrap: 76 ms, so it belongs to the frame.
  in_.Add({0x02});
  ReceiveEvent(state_, in_, 65500);
  in_.Add({0x30, 0x00, 0x00, 0x03, 0x35, 0x0D});
  ReceiveEvent(state_, in_, 40);
  EXPECT_TRUE(ResponseReadySet());

  SetUp();
  in_ = Stream();
  in_.Add({0x02});
  ReceiveEvent(state_, in_, 65500);
  in_.Add({0x30, 0x00, 0x00, 0x03, 0x35, 0x0D});
  ReceiveEvent(state_, in_, 200);  // 236 ms: the STX is stale and goes
  EXPECT_FALSE(ResponseReadySet());
}

TEST_F(ReceiveEventTest, TheStaleDropNeverAsksForMoreThanIsWaiting) {
  // Three bytes counted, then taken by another reader (the download reads the port
  // directly); one new byte arrives. On a real port a read of three would wait for
  // bytes that belong to the next reply.
  in_.Add({0x01, 0x02, 0x03});
  ReceiveEvent(state_, in_, 1000);
  in_.bytes.clear();
  in_.Add({0x55});
  in_.reads.clear();
  ReceiveEvent(state_, in_, 1500);
  ASSERT_FALSE(in_.reads.empty());  // the stale fragment was dropped with a read
  for (const auto& r : in_.reads) {
    EXPECT_GE(r.first, 0);
    EXPECT_LE(r.first, r.second) << "asked for " << r.first << " with " << r.second << " waiting";
  }
  EXPECT_EQ(state_.partialSince, 0);  // nothing left to age
  in_.Add({0x02, 0x30, 0x00, 0x00, 0x03, 0x35, 0x0D});
  ReceiveEvent(state_, in_, 1510);
  EXPECT_TRUE(ResponseReadySet());  // the next reply is read from its own STX
}

TEST_F(ReceiveEventTest, BootByteModeHandsOverOneBytePerEvent) {
  SetLinkFlag(BootByteMode);
  in_.Add({0xAA, 0x30});
  ReceiveEvent(state_, in_, 10);
  EXPECT_TRUE(ResponseReadySet());
  EXPECT_EQ(RxByte(0), 0xAA);
  EXPECT_EQ(in_.Waiting(), 1);
  ClearResponseReady();
  ReceiveEvent(state_, in_, 11);
  EXPECT_EQ(RxByte(0), 0x30);
  ClearResponseReady();
  ReceiveEvent(state_, in_, 12);  // an event without a byte is no reply
  EXPECT_FALSE(ResponseReadySet());
}

TEST_F(ReceiveEventTest, AStaleFragmentDoesNotEatLaterBootReplies) {
  in_.Add({0x07, 0x07});
  ReceiveEvent(state_, in_, 1000);  // fragment noted before the download starts
  SetLinkFlag(BootByteMode);
  for (unsigned char reply : {0xAA, 0x30, 0x80}) {
    in_.Add({reply});
    ClearResponseReady();
    ReceiveEvent(state_, in_, 2000 + reply);
    ASSERT_TRUE(ResponseReadySet()) << int(reply);
    EXPECT_EQ(RxByte(0), reply);
  }
}

// A fragment still young when the download starts: its bytes go (here the
// download reads them), and a reply more than 100 ms later is not dropped for it.
TEST_F(ReceiveEventTest, AYoungFragmentDoesNotEatABootReplyLater) {
  in_.Add({0x02, 0x30, 0x00});
  ReceiveEvent(state_, in_, 1000);
  SetLinkFlag(BootByteMode);
  in_.Add({0x00});
  ReceiveEvent(state_, in_, 1010);  // the frame's fourth byte, handed over
  in_.bytes.clear();                // the rest read by the download
  ClearResponseReady();
  in_.Add({0x06});
  ReceiveEvent(state_, in_, 1500);
  ASSERT_TRUE(ResponseReadySet());
  EXPECT_EQ(RxByte(0), 0x06);
}

TEST_F(ReceiveEventTest, AnOversizeHeaderIsDroppedWithoutTouchingRxFrame) {
  SetRxByte(1, 0x11);
  SetRxByte(kFrameBufferSize - 1, 0x22);
  std::vector<unsigned char> f = {0x02, 0x30, 0xFA, 0x01};  // 506 bytes announced
  f.resize(4 + 506 + 3, 0xEE);
  in_.Add(f);
  ReceiveEvent(state_, in_, 10);
  EXPECT_FALSE(ResponseReadySet());
  EXPECT_EQ(RxByte(1), 0x11);
  EXPECT_EQ(RxByte(kFrameBufferSize - 1), 0x22);

  // 505 bytes still fit.
  SetUp();
  in_ = Stream();
  std::vector<unsigned char> g = {0x02, 0x30, 0xF9, 0x01};
  g.resize(4 + 505, 0x00);
  unsigned sum = 0x02 + 0x30 + 0xF9 + 0x01 + 0x03;
  g.push_back(0x03);
  g.push_back(static_cast<unsigned char>(sum));
  g.push_back(0x0D);
  in_.Add(g);
  ReceiveEvent(state_, in_, 10);
  EXPECT_TRUE(ResponseReadySet());
  EXPECT_EQ(RxByte(1), '0');
  EXPECT_EQ(RxByte(kFrameBufferSize - 1), 0x0D);
}

TEST_F(ReceiveEventTest, AFrameCutShortIsCheckedAsItStandsAndFails) {
  in_.Add({0x02, 0x30, 0x02, 0x00, 0x26});  // payload byte, ETX, SUM, CR never come
  ReceiveEvent(state_, in_, 10);
  EXPECT_TRUE(ResponseReadySet());
  EXPECT_NE(RxByte(1), '0');
  ASSERT_EQ(UiModelList(100).size(), 1u);
  EXPECT_EQ(UiModelList(100)[0], "R-  9 023002002600000000");
}

}  // namespace

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "flash/flash.h"
#include "link/frame.h"
#include "link/link.h"
#include "platform/ui_model.h"

namespace {

TEST(FlashValue, ReadsLikeAtolButNeverWraps) {
  EXPECT_EQ(ParseFlashValue("496"), 496);
  EXPECT_EQ(ParseFlashValue("  \t+42xyz"), 42);
  EXPECT_EQ(ParseFlashValue("-1"), -1);
  EXPECT_EQ(ParseFlashValue("abc"), 0);  // letters give 0
  EXPECT_EQ(ParseFlashValue(""), 0);
  EXPECT_EQ(ParseFlashValue("- 5"), 0);
  EXPECT_EQ(ParseFlashValue("0x100"), 0);
  // 2^32 + 1 would be 1 in 32-bit arithmetic: a size of one byte nobody typed.
  EXPECT_EQ(ParseFlashValue("4294967297"), kFlashValueTooLarge);
  EXPECT_EQ(ParseFlashValue("4294967295"), INT64_C(4294967295));
  EXPECT_EQ(ParseFlashValue(std::string(300, '9').c_str()), kFlashValueTooLarge);
  EXPECT_EQ(ParseFlashValue(("-" + std::string(300, '9')).c_str()), -kFlashValueTooLarge);
}

TEST(FlashValue, RangeRuleWithoutWrapAround) {
  EXPECT_TRUE(FlashRangeValid(0x1FF00, 0x100));
  EXPECT_FALSE(FlashRangeValid(0x1FF00, 0x101));
  EXPECT_TRUE(FlashRangeValid(0, 0x20000));
  EXPECT_FALSE(FlashRangeValid(0x20000, 0));
  EXPECT_FALSE(FlashRangeValid(0x20000, 1));
  EXPECT_FALSE(FlashRangeValid(0, 0));
  EXPECT_FALSE(FlashRangeValid(0x10, -1));   // 0x10 + 0xFFFFFFFF wraps to 0xF in 32 bits
  EXPECT_FALSE(FlashRangeValid(-1, 2));      // 0xFFFFFFFF + 2 wraps to 1
  EXPECT_FALSE(FlashRangeValid(0, kFlashValueTooLarge + 1));
  EXPECT_FALSE(FlashRangeValid(kFlashValueTooLarge, 1));
}

}  // namespace

// The read job against a stand-in for the receiver (no port): a reply with status
// "0" but fewer bytes than asked must not pass the rest of RxFrame off as flash.
namespace {

TEST(FlashReadReply, AReplyShorterThanTheChunkIsAFailedRead) {
  UiModelReset();
  PortHandle.store(nullptr);
  // What an earlier, longer reply left in RxFrame.
  for (int i = 4; i < 4 + 16; ++i) SetRxByte(i, 0xA5);
  SetResponseReady();  // the request clears it; that is the cue to answer

  char dir[] = "/tmp/qb2-flash-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string file = std::string(dir) + "/short.bin";
  JobParamsRecord params;
  params.address = 0x40;
  params.size = 16;
  params.fileName = file;

  std::thread device([] {
    for (int i = 0; i < 2000 && ResponseReadySet(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // STX, status "0", length 8, eight bytes, ETX, SUM, CR.
    unsigned char frame[kFrameBufferSize] = {kStx, '0', 8, 0, 1, 2, 3, 4, 5, 6, 7, 8, kEtx, 0, kCr};
    unsigned sum = 0;
    for (int i = 0; i <= 12; ++i) sum += frame[i];
    frame[13] = static_cast<unsigned char>(sum);
    EXPECT_EQ(CheckRxFrame(frame + 1), RxFrameValid);
  });
  EXPECT_EQ(FlashReadJob(&params), 0);
  device.join();

  auto boxes = UiModelBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].first, "FLASH READ 異常");
  std::ifstream in(file, std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes, std::vector<unsigned char>(16, 0xFF));
  auto posted = UiModelTakePosted();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].message, static_cast<unsigned>(UM_JOIN_WORKER));
  unlink(file.c_str());
  rmdir(dir);
}

}  // namespace

#include <gtest/gtest.h>

#include "flash/flash.h"

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

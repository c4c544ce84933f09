#include <gtest/gtest.h>

#include "util/text.h"

namespace {

TEST(ParseDecimal, ReadsLikeAtol) {
  EXPECT_EQ(ParseDecimal("5000"), 5000);
  EXPECT_EQ(ParseDecimal("  \t+42xyz"), 42);
  EXPECT_EQ(ParseDecimal("-5"), -5);
  EXPECT_EQ(ParseDecimal("00000041"), 41);
  EXPECT_EQ(ParseDecimal("12ab"), 12);
  EXPECT_EQ(ParseDecimal(""), 0);
  EXPECT_EQ(ParseDecimal("abc"), 0);
  EXPECT_EQ(ParseDecimal("-"), 0);
  EXPECT_EQ(ParseDecimal("- 5"), 0);  // the sign must touch the digits
}

TEST(ParseDecimal, LongDigitRunsWrapInsteadOfOverflowing) {
  // 2^32 + 7 wraps to 7 in 32-bit arithmetic; what matters is no undefined behaviour
  // (UBSan runs this) and a value of 32 bits.
  EXPECT_EQ(ParseDecimal("4294967303"), 7);
  EXPECT_EQ(ParseDecimal("2147483647"), 2147483647L);
  EXPECT_EQ(ParseDecimal("2147483648"), -2147483647L - 1);
  EXPECT_EQ(ParseDecimal("99999999999999999999999999"), -469762049L);  // (10^26 - 1) mod 2^32, signed
}

}  // namespace

// Code page 932 conversions: Microsoft's table both ways, and no stand-ins.
#include <gtest/gtest.h>

#include "platform/text.h"

namespace {

TEST(Cp932Text, RoundTripsAsWindowsMapsIt) {
  // 表 and ソ end in 0x5C; ～ and － are the full-width forms on Windows (the
  // wave dash and minus sign of JIS elsewhere); ｺﾏﾝﾄﾞ is half-width.
  const std::string sjis = "表ソ能ｺﾏﾝﾄﾞ A\\\x81\x60\x81\x7C";
  const std::string utf8 = u8"表ソ能ｺﾏﾝﾄﾞ A\\\uFF5E\uFF0D";
  std::string out;
  ASSERT_TRUE(Cp932ToUtf8(sjis, &out));
  EXPECT_EQ(out, utf8);
  ASSERT_TRUE(Utf8ToCp932(utf8, &out));
  EXPECT_EQ(out, sjis);
  std::u16string wide;
  ASSERT_TRUE(Cp932ToUtf16(sjis, &wide));
  EXPECT_EQ(wide, u"表ソ能ｺﾏﾝﾄﾞ A\\\uFF5E\uFF0D");
  ASSERT_TRUE(Cp932ToUtf16("", &wide));
  EXPECT_TRUE(wide.empty());
  out = "x";
  EXPECT_TRUE(Utf8ToCp932("", &out));
  EXPECT_TRUE(out.empty());
}

TEST(Cp932Text, RefusesInvalidInputAndCharactersWithoutAPlace) {
  std::string out;
  for (const char* bad : {"\xC3", "a\xC3(", "\xED\xA0\x80", "\xC0\xAF", "\xFF"})  // cut off, surrogate, overlong
    EXPECT_FALSE(Utf8ToCp932(bad, &out)) << bad;
  // Best fits: U+00A5 and U+203E for 0x5C and 0x7E, JIS's wave dash and minus for
  // ～ and －; and é and an emoji, which have no place at all.
  for (const char* none : {u8"\u00A5", u8"\u203E", u8"\u301C", u8"\u2212", u8"caf\u00E9", u8"\U0001F600"})
    EXPECT_FALSE(Utf8ToCp932(none, &out)) << none;
  std::u16string wide;
  for (const char* bad : {"\x95", "a\x95", "\x81\x20"}) {  // a lead byte alone, at the end, before a blank
    EXPECT_FALSE(Cp932ToUtf8(bad, &out));
    EXPECT_FALSE(Cp932ToUtf16(bad, &wide));
  }
}

}  // namespace

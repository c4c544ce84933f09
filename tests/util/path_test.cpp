#include <gtest/gtest.h>

#include <string>

#include "util/path.h"

namespace {

// Shift-JIS folder names whose last byte is 0x5C, the trail byte of 表 (95 5C),
// ソ (83 5C) and 能 (94 5C): the folder does not end in a separator.
TEST(JoinPath, AFolderEndingInATrailByte5CStillGetsItsSeparator) {
  const std::string kensahyo = "C:\\line\\\x8C\x9F\x8D\xB8\x95\x5C";  // 検査表
  EXPECT_EQ(JoinPath(kensahyo, "Quillbeacon2FlashData.dat", '\\'), kensahyo + "\\Quillbeacon2FlashData.dat");
  EXPECT_EQ(JoinPath("D:\\\x83\x5C", "a.dat", '\\'), "D:\\\x83\x5C\\a.dat");           // ソ
  EXPECT_EQ(JoinPath("\x8B\x40\x94\x5C", "a.dat", '\\'), "\x8B\x40\x94\x5C\\a.dat");  // 機能, relative
}

TEST(JoinPath, ARealSeparatorAtTheEndIsNotDoubled) {
  EXPECT_EQ(JoinPath("C:\\", "a.dat", '\\'), "C:\\a.dat");
  // A real backslash right after a double-byte character whose trail byte is 0x5C.
  EXPECT_EQ(JoinPath("C:\\\x95\x5C\\", "a.dat", '\\'), "C:\\\x95\x5C\\a.dat");
  // Half-width katakana are single bytes: the 0x5C after them is a separator.
  EXPECT_EQ(JoinPath("C:\\\xB1\\", "a.dat", '\\'), "C:\\\xB1\\a.dat");
  EXPECT_EQ(JoinPath("/tmp/", "a.dat", '/'), "/tmp/a.dat");
  EXPECT_EQ(JoinPath("/tmp", "a.dat", '/'), "/tmp/a.dat");
  EXPECT_EQ(JoinPath("", "a.dat", '\\'), "a.dat");
}

TEST(EndsWithSingleByte, ReadsCharactersFromTheStart) {
  EXPECT_TRUE(EndsWithSingleByte("\\", '\\'));
  EXPECT_FALSE(EndsWithSingleByte("\x95\x5C", '\\'));
  // The same two bytes after a lead byte's pair: 81 95 is one character, 5C another.
  EXPECT_TRUE(EndsWithSingleByte("\x81\x95\x5C", '\\'));
  // A lead byte cut off at the end has no trail byte to take.
  EXPECT_FALSE(EndsWithSingleByte("a\x95", '\\'));
  EXPECT_FALSE(EndsWithSingleByte("", '\\'));
}

}  // namespace

#include "device/bcd_number.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// The field between guard bytes, which must stay as they were.
std::vector<int> Packed(int width, std::uint32_t value) {
  std::vector<unsigned char> buffer(static_cast<size_t>(width) + 2, 0xEE);
  PackBcdNumber(buffer.data() + 1, width, value);
  EXPECT_EQ(buffer.front(), 0xEE);
  EXPECT_EQ(buffer.back(), 0xEE);
  return std::vector<int>(buffer.begin() + 1, buffer.end() - 1);
}

TEST(PackBcdNumber, WidthFour) {
  EXPECT_EQ(Packed(4, 12345678), (std::vector<int>{0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ(Packed(4, 1), (std::vector<int>{0x00, 0x00, 0x00, 0x01}));
  EXPECT_EQ(Packed(4, 0), (std::vector<int>{0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Packed(4, 1234567890), (std::vector<int>{0x34, 0x56, 0x78, 0x90}));
}

TEST(PackBcdNumber, OtherWidths) {
  EXPECT_EQ(Packed(1, 987), (std::vector<int>{0x87}));
  EXPECT_EQ(Packed(3, 10203), (std::vector<int>{0x01, 0x02, 0x03}));
  EXPECT_EQ(Packed(6, 4294967295u), (std::vector<int>{0x00, 0x42, 0x94, 0x96, 0x72, 0x95}));
  EXPECT_EQ(Packed(0, 55), (std::vector<int>{}));
}

}  // namespace

#include <gtest/gtest.h>

#include <cstring>

#include "util/crc32.h"

namespace {

// The check value of the IEEE CRC-32 (as zlib's crc32 and PNG give it), whole and
// in two pieces.
TEST(Crc32, IsTheZlibCrc) {
  const unsigned char* text = reinterpret_cast<const unsigned char*>("123456789");
  EXPECT_EQ(Crc32(text, 9), 0xCBF43926u);
  EXPECT_EQ(Crc32(text + 4, 5, Crc32(text, 4)), 0xCBF43926u);
  EXPECT_EQ(Crc32(text, 0), 0u);
}

}  // namespace

#include "util/crc32.h"

namespace {
struct Table {
  uint32_t entry[256];
  Table() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      entry[i] = c;
    }
  }
};
}  // namespace

uint32_t Crc32(const unsigned char* data, size_t n, uint32_t crc) {
  static const Table table;
  crc = ~crc;
  for (size_t i = 0; i < n; ++i) crc = table.entry[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

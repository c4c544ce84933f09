#include "firmware/boot_blocks.h"

const BootBlock BootBlockTable[BOOT_BLOCK_COUNT] = {
    {0x3000, 0x400, 0x0A},  {0x3400, 0x400, 0x0B},  {0x3800, 0x400, 0x0C}, {0x3C00, 0x400, 0x0D},
    {0xA000, 0x2000, 0x03}, {0xC000, 0x2000, 0x02}, {0xE000, 0x1000, 0x01},
};

long FindFirstUsedByte(const unsigned char* image, const BootBlock& block) {
  for (unsigned a = block.start; a <= BootBlockLast(block); ++a)
    if (image[a] != 0xFF) return static_cast<long>(a);
  return -1;
}

bool IsBlankPage(const unsigned char* image, unsigned address) {
  for (unsigned k = 0; k < BOOT_PAGE_SIZE; ++k)
    if (image[address + k] != 0xFF) return false;
  return true;
}

unsigned char ComputePageSum(const unsigned char* image, unsigned address) {
  unsigned sum = 0;
  for (unsigned k = 0; k < BOOT_PAGE_SIZE; ++k) sum += image[address + k];
  return static_cast<unsigned char>(sum & 0xFF);
}

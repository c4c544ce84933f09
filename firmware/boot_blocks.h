// The device's program-memory blocks as its boot loader erases and writes them.
// Everything outside these blocks (0x0000-0x2FFF, 0x4000-0x9FFF, 0xF000-0xFFFF)
// is never sent.
#pragma once

enum {
  BOOT_BLOCK_COUNT = 7,
  BOOT_PAGE_SIZE = 128,  // a block's size is a whole number of pages
};

struct BootBlock {
  unsigned start;
  unsigned size;
  unsigned char code;  // sent twice after "E" to erase the block
};

// In the order in which blocks are erased and written.
extern const BootBlock BootBlockTable[BOOT_BLOCK_COUNT];

inline unsigned BootBlockLast(const BootBlock& block) { return block.start + block.size - 1; }

// The address of the first byte of the block that is not 0xFF (blank), or -1.
long FindFirstUsedByte(const unsigned char* image, const BootBlock& block);

// True when all BOOT_PAGE_SIZE bytes of the page at address are 0xFF.
bool IsBlankPage(const unsigned char* image, unsigned address);

// The sum of the page's BOOT_PAGE_SIZE bytes modulo 256: the boot loader's reply to
// the page data.
unsigned char ComputePageSum(const unsigned char* image, unsigned address);

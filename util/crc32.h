// CRC-32 with the IEEE polynomial as zlib and PNG compute it (reflected,
// 0xEDB88320, initial and final value 0xFFFFFFFF): what the run log records of
// the bytes each operation meant to put into the unit, or read from it.
#pragma once
#include <cstddef>
#include <cstdint>

// The CRC of n bytes; pass the result of an earlier call as crc to go on over
// more bytes (0 to start).
uint32_t Crc32(const unsigned char* data, size_t n, uint32_t crc = 0);

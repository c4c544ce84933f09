// Packed-BCD number fields, as the flash data image carries a unit's serial number.
#pragma once

#include <cstdint>

// Writes value into the width bytes of field as right-aligned, big-endian packed BCD
// (two digits a byte, the last byte holding the lowest two digits). The field is
// zeroed first; digits beyond 2 x width are dropped. A width of 0 or less writes nothing.
void PackBcdNumber(unsigned char* field, int width, std::uint32_t value);

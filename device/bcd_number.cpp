#include "device/bcd_number.h"

void PackBcdNumber(unsigned char* field, int width, std::uint32_t value) {
  if (!field || width <= 0) return;
  for (int i = 0; i < width; ++i) field[i] = 0;
  for (int i = width - 1; i >= 0 && value != 0; --i) {
    field[i] = static_cast<unsigned char>(value % 10);
    value /= 10;
    field[i] = static_cast<unsigned char>(field[i] | (value % 10) << 4);
    value /= 10;
  }
}

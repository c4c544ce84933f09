#include "device/clock.h"

const unsigned char MonthLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

unsigned short DayNumber(const unsigned char date[3]) {
  const unsigned year = date[0];
  const unsigned month = date[1];
  const unsigned day = date[2];
  // The device's own count wraps at 16 bits; so does this one, step by step.
  unsigned short n = static_cast<unsigned short>((year / 4) * 1461 + (year % 4) * 365);
  if (year % 4 != 0) n = static_cast<unsigned short>(n + 1);  // the leap day of the group's first year
  for (unsigned i = 0; i + 1 < month && i < 12; ++i) {
    n = static_cast<unsigned short>(n + MonthLengths[i]);
    if (year % 4 == 0 && i == 1) n = static_cast<unsigned short>(n + 1);
  }
  return static_cast<unsigned short>(n + day - 1);
}

unsigned char ToBcd(unsigned value) {
  const unsigned b = value & 0xFF;
  return static_cast<unsigned char>((b / 10) * 16 + b % 10);
}

int FromBcd(unsigned char bcd) { return (bcd >> 4) * 10 + (bcd & 0x0F); }

DeviceTime DecodeDeviceTime(const unsigned char bcd[6]) {
  DeviceTime t;
  t.year = FromBcd(bcd[0]) + 2000;
  t.month = FromBcd(bcd[1]);
  t.day = FromBcd(bcd[2]);
  t.hour = FromBcd(bcd[3]);
  t.minute = FromBcd(bcd[4]);
  t.second = FromBcd(bcd[5]);
  return t;
}

// Clock encoding of the device: the date goes over as a day count since 2000-01-01,
// the time as BCD bytes, and the device reports its clock as six BCD bytes.
#pragma once

// Days of each month in a common year.
extern const unsigned char MonthLengths[12];

// Days since 2000-01-01 of the date triple [year - 2000, month, day], in 16 bits.
// Every year whose offset is divisible by 4 counts as a leap year, as the device
// counts it: right for 2000-2099, one day ahead from 2100-03-01 on.
// A month above 12 counts as the whole year (the sum stops at the end of
// MonthLengths), so month 13 day d is January d of the following year.
unsigned short DayNumber(const unsigned char date[3]);

// Two decimal digits of the low 8 bits of value, tens in the high nibble.
unsigned char ToBcd(unsigned value);

// High nibble times 10 plus low nibble; nibbles above 9 count with their value.
int FromBcd(unsigned char bcd);

// The unit's clock as it reports it: the year in full (2000 + its byte), then
// month, day, hour, minute and second, each decoded with FromBcd.
struct DeviceTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
// The six BCD bytes of a clock reply (year - 2000, month, day, hour, minute, second).
DeviceTime DecodeDeviceTime(const unsigned char bcd[6]);

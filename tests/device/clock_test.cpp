#include "device/clock.h"

#include <gtest/gtest.h>

namespace {

unsigned short Days(int year, int month, int day) {
  const unsigned char date[3] = {static_cast<unsigned char>(year - 2000), static_cast<unsigned char>(month),
                                 static_cast<unsigned char>(day)};
  return DayNumber(date);
}

TEST(DayNumber, KnownDates) {
  EXPECT_EQ(Days(2000, 1, 1), 0);
  EXPECT_EQ(Days(2000, 2, 29), 59);
  EXPECT_EQ(Days(2000, 3, 1), 60);
  EXPECT_EQ(Days(2001, 1, 1), 366);
  EXPECT_EQ(Days(2004, 2, 29), 1520);
  EXPECT_EQ(Days(2004, 3, 1), 1521);
  EXPECT_EQ(Days(2026, 12, 7), 0x266D);
  EXPECT_EQ(Days(2099, 12, 31), 36524);
  // The device counts 2100 as a leap year: one day ahead of the calendar from March.
  EXPECT_EQ(Days(2100, 2, 29), 36584);
  EXPECT_EQ(Days(2100, 3, 1), 36585);
}

// Every day from 2000-01-01 to 2099-12-31 is one more than the day before.
TEST(DayNumber, CountsEveryDayOfTheCentury) {
  const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int expected = 0;
  for (int year = 2000; year < 2100; ++year)
    for (int month = 1; month <= 12; ++month) {
      const int days = lengths[month - 1] + (month == 2 && year % 4 == 0 ? 1 : 0);
      for (int day = 1; day <= days; ++day, ++expected) ASSERT_EQ(Days(year, month, day), expected)
          << year << "-" << month << "-" << day;
    }
}

TEST(DayNumber, MonthsOutsideOneToTwelve) {
  EXPECT_EQ(Days(2004, 0, 5), Days(2004, 1, 5));  // month 0 adds nothing
  // Above 12 the months of MonthLengths are all counted and no more: January of
  // the following year.
  EXPECT_EQ(Days(2003, 13, 1), Days(2004, 1, 1));
  EXPECT_EQ(Days(2004, 13, 1), Days(2005, 1, 1));
  EXPECT_EQ(Days(2004, 255, 9), Days(2005, 1, 9));
}

TEST(DayNumber, KeepsSixteenBits) {
  // Offset 180 (the year 2180): 45 x 1461 = 65745 wraps to 209.
  EXPECT_EQ(Days(2180, 1, 1), 209);
  EXPECT_EQ(Days(2000, 1, 0), 0xFFFF);
}

TEST(Bcd, ToBcd) {
  EXPECT_EQ(ToBcd(59), 0x59);
  EXPECT_EQ(ToBcd(0), 0x00);
  EXPECT_EQ(ToBcd(100), 0xA0);
  EXPECT_EQ(ToBcd(256 + 23), 0x23);  // only the low 8 bits count
}

TEST(Bcd, FromBcd) {
  EXPECT_EQ(FromBcd(0x59), 59);
  EXPECT_EQ(FromBcd(0x00), 0);
  EXPECT_EQ(FromBcd(0xAF), 115);
  for (unsigned v = 0; v < 100; ++v) EXPECT_EQ(FromBcd(ToBcd(v)), static_cast<int>(v));
}

}  // namespace

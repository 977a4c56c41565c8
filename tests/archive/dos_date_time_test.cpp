// Guards the DOS date/time conversions every reader's dates go through: a wrong
// field shift or a missed invalid pair would misdate every listed entry.
#include "archive/DateTime.h"

#include <gtest/gtest.h>

using namespace velmora;

TEST(DosDateTimeToDate, DecodesFieldsAsStored)
{
    EXPECT_EQ(DosDateTimeToDate(0x5A21, 0x6B4F), (DateTime{2025, 1, 1, 13, 26, 30}));
    EXPECT_EQ(DosDateTimeToDate(static_cast<int16_t>(0xFF9F), static_cast<int16_t>(0xBF7D)),
              (DateTime{2107, 12, 31, 23, 59, 58}));
    EXPECT_EQ(DosDateTimeToDate(0x0021, 0), (DateTime{1980, 1, 1, 0, 0, 0}));
}

TEST(DosDateTimeToDate, RejectedPairsGive1601)
{
    EXPECT_EQ(DosDateTimeToDate(0, 0), rejected_dos_date_time);
    EXPECT_EQ(DosDateTimeToDate(0x0021 | (13 << 5), 0), rejected_dos_date_time);        // month 13
    EXPECT_EQ(DosDateTimeToDate((1 << 5) | 0, 0), rejected_dos_date_time);             // day 0
    EXPECT_EQ(DosDateTimeToDate((41 << 9) | (2 << 5) | 29, 0), rejected_dos_date_time); // 2021-02-29
    EXPECT_EQ(DosDateTimeToDate((40 << 9) | (2 << 5) | 29, 0), (DateTime{2020, 2, 29, 0, 0, 0}));
    EXPECT_EQ(DosDateTimeToDate(0x0021, static_cast<int16_t>(24 << 11)), rejected_dos_date_time);            // hour 24
    EXPECT_EQ(DosDateTimeToDate(0x0021, 60 << 5), rejected_dos_date_time);              // minute 60
    EXPECT_EQ(DosDateTimeToDate(0x0021, 30), rejected_dos_date_time);                   // 60 seconds
    EXPECT_EQ(rejected_dos_date_time.to_string(), "1601-01-01 00:00:00");
    EXPECT_EQ(DateTime{}.to_string(), "1899-12-30 00:00:00");
}

TEST(UnixTimeToDos, ConvertsUtcAndClampsOutsideTheDosRange)
{
    int16_t date = 0, time = 0;
    UnixTimeToDos(1205486813, date, time); // 2008-03-14 09:26:53 UTC
    EXPECT_EQ(DosDateTimeToDate(date, time), (DateTime{2008, 3, 14, 9, 26, 52}));

    UnixTimeToDos(0, date, time); // 1970 would wrap to 2098; clamps to the first DOS day
    EXPECT_EQ(DosDateTimeToDate(date, time), (DateTime{1980, 1, 1, 0, 0, 0}));
    UnixTimeToDos(-86400, date, time);
    EXPECT_EQ(DosDateTimeToDate(date, time), (DateTime{1980, 1, 1, 0, 0, 0}));

    UnixTimeToDos(int64_t{1} << 40, date, time);
    EXPECT_EQ(DosDateTimeToDate(date, time), (DateTime{2107, 12, 31, 23, 59, 58}));

    UnixTimeToDos(951782400, date, time); // 2000-02-29 00:00:00
    EXPECT_EQ(DosDateTimeToDate(date, time), (DateTime{2000, 2, 29, 0, 0, 0}));
}

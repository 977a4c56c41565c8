// Calendar date-time values to the second, and the DOS (FAT) date and time
// words that archives store. The zero value is 30 December 1899 00:00:00.
#pragma once

#include <compare>
#include <cstdint>
#include <string>

namespace velmora {

struct DateTime {
    int32_t year = 1899;
    int32_t month = 12;
    int32_t day = 30;
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;

    auto operator<=>(const DateTime&) const = default;

    // "YYYY-MM-DD HH:MM:SS"
    std::string to_string() const;
    bool is_zero() const { return *this == DateTime{}; }
};

// The value given for DOS words that are no real date or time.
inline constexpr DateTime rejected_dos_date_time{1601, 1, 1, 0, 0, 0};

// DOS date: bits 0-4 day, 5-8 month, 9-15 year - 1980.
// DOS time: bits 0-4 seconds / 2, 5-10 minutes, 11-15 hours.
// Fields are taken as they stand, with no time-zone conversion; a pair that is
// no real calendar date or time of day gives 1 January 1601 00:00:00.
DateTime DosDateTimeToDate(int16_t DosDate, int16_t DosTime);

// Unix time (UTC seconds) to DOS words, without time-zone adjustment. Times
// before 1980 give 1 January 1980 00:00:00; times after the last DOS date
// (31 December 2107 23:59:58) give that date.
void UnixTimeToDos(int64_t MTime, int16_t& DosDate, int16_t& DosTime);

// Days in a month of the proleptic Gregorian calendar.
int days_in_month(int32_t year, int32_t month);

} // namespace velmora

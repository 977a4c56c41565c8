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

// Unix time (UTC seconds) to DOS words holding that instant in the local time
// zone. Times before 1 January 1980 00:00:00 local give that date; times
// after the last DOS date (31 December 2107 23:59:58 local) give that date.
void UnixTimeToDos(int64_t MTime, int16_t& DosDate, int16_t& DosTime);

// The modification time an extracted file gets: none (the time of writing),
// DOS words read as local time, or an exact Unix instant.
struct FileStamp {
    enum class Kind : uint8_t { none, dos, unix_time };
    Kind kind = Kind::none;
    int16_t dos_date = 0;
    int16_t dos_time = 0;
    int64_t seconds = 0;      // Unix time
    uint32_t nanoseconds = 0; // below one second, for formats that keep them

    static FileStamp from_dos(int16_t date, int16_t time)
    {
        FileStamp s;
        // DOS words 0 and 0 mean "no time": the file keeps the time of writing.
        if (date != 0 || time != 0) {
            s.kind = Kind::dos;
            s.dos_date = date;
            s.dos_time = time;
        }
        return s;
    }
    static FileStamp from_unix(int64_t seconds, uint32_t nanoseconds = 0)
    {
        FileStamp s;
        s.kind = Kind::unix_time;
        s.seconds = seconds;
        s.nanoseconds = nanoseconds < 1000000000u ? nanoseconds : 0;
        return s;
    }
};

// Days in a month of the proleptic Gregorian calendar.
int days_in_month(int32_t year, int32_t month);

} // namespace velmora

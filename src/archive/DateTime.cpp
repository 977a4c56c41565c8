// DOS date/time words and calendar values.
#include "archive/DateTime.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace velmora {

std::string DateTime::to_string() const
{
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", static_cast<int>(year),
                  static_cast<int>(month), static_cast<int>(day), static_cast<int>(hour),
                  static_cast<int>(minute), static_cast<int>(second));
    return text;
}

int days_in_month(int32_t year, int32_t month)
{
    static constexpr int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12)
        return 0;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return days[month - 1] + (month == 2 && leap ? 1 : 0);
}

DateTime DosDateTimeToDate(int16_t DosDate, int16_t DosTime)
{
    const auto date = static_cast<uint16_t>(DosDate);
    const auto time = static_cast<uint16_t>(DosTime);
    DateTime d;
    d.year = 1980 + (date >> 9);
    d.month = (date >> 5) & 0x0F;
    d.day = date & 0x1F;
    d.hour = time >> 11;
    d.minute = (time >> 5) & 0x3F;
    d.second = (time & 0x1F) * 2;
    if (d.month < 1 || d.month > 12 || d.day < 1 || d.day > days_in_month(d.year, d.month)
        || d.hour > 23 || d.minute > 59 || d.second > 58)
        return rejected_dos_date_time;
    return d;
}

namespace {

// Civil date from days since 1970-01-01 (Howard Hinnant's algorithm).
void civil_from_days(int64_t z, int32_t& y, int32_t& m, int32_t& d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int32_t>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int32_t>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int32_t>(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

} // namespace

void UnixTimeToDos(int64_t MTime, int16_t& DosDate, int16_t& DosTime)
{
    // DOS words hold local time, as the ZIP rows beside these show it. Far
    // ends are cut before the conversion so the calendar arithmetic stays in
    // range; the DOS range is applied to the local fields afterwards.
    constexpr int64_t margin = 2 * 86400;
    constexpr int64_t first_dos_second = 315532800;  // 1980-01-01 00:00:00 UTC
    constexpr int64_t last_dos_second = 4354819198;  // 2107-12-31 23:59:58 UTC
    MTime = std::clamp(MTime, first_dos_second - margin, last_dos_second + margin);

    const auto t = static_cast<std::time_t>(MTime);
    std::tm tm{};
    int32_t y = 0, m = 0, d = 0, hh = 0, mm = 0, ss = 0;
    if (localtime_r(&t, &tm)) {
        y = tm.tm_year + 1900;
        m = tm.tm_mon + 1;
        d = tm.tm_mday;
        hh = tm.tm_hour;
        mm = tm.tm_min;
        ss = std::min(tm.tm_sec, 59); // a leap second reads as :59
    } else {
        const int64_t days = MTime / 86400;
        const int64_t secs = MTime % 86400;
        civil_from_days(days, y, m, d);
        hh = static_cast<int32_t>(secs / 3600);
        mm = static_cast<int32_t>((secs / 60) % 60);
        ss = static_cast<int32_t>(secs % 60);
    }
    if (y < 1980) {
        y = 1980, m = 1, d = 1, hh = 0, mm = 0, ss = 0;
    } else if (y > 2107) {
        y = 2107, m = 12, d = 31, hh = 23, mm = 59, ss = 58;
    }
    const auto date = static_cast<uint16_t>(((y - 1980) << 9) | (m << 5) | d);
    const auto time = static_cast<uint16_t>((hh << 11) | (mm << 5) | (ss / 2));
    DosDate = static_cast<int16_t>(date);
    DosTime = static_cast<int16_t>(time);
}

} // namespace velmora

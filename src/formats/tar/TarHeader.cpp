// Tar header fields: octal numbers, NUL-padded texts, pax records.
#include "formats/tar/TarHeader.h"

#include <cstdint>

namespace velmora {

std::optional<int64_t> ParseOctal(std::string_view text)
{
    if (!text.empty() && (static_cast<uint8_t>(text[0]) & 0x80) != 0) {
        // GNU base-256: the value in the bits after the marker bit, with the
        // second-highest bit of the first byte as its sign (0xFF... negative).
        const bool negative = (static_cast<uint8_t>(text[0]) & 0x40) != 0;
        uint64_t v = negative ? ~uint64_t{0} : 0;
        v = (v << 6) | (static_cast<uint8_t>(text[0]) & 0x3F);
        for (size_t i = 1; i < text.size(); ++i) {
            // Bits about to leave the top must all equal the sign.
            const uint64_t top = v >> 55;
            if (top != (negative ? 0x1FF : 0))
                return std::nullopt;
            v = (v << 8) | static_cast<uint8_t>(text[i]);
        }
        const auto value = static_cast<int64_t>(v);
        if ((value < 0) != negative)
            return std::nullopt;
        return value;
    }

    std::string s;
    for (const char c : text)
        if (c != '\0')
            s.push_back(c);
    const size_t first = s.find_first_not_of(' ');
    if (first == std::string::npos)
        return 0;
    s = s.substr(first, s.find_last_not_of(' ') - first + 1);
    const size_t digits = s.find_first_not_of('0');
    if (digits == std::string::npos)
        return 0;
    s.erase(0, digits);

    // 8 and 9 are taken at face value, like every other digit, so the sum
    // is formed with an overflow check rather than by shifting.
    int64_t value = 0;
    for (const char c : s) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : 0;
        if (value > (INT64_MAX - digit) / 8)
            return std::nullopt;
        value = value * 8 + digit;
    }
    return value;
}

std::string strip_nuls(std::span<const uint8_t> field)
{
    std::string out;
    for (const uint8_t b : field)
        if (b != 0)
            out.push_back(static_cast<char>(b));
    return out;
}

namespace {

// Calls fn(keyword, value) for each well-formed record, in order.
template <typename Fn>
void for_each_pax_record(std::span<const uint8_t> records, Fn fn)
{
    const std::string_view all(reinterpret_cast<const char*>(records.data()), records.size());
    size_t pos = 0;
    while (pos < all.size()) {
        // "<length> " where length counts the whole record, newline included.
        size_t p = pos;
        size_t length = 0;
        while (p < all.size() && all[p] >= '0' && all[p] <= '9' && length < all.size()) {
            length = length * 10 + static_cast<size_t>(all[p] - '0');
            ++p;
        }
        if (p == pos || p >= all.size() || all[p] != ' ' || length <= p - pos + 1 || length > all.size() - pos)
            break;
        const std::string_view record = all.substr(p + 1, pos + length - (p + 1));
        const size_t eq = record.find('=');
        if (eq == std::string_view::npos)
            break;
        std::string_view value = record.substr(eq + 1);
        if (!value.empty() && value.back() == '\n')
            value.remove_suffix(1);
        fn(record.substr(0, eq), value);
        pos += length;
    }
}

// A decimal integer, all of it; nullopt for anything else or past 63 bits.
std::optional<int64_t> decimal(std::string_view v)
{
    bool negative = false;
    if (!v.empty() && v.front() == '-') {
        negative = true;
        v.remove_prefix(1);
    }
    if (v.empty())
        return std::nullopt;
    int64_t n = 0;
    for (const char c : v) {
        if (c < '0' || c > '9' || n > (INT64_MAX - (c - '0')) / 10)
            return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return negative ? -n : n;
}

} // namespace

void PaxRecords::merge(const PaxRecords& other)
{
    if (other.path)
        path = other.path;
    if (other.linkpath)
        linkpath = other.linkpath;
    if (other.size)
        size = other.size;
    if (other.mtime) {
        mtime = other.mtime;
        mtime_nanoseconds = other.mtime_nanoseconds;
    }
}

PaxRecords parse_pax(std::span<const uint8_t> records)
{
    PaxRecords r;
    for_each_pax_record(records, [&r](std::string_view key, std::string_view value) {
        if (key == "path") {
            r.path = std::string(value);
        } else if (key == "linkpath") {
            r.linkpath = std::string(value);
        } else if (key == "size") {
            if (auto n = decimal(value); n && *n >= 0)
                r.size = n;
        } else if (key == "mtime") {
            // Seconds with an optional fraction: "1700000000.123456789", or
            // "-1.5" for 1.5 s before the epoch.
            const size_t dot = value.find('.');
            const auto whole = decimal(value.substr(0, dot));
            if (!whole)
                return;
            uint32_t nanos = 0;
            if (dot != std::string_view::npos) {
                uint32_t scale = 100000000;
                for (const char c : value.substr(dot + 1)) {
                    if (c < '0' || c > '9')
                        return;
                    nanos += static_cast<uint32_t>(c - '0') * scale;
                    scale /= 10;
                }
            }
            int64_t seconds = *whole;
            const bool negative = !value.empty() && value.front() == '-';
            if (negative && nanos > 0) {
                // -1.5 is 1.5 s before the epoch: -2 s plus 0.5 s.
                seconds -= 1;
                nanos = 1000000000 - nanos;
            }
            r.mtime = seconds;
            r.mtime_nanoseconds = nanos;
        }
    });
    return r;
}

std::optional<std::string> pax_value(std::span<const uint8_t> records, std::string_view keyword)
{
    std::optional<std::string> found;
    for_each_pax_record(records, [&](std::string_view key, std::string_view value) {
        if (key == keyword)
            found = std::string(value);
    });
    return found;
}

} // namespace velmora

// Tar header fields: octal numbers, NUL-padded texts, pax records.
#include "formats/tar/TarHeader.h"

#include <cmath>

namespace velmora {

std::optional<int32_t> ParseOctal(std::string_view text)
{
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

    // Summed in floating point as the weights may pass any integer type; 8
    // and 9 are taken at face value, like every other digit.
    double value = 0;
    const size_t L = s.size();
    for (size_t i = 0; i < L; ++i) {
        const char c = s[i];
        const int digit = c >= '0' && c <= '9' ? c - '0' : 0;
        value += digit * std::pow(8.0, static_cast<double>(L - 1 - i));
    }
    if (value > 2147483647.0)
        return std::nullopt;
    return static_cast<int32_t>(value);
}

std::string strip_nuls(std::span<const uint8_t> field)
{
    std::string out;
    for (const uint8_t b : field)
        if (b != 0)
            out.push_back(static_cast<char>(b));
    return out;
}

std::optional<std::string> pax_value(std::span<const uint8_t> records, std::string_view keyword)
{
    const std::string_view all(reinterpret_cast<const char*>(records.data()), records.size());
    std::optional<std::string> found;
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
        // A later record for the same keyword wins.
        if (record.substr(0, eq) == keyword)
            found = std::string(value);
        pos += length;
    }
    return found;
}

} // namespace velmora

// Stored-text decoding: UTF-8 where valid, else the format's legacy character set.
#include "archive/TextDecoding.h"

#include "archive/OemCodePage.h"

namespace velmora {

namespace {

// Code page 437, bytes 0x80-0xFF, as Unicode code points.
constexpr uint16_t cp437_high[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

// Windows-1252, bytes 0x80-0x9F (0 where the byte is undefined); 0xA0-0xFF
// are the same code points as the bytes.
constexpr uint16_t cp1252_80_9f[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178,
};

// Next code point of valid UTF-8 text at i; false at the end or on bad input.
bool next_code_point(std::string_view s, size_t& i, uint32_t& cp)
{
    if (i >= s.size())
        return false;
    const auto c = static_cast<uint8_t>(s[i]);
    const size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || s.size() - i < len)
        return false;
    cp = len == 1 ? c : len == 2 ? (c & 0x1Fu) : len == 3 ? (c & 0x0Fu) : (c & 0x07u);
    for (size_t k = 1; k < len; ++k)
        cp = (cp << 6) | (static_cast<uint8_t>(s[i + k]) & 0x3Fu);
    i += len;
    return true;
}

template <typename ByteOf>
std::optional<std::string> encode_single_byte(std::string_view text, ByteOf byte_of)
{
    const std::span<const uint8_t> raw(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    if (!is_valid_utf8(raw))
        return std::nullopt;
    std::string out;
    size_t i = 0;
    uint32_t cp = 0;
    while (next_code_point(text, i, cp)) {
        const int b = byte_of(cp);
        if (b < 0)
            return std::nullopt;
        out.push_back(static_cast<char>(b));
    }
    return out;
}

} // namespace

std::optional<std::string> utf8_to_cp1252(std::string_view text)
{
    return encode_single_byte(text, [](uint32_t cp) -> int {
        if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF))
            return static_cast<int>(cp);
        for (int k = 0; k < 32; ++k)
            if (cp1252_80_9f[k] != 0 && cp1252_80_9f[k] == cp)
                return 0x80 + k;
        return -1;
    });
}

std::optional<std::string> utf8_to_cp437(std::string_view text)
{
    return encode_single_byte(text, [](uint32_t cp) -> int {
        if (cp < 0x80)
            return static_cast<int>(cp);
        for (int k = 0; k < 128; ++k)
            if (cp437_high[k] == cp)
                return 0x80 + k;
        return -1;
    });
}

void append_utf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool is_valid_utf8(std::span<const uint8_t> s)
{
    size_t i = 0;
    while (i < s.size()) {
        const uint8_t c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len = 0;
        uint32_t cp = 0;
        if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (s.size() - i < len)
            return false;
        for (size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000)
            || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        i += len;
    }
    return true;
}

std::string cp437_to_utf8(std::span<const uint8_t> bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const uint8_t b : bytes)
        append_utf8(out, b < 0x80 ? b : cp437_high[b - 0x80]);
    return out;
}

std::string latin1_to_utf8(std::span<const uint8_t> bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const uint8_t b : bytes)
        append_utf8(out, b);
    return out;
}

std::string decode_archive_text(std::span<const uint8_t> bytes, bool known_utf8, LegacyText legacy)
{
    if (known_utf8 || is_valid_utf8(bytes))
        return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (legacy == LegacyText::latin1)
        return latin1_to_utf8(bytes);
    const int code_page = session_oem_code_page();
    if (code_page != 437)
        if (auto text = code_page_to_utf8(bytes, code_page))
            return std::move(*text);
    return cp437_to_utf8(bytes);
}

} // namespace velmora

// Turning names and comments stored in archives into UTF-8 text. Bytes that
// already form valid UTF-8 are kept; anything else is read in the legacy
// character set the format names: the OEM code page that DOS and Windows
// archivers of the user's language wrote names in (437 in English; 866 in
// Russian, 932 in Japanese, ...: OemCodePage.h), or ISO 8859-1 (gzip). This is
// the one place that decides how stored text is decoded.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velmora {

bool is_valid_utf8(std::span<const uint8_t> bytes);

// Code page 437 to UTF-8, every byte mapped (0x00-0x7F as ASCII).
std::string cp437_to_utf8(std::span<const uint8_t> bytes);

// ISO 8859-1 to UTF-8.
std::string latin1_to_utf8(std::span<const uint8_t> bytes);

enum class LegacyText {
    oem,    // the OEM code page of the session's language
    latin1, // ISO 8859-1 (RFC 1952 names and comments)
};

// Stored text to UTF-8. known_utf8: the format flags the text as UTF-8 (ZIP
// flags bit 11, CAB attribute 0x80); such bytes are kept as they are.
std::string decode_archive_text(std::span<const uint8_t> bytes, bool known_utf8 = false,
                                LegacyText legacy = LegacyText::oem);
inline std::string decode_archive_text(std::string_view bytes, bool known_utf8 = false,
                                       LegacyText legacy = LegacyText::oem)
{
    return decode_archive_text(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), known_utf8, legacy);
}

// UTF-8 text to the bytes of a single-byte code page, for passwords typed in
// the window but set by DOS and Windows tools. Empty when some character has
// no byte in that code page or the text is not valid UTF-8.
std::optional<std::string> utf8_to_cp1252(std::string_view text);
std::optional<std::string> utf8_to_cp437(std::string_view text);

// Appends the UTF-8 form of one code point (U+0000..U+10FFFF).
void append_utf8(std::string& out, uint32_t code_point);

} // namespace velmora

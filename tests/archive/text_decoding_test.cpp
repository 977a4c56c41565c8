// Guards the decoding of stored names: valid UTF-8 must pass untouched, and
// DOS names must come out as the letters their writers meant, not mojibake.
#include "archive/TextDecoding.h"

#include <gtest/gtest.h>

using namespace velmora;

TEST(TextDecoding, KeepsValidUtf8AndDecodesOthersAsCodePage437)
{
    EXPECT_EQ(decode_archive_text(std::string_view("plain/name.txt")), "plain/name.txt");
    EXPECT_EQ(decode_archive_text(std::string_view("caf\xC3\xA9")), "caf\xC3\xA9");
    // 0x82 0x94 are e-acute and o-umlaut in code page 437.
    EXPECT_EQ(decode_archive_text(std::string_view("\x82t\x94")), "\xC3\xA9t\xC3\xB6");
    // Box drawing and the last byte (no-break space).
    EXPECT_EQ(decode_archive_text(std::string_view("\xC9\xFF")), "\xE2\x95\x94\xC2\xA0");
    // Flagged UTF-8 is kept as stored.
    EXPECT_EQ(decode_archive_text(std::string_view("\x82"), true), "\x82");
}

TEST(TextDecoding, RejectsMalformedUtf8)
{
    const auto check = [](std::string_view s) {
        return is_valid_utf8({reinterpret_cast<const uint8_t*>(s.data()), s.size()});
    };
    EXPECT_TRUE(check("\xE2\x82\xAC"));
    EXPECT_TRUE(check("\xF0\x9F\x98\x80"));
    EXPECT_FALSE(check("\xC0\xAF"));         // overlong "/"
    EXPECT_FALSE(check("\xED\xA0\x80"));     // surrogate
    EXPECT_FALSE(check("\xE2\x82"));         // truncated
    EXPECT_FALSE(check("\xF4\x90\x80\x80")); // past U+10FFFF
}

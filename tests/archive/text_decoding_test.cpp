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

TEST(TextDecoding, EncodesPasswordsForSingleByteCodePages)
{
    // "pässwörd€": every letter exists in Windows-1252; the euro sign does not in 437.
    const std::string text = "p\xC3\xA4sswo\xCC\x88rd";        // o + combining diaeresis
    EXPECT_FALSE(utf8_to_cp1252(text).has_value());               // U+0308 has no byte
    EXPECT_EQ(utf8_to_cp1252("p\xC3\xA4ss\xE2\x82\xAC").value(), "p\xE4ss\x80");
    EXPECT_FALSE(utf8_to_cp437("p\xC3\xA4ss\xE2\x82\xAC").has_value());
    EXPECT_EQ(utf8_to_cp437("p\xC3\xA4ss").value(), "p\x84ss");
    EXPECT_EQ(utf8_to_cp437("plain").value(), "plain");
    EXPECT_FALSE(utf8_to_cp437("\xFF").has_value());              // not UTF-8

    // Every byte of 437 and every defined byte of 1252 survives a round trip.
    for (int b = 0x80; b < 0x100; ++b) {
        const std::string byte(1, static_cast<char>(b));
        const std::string utf8 = decode_archive_text(byte);
        EXPECT_EQ(utf8_to_cp437(utf8).value_or("?"), byte) << b;
    }
}

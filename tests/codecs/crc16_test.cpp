// Guards the slicing-by-8 CRC-16 against table or folding mistakes: the
// standard check value, and every length and alignment against the plain
// bitwise definition.
#include "codecs/Crc16.h"

#include <gtest/gtest.h>

#include <random>
#include <string_view>

using namespace velmora;

namespace {

uint16_t crc16_bitwise(uint16_t crc, std::span<const uint8_t> bytes)
{
    for (const uint8_t b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

std::span<const uint8_t> bytes_of(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

TEST(Crc16, KnownValues)
{
    struct row {
        std::string_view text;
        uint16_t crc;
    };
    // CRC-16/ARC's catalogue check value, and the empty input.
    for (const row& r : {row{"123456789", 0xBB3D}, row{"", 0x0000}, row{"a", 0xE8C1}})
        EXPECT_EQ(crc16_update(0, bytes_of(r.text)), r.crc) << r.text;
}

TEST(Crc16, EveryLengthAndSplitMatchesTheBitwiseDefinition)
{
    std::mt19937 rng(3);
    std::vector<uint8_t> data(300);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    for (size_t start = 0; start < 9; ++start) {
        for (size_t len = 0; start + len <= data.size(); len += 1 + len / 16) {
            const std::span<const uint8_t> s(data.data() + start, len);
            const uint16_t want = crc16_bitwise(0, s);
            ASSERT_EQ(crc16_update(0, s), want) << start << "+" << len;
            // Continuing over a split gives the same as one call.
            const size_t cut = len / 3;
            ASSERT_EQ(crc16_update(crc16_update(0, s.first(cut)), s.subspan(cut)), want);
        }
    }
    EXPECT_EQ(crc16_table()[0x80], crc16_bitwise(0, std::vector<uint8_t>{0x80}));
}

} // namespace

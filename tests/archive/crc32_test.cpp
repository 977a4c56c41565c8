// Guards CRC-32: a wrong value fails every extraction check, so the fast path
// is compared with zlib on many buffer sizes and alignments.
#include "archive/Cls_CRC32.h"

#include <gtest/gtest.h>
#include <random>
#include <stdexcept>
#include <vector>
#include <zlib.h>

using namespace velmora;

TEST(Crc32, KnownValuesAndTable)
{
    Cls_CRC32 crc;
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(crc.CalcCRC32File(abc), 891568578);
    EXPECT_EQ(crc.GetcrcTable(1), 0x77073096);
    EXPECT_EQ(static_cast<uint32_t>(crc.GetcrcTable(255)), 0x2D02EF8Du);
    EXPECT_THROW(crc.GetcrcTable(256), std::out_of_range);
    EXPECT_THROW(crc.GetcrcTable(-1), std::out_of_range);

    crc.ResetCRC32();
    for (const uint8_t b : abc)
        crc.CalcCRC32Byte(b);
    EXPECT_EQ(crc.CRC32(), 891568578);
    // After CalcCRC32File the register holds the finished CRC.
    crc.CalcCRC32File(abc);
    EXPECT_EQ(crc.CRC32(), ~891568578);
}

TEST(Crc32, MatchesZlibOnRandomBuffers)
{
    std::mt19937 rng(12345);
    std::vector<uint8_t> data(1 << 20);
    for (auto& b : data)
        b = static_cast<uint8_t>(rng());
    const std::vector<size_t> sizes = {0, 1, 2, 3, 7, 8, 15, 16, 31, 63, 64, 65, 127, 128, 255, 256, 1000, 4095, 65536, 1 << 20};
    for (const size_t offset : {0, 1, 3, 7, 13}) {
        for (const size_t size : sizes) {
            if (offset + size > data.size())
                continue;
            const std::span<const uint8_t> part(data.data() + offset, size);
            const auto expected = static_cast<uint32_t>(crc32(0, part.data(), static_cast<uInt>(part.size())));
            EXPECT_EQ(crc32_update(0, part), expected) << "size " << size << " offset " << offset;
            Cls_CRC32 crc;
            if (size > 0) {
                EXPECT_EQ(static_cast<uint32_t>(crc.CalcCRC32File(part)), expected);
            }
        }
    }
    // Continuing over split buffers gives the same result.
    const auto whole = crc32_update(0, data);
    const auto split = crc32_update(crc32_update(0, std::span(data).first(12345)), std::span(data).subspan(12345));
    EXPECT_EQ(whole, split);
}

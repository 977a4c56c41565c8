// Guards CRC-32: a wrong value fails every extraction check, so the fast path
// is compared with zlib on many buffer sizes and alignments.
#include "archive/Cls_CRC32.h"
#include "support/TestSupport.h"

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

namespace {

// The byte-wise register, one table lookup per byte: the reference every
// faster path must agree with.
uint32_t bytewise_crc(uint32_t crc, std::span<const uint8_t> bytes)
{
    Cls_CRC32 c;
    c.CRC32(static_cast<int32_t>(~crc));
    for (const uint8_t b : bytes)
        c.CalcCRC32Byte(b);
    return static_cast<uint32_t>(c.CRC32());
}

// Every way crc32_update can run on this machine, the table-only one always.
std::vector<crc32_method> available_methods()
{
    std::vector<crc32_method> methods;
    for (const auto m : {crc32_method::slicing, crc32_method::pclmul, crc32_method::vpclmul})
        if (crc32_method_available(m))
            methods.push_back(m);
    return methods;
}


} // namespace

TEST(Crc32, EveryLengthAndAlignmentMatchesTheByteTable)
{
    // Every length up to a few folding rounds (128 bytes a round for
    // PCLMULQDQ, 256 for VPCLMULQDQ, each entered at twice that) at every
    // offset within a 32-byte block, so each loop's entry and tail are crossed.
    const auto data = test::random_bytes(1100 + 32, 99);
    const auto methods = available_methods();
    for (size_t offset = 0; offset < 32; offset += (offset < 16 ? 1 : 5)) {
        for (size_t size = 0; size <= 1100; ++size) {
            const std::span<const uint8_t> part(data.data() + offset, size);
            const uint32_t expected = bytewise_crc(0, part);
            for (const auto method : methods)
                ASSERT_EQ(crc32_update_by(method, 0, part), expected)
                    << "method " << static_cast<int>(method) << " size " << size << " offset " << offset;
        }
    }
    for (size_t size = 0; size <= 1100; size += 7) {
        const std::span<const uint8_t> part(data.data() + 3, size);
        ASSERT_EQ(crc32_update(0, part), bytewise_crc(0, part)) << "size " << size;
    }
}

TEST(Crc32, ContinuationFromAnyStartValue)
{
    // A non-zero running CRC must enter the first folded block exactly.
    const auto data = test::random_bytes(5000, 7);
    for (const auto method : available_methods()) {
        for (const uint32_t start : {0u, 1u, 0xFFFFFFFFu, 0x80000000u, 0xDEADBEEFu}) {
            for (const size_t size : {1u, 17u, 64u, 255u, 256u, 257u, 511u, 512u, 513u, 4999u}) {
                const std::span<const uint8_t> part(data.data(), size);
                const uint32_t expected = bytewise_crc(start, part);
                EXPECT_EQ(crc32_update_by(method, start, part), expected)
                    << static_cast<int>(method) << " " << start << " " << size;
                EXPECT_EQ(static_cast<uint32_t>(crc32(start, part.data(), static_cast<uInt>(size))), expected);
            }
        }
    }
}

TEST(Crc32, UniformBuffersAndLargeBufferAgreeAcrossPaths)
{
    // All-zero and all-ones buffers expose a constant that only works on
    // random data by luck; a large buffer runs the main folding loops long.
    const auto big = test::random_bytes((8 << 20) + 5, 3);
    const auto zlib_value = static_cast<uint32_t>(crc32(0, big.data(), static_cast<uInt>(big.size())));
    for (const auto method : available_methods()) {
        for (const uint8_t fill : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x5A}}) {
            const std::vector<uint8_t> data(4096 + 13, fill);
            EXPECT_EQ(crc32_update_by(method, 0, data), bytewise_crc(0, data))
                << static_cast<int>(method) << " " << int{fill};
        }
        EXPECT_EQ(crc32_update_by(method, 0, big), zlib_value) << static_cast<int>(method);
    }
    EXPECT_EQ(crc32_update(0, big), zlib_value);
    EXPECT_EQ(crc32_update_portable(0, big), zlib_value);
    // The fastest method the CPU offers is the one in use.
#if defined(__x86_64__)
    if (__builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1")) {
        EXPECT_NE(crc32_fast_method(), crc32_method::slicing);
    }
    if (crc32_method_available(crc32_method::vpclmul)) {
        EXPECT_EQ(crc32_fast_method(), crc32_method::vpclmul);
    }
#endif
}

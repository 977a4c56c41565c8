// Guards the native RAR 3 standard filters: each must exactly undo its
// encoder side (E8/E8E9 at any file offset, delta and audio for several
// channel counts, RGB for several row widths and red positions, IA-64
// branches in every bundle template), also for the filters no archive at hand
// uses (RGB, Itanium); WinRAR's programs are recognised by length and CRC-32
// and nothing else is; parameters outside a filter's limits are refused.
#include "codecs/Rar3Filters.h"
#include "support/Rar3TestWriter.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

using namespace velmora;
using namespace velmora::test;

namespace {

std::vector<uint8_t> vm_memory() { return std::vector<uint8_t>(rar3_vm_memory_size + 4, 0xCC); }

// Runs the decoder side on `coded` and returns the block it hands on.
std::vector<uint8_t> run(Rar3FilterKind kind, const std::vector<uint8_t>& coded, uint32_t r0, uint32_t r1,
                         uint32_t file_offset, int32_t* out_at = nullptr)
{
    std::vector<uint8_t> mem = vm_memory();
    std::copy(coded.begin(), coded.end(), mem.begin());
    const int32_t at = rar3_run_filter(kind, mem.data(), static_cast<uint32_t>(coded.size()), r0, r1, file_offset);
    if (out_at)
        *out_at = at;
    if (at < 0)
        return {};
    return {mem.begin() + at, mem.begin() + at + static_cast<long>(coded.size())};
}


TEST(Rar3FilterRoundTrip, E8AndE8E9AtManyOffsets)
{
    std::mt19937 r(1);
    for (const bool e9 : {false, true}) {
        for (const uint32_t offset : {0u, 1u, 4096u, 0xFFF000u, 0x1000000u, 0x7F000000u}) {
            // Opcodes with targets near and far, inside and outside the 16 MiB
            // space, negative ones, and opcodes in the last four bytes.
            std::vector<uint8_t> block = random_bytes(20000, offset + e9);
            for (size_t i = 0; i + 5 <= block.size(); i += 3 + r() % 20) {
                block[i] = (r() % 2) ? 0xE8 : 0xE9;
                static const int64_t targets[] = {0, 1, -1, 100000, -100000, 0xFFFFFF, 0x1000000, -0x1000000, 0x7FFFFFFF};
                const uint32_t t = static_cast<uint32_t>(targets[r() % std::size(targets)] + static_cast<int>(r() % 64));
                std::memcpy(&block[i + 1], &t, 4);
            }
            block[block.size() - 3] = 0xE8;
            std::vector<uint8_t> coded = block;
            rar3_e8e9_encode(coded.data(), static_cast<uint32_t>(coded.size()), offset, e9);
            EXPECT_NE(coded, block);
            int32_t at = -1;
            EXPECT_EQ(run(e9 ? Rar3FilterKind::e8e9 : Rar3FilterKind::e8, coded, 0, 0, offset, &at), block)
                << "e9 " << e9 << " offset " << offset;
            EXPECT_EQ(at, 0); // in place
        }
    }
}

TEST(Rar3FilterRoundTrip, DeltaAndAudioForSeveralChannelCounts)
{
    for (const uint32_t channels : {1u, 2u, 3u, 4u, 7u, 16u}) {
        for (const size_t size : {1u, 31u, 1000u, 65537u}) {
            std::vector<uint8_t> block(size);
            for (size_t i = 0; i < size; ++i)
                block[i] = static_cast<uint8_t>(128 + 100 * std::sin(static_cast<double>(i / channels) / (5.0 + i % channels)));
            int32_t at = -1;
            EXPECT_EQ(run(Rar3FilterKind::delta, rar3_delta_encode(block, channels), channels, 0, 0, &at), block)
                << "delta channels " << channels << " size " << size;
            EXPECT_EQ(at, static_cast<int32_t>(size)); // after the block
            EXPECT_EQ(run(Rar3FilterKind::audio, rar3_audio_encode(block, channels), channels, 0, 0), block)
                << "audio channels " << channels << " size " << size;
        }
    }
}

TEST(Rar3FilterRoundTrip, RgbForSeveralWidthsAndRedPositions)
{
    std::mt19937 r(3);
    for (const uint32_t width : {6u, 30u, 3u * 97u, 3u * 640u}) {
        for (const uint32_t pos_r : {0u, 1u, 2u}) {
            // A smooth picture with noise: rows of 24-bit pixels.
            const size_t size = width * 40 + 7;
            std::vector<uint8_t> block(size);
            for (size_t i = 0; i < size; ++i)
                block[i] = static_cast<uint8_t>((i % width) / 3 * 2 + (i / width) * 3 + (i % 3) * 40 + r() % 5);
            EXPECT_EQ(run(Rar3FilterKind::rgb, rar3_rgb_encode(block, width, pos_r), width, pos_r, 0), block)
                << "width " << width << " red at " << pos_r;
        }
    }
}

TEST(Rar3FilterRoundTrip, ItaniumBranchesInEveryTemplate)
{
    std::mt19937 r(4);
    for (const uint32_t offset : {0u, 16u, 0x12340u, 0x7FFF0000u}) {
        std::vector<uint8_t> block = random_bytes(16 * 300 + 21, offset);
        for (size_t b = 0; b + 16 <= block.size(); b += 16) {
            block[b] = static_cast<uint8_t>((block[b] & 0xE0) | ((b / 16) % 32)); // every template in turn
            // In half the slots, opcode 5 (an IP-relative branch) in bits 37-40.
            for (unsigned slot = 0; slot < 3; ++slot) {
                if (r() % 2)
                    continue;
                const unsigned at = slot * 41 + 5 + 37;
                for (unsigned k = 0; k < 4; ++k) {
                    const unsigned bit = at + k;
                    uint8_t& byte = block[b + bit / 8];
                    byte = static_cast<uint8_t>((byte & ~(1u << (bit % 8))) | (((5u >> k) & 1u) << (bit % 8)));
                }
            }
        }
        std::vector<uint8_t> coded = block;
        rar3_itanium_encode(coded.data(), static_cast<uint32_t>(coded.size()), offset);
        EXPECT_NE(coded, block);
        EXPECT_EQ(run(Rar3FilterKind::itanium, coded, 0, 0, offset), block) << "offset " << offset;
    }
}

TEST(Rar3FilterIdentity, WinRarProgramsAndNothingElse)
{
    for (const auto kind : {Rar3FilterKind::e8, Rar3FilterKind::e8e9, Rar3FilterKind::delta, Rar3FilterKind::audio}) {
        std::vector<uint8_t> code = rar3_filter_program(kind);
        ASSERT_FALSE(code.empty());
        EXPECT_EQ(rar3_identify_filter(code), kind);
        std::vector<uint8_t> changed = code;
        changed[code.size() / 2] ^= 0x10;
        EXPECT_EQ(rar3_identify_filter(changed), Rar3FilterKind::unknown);
        EXPECT_EQ(rar3_identify_filter(std::span(code).first(code.size() - 1)), Rar3FilterKind::unknown);
    }
    EXPECT_EQ(rar3_identify_filter({}), Rar3FilterKind::unknown);
}

TEST(Rar3FilterLimits, ParametersOutsideTheFiltersAreRefused)
{
    const std::vector<uint8_t> small = random_bytes(300, 5);
    struct limit_case {
        Rar3FilterKind kind;
        uint32_t length, r0, r1;
        bool accepted;
    };
    const limit_case cases[] = {
        {Rar3FilterKind::delta, 300, 0, 0, false},    {Rar3FilterKind::delta, 300, 1024, 0, true},
        {Rar3FilterKind::delta, 300, 1025, 0, false}, {Rar3FilterKind::audio, 300, 0, 0, false},
        {Rar3FilterKind::audio, 300, 128, 0, true},   {Rar3FilterKind::audio, 300, 129, 0, false},
        {Rar3FilterKind::rgb, 300, 2, 0, false},      {Rar3FilterKind::rgb, 300, 3, 0, true},
        {Rar3FilterKind::rgb, 300, 303, 2, true},     {Rar3FilterKind::rgb, 300, 304, 0, false},
        {Rar3FilterKind::rgb, 300, 6, 3, false},      {Rar3FilterKind::rgb, 2, 3, 0, false},
        {Rar3FilterKind::e8, 0x3BFFF, 0, 0, true},    {Rar3FilterKind::e8, 0x3C000, 0, 0, false},
        {Rar3FilterKind::delta, 0x1DFFF, 4, 0, true}, {Rar3FilterKind::delta, 0x1E000, 4, 0, false},
        {Rar3FilterKind::unknown, 300, 0, 0, false},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> mem = vm_memory();
        std::copy(small.begin(), small.begin() + std::min<size_t>(small.size(), c.length), mem.begin());
        const int32_t at = rar3_run_filter(c.kind, mem.data(), c.length, c.r0, c.r1, 0);
        EXPECT_EQ(at >= 0, c.accepted) << "kind " << static_cast<int>(c.kind) << " length " << c.length << " r0 " << c.r0
                                       << " r1 " << c.r1;
    }
}

} // namespace

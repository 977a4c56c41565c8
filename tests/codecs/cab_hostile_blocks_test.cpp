// Guards the LZX and Quantum decoders against hostile CFDATA blocks: cut or
// changed blocks must end with a status (never a crash, a hang or a read
// outside the block), a decoder that failed must refuse the rest of the folder
// until reset, out-of-range windows and frame sizes must be refused, and
// reset() must make a used decoder decode the next folder as a fresh one.
#include "codecs/LzxDecoder.h"
#include "codecs/QuantumDecoder.h"
#include "support/CabFolders.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>

using namespace velmora;
using namespace velmora::test;

namespace {

struct FolderSample {
    std::string what;
    std::vector<uint8_t> cab; // keeps the blocks' bytes alive
    CabFolder folder;
    std::vector<uint8_t> expected;
};

// LZX 2^18 and Quantum 2^18 of one block each, Quantum over 16 blocks, and the
// first 24 blocks of an LZX 2^21 folder.
std::vector<FolderSample> samples()
{
    std::vector<FolderSample> v;
    auto add = [&v](const std::string& what, const std::filesystem::path& path, size_t folder, size_t max_blocks) {
        FolderSample s{what, read_file(path), {}, {}};
        const Cabinet cab = cab_read(s.cab);
        if (folder >= cab.folders.size())
            return;
        s.folder = cab.folders[folder];
        if (s.folder.blocks.size() > max_blocks)
            s.folder.blocks.resize(max_blocks);
        if (cab_decode_folder(s.folder, s.expected) == DecodeStatus::ok)
            v.push_back(std::move(s));
    };
    const auto dir = data_dir() / "cab" / "mspack";
    add("lzx 2^18", dir / "mszip_lzx_qtm.cab", 1, 99);
    add("quantum 2^18", dir / "mszip_lzx_qtm.cab", 2, 99);
    add("quantum 16 blocks", dir / "cve-2010-2801-qtm-flush.cab", 0, 99);
    add("lzx 2^21", dir / "large-files-cab.cab", 0, 24);
    return v;
}

TEST(CabHostileBlocks, EverySampleFolderDecodes)
{
    EXPECT_EQ(samples().size(), 4u);
}

TEST(CabHostileBlocks, CutBlocksFailOrLoseOnlyPadding)
{
    for (const auto& s : samples()) {
        SCOPED_TRACE(s.what);
        const size_t n = s.folder.blocks.size();
        for (size_t k : {size_t{0}, n / 2, n - 1}) {
            const auto whole = s.folder.blocks[k].data;
            for (size_t cut = 0; cut < whole.size(); cut += 1 + cut / 8) {
                CabFolder f = s.folder;
                f.blocks[k].data = whole.first(cut);
                std::vector<uint8_t> out;
                const DecodeStatus st = cab_decode_folder(f, out);
                if (st == DecodeStatus::ok) {
                    EXPECT_TRUE(out == s.expected) << "block " << k << " cut to " << cut;
                } else {
                    EXPECT_TRUE(st == DecodeStatus::truncated || st == DecodeStatus::data_error)
                        << decode_status_name(st);
                }
            }
        }
    }
}

TEST(CabHostileBlocks, ChangedBytesEndWithAStatusAndStopTheFolder)
{
    std::mt19937 rng(2024);
    for (const auto& s : samples()) {
        SCOPED_TRACE(s.what);
        const bool lzx = s.folder.method() == 3;
        for (int round = 0; round < 150; ++round) {
            // Copies of the blocks with a few bytes changed in one of them.
            std::vector<std::vector<uint8_t>> copies;
            for (const auto& b : s.folder.blocks)
                copies.emplace_back(b.data.begin(), b.data.end());
            auto& victim = copies[rng() % copies.size()];
            if (victim.empty())
                continue;
            for (int k = 0; k < 1 + round % 3; ++k)
                victim[rng() % victim.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
            LzxDecoder lzx_decoder;
            QuantumDecoder quantum;
            ASSERT_EQ(lzx ? lzx_decoder.reset(s.folder.window_bits()) : quantum.reset(s.folder.window_bits()),
                      DecodeStatus::ok);
            bool failed = false;
            for (size_t b = 0; b < copies.size(); ++b) {
                std::vector<uint8_t> out(s.folder.blocks[b].uncompressed);
                const DecodeStatus st =
                    lzx ? lzx_decoder.decode_block(copies[b], out) : quantum.decode_block(copies[b], out);
                if (failed) {
                    EXPECT_EQ(st, DecodeStatus::data_error) << "a failed decoder goes on";
                }
                failed = failed || st != DecodeStatus::ok;
            }
        }
    }
}

TEST(CabHostileBlocks, WindowsAndFrameSizesOutsideTheFormatAreRefused)
{
    LzxDecoder lzx;
    QuantumDecoder quantum;
    std::vector<uint8_t> out(16);
    const std::vector<uint8_t> block(64, 0);
    for (unsigned bits : {0u, 14u, 22u, 31u})
        EXPECT_EQ(lzx.reset(bits), DecodeStatus::data_error) << bits;
    EXPECT_EQ(lzx.decode_block(block, out), DecodeStatus::data_error) << "no folder started";
    for (unsigned bits : {0u, 9u, 22u, 31u})
        EXPECT_EQ(quantum.reset(bits), DecodeStatus::data_error) << bits;
    EXPECT_EQ(quantum.decode_block(block, out), DecodeStatus::data_error) << "no folder started";

    for (const auto& s : samples()) {
        SCOPED_TRACE(s.what);
        const bool is_lzx = s.folder.method() == 3;
        auto reset = [&] { return is_lzx ? lzx.reset(s.folder.window_bits()) : quantum.reset(s.folder.window_bits()); };
        auto decode = [&](std::span<const uint8_t> in, std::span<uint8_t> o) {
            return is_lzx ? lzx.decode_block(in, o) : quantum.decode_block(in, o);
        };
        const auto& first = s.folder.blocks[0];
        // cbUncomp above a frame.
        ASSERT_EQ(reset(), DecodeStatus::ok);
        std::vector<uint8_t> big(32769);
        EXPECT_EQ(decode(first.data, big), DecodeStatus::data_error);
        // cbUncomp 0 takes nothing; the folder goes on as before.
        ASSERT_EQ(reset(), DecodeStatus::ok);
        EXPECT_EQ(decode(first.data, std::span<uint8_t>()), DecodeStatus::ok);
        std::vector<uint8_t> all;
        for (const auto& b : s.folder.blocks) {
            std::vector<uint8_t> o(b.uncompressed);
            ASSERT_EQ(decode(b.data, o), DecodeStatus::ok);
            all.insert(all.end(), o.begin(), o.end());
        }
        EXPECT_TRUE(all == s.expected);
        // A short frame ends the folder: one more block is an error.
        if (s.folder.blocks.back().uncompressed < 32768) {
            std::vector<uint8_t> o(100);
            EXPECT_EQ(decode(first.data, o), DecodeStatus::data_error);
        }
        // The same decoder, reset, decodes the folder again to the same bytes.
        std::vector<uint8_t> again;
        EXPECT_EQ(cab_decode_folder(s.folder, again, lzx, quantum), DecodeStatus::ok);
        EXPECT_TRUE(again == s.expected);
    }
}

// Found by quantum_fuzz: a match a whole window back (offset = window size)
// copies a byte onto itself; a block copy with a distance of zero never ended.
TEST(CabHostileBlocks, QuantumMatchAWholeWindowBackEnds)
{
    const std::vector<uint8_t> block = {0x00, 0x08, 0x7E, 0x7F, 0xFA, 0x00, 0x00, 0xC0};
    QuantumDecoder quantum;
    ASSERT_EQ(quantum.reset(10), DecodeStatus::ok);
    std::vector<uint8_t> out(1, 0xAA);
    EXPECT_EQ(quantum.decode_block(block, out), DecodeStatus::ok);
    EXPECT_EQ(out[0], 0) << "a match before the first byte reads the zeroed window";
}

} // namespace

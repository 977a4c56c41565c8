// Guards against a fast path that corrupts valid data: streams zlib makes at
// every level and strategy, from varied and real buffers, must decode byte for
// byte with result 0, in Deflate64 mode too wherever no length 258 occurs.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "codecs/Mod_Inflate64.h"
#include "inflate_test_helpers.h"
#include "support/TestSupport.h"

namespace velmora {
namespace {

using test::zlib_deflate_raw;

std::vector<uint8_t> make_buffer(std::mt19937& rng, unsigned kind, size_t size)
{
    static const std::vector<std::string> words = {"the ", "archive ", "entry ", "of ", "deflate ", "and ", "window ",
                                                   "\n", "length ", "distance ", "Velmora ", "0x1F, ", "block "};
    std::vector<uint8_t> b;
    b.reserve(size);
    std::uniform_int_distribution<int> byte(0, 255);
    while (b.size() < size) {
        switch (kind) {
        case 0: b.push_back(static_cast<uint8_t>(byte(rng))); break; // incompressible
        case 1: {                                                    // text
            const auto& w = words[rng() % words.size()];
            b.insert(b.end(), w.begin(), w.end());
            break;
        }
        case 2: b.insert(b.end(), 1 + rng() % 700, static_cast<uint8_t>(rng() % 3)); break; // long runs
        case 3: {                                                                           // records, small numbers
            const uint32_t v = rng() % 5000;
            for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
            b.push_back(static_cast<uint8_t>(rng() % 4));
            break;
        }
        default: { // copies of earlier material from far back, mixed with noise
            if (b.size() > 64 && rng() % 2) {
                const size_t from = rng() % b.size();
                const size_t n = std::min<size_t>(1 + rng() % 300, b.size() - from);
                for (size_t i = 0; i < n; ++i) b.push_back(b[from + i]);
            } else {
                b.push_back(static_cast<uint8_t>(byte(rng)));
            }
        }
        }
    }
    b.resize(size);
    return b;
}

constexpr int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};

// Checks one buffer both ways; returns how many lengths of 258 the stream has
// (0 when the Deflate64 check was not asked for).
unsigned expect_round_trip(const std::vector<uint8_t>& original, int level, int strategy, int mem_level, bool check_deflate64)
{
    SCOPED_TRACE("size " + std::to_string(original.size()) + " level " + std::to_string(level) + " strategy " +
                 std::to_string(strategy) + " memLevel " + std::to_string(mem_level));
    const auto packed = zlib_deflate_raw(original, level, strategy, mem_level);
    const auto out_last = static_cast<int32_t>(original.size()) - 1;

    auto data = packed;
    EXPECT_EQ(Inflate(data, out_last, false), 0);
    EXPECT_TRUE(data == original);

    // A larger buffer than needed: the bytes produced, no more.
    data = packed;
    EXPECT_EQ(Inflate(data, out_last + 1000, false), 0);
    EXPECT_TRUE(data == original);

    if (!check_deflate64) return 0;
    const auto model = test::run_inflate_model(packed, out_last, false);
    EXPECT_FALSE(model.fault);
    EXPECT_TRUE(model.data == original);
    data = packed;
    const int32_t r64 = Inflate(data, out_last, true);
    if (model.lengths_258 == 0) {
        EXPECT_EQ(r64, 0);
        EXPECT_TRUE(data == original);
    } else {
        // Length 258 reads 16 more bits in Deflate64: the stream means something else.
        EXPECT_FALSE(r64 == 0 && data == original);
    }
    return model.lengths_258;
}

TEST(InflateZlibRoundTrip, EveryLevelAndStrategyOnVariedBuffers)
{
    std::mt19937 rng(20240517);
    unsigned with_258 = 0, without_258 = 0;
    for (int i = 0; i < 2000; ++i) {
        const unsigned kind = rng() % 5;
        size_t size;
        switch (rng() % 4) {
        case 0: size = rng() % 64; break;
        case 1: size = rng() % 4096; break;
        case 2: size = rng() % 40000; break;
        default: size = rng() % 200000; break;
        }
        const auto original = make_buffer(rng, kind, size);
        const int level = static_cast<int>(rng() % 10);
        const int strategy = strategies[rng() % 5];
        const int mem_level = rng() % 4 == 0 ? 1 : 8; // memLevel 1: many small blocks
        const bool check64 = size <= 60000;
        const unsigned n258 = expect_round_trip(original, level, strategy, mem_level, check64);
        if (HasFailure()) return;
        if (check64) (n258 ? with_258 : without_258) += 1;
    }
    // Both kinds of stream were met, so both branches above were exercised.
    EXPECT_GT(with_258, 50u);
    EXPECT_GT(without_258, 500u);
}

TEST(InflateZlibRoundTrip, RealFilesAtEveryLevelAndStrategy)
{
    if (!test::corpus_available()) GTEST_SKIP() << "shared corpus not present";
    std::vector<std::vector<uint8_t>> files;
    for (const char* name : {"zip-legacy/first.txt", "zip-legacy/implode_hamlet_2048.out", "zip-legacy/LICENSE-commons-compress.txt",
                             "zip-legacy/expected.json", "zip-legacy/reduce_zero_reduced.bin", "zip-legacy/README.md"}) {
        const auto p = test::corpus_dir() / name;
        if (std::filesystem::exists(p)) files.push_back(test::read_file(p));
    }
    ASSERT_GE(files.size(), 4u);
    // Everything concatenated, several times over: distances far back, many blocks.
    std::vector<uint8_t> all;
    for (int r = 0; r < 6; ++r)
        for (const auto& f : files) all.insert(all.end(), f.begin(), f.end());
    files.push_back(all);
    for (const auto& f : files)
        for (int level = 0; level <= 9; ++level)
            for (int strategy : strategies) {
                expect_round_trip(f, level, strategy, 8, f.size() <= 200000);
                if (HasFailure()) return;
            }
}

// Flushes put empty stored blocks and byte alignment in the middle and at the
// end of the stream; the stored-header rules must agree with the model there.
TEST(InflateZlibRoundTrip, FlushedStreamsAgreeWithModel)
{
    std::mt19937 rng(7);
    for (int i = 0; i < 400; ++i) {
        const auto original = make_buffer(rng, rng() % 5, rng() % 3000);
        z_stream z{};
        deflateInit2(&z, static_cast<int>(rng() % 10), Z_DEFLATED, -15, 8, strategies[rng() % 5]);
        std::vector<uint8_t> packed(original.size() * 2 + 4096);
        z.next_out = packed.data();
        z.avail_out = static_cast<uInt>(packed.size());
        size_t at = 0;
        while (at < original.size()) {
            const size_t n = std::min<size_t>(original.size() - at, 1 + rng() % 700);
            z.next_in = const_cast<Bytef*>(original.data() + at);
            z.avail_in = static_cast<uInt>(n);
            deflate(&z, rng() % 2 ? Z_SYNC_FLUSH : Z_FULL_FLUSH);
            at += n;
        }
        const int final_flush = rng() % 3;
        if (final_flush) deflate(&z, final_flush == 1 ? Z_SYNC_FLUSH : Z_PARTIAL_FLUSH);
        deflate(&z, Z_FINISH);
        packed.resize(z.total_out);
        deflateEnd(&z);

        for (bool d64 : {false, true}) {
            auto data = packed;
            const auto out_last = static_cast<int32_t>(original.size()) - 1;
            const int32_t r = Inflate(data, out_last, d64);
            const auto m = test::run_inflate_model(packed, out_last, d64);
            ASSERT_EQ(r, m.result) << i;
            ASSERT_TRUE(data == (m.fault ? packed : m.data)) << i;
            if (!d64) {
                ASSERT_TRUE(data == original) << i;
            }
        }
    }
}

} // namespace
} // namespace velmora

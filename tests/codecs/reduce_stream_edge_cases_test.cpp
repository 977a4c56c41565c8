// Guards the corners of Unreduce that encoders rarely produce: hand-built bit
// streams for the DLE escapes, oversized follower counts, out-of-range indexes,
// truncated input, copies before the first byte and hostile sizes.
#include "codecs/Mod_Reduce.h"
#include "reduce_test_codec.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>

using namespace velmora;
using namespace velmora::test;

namespace {

// A stream whose follower sets are all empty except those given (byte -> members,
// optional declared count), followed by the code bits the caller writes.
struct stream_builder {
    lsb_bit_writer w;
    explicit stream_builder(std::vector<std::pair<uint8_t, std::vector<uint8_t>>> sets = {},
                            std::vector<std::pair<uint8_t, unsigned>> declared = {})
    {
        for (int c = 255; c >= 0; --c) {
            std::vector<uint8_t> members;
            unsigned count = 0;
            for (const auto& [b, m] : sets)
                if (b == c) {
                    members = m;
                    count = static_cast<unsigned>(m.size());
                }
            for (const auto& [b, n] : declared)
                if (b == c)
                    count = n;
            w.put(count, 6);
            for (const uint8_t m : members)
                w.put(m, 8);
        }
    }
    stream_builder& codes(std::initializer_list<uint8_t> bytes)
    {
        for (const uint8_t b : bytes)
            w.put(b, 8);
        return *this;
    }
    std::vector<uint8_t> take() { return w.take(); }
};

std::vector<uint8_t> expand(std::vector<uint8_t> stream, int method, int32_t out_last, int16_t* status = nullptr)
{
    const std::vector<uint8_t> original = stream;
    const int16_t s = Unreduce(stream, static_cast<int16_t>(method), out_last);
    if (status)
        *status = s;
    // Every case must agree with the step-by-step expander too.
    if (out_last >= 0) {
        EXPECT_EQ(stream, reference_unreduce(original, method, out_last));
    }
    return stream;
}

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

} // namespace

TEST(ReduceEdgeCases, EmptySetsReadEightLiteralBitsAndDleZeroIsOneDle)
{
    for (int method = 2; method <= 5; ++method) {
        const auto out = expand(stream_builder().codes({'a', 'b', 144, 0, 'c', 144, 0, 144, 0}).take(), method, 5);
        EXPECT_EQ(out, (std::vector<uint8_t>{'a', 'b', 144, 'c', 144, 144}));
    }
}

TEST(ReduceEdgeCases, AllOnesLengthTakesAnExtraByte)
{
    // Method 2 (factor 1): 7 length bits. 0x7F = all ones -> length 127 + next
    // byte + 3; then the distance byte. "abcd" repeated from distance 4.
    auto out = expand(stream_builder().codes({'a', 'b', 'c', 'd', 144, 0x7F, 10, 3, 'z'}).take(), 2, 4 + 140);
    ASSERT_EQ(out.size(), 145u);
    for (size_t i = 0; i < 144; ++i)
        ASSERT_EQ(out[i], "abcd"[i % 4]) << i;
    EXPECT_EQ(out[144], 'z');

    // 0x7E is not all ones: length 126 + 3 = 129, and the next byte is
    // already the distance.
    out = expand(stream_builder().codes({'a', 'b', 'c', 'd', 144, 0x7E, 3, 'z'}).take(), 2, 4 + 129);
    ASSERT_EQ(out.size(), 134u);
    for (size_t i = 0; i < 133; ++i)
        ASSERT_EQ(out[i], "abcd"[i % 4]) << i;
    EXPECT_EQ(out[133], 'z');

    // The same first byte under method 5 (4 length bits): length 0xE + 3 = 17,
    // distance (7 << 8) + 3 + 1 reaches before the start: all zeros.
    out = expand(stream_builder().codes({'a', 144, 0x7E, 3, 'z'}).take(), 5, 18);
    EXPECT_EQ(out, [] {
        std::vector<uint8_t> v(19, 0);
        v[0] = 'a';
        v[18] = 'z';
        return v;
    }());
}

TEST(ReduceEdgeCases, DistanceHighBitsPerFactor)
{
    // First byte 0x81 after DLE: method 2 reads length 1 and distance high
    // bit 1 (distance 256 + D + 1); method 3 reads length 1, high bits 2.
    std::vector<uint8_t> text(600);
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<uint8_t>('A' + i % 23);
    for (const auto& [method, distance] : {std::pair{2, 256 + 9 + 1}, std::pair{3, 512 + 9 + 1}}) {
        stream_builder sb;
        for (const uint8_t b : text)
            sb.codes({b});
        const auto out = expand(sb.codes({144, 0x81, 9}).take(), method, static_cast<int32_t>(text.size()) + 3);
        ASSERT_EQ(out.size(), text.size() + 4);
        for (size_t k = 0; k < 4; ++k)
            EXPECT_EQ(out[text.size() + k], text[text.size() - distance + k]) << method;
    }
}

TEST(ReduceEdgeCases, CopiesBeforeTheFirstByteReadZeros)
{
    // At position 0: length 4 from 4096 back (method 5 maximum). Then 'Q',
    // then a copy of 8 from 6 back whose first byte lies before the start and
    // whose last bytes repeat what the copy itself wrote.
    const auto out = expand(stream_builder().codes({144, 0xF1, 0xFF, 'Q', 144, 0x05, 5}).take(), 5, 12);
    EXPECT_EQ(out, (std::vector<uint8_t>{0, 0, 0, 0, 'Q', 0, 0, 0, 0, 0, 'Q', 0, 0}));
}

TEST(ReduceEdgeCases, CountsAbove32AreCutAndOutOfRangeIndexesPickZero)
{
    // Byte 0's set declares 40 members but only 32 are read; the bits after
    // them are code bits. The first code comes after last = 0: flag 0 and a
    // 5-bit index.
    std::vector<uint8_t> members(32);
    for (size_t i = 0; i < 32; ++i)
        members[i] = static_cast<uint8_t>('a' + i % 26);
    stream_builder sb({{0, members}}, {{0, 40}});
    sb.w.put(0, 1);
    sb.w.put(31, 5);   // member 31
    int16_t status = 1;
    auto out = expand(sb.codes({'x'}).take(), 5, 1, &status);
    EXPECT_EQ(status, 0);   // the buffer was filled
    EXPECT_EQ(out, (std::vector<uint8_t>{members[31], 'x'}));

    // A set of 3 uses 2-bit indexes; index 3 is outside and picks 0.
    stream_builder sb3({{0, {'p', 'q', 'r'}}, {'r', {'s', 't', 'u'}}});
    for (const unsigned index : {2u, 3u, 0u}) {
        sb3.w.put(0, 1);
        sb3.w.put(index, 2);
    }
    out = expand(sb3.take(), 4, 2);
    EXPECT_EQ(out, (std::vector<uint8_t>{'r', 0, 'p'}));
}

TEST(ReduceEdgeCases, InputEndingEarlyReadsZerosFromThere)
{
    // Byte 0 has the one follower 0 (2 bits per zero). After one such code, a
    // literal flag and only 5 of its 8 bits: that read yields 0, not the 5
    // bits present, and so does everything after it.
    stream_builder sb({{0, {0}}});
    sb.w.put(0, 1);
    sb.w.put(0, 1);
    sb.w.put(1, 1);
    sb.w.put(0x1F, 5);
    const auto stream = sb.take();
    ASSERT_EQ(stream.size() * 8, 1530u + 6 + 8 + 8);
    EXPECT_EQ(expand(stream, 5, 3), (std::vector<uint8_t>(4, 0)));

    // Literals then nothing: the rest of the buffer is zero literals.
    EXPECT_EQ(expand(stream_builder().codes({'A', 'B'}).take(), 3, 4),
              (std::vector<uint8_t>{'A', 'B', 0, 0, 0}));
    // No input at all still fills the buffer.
    EXPECT_EQ(expand({}, 2, 2), (std::vector<uint8_t>{0, 0, 0}));
}

TEST(ReduceEdgeCases, CopyPastTheExpectedSizeIsCut)
{
    int16_t status = 1;
    const auto out = expand(stream_builder().codes({'x', 'y', 144, 0x3F, 200, 1, 'z'}).take(), 3, 9, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, bytes("xyxyxyxyxy"));
}

TEST(ReduceEdgeCases, SizesAndMethodsOutsideTheFormat)
{
    const std::vector<uint8_t> stream = stream_builder().codes({'a', 'b'}).take();
    // Expected size 0: empty at once, whatever the input.
    std::vector<uint8_t> data = stream;
    EXPECT_EQ(Unreduce(data, 5, -1), 0);
    EXPECT_TRUE(data.empty());
    // Methods other than 2..5 and negative sizes are not decoded: the input
    // stays as it was, so the caller's size and CRC check reports the entry.
    for (const auto& [method, out_last] : {std::pair{1, 10}, std::pair{6, 10}, std::pair{0, 10}, std::pair{-3, 10},
                                           std::pair{5, -2}, std::pair{5, INT32_MIN}}) {
        data = stream;
        EXPECT_EQ(Unreduce(data, static_cast<int16_t>(method), out_last), 0);
        EXPECT_EQ(data, stream) << method << " " << out_last;
    }
}

TEST(ReduceEdgeCases, OutputIsNeverLargerThanTheExpectedSize)
{
    // A tiny stream that decodes to a long run of zeros: the buffer grows to
    // exactly the expected size and no further.
    std::vector<uint8_t> data = stream_builder().codes({0}).take();
    const int32_t out_last = (12 << 20) - 1;
    EXPECT_EQ(Unreduce(data, 5, out_last), 0);
    EXPECT_EQ(data.size(), static_cast<size_t>(out_last) + 1);
    EXPECT_LE(data.capacity(), static_cast<size_t>(out_last) + 1);
    EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0; }));
}

TEST(ReduceEdgeCases, TruncatedAndDamagedRealStreams)
{
    if (!corpus_available())
        GTEST_SKIP() << "shared corpus not present";
    const auto stream = read_file(corpus_dir() / "zip-legacy" / "reduce_hamlet_2048.bin");
    const auto full = expand(stream, 5, 2047);
    std::mt19937 rng(9);
    for (size_t cut = 0; cut < stream.size(); cut += 37) {
        const std::vector<uint8_t> head(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
        const auto out = expand(head, 5, 2047);
        ASSERT_EQ(out.size(), 2048u);
        // Once the follower sets are whole, what was decoded before the cut
        // matches the full expansion.
        if (cut >= 600) {
            const auto diff = std::mismatch(out.begin(), out.end(), full.begin()).first - out.begin();
            EXPECT_GT(diff, 0) << cut;
        }
    }
    for (int i = 0; i < 200; ++i) {
        std::vector<uint8_t> damaged = stream;
        for (int k = 0; k < 1 + i % 8; ++k)
            damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
        const auto out = expand(damaged, 2 + i % 4, 2047 + i * 13);
        EXPECT_EQ(out.size(), 2048u + static_cast<size_t>(i) * 13);
    }
}

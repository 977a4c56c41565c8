// Guards the streaming Unreduce against depending on how its input and output
// are cut: fed in pieces down to one byte and handing output on through its
// window, it must give exactly the bytes of the whole-buffer Unreduce (real
// PKZIP streams, encoder round trips across window slides, cut and damaged
// streams), and stop at once when the sink refuses.
#include <gtest/gtest.h>

#include <random>

#include "codecs/Mod_Reduce.h"
#include "codecs/UnreduceDecoder.h"
#include "inflate_test_helpers.h"
#include "reduce_test_codec.h"
#include "support/StreamTestSupport.h"
#include "support/TestSupport.h"

namespace velmora {
namespace {

using bytes = std::vector<uint8_t>;
using test::chunked_source;
using test::recording_sink;

struct streamed {
    DecodeStatus status;
    bytes out;
    std::vector<size_t> pieces;
    bool ran_out;
};

streamed stream_unreduce(UnreduceDecoder& d, chunked_source src, uint64_t out_size, uint64_t refuse_at = UINT64_MAX)
{
    recording_sink sink(refuse_at);
    const DecodeStatus s = d.decode(src, sink, out_size);
    EXPECT_EQ(sink.writes_after_refusal, 0u);
    return {s, sink.bytes, sink.pieces, d.input_ran_out()};
}

bytes whole_unreduce(const bytes& stream, int method, size_t size)
{
    bytes data = stream;
    EXPECT_EQ(Unreduce(data, static_cast<int16_t>(method), static_cast<int32_t>(size) - 1), 0);
    EXPECT_EQ(data.size(), size);
    return data;
}

// The stream decoder, fed one byte at a time and in random pieces, against
// the whole-buffer Unreduce.
void expect_same_as_whole(const bytes& stream, int method, size_t size, uint32_t seed, const std::string& what)
{
    const bytes expected = whole_unreduce(stream, method, size);
    UnreduceDecoder d(method);
    for (auto src : {chunked_source::bytewise(stream), chunked_source::random(stream, seed, 70000)}) {
        const auto s = stream_unreduce(d, std::move(src), size);
        ASSERT_EQ(s.status, DecodeStatus::ok) << what;
        ASSERT_EQ(s.out.size(), size) << what;
        ASSERT_TRUE(s.out == expected) << what << ": first difference at "
                                       << (std::mismatch(s.out.begin(), s.out.end(), expected.begin()).first - s.out.begin());
        for (size_t p : s.pieces) ASSERT_LE(p, size_t{1} << 20) << what;
    }
}

bytes text_like(std::mt19937& rng, size_t n)
{
    static const char* words[] = {"the ", "archive ", "follower ", "set ", "of ", "reduced ", "data\r\n", "PKZIP ", "\x90", "Hamlet. "};
    bytes v;
    while (v.size() < n) {
        if (rng() % 8 == 0) {
            v.insert(v.end(), rng() % 600, static_cast<uint8_t>(rng()));
            continue;
        }
        for (const char* w = words[rng() % std::size(words)]; *w; ++w) v.push_back(static_cast<uint8_t>(*w));
    }
    v.resize(n);
    return v;
}

TEST(UnreduceStreaming, RealStreamsAgreeWithWholeBuffer)
{
    if (!test::corpus_available()) GTEST_SKIP() << "shared corpus not present";
    const auto legacy = test::corpus_dir() / "zip-legacy";
    expect_same_as_whole(test::read_file(legacy / "reduce_hamlet_2048.bin"), 5, 2048, 1, "hamlet");
    expect_same_as_whole(test::read_file(legacy / "reduce_zero_reduced.bin"), 5, 3072, 2, "zero window");
    unsigned entries = 0;
    for (const auto& e : test::zip_entries(test::read_file(legacy / "reduce.zip"))) {
        if (e.method < 2 || e.method > 5) continue;
        ++entries;
        expect_same_as_whole(e.data, e.method, e.usize, entries, e.name);
        if (HasFatalFailure()) return;
    }
    EXPECT_GE(entries, 1u);
}

// Outputs of more than one buffer, so copies read across the window slide.
TEST(UnreduceStreaming, RoundTripsAcrossWindowSlides)
{
    std::mt19937 rng(17);
    for (int factor = 1; factor <= 4; ++factor) {
        const bytes original = text_like(rng, (size_t{1} << 20) + 300000 + rng() % 1000);
        const bytes stream = test::reduce_encode(original, factor, nullptr, {32, 4});
        UnreduceDecoder d(factor + 1);
        const auto s = stream_unreduce(d, chunked_source::random(stream, static_cast<uint32_t>(factor), 5000), original.size());
        ASSERT_EQ(s.status, DecodeStatus::ok);
        ASSERT_TRUE(s.out == original) << "factor " << factor;
        EXPECT_GE(s.pieces.size(), 2u);
        EXPECT_FALSE(s.ran_out);
    }
    for (int i = 0; i < 60; ++i) {
        const int factor = 1 + i % 4;
        const bytes original = text_like(rng, rng() % 20000);
        expect_same_as_whole(test::reduce_encode(original, factor), factor + 1, original.size(), static_cast<uint32_t>(i),
                             "small " + std::to_string(i));
        if (HasFatalFailure()) return;
    }
}

TEST(UnreduceStreaming, CutAndDamagedStreamsAgreeWithWholeBuffer)
{
    std::mt19937 rng(23);
    const bytes original = text_like(rng, 30000);
    const bytes stream = test::reduce_encode(original, 3);
    for (size_t cut = 0; cut < stream.size(); cut += 1 + rng() % 700) {
        const bytes head(stream.begin(), stream.begin() + static_cast<ptrdiff_t>(cut));
        expect_same_as_whole(head, 4, original.size(), static_cast<uint32_t>(cut), "cut " + std::to_string(cut));
        UnreduceDecoder d(4);
        EXPECT_TRUE(stream_unreduce(d, chunked_source::bytewise(head), original.size()).ran_out) << cut;
        if (HasFatalFailure()) return;
    }
    for (int i = 0; i < 100; ++i) {
        bytes damaged = stream;
        for (int k = 0; k < 1 + i % 6; ++k) damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
        expect_same_as_whole(damaged, 2 + i % 4, original.size() + rng() % 5000, static_cast<uint32_t>(i), "damaged " + std::to_string(i));
        if (HasFatalFailure()) return;
    }
}

TEST(UnreduceStreaming, StopsWhenTheSinkRefusesAndChecksItsArguments)
{
    std::mt19937 rng(29);
    const bytes original = text_like(rng, 3u << 20);
    const bytes stream = test::reduce_encode(original, 4, nullptr, {32, 2});
    UnreduceDecoder d(5);
    for (uint64_t refuse_at : {uint64_t{0}, uint64_t{100}, uint64_t{1} << 20, uint64_t{original.size()} - 1}) {
        const auto s = stream_unreduce(d, chunked_source::random(stream, 5, 100000), original.size(), refuse_at);
        EXPECT_EQ(s.status, DecodeStatus::stopped) << refuse_at;
        EXPECT_LE(s.out.size(), refuse_at);
        EXPECT_TRUE(std::equal(s.out.begin(), s.out.end(), original.begin())) << refuse_at;
    }
    // Nothing expected: ok at once, nothing written.
    const auto none = stream_unreduce(d, chunked_source::bytewise(stream), 0);
    EXPECT_EQ(none.status, DecodeStatus::ok);
    EXPECT_TRUE(none.out.empty());
    // Methods without a reduce factor are refused.
    for (int method : {0, 1, 6, 9}) {
        UnreduceDecoder other(method);
        EXPECT_EQ(stream_unreduce(other, chunked_source::bytewise(stream), 10).status, DecodeStatus::unsupported) << method;
    }
    // A declared count above 32 is cut and noted.
    test::lsb_bit_writer w;
    for (int c = 255; c >= 0; --c) w.put(c == 7 ? 40 : 0, 6);
    const bytes cut_count = w.take();
    const auto s = stream_unreduce(d, chunked_source::bytewise(cut_count), 10);
    EXPECT_EQ(s.status, DecodeStatus::ok);
    EXPECT_TRUE(d.follower_count_cut());
    EXPECT_TRUE(s.out == test::reference_unreduce(cut_count, 5, 9));
}

} // namespace
} // namespace velmora

// Guards the ARC decoders against hostile and cut streams and against
// depending on how their input and output arrive: every stream, cut anywhere
// or with bytes changed, must end with a status and never more output than
// allowed; reading in tiny pieces must give the same bytes; a refusing sink
// must stop the decoder. Hand-made streams pin the rules ARC 5.21 applies
// (0x90 0 keeps the repeated byte, 0x90 1 repeats nothing).
#include "codecs/ArcDecoder.h"
#include "support/ArcBuilder.h"
#include "support/StreamTestSupport.h"

#include <gtest/gtest.h>

#include <random>

using namespace velmora;
using namespace velmora::test;

namespace {

struct Decoded {
    DecodeStatus status;
    std::vector<uint8_t> bytes;
};

Decoded decode(uint8_t method, const std::vector<uint8_t>& packed, uint64_t out_size, size_t piece = SIZE_MAX)
{
    ArcDecoder d;
    chunked_source src(packed, piece);
    recording_sink sink;
    Decoded r{d.decode(method, src, sink, out_size), {}};
    r.bytes = std::move(sink.bytes);
    return r;
}

std::vector<uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

// One squeezed stream: a tree for 'a', 'b' and the end mark, then "abba", end.
// node 0: 0 -> 'a', 1 -> node 1; node 1: 0 -> 'b', 1 -> end.
const std::vector<uint8_t> squeezed_abba = {
    2, 0,                               // two nodes
    0x9E, 0xFF, 1, 0,                   // -(97 + 1), node 1
    0x9D, 0xFF, 0xFF, 0xFE,             // -(98 + 1), -(256 + 1)
    0xCA,                               // bits, low first: a=0, b=10, b=10, a=0, end=11
};

struct Case {
    const char* what;
    uint8_t method;
    std::vector<uint8_t> packed;
    uint64_t out_size;
    DecodeStatus status;
    std::vector<uint8_t> expected;
};

TEST(ArcHostileStreams, HandMadeStreamsFollowArcsRules)
{
    const std::vector<Case> cases = {
        {"0x90 0 keeps the repeated byte; 0x90 1 repeats nothing", 3,
         {0x41, 0x90, 0x00, 0x90, 0x05, 0x42, 0x90, 0x01, 0x43}, 8, DecodeStatus::ok, bytes_of("A\x90" "AAAABC")},
        {"a run past the size is cut at the size", 3, {0x41, 0x90, 0xFF}, 10, DecodeStatus::ok, bytes_of("AAAAAAAAAA")},
        {"packed input that ends early", 3, {0x41, 0x90}, 3, DecodeStatus::truncated, bytes_of("A")},
        {"stored input that ends early", 2, {1, 2, 3}, 4, DecodeStatus::truncated, {1, 2, 3}},
        {"stored input longer than the entry", 1, {1, 2, 3, 4, 5}, 4, DecodeStatus::ok, {1, 2, 3, 4}},
        {"squeezed abba", 4, squeezed_abba, 4, DecodeStatus::ok, bytes_of("abba")},
        {"squeezed output stops at the size (arc leaves the end mark out)", 4, squeezed_abba, 3, DecodeStatus::ok,
         bytes_of("abb")},
        {"squeezed end mark before the size: short, not an error", 4, squeezed_abba, 9, DecodeStatus::ok, bytes_of("abba")},
        {"squeezed stream without its end mark", 4, {2, 0, 0x9E, 0xFF, 1, 0, 0x9D, 0xFF, 0xFF, 0xFE, 0x0A}, 9,
         DecodeStatus::truncated, bytes_of("abbaaa")},
        {"no nodes: ends at once", 4, {0, 0}, 5, DecodeStatus::ok, {}},
        {"257 nodes", 4, {1, 1}, 5, DecodeStatus::data_error, {}},
        {"negative node count", 4, {0xFF, 0xFF}, 5, DecodeStatus::data_error, {}},
        {"a child past the table", 4, {1, 0, 1, 0, 0xFE, 0xFE}, 5, DecodeStatus::data_error, {}},
        {"a leaf above the end mark", 4, {1, 0, 0xFD, 0xFE, 0xFE, 0xFE}, 5, DecodeStatus::data_error, {}},
        {"a node table cut short", 4, {2, 0, 0xA0, 0xFF}, 5, DecodeStatus::truncated, {}},
        {"dynamic crunching with another code size", 8, {13, 0x41, 0x00}, 1, DecodeStatus::data_error, {}},
        {"old crunching: first code a slot that holds no byte", 5, {0x00, 0x10}, 1, DecodeStatus::data_error, {}},
        // 9-bit codes 'A' then 300, beyond the next free entry 257.
        {"squashing: a code not yet defined", 9, {0x41, 0x58, 0x02}, 4, DecodeStatus::data_error, bytes_of("A")},
        {"squashing: first code not a byte", 9, {0x01, 0x01}, 4, DecodeStatus::data_error, {}},
        {"PAK method 10", 10, {1, 2, 3}, 3, DecodeStatus::unsupported, {}},
        {"method 0", 0, {1, 2, 3}, 3, DecodeStatus::unsupported, {}},
        {"empty entry reads nothing", 9, {}, 0, DecodeStatus::ok, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = decode(c.method, c.packed, c.out_size);
        EXPECT_EQ(decode_status_name(r.status), decode_status_name(c.status));
        EXPECT_EQ(r.bytes, c.expected);
    }
}

// Every method on varied data, through the test encoders.
std::vector<std::pair<uint8_t, std::vector<uint8_t>>> packed_streams(const std::vector<uint8_t>& data)
{
    const auto rle = arc_rle_pack(data);
    return {
        {2, data},
        {3, rle},
        {5, arc_old_crunch(data, false)},
        {6, arc_old_crunch(rle, false)},
        {7, arc_old_crunch(rle, true)},
        {8, arc_lzw(rle, 12, 700)},
        {9, arc_lzw(data, 13, 0)},
    };
}

std::vector<uint8_t> sample(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v;
    while (v.size() < n) {
        if (rng() % 3 == 0)
            v.insert(v.end(), 2 + rng() % 30, static_cast<uint8_t>(rng() % 2 ? 0x90 : rng()));
        else
            for (char c : std::to_string(rng() % 1000) + " arc ")
                v.push_back(static_cast<uint8_t>(c));
    }
    v.resize(n);
    return v;
}

TEST(ArcHostileStreams, PiecesOfAnySizeGiveTheSameBytes)
{
    const auto data = sample(150000, 3);
    for (const auto& [method, packed] : packed_streams(data)) {
        SCOPED_TRACE(int{method});
        for (size_t piece : {size_t{1}, size_t{3}, size_t{4096}, SIZE_MAX}) {
            ArcDecoder d;
            chunked_source src(packed, piece);
            recording_sink sink;
            ASSERT_EQ(d.decode(method, src, sink, data.size()), DecodeStatus::ok);
            EXPECT_TRUE(sink.bytes == data);
            // Output goes out in whole 64 KiB pieces, the last one shorter.
            EXPECT_EQ(sink.pieces.size(), (data.size() + 0xFFFF) / 0x10000);
            for (size_t k = 0; k + 1 < sink.pieces.size(); ++k)
                EXPECT_EQ(sink.pieces[k], size_t{64} << 10);
        }
        // A sink that refuses stops the decoder at once.
        ArcDecoder d;
        SpanSource src(packed);
        recording_sink refusing(100000);
        EXPECT_EQ(d.decode(method, src, refusing, data.size()), DecodeStatus::stopped);
        EXPECT_LE(refusing.bytes.size(), 100000u);
    }
}

TEST(ArcHostileStreams, CutStreamsEndTruncatedOrComplete)
{
    const auto data = sample(20000, 4);
    for (const auto& [method, packed] : packed_streams(data)) {
        SCOPED_TRACE(int{method});
        for (size_t cut = 0; cut < packed.size(); cut += 1 + cut / 16) {
            const std::vector<uint8_t> head(packed.begin(), packed.begin() + static_cast<long>(cut));
            const auto r = decode(method, head, data.size());
            ASSERT_LE(r.bytes.size(), data.size());
            // Every byte given is right; only a cut in the trailing bits may still complete.
            EXPECT_TRUE(std::equal(r.bytes.begin(), r.bytes.end(), data.begin())) << cut;
            if (r.status == DecodeStatus::ok)
                EXPECT_EQ(r.bytes.size(), data.size()) << cut;
            else
                EXPECT_EQ(r.status, DecodeStatus::truncated) << cut;
        }
    }
}

TEST(ArcHostileStreams, ChangedBytesNeverPassTheSizeOrHang)
{
    const auto data = sample(8000, 5);
    std::mt19937 rng(6);
    auto streams = packed_streams(data);
    streams.emplace_back(4, std::vector<uint8_t>(squeezed_abba));
    for (const auto& [method, packed] : streams) {
        SCOPED_TRACE(int{method});
        for (int round = 0; round < 120; ++round) {
            auto bad = packed;
            for (int k = 0; k < 1 + round % 4; ++k)
                bad[rng() % bad.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
            const uint64_t size = round % 2 ? data.size() : rng() % (2 * data.size());
            const auto r = decode(method, bad, size, 1 + rng() % 5000);
            EXPECT_LE(r.bytes.size(), size);
        }
    }
}

} // namespace

// Guards the xz, lzma, bzip2, zstd and compress decoders against taking a
// damaged, cut, padded or concatenated file differently from the tool that
// made it (xz -d, bzip2 -d, zstd -d, uncompress accept and refuse the same
// files, with the same output), against damage passing unnoticed where the
// format has a check, and against headers that claim huge windows.
#include "stream_decoder_cases.h"

#include <gtest/gtest.h>

#include <random>

using namespace velmora;
using namespace velmora::test;

namespace {

struct Variant {
    std::string what;
    std::vector<uint8_t> bytes;
};

std::vector<uint8_t> joined(std::initializer_list<std::span<const uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (auto p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

class StreamDecoderHostile : public ::testing::TestWithParam<StreamDecoderCase> {
protected:
    void SetUp() override
    {
        if (!have_tool(GetParam().tool)) GTEST_SKIP() << GetParam().tool << " is not installed";
    }
    std::vector<uint8_t> compress(std::span<const uint8_t> data)
    {
        auto packed = run_filter(dir_, GetParam().compress, data);
        EXPECT_TRUE(packed.has_value());
        return packed.value_or(std::vector<uint8_t>{});
    }
    TempDir dir_;
};

} // namespace

TEST_P(StreamDecoderHostile, AcceptsAndRefusesWhatTheToolDoes)
{
    const auto& c = GetParam();
    const auto a = mixed_data(200000, 1);
    const auto b = mixed_data(30000, 2);
    const auto pa = compress(a);
    const auto pb = compress(b);
    ASSERT_GT(pa.size(), 64u);

    const std::vector<uint8_t> zeros4(4, 0), zeros3(3, 0);
    const auto junk = bytes_of("junk after the stream");
    std::vector<Variant> variants = {
        {"whole", pa},
        {"empty", {}},
        {"two streams", joined({pa, pb})},
        {"four zero bytes between", joined({pa, zeros4, pb})},
        {"three zero bytes after", joined({pa, zeros3})},
        {"junk after", joined({pa, junk})},
        {"start of a second header after", joined({pa, std::span(pb).first(2)})},
    };
    for (size_t cut : {size_t{1}, size_t{3}, size_t{12}, size_t{13}, pa.size() / 3, pa.size() - 5, pa.size() - 1})
        variants.push_back({"cut at " + std::to_string(cut), std::vector<uint8_t>(pa.begin(), pa.begin() + cut)});
    std::mt19937 rng(31);
    for (int i = 0; i < 8; ++i) {
        auto v = pa;
        const size_t at = rng() % v.size();
        v[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
        variants.push_back({"bit flipped at " + std::to_string(at), std::move(v)});
    }

    for (const auto& v : variants) {
        const auto tool_out = run_filter(dir_, c.decompress, v.bytes);
        std::vector<uint8_t> ours;
        const DecodeStatus status = decode_all(c, v.bytes, ours, 7000);
        EXPECT_EQ(status == DecodeStatus::ok, tool_out.has_value())
            << v.what << ": we say " << decode_status_name(status) << ", the tool "
            << (tool_out ? "accepts it" : "refuses it");
        if (status == DecodeStatus::ok && tool_out) {
            EXPECT_TRUE(ours == *tool_out) << v.what;
        }
    }
}

// Where a check value covers the data, no damage may pass as a good stream.
TEST_P(StreamDecoderHostile, CheckedStreamsNeverPassDamage)
{
    const auto& c = GetParam();
    if (!c.checked) GTEST_SKIP() << "no check value";
    const auto original = mixed_data(150000, 3);
    const auto packed = compress(original);
    std::mt19937 rng(4);
    int refused = 0;
    for (int i = 0; i < 60; ++i) {
        auto damaged = packed;
        // Not the last byte: its unused padding bits are covered by nothing.
        const size_t at = rng() % (damaged.size() - 1);
        damaged[at] ^= static_cast<uint8_t>(1 + rng() % 255);
        std::vector<uint8_t> out;
        const DecodeStatus s = decode_all(c, damaged, out, SIZE_MAX, 2 * original.size());
        if (s == DecodeStatus::ok) {
            EXPECT_TRUE(out == original) << "damage at " << at << " passed with wrong output";
        } else {
            refused += 1;
        }
    }
    EXPECT_GT(refused, 50);
}

// Streams without a check: damage must still end in a status, with no more
// output than allowed, and the decoder must be fit for the next stream.
TEST_P(StreamDecoderHostile, DamageEndsInAStatus)
{
    const auto& c = GetParam();
    const auto original = mixed_data(60000, 5);
    const auto packed = compress(original);
    std::mt19937 rng(6);
    for (int i = 0; i < 60; ++i) {
        auto damaged = packed;
        for (int k = 0; k < 1 + i % 4; ++k) damaged[rng() % damaged.size()] = static_cast<uint8_t>(rng());
        std::vector<uint8_t> out;
        decode_all(c, damaged, out, 1 + rng() % 5000, original.size() + 1000);
        EXPECT_LE(out.size(), original.size() + 1000);
    }
    std::vector<uint8_t> out;
    ASSERT_EQ(decode_all(c, packed, out), DecodeStatus::ok);
    EXPECT_TRUE(out == original);
}

INSTANTIATE_TEST_SUITE_P(Tools, StreamDecoderHostile, ::testing::ValuesIn(stream_decoder_cases()),
                         [](const auto& p) { return p.param.name; });

// What a ZIP entry holds is one stream: with `single`, the xz and bzip2
// decoders stop at its end and leave what follows unread.
TEST(StreamDecoderModes, SingleStreamStopsAtTheFirstEnd)
{
    if (!have_tool("xz") || !have_tool("bzip2")) GTEST_SKIP();
    TempDir dir;
    const auto a = mixed_data(50000, 7);
    const auto b = mixed_data(50000, 8);
    for (const std::string tool : {"xz", "bzip2"}) {
        const auto pa = run_filter(dir, tool + " -c {in}", a);
        const auto pb = run_filter(dir, tool + " -c {in}", b);
        ASSERT_TRUE(pa && pb);
        const auto both = joined({*pa, *pb});
        std::vector<uint8_t> out;
        VectorSink sink(out);
        SpanSource in(both);
        const DecodeStatus s = tool == "xz" ? XzDecoder(XzDecoder::Streams::single).decode(in, sink)
                                            : Bzip2Decoder(Bzip2Decoder::Streams::single).decode(in, sink);
        EXPECT_EQ(s, DecodeStatus::ok) << tool;
        EXPECT_TRUE(out == a) << tool;
    }
}

// Headers that ask for more memory than allowed are refused before anything
// is allocated; the same data decodes when the allowance is raised.
TEST(StreamDecoderModes, WindowsOverTheAllowanceAreUnsupported)
{
    if (!have_tool("zstd") || !have_tool("xz")) GTEST_SKIP();
    TempDir dir;
    const auto data = mixed_data(100000, 9);
    // From a pipe zstd cannot shrink the window to the input's size.
    const auto zst = run_filter(dir, "cat {in} | zstd -q --long=28 -c", data);
    ASSERT_TRUE(zst);
    std::vector<uint8_t> out;
    {
        VectorSink sink(out);
        SpanSource in(*zst);
        EXPECT_EQ(ZstdDecoder().decode(in, sink), DecodeStatus::unsupported);
        EXPECT_FALSE(run_filter(dir, "zstd -q -d -c {in}", *zst, "zst")) << "zstd -d refuses it as well";
    }
    {
        out.clear();
        VectorSink sink(out);
        SpanSource in(*zst);
        EXPECT_EQ(ZstdDecoder(28).decode(in, sink), DecodeStatus::ok);
        EXPECT_TRUE(out == data);
    }
    // Frames of zstd before 0.8 (magic 0xFD2FB522 to 0xFD2FB527) are refused
    // however much of them there is.
    for (uint8_t version = 0x22; version <= 0x27; ++version) {
        auto legacy = *zst;
        legacy[0] = version;
        out.clear();
        VectorSink sink(out);
        chunked_source in(legacy, 1);
        EXPECT_EQ(ZstdDecoder().decode(in, sink), DecodeStatus::unsupported) << int{version};
    }
    for (const std::string format : {"xz", "lzma"}) {
        const auto packed = run_filter(dir, "xz -6 --format=" + format + " -c {in}", data); // 8 MiB dictionary
        ASSERT_TRUE(packed);
        out.clear();
        VectorSink sink(out);
        SpanSource in(*packed);
        const uint64_t allowance = 4u << 20;
        const DecodeStatus s = format == "xz" ? XzDecoder(XzDecoder::Streams::concatenated, allowance).decode(in, sink)
                                              : LzmaAloneDecoder(allowance).decode(in, sink);
        EXPECT_EQ(s, DecodeStatus::unsupported) << format;
        EXPECT_TRUE(out.empty());
    }
}

// A Zstandard frame whose header declares more content than its blocks give
// is damaged, whole or cut into pieces (libzstd's streaming call takes it as
// complete when the input comes in pieces); a frame that gives exactly its
// declared size is not.
TEST(StreamDecoderModes, ZstdFrameShortOfItsDeclaredSizeIsDamaged)
{
    // Magic, a single-segment header declaring 64 bytes, one empty last raw block.
    const std::vector<uint8_t> short_frame = {0x28, 0xB5, 0x2F, 0xFD, 0x20, 0x40, 0x01, 0x00, 0x00};
    // The same declaring 0 bytes.
    const std::vector<uint8_t> empty_frame = {0x28, 0xB5, 0x2F, 0xFD, 0x20, 0x00, 0x01, 0x00, 0x00};
    for (const size_t piece : {size_t{0}, size_t{1}, size_t{2}, size_t{5}}) {
        std::vector<uint8_t> out;
        VectorSink sink(out);
        chunked_source in(short_frame, piece);
        EXPECT_EQ(ZstdDecoder().decode(in, sink), DecodeStatus::data_error) << piece;
        chunked_source in_empty(empty_frame, piece);
        EXPECT_EQ(ZstdDecoder().decode(in_empty, sink), DecodeStatus::ok) << piece;
        EXPECT_TRUE(out.empty());
    }
}

// Guards the xz, lzma, bzip2, zstd and compress decoders against losing their
// place when the input comes in small pieces, against state left over from
// the previous stream, and against output pieces too small, too large or
// refused without stopping: files made by the real tools at test time.
#include "stream_decoder_cases.h"

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;

namespace {

class StreamDecoderRoundTrip : public ::testing::TestWithParam<StreamDecoderCase> {
protected:
    void SetUp() override
    {
        if (!have_tool(GetParam().tool)) GTEST_SKIP() << GetParam().tool << " is not installed";
    }
    std::vector<uint8_t> compress(std::span<const uint8_t> data)
    {
        auto packed = run_filter(dir_, GetParam().compress, data);
        EXPECT_TRUE(packed.has_value()) << GetParam().compress;
        return packed.value_or(std::vector<uint8_t>{});
    }
    TempDir dir_;
};

} // namespace

TEST_P(StreamDecoderRoundTrip, SizesFromEmptyToSeveralMegabytes)
{
    const auto& c = GetParam();
    for (size_t size : {size_t{0}, size_t{1}, size_t{4000}, size_t{300000}, size_t{3u << 19}}) {
        const auto original = mixed_data(size, static_cast<uint32_t>(size));
        const auto packed = compress(original);
        recording_sink sink;
        SpanSource in(packed);
        ASSERT_EQ(c.decode(in, sink, UINT64_MAX), DecodeStatus::ok) << size;
        ASSERT_EQ(sink.bytes.size(), original.size());
        EXPECT_TRUE(sink.bytes == original) << size;
        // The sink hears from the decoder at least every MiB, and not in
        // dribbles: every piece but the last is 16 KiB or more.
        EXPECT_LE(sink.largest(), size_t{1} << 20);
        EXPECT_GE(sink.smallest_but_last(), size_t{16} << 10);
        EXPECT_EQ(sink.empty_writes(), 0u);
    }
}

TEST_P(StreamDecoderRoundTrip, InputInPiecesOfAnySize)
{
    const auto& c = GetParam();
    const auto original = mixed_data(120000, 77);
    const auto packed = compress(original);
    for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{13}, size_t{4096}, size_t{65537}}) {
        std::vector<uint8_t> out;
        ASSERT_EQ(decode_all(c, packed, out, piece), DecodeStatus::ok) << "pieces of " << piece;
        EXPECT_TRUE(out == original) << "pieces of " << piece;
    }
}

// A sink that refuses (a cancelled run, a full disk) stops the decoder at
// once: nothing more is written and the status says so.
TEST_P(StreamDecoderRoundTrip, RefusingSinkStopsTheDecoder)
{
    const auto& c = GetParam();
    const auto original = mixed_data(3u << 19, 9);
    const auto packed = compress(original);
    for (uint64_t accept : {uint64_t{0}, uint64_t{1}, uint64_t{700000}}) {
        recording_sink sink(accept);
        chunked_source in(packed, 5000);
        EXPECT_EQ(c.decode(in, sink, UINT64_MAX), DecodeStatus::stopped) << accept;
        EXPECT_LE(sink.bytes.size(), accept + (size_t{1} << 20));
        EXPECT_TRUE(std::equal(sink.bytes.begin(), sink.bytes.end(), original.begin()));
        EXPECT_GT(in.remaining(), 0u) << "the decoder went on reading after the sink refused";
    }
}

// The limit is what the caller allows: exactly that much is handed over and
// the status says the stream had more; a limit equal to the size is no fault.
TEST_P(StreamDecoderRoundTrip, OutputLimit)
{
    const auto& c = GetParam();
    const auto original = mixed_data(500000, 21);
    const auto packed = compress(original);
    std::vector<uint8_t> out;
    EXPECT_EQ(decode_all(c, packed, out, SIZE_MAX, original.size()), DecodeStatus::ok);
    EXPECT_EQ(out.size(), original.size());
    for (uint64_t limit : {uint64_t{0}, uint64_t{1}, uint64_t{262144}, uint64_t{original.size() - 1}}) {
        EXPECT_EQ(decode_all(c, packed, out, 1000, limit), DecodeStatus::output_limit) << limit;
        ASSERT_EQ(out.size(), limit);
        EXPECT_TRUE(std::equal(out.begin(), out.end(), original.begin())) << limit;
    }
}

// A small file that expands to 64 MiB: the decoder gives up at the limit
// without producing (or holding) the rest.
TEST_P(StreamDecoderRoundTrip, BombStopsAtTheLimit)
{
    const auto& c = GetParam();
    const std::string zeros = "head -c 67108864 /dev/zero | ";
    auto command = c.compress;
    command.replace(command.find("{in}"), 4, "");
    const auto packed = run_filter(dir_, zeros + command, std::vector<uint8_t>{});
    ASSERT_TRUE(packed.has_value());
    ASSERT_LT(packed->size(), size_t{4} << 20);
    DiscardSink sink;
    SpanSource in(*packed);
    EXPECT_EQ(c.decode(in, sink, 3u << 20), DecodeStatus::output_limit);
    EXPECT_EQ(sink.total, 3u << 20);
}

INSTANTIATE_TEST_SUITE_P(Tools, StreamDecoderRoundTrip, ::testing::ValuesIn(stream_decoder_cases()),
                         [](const auto& p) { return p.param.name; });

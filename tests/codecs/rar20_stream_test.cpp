// Guards the RAR 2.0 decoder where no real archive reaches: every match kind
// with its distance-dependent length bonus, table blocks sent as changes and
// with run codes, the audio mode with one to four channels, mode switches and
// solid entries that reach back into earlier ones. The streams are made here
// and unar decodes the same archive as the reference.
#include "archive/Cls_CRC32.h"
#include "codecs/Rar20Decoder.h"
#include "rar20_stream_builder.h"
#include "support/TestSupport.h"
#include "support/StreamTestSupport.h"
#include "support/unar_oracle.h"

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;

namespace {

struct made_entry {
    std::vector<uint8_t> packed;
    uint64_t size = 0;
    bool solid = false;
};

// Decodes the entries in order with one decoder, then frames them as an
// archive and checks each against unar's extraction of the same entry.
void check_against_unar(const std::vector<made_entry>& entries)
{
    Rar20Decoder dec;
    std::vector<rar4_file_spec> specs;
    std::vector<std::vector<uint8_t>> ours;
    for (size_t i = 0; i < entries.size(); ++i) {
        SpanSource src(entries[i].packed);
        recording_sink sink;
        const DecodeStatus s = dec.decode(src, sink, entries[i].size, entries[i].solid);
        ASSERT_EQ(s, DecodeStatus::ok) << "entry " << i << ": " << decode_status_name(s);
        ASSERT_EQ(sink.bytes.size(), entries[i].size);
        rar4_file_spec f;
        f.name = "entry" + std::to_string(i) + ".bin";
        f.packed = entries[i].packed;
        f.unp_size = static_cast<uint32_t>(entries[i].size);
        f.crc = crc32_update(0, sink.bytes);
        f.flags = static_cast<uint16_t>(0x0080 | (entries[i].solid ? 0x0010 : 0));
        specs.push_back(f);
        ours.push_back(std::move(sink.bytes));
    }
    if (!have_unar())
        GTEST_SKIP() << "unar is not installed";
    TempDir tmp;
    const auto path = tmp / "made.rar";
    const bool solid = std::any_of(entries.begin(), entries.end(), [](const auto& e) { return e.solid; });
    write_file(path, make_rar4_archive(specs, solid ? 0x0008 : 0));
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto ref = unar_entry(path, static_cast<unsigned>(i));
        ASSERT_TRUE(ref.has_value()) << "unar failed on entry " << i;
        EXPECT_EQ(ref->size(), ours[i].size()) << "entry " << i;
        EXPECT_TRUE(*ref == ours[i]) << "entry " << i << " differs from unar";
    }
}

// Random operations up to exactly `size` bytes.
void fill_lz(rar20_stream_builder& b, uint64_t size)
{
    while (b.produced() < size) {
        const uint64_t room = size - b.produced();
        if (room < 3)
            b.literal('.');
        else
            b.random_op(room);
    }
}

TEST(Rar20Stream, LzMatchesOfEveryKindAgreeWithUnar)
{
    for (const uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        rar20_stream_builder b(seed);
        b.lz_tables(false);
        // Far enough for distances past 0x40000 and their length bonus.
        fill_lz(b, 300000);
        b.new_tables_symbol();
        b.lz_tables(seed != 1);  // the second block as changes to the first
        fill_lz(b, 420000);
        check_against_unar({{b.writer().finish(), b.produced(), false}});
    }
}

TEST(Rar20Stream, AudioChannelsAgreeWithUnar)
{
    for (unsigned channels = 1; channels <= 4; ++channels) {
        SCOPED_TRACE(channels);
        rar20_stream_builder b(100 + channels);
        std::mt19937 rng(channels);
        b.audio_tables(channels, false);
        // A slow wave with noise: the predictor's weights have something to
        // follow and drift every 32 bytes.
        for (unsigned i = 0; i < 5000; ++i)
            b.audio_delta(static_cast<uint8_t>((i % 7 == 0 ? rng() : rng() % 5) - 2));
        b.new_tables_symbol();
        b.lz_tables(false);
        fill_lz(b, b.produced() + 3000);
        b.new_tables_symbol();
        b.audio_tables(5 - channels, false);
        for (unsigned i = 0; i < 3001; ++i)
            b.audio_delta(static_cast<uint8_t>(rng()));
        b.new_tables_symbol();
        b.audio_tables(5 - channels, true);
        for (unsigned i = 0; i < 700; ++i)
            b.audio_delta(static_cast<uint8_t>(rng() % 3));
        check_against_unar({{b.writer().finish(), b.produced(), false}});
    }
}

TEST(Rar20Stream, SolidEntriesReachIntoEarlierOnes)
{
    // One builder across the entries keeps distances and old-distance slots
    // as the decoder keeps them; each entry's bytes are a separate stream.
    rar20_stream_builder b(7);
    std::vector<made_entry> entries;
    uint64_t before = 0;
    // Ends an entry; the next one starts on a fresh byte with the same model.
    auto cut = [&](bool solid) {
        entries.push_back({b.writer().finish(), b.produced() - before, solid});
        before = b.produced();
        b.writer() = msb_bit_writer();
    };
    b.lz_tables(false);
    fill_lz(b, 70000);
    cut(false);
    fill_lz(b, 150000);
    cut(true);
    b.new_tables_symbol();
    b.audio_tables(2, false);
    for (unsigned i = 0; i < 4000; ++i)
        b.audio_delta(static_cast<uint8_t>(i * 7));
    cut(true);
    check_against_unar(entries);
}

// A table block right after an entry's last symbol belongs to the next solid
// entry, which starts without one. unar does not read such a block, so the
// expectation is the literals the next entry was written with.
TEST(Rar20Stream, TablesAfterTheLastSymbolServeTheSolidSuccessor)
{
    rar20_stream_builder b(11);
    b.lz_tables(false);
    fill_lz(b, 5000);
    const uint64_t first_size = b.produced();
    b.new_tables_symbol();
    b.lz_tables(false);
    const auto first = b.writer().finish();

    b.writer() = msb_bit_writer();
    const std::string text = "solid successor";
    for (const char c : text)
        b.literal(static_cast<uint8_t>(c));
    const auto second = b.writer().finish();

    Rar20Decoder dec;
    SpanSource s1(first), s2(second);
    DiscardSink d1;
    recording_sink r2;
    ASSERT_EQ(dec.decode(s1, d1, first_size, false), DecodeStatus::ok);
    ASSERT_EQ(dec.decode(s2, r2, text.size(), true), DecodeStatus::ok);
    EXPECT_EQ(std::string(r2.bytes.begin(), r2.bytes.end()), text);
}

} // namespace

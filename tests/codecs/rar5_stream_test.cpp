// Guards the RAR 5 decoder where the fixtures do not reach: the DELTA and
// E8E9 filters (and E8 and ARM at every offset), the align code for the low
// distance bits, every match kind with the far-distance length bonus, blocks
// without table headers, solid entries that start without one, and RAR 7's
// longer distance table. The streams are made here; unar and bsdtar decode
// the same archive as the reference.
#include "archive/Cls_CRC32.h"
#include "codecs/Rar5Decoder.h"
#include "rar5_stream_builder.h"
#include "support/TestSupport.h"
#include "support/StreamTestSupport.h"
#include "support/unar_oracle.h"

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;

namespace {

constexpr uint64_t dictionary = 4u << 20;

struct made_entry {
    std::vector<uint8_t> packed;
    uint64_t size = 0;
    bool solid = false;
};

std::vector<uint8_t> rar5_archive(const std::vector<made_entry>& entries, const std::vector<uint32_t>& crcs)
{
    bool any_solid = false;
    for (const auto& e : entries)
        any_solid = any_solid || e.solid;
    std::vector<uint8_t> out = rar5_signature_bytes();
    const auto main = rar5_main_block(any_solid ? 0x0004 : 0);
    out.insert(out.end(), main.begin(), main.end());
    for (size_t i = 0; i < entries.size(); ++i) {
        rar5_file_fields f;
        f.name = "entry" + std::to_string(i) + ".bin";
        f.unpacked_size = entries[i].size;
        f.crc = crcs[i];
        f.mtime = 1700000000;
        // Method 3, dictionary 128 KiB << 5 = 4 MiB, solid flag.
        f.compression_info = (3u << 7) | (5u << 10) | (entries[i].solid ? 0x40 : 0);
        const auto block = rar5_block(2, 0, f.bytes(), {}, entries[i].packed, true);
        out.insert(out.end(), block.begin(), block.end());
    }
    const auto end = rar5_end_block();
    out.insert(out.end(), end.begin(), end.end());
    return out;
}

// Decodes the entries in order with one decoder and checks each against the
// peers that extract it; returns the decoded entries.
std::vector<std::vector<uint8_t>> check_against_peers(const std::vector<made_entry>& entries, bool extended = false)
{
    Rar5Decoder dec;
    std::vector<std::vector<uint8_t>> ours;
    std::vector<uint32_t> crcs;
    for (size_t i = 0; i < entries.size(); ++i) {
        SpanSource src(entries[i].packed);
        recording_sink sink;
        dec.set_dictionary(dictionary, extended);
        const DecodeStatus s = dec.decode(src, sink, entries[i].size, entries[i].solid);
        EXPECT_EQ(s, DecodeStatus::ok) << "entry " << i << ": " << decode_status_name(s);
        EXPECT_EQ(sink.bytes.size(), entries[i].size);
        crcs.push_back(crc32_update(0, sink.bytes));
        ours.push_back(std::move(sink.bytes));
    }
    if (extended || !have_unar() || !have_bsdtar())
        return ours;
    TempDir tmp;
    const auto path = tmp / "made.rar";
    write_file(path, rar5_archive(entries, crcs));
    for (size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE("entry " + std::to_string(i));
        unsigned agreeing = 0;
        // unar 1.10 extracts nothing from solid RAR 5 entries.
        const bool solid = entries[i].solid || (i + 1 < entries.size() && entries[i + 1].solid);
        auto b = bsdtar_entry(path, "entry" + std::to_string(i) + ".bin");
        auto u = solid ? std::nullopt : unar_entry(path, static_cast<unsigned>(i));
        for (const auto& ref : {u, b}) {
            if (!ref)
                continue;
            EXPECT_EQ(ref->size(), ours[i].size());
            EXPECT_TRUE(*ref == ours[i]) << "differs from a peer";
            ++agreeing;
        }
        EXPECT_EQ(agreeing, solid ? 1u : 2u);
    }
    return ours;
}

void fill(rar5_stream_builder& b, uint64_t end)
{
    while (b.produced() < end)
        b.random_op(end - b.produced());
}

TEST(Rar5Stream, MatchesOfEveryKindAgreeWithPeers)
{
    for (const uint32_t seed : {1u, 2u}) {
        SCOPED_TRACE(seed);
        rar5_stream_builder b(seed);
        // Several blocks: new tables (plain and skewed align code), and one
        // that keeps the previous tables.
        b.begin_block(true, seed == 1);
        fill(b, 120000);
        b.end_block(false);
        b.begin_block(false, false);
        fill(b, 200000);
        b.end_block(false);
        b.begin_block(true, seed != 1);
        fill(b, 330000);  // past 0x40000 for the largest length bonus
        b.end_block(true);
        check_against_peers({{b.take_stream(), b.produced(), false}});
    }
}

TEST(Rar5Stream, FiltersOfEveryTypeAgreeWithPeers)
{
    rar5_stream_builder b(3);
    auto& rng = b.rng();
    b.begin_block(true, true);
    const uint64_t total = 600000;
    // Each filter covers the next stretch of output, its start a little
    // ahead of the record; DELTA with 1 to 32 channels.
    unsigned n = 0;
    while (b.produced() + 70000 < total) {
        const unsigned type = n++ % 4;
        const uint32_t offset = rng() % 300;
        const uint32_t size = type == 0 ? 1 + rng() % 40000 : 5 + rng() % 60000;
        const unsigned channels = 1 + rng() % 32;
        b.filter(type, offset, size, channels);
        fill(b, b.filter_end() + rng() % 200);
        if (rng() % 3 == 0) {
            b.end_block(false);
            b.begin_block(rng() % 2 == 0, true);
        }
    }
    fill(b, total);
    b.end_block(true);
    check_against_peers({{b.take_stream(), b.produced(), false}});
}

TEST(Rar5Stream, SolidEntriesContinueWindowAndTables)
{
    rar5_stream_builder b(4);
    std::vector<made_entry> entries;
    uint64_t before = 0;
    auto cut = [&](bool solid) {
        entries.push_back({b.take_stream(), b.produced() - before, solid});
        before = b.produced();
    };
    b.begin_block(true, false);
    fill(b, 50000);
    b.end_block(true);
    cut(false);
    // The next entries start with blocks that carry no tables.
    b.begin_block(false, false);
    b.filter(2, 10, 5000);
    fill(b, before + 90000);
    b.end_block(true);
    cut(true);
    b.begin_block(false, false);
    fill(b, before + 10);
    b.end_block(false);
    b.begin_block(true, true);
    fill(b, before + 40000);
    b.end_block(true);
    cut(true);
    check_against_peers(entries);
}

// A solid entry that declares a smaller dictionary than the entry before it
// may still reach as far back as that one could (7-Zip decodes it so;
// libarchive refuses such archives, so there is no peer here): it must give
// what it gives when it declares the larger one.
TEST(Rar5Stream, SolidEntryWithSmallerDictionaryReachesAsFarAsBefore)
{
    rar5_stream_builder b(12);
    b.begin_block(true, false);
    fill(b, 600000);
    b.end_block(true);
    const auto first = b.take_stream();
    const uint64_t first_size = b.produced();
    b.begin_block(false, false);
    fill(b, first_size + 300000);
    b.end_block(true);
    const auto second = b.take_stream();

    std::vector<uint8_t> outputs[2];
    for (int k = 0; k < 2; ++k) {
        Rar5Decoder dec;
        SpanSource s1(first), s2(second);
        DiscardSink d;
        recording_sink r;
        dec.set_dictionary(1 << 20);
        ASSERT_EQ(dec.decode(s1, d, first_size, false), DecodeStatus::ok);
        dec.set_dictionary(k == 0 ? 1 << 20 : 128 << 10);
        ASSERT_EQ(dec.decode(s2, r, 300000, true), DecodeStatus::ok) << k;
        outputs[k] = std::move(r.bytes);
    }
    EXPECT_TRUE(outputs[0] == outputs[1]);
}

// RAR 7's table has 80 distance slots; with distances that fit the shorter
// table the output must not change.
TEST(Rar5Stream, ExtendedDistanceTableDecodesTheSameStream)
{
    std::vector<uint8_t> outputs[2];
    for (const bool extended : {false, true}) {
        rar5_stream_builder b(9, extended);
        b.begin_block(true, true);
        fill(b, 150000);
        b.end_block(true);
        outputs[extended] = check_against_peers({{b.take_stream(), b.produced(), false}}, extended)[0];
    }
    EXPECT_TRUE(outputs[0] == outputs[1]);
    EXPECT_EQ(outputs[0].size(), 150000u);
}

} // namespace

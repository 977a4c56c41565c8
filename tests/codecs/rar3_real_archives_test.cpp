// Guards the RAR 2.9-4.x decoder against real WinRAR output: every entry of
// archives from other projects' test suites (LZ and PPMd blocks, the E8,
// E8E9 and delta filters, solid groups, an SFX stub, encrypted entries)
// must decode to the stored CRC-32 and to exactly what unar extracts, also
// when the packed data arrives one byte at a time.
#include "archive/Cls_CRC32.h"
#include "support/Rar3TestSupport.h"

#include <gtest/gtest.h>

#include <cctype>

using namespace velmora;
using namespace velmora::test;

namespace {

struct real_archive {
    const char* path;      // under the corpus ("corpus/...") or tests/data ("data/...")
    const char* password;  // for encrypted entries (unar cannot decrypt RAR 3; CRC only)
    unsigned min_decoded;  // entries that must go through the decoder
};

std::filesystem::path locate(const std::string& path)
{
    if (path.rfind("corpus/", 0) == 0)
        return corpus_dir() / path.substr(7);
    return data_dir() / path.substr(5);
}

const real_archive archives[] = {
    {"corpus/rar/test_read_format_rar_compress_normal.rar", "", 3},
    {"corpus/rar/test_read_format_rar_filter.rar", "", 1},          // E8E9 and delta blocks
    {"corpus/rar/test_read_format_rar_sfx.exe", "", 1},             // marker after an SFX stub
    {"corpus/rar/test_read_format_rar4_solid_encrypted.rar", "password", 4},
    {"corpus/rar/test_read_format_rar_encryption_data.rar", "12345678", 2},
    {"data/rar/rar3/test_read_format_rar3_lowdist_reset.rar", "", 1},
    {"data/rar/rar3/test_read_format_rar_compress_best.rar", "", 3}, // PPMd
    {"data/rar/rar3/test_read_format_rar_multi_lzss_blocks.rar", "", 1},
    {"data/rar/rar3/rarfile-rar3-solid.rar", "", 2},
    {"data/rar/rar3/sharpcompress-Rar.solid.rar", "", 3}, // solid, E8
};

class Rar3RealArchive : public ::testing::TestWithParam<real_archive> {};

TEST_P(Rar3RealArchive, EveryEntryMatchesStoredCrcAndUnar)
{
    const real_archive& ra = GetParam();
    const std::filesystem::path path = locate(ra.path);
    if (!std::filesystem::exists(path))
        GTEST_SKIP() << "missing " << path;
    const std::vector<uint8_t> file = read_file(path);
    const rar_archive a = walk_rar(file);
    ASSERT_TRUE(a.ok);

    const std::vector<rar3_decoded> whole = rar3_decode_all(file, a, 0, ra.password);
    const std::vector<rar3_decoded> bytewise = rar3_decode_all(file, a, 1, ra.password);
    const bool compare_unar = *ra.password == 0 && have_tool("unar");
    unsigned decoded = 0;
    for (size_t i = 0; i < a.entries.size(); ++i) {
        const rar_entry& e = a.entries[i];
        if (e.is_dir())
            continue;
        SCOPED_TRACE(e.name);
        ASSERT_EQ(whole[i].status, DecodeStatus::ok) << decode_status_name(whole[i].status);
        ASSERT_EQ(whole[i].data.size(), e.unp_size);
        EXPECT_EQ(crc32_update(0, whole[i].data), e.crc);
        EXPECT_EQ(bytewise[i].status, DecodeStatus::ok);
        EXPECT_TRUE(bytewise[i].data == whole[i].data);
        if (e.stored())
            continue;
        ++decoded;
        if (compare_unar) {
            const auto theirs = unar_entry(path, i);
            ASSERT_TRUE(theirs.has_value()) << "unar failed";
            EXPECT_TRUE(*theirs == whole[i].data);
        }
    }
    EXPECT_GE(decoded, ra.min_decoded);
}

INSTANTIATE_TEST_SUITE_P(Archives, Rar3RealArchive, ::testing::ValuesIn(archives),
                         [](const auto& param_info) {
                             std::string n = std::filesystem::path(param_info.param.path).stem().string();
                             for (char& c : n)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return n;
                         });

// A solid entry depends on every entry before it: decoding it on a fresh
// decoder is refused, decoding the ones before into a discarding sink first
// gives the same bytes as decoding them all.
TEST(Rar3SolidOrder, LaterEntryNeedsTheOnesBefore)
{
    const std::vector<uint8_t> file = read_file(data_dir() / "rar/rar3/sharpcompress-Rar.solid.rar");
    const rar_archive a = walk_rar(file);
    ASSERT_TRUE(a.ok);
    ASSERT_TRUE(a.main_flags & 0x0008);
    const std::vector<rar3_decoded> all = rar3_decode_all(file, a);

    size_t last = a.entries.size();
    while (last > 0 && (a.entries[last - 1].is_dir() || a.entries[last - 1].stored() || a.entries[last - 1].unp_size == 0))
        --last;
    ASSERT_GT(last, 1u);
    const rar_entry& target = a.entries[last - 1];
    ASSERT_TRUE(target.solid());

    {
        Rar3Decoder fresh;
        SpanSource src(rar_packed_data(file, target));
        DiscardSink sink;
        EXPECT_EQ(fresh.decode(src, sink, target.unp_size, true), DecodeStatus::data_error);
        EXPECT_EQ(sink.total, 0u);
    }

    Rar3Decoder d;
    bool first = true;
    for (size_t i = 0; i + 1 < last; ++i) {
        const rar_entry& e = a.entries[i];
        if (e.is_dir() || e.stored())
            continue;
        SpanSource src(rar_packed_data(file, e));
        DiscardSink skip;
        ASSERT_EQ(d.decode(src, skip, e.unp_size, e.solid() && !first), DecodeStatus::ok);
        EXPECT_EQ(skip.total, e.unp_size);
        first = false;
    }
    SpanSource src(rar_packed_data(file, target));
    std::vector<uint8_t> out;
    VectorSink sink(out);
    ASSERT_EQ(d.decode(src, sink, target.unp_size, true), DecodeStatus::ok);
    EXPECT_TRUE(out == all[last - 1].data);
}

// A CRC-32 of what a sink is given, with the sizes of the pieces.
class crc_sink final : public ByteSink {
public:
    bool write(std::span<const uint8_t> data) override
    {
        crc = crc32_update(crc, data);
        total += data.size();
        pieces.push_back(data.size());
        return true;
    }
    uint32_t crc = 0;
    uint64_t total = 0;
    std::vector<size_t> pieces;
};

// 242 MB from 176 KB through LZ blocks and PPMd blocks that start a new
// model or keep the last one. Output arrives in pieces of at most 1 MiB and,
// but for the last, at least 16 KiB.
TEST(Rar3LargeOutput, PpmdAndLzBlocksInTurnStreamInBoundedPieces)
{
    const std::vector<uint8_t> file = read_file(data_dir() / "rar/rar3/test_read_format_rar_ppmd_lzss_conversion.rar");
    const rar_archive a = walk_rar(file);
    ASSERT_TRUE(a.ok);
    ASSERT_EQ(a.entries.size(), 1u);
    const rar_entry& e = a.entries[0];
    Rar3Decoder d;
    SpanSource src(rar_packed_data(file, e));
    crc_sink sink;
    ASSERT_EQ(d.decode(src, sink, e.unp_size, false), DecodeStatus::ok);
    EXPECT_EQ(sink.total, e.unp_size);
    EXPECT_EQ(sink.crc, e.crc);
    ASSERT_FALSE(sink.pieces.empty());
    for (size_t i = 0; i < sink.pieces.size(); ++i) {
        EXPECT_LE(sink.pieces[i], 1u << 20);
        if (i + 1 < sink.pieces.size()) {
            EXPECT_GE(sink.pieces[i], 16u << 10) << "piece " << i;
        }
    }
}

} // namespace

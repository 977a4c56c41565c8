// Guards the RAR 5 decoder against misreading real archives: every file of
// the fixtures (solid, multi-volume, BLAKE2sp, the filters RAR wrote for
// them) must decode to its stored checksum and to the bytes unar and bsdtar
// extract, in any input piece size.
#include "archive/Cls_CRC32.h"
#include "codecs/Rar5Decoder.h"
#include "support/TestSupport.h"
#include "support/StreamTestSupport.h"
#include "support/rar5_test_extract.h"
#include "support/unar_oracle.h"

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;

namespace {

struct archive_case {
    std::vector<const char*> volumes;
    unsigned compressed;     // compressed files that must decode
    std::array<unsigned, 4> filters_at_least;  // DELTA, E8, E8E9, ARM runs over all files
    unsigned without_peer = 0;  // files neither unar nor bsdtar extracts (the stored checksum decides)
};

const archive_case archive_cases[] = {
    {{"rar5_compressed.rar"}, 1, {}},
    {{"rar5_multiple_files.rar"}, 4, {}},
    {{"rar5_multiple_files_solid.rar"}, 4, {}},
    {{"rar5_solid.rar"}, 7, {}},
    {{"rar5_blake2.rar"}, 1, {}},
    {{"rar5_win32.rar"}, 7, {}},
    {{"rar5_arm.rar"}, 1, {0, 0, 0, 1}},
    {{"rar5_extra_field_version.rar"}, 2, {}},
    {{"rar5_rarfile_blake.rar"}, 1, {}},
    {{"rar5_rarfile_crc.rar"}, 1, {}},
    {{"rar5_rarfile_quick_open.rar"}, 2, {}},
    {{"rar5_sharpcompress_comment.rar"}, 3, {0, 1, 0, 0}},
    {{"rar5_multiarchive_solid.part01.rar", "rar5_multiarchive_solid.part02.rar", "rar5_multiarchive_solid.part03.rar",
      "rar5_multiarchive_solid.part04.rar"},
     9,
     {0, 0, 0, 1},
     1},
};

std::vector<std::filesystem::path> paths(const archive_case& c)
{
    std::vector<std::filesystem::path> p;
    for (const char* v : c.volumes)
        p.push_back(data_dir() / "rar" / v);
    return p;
}

class Rar5Archive : public ::testing::TestWithParam<archive_case> {};

TEST_P(Rar5Archive, FilesMatchStoredChecksumsAndUnar)
{
    const auto volumes = load_rar5_volumes(paths(GetParam()));
    const auto files = rar5_extract(volumes);
    unsigned compressed = 0, without_peer = 0;
    std::array<uint64_t, 4> filters{};
    const bool peers = have_unar() && have_bsdtar();
    const auto archive = paths(GetParam())[0];
    for (const auto& f : files) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(f.status, DecodeStatus::ok) << decode_status_name(f.status);
        EXPECT_TRUE(f.checksum_ok);
        compressed += f.compressed && f.status == DecodeStatus::ok;
        for (size_t k = 0; k < 4; ++k)
            filters[k] += f.stats.filters[k];
        if (!peers)
            continue;
        // unar 1.10 gives nothing for solid RAR 5 files and bsdtar cannot
        // join volumes; a peer that extracts the whole file must agree.
        unsigned agreeing = 0;
        for (const auto& ref : {unar_entry(archive, static_cast<unsigned>(f.index)), bsdtar_entry(archive, f.name)}) {
            if (!ref || ref->size() != f.bytes.size())
                continue;
            EXPECT_TRUE(*ref == f.bytes) << "differs from a peer";
            ++agreeing;
        }
        without_peer += agreeing == 0;
    }
    EXPECT_EQ(compressed, GetParam().compressed);
    if (peers) {
        EXPECT_EQ(without_peer, GetParam().without_peer);
    }
    for (size_t k = 0; k < 4; ++k)
        EXPECT_GE(filters[k], GetParam().filters_at_least[k]) << "filter type " << k;
}

// The archive through sources of 1, 3 and 1000 bytes a read: the bit
// reader's refills must not change a byte.
TEST_P(Rar5Archive, InputPieceSizeDoesNotMatter)
{
    const auto volumes = load_rar5_volumes(paths(GetParam()));
    const auto whole = rar5_extract(volumes);
    for (const size_t piece : {size_t{1}, size_t{3}, size_t{1000}}) {
        const auto pieces = rar5_extract(volumes, piece);
        ASSERT_EQ(pieces.size(), whole.size());
        for (size_t i = 0; i < whole.size(); ++i) {
            EXPECT_EQ(pieces[i].status, whole[i].status);
            EXPECT_TRUE(pieces[i].bytes == whole[i].bytes) << whole[i].name << " piece " << piece;
        }
    }
}

// 3 KB that decode to 64 MiB: output goes out in pieces of 16 KiB to 1 MiB
// while decoding, and matches the stored CRC-32.
TEST(Rar5ArchiveLarge, LongOutputLeavesInBoundedPieces)
{
    const auto volumes = load_rar5_volumes({data_dir() / "rar" / "rar5_sharpcompress_large.rar"});
    ASSERT_EQ(volumes[0].listing.records.size(), 1u);
    const auto& r = volumes[0].listing.records[0];
    ASSERT_EQ(r.unpacked_size, 64u << 20);

    class crc_sink final : public ByteSink {
    public:
        bool write(std::span<const uint8_t> data) override
        {
            crc = crc32_update(crc, data);
            total += data.size();
            smallest = std::min(smallest, data.size());
            largest = std::max(largest, data.size());
            ++writes;
            return true;
        }
        uint32_t crc = 0;
        uint64_t total = 0;
        size_t smallest = SIZE_MAX, largest = 0, writes = 0;
    } sink;
    Rar5Decoder dec;
    dec.set_dictionary(r.dictionary_size(), r.extended_distances());
    SpanSource src(std::span<const uint8_t>(volumes[0].bytes).subspan(r.data_offset, r.data_size));
    ASSERT_EQ(dec.decode(src, sink, r.unpacked_size, false), DecodeStatus::ok);
    EXPECT_EQ(sink.total, r.unpacked_size);
    EXPECT_EQ(sink.crc, r.crc32.value_or(0));
    EXPECT_LE(sink.largest, size_t{1} << 20);
    EXPECT_GE(sink.total / sink.writes, size_t{16} << 10);
}

std::string case_name(const ::testing::TestParamInfo<archive_case>& info_)
{
    std::string n = info_.param.volumes[0];
    for (auto& c : n)
        if (!isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Rar5Archive, ::testing::ValuesIn(archive_cases), case_name);

} // namespace

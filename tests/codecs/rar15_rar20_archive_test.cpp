// Guards the RAR 1.5 and 2.0 decoders against misreading real archives: every
// compressed entry of the fixtures must decode to the bytes unar extracts and
// to the CRC-32 stored in its header, whatever the input piece size.
#include "archive/Cls_CRC32.h"
#include "codecs/Rar15Decoder.h"
#include "codecs/Rar20Decoder.h"
#include "support/TestSupport.h"
#include "support/StreamTestSupport.h"
#include "support/RarBlockWalker.h"
#include "support/unar_oracle.h"

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;

namespace {

struct decoded {
    DecodeStatus status;
    std::vector<uint8_t> bytes;
};

// Decodes one entry with the decoder its unpack version asks for; one decoder
// object per archive so that solid entries continue.
class rar_old_decoder {
public:
    decoded decode(const std::vector<uint8_t>& file, const rar_entry& e, size_t piece = SIZE_MAX)
    {
        const std::span<const uint8_t> packed(file.data() + e.data_offset, e.pack_size);
        chunked_source src(packed, piece);
        recording_sink sink;
        DecodeStatus s;
        if (e.method == '0') {
            sink.write(packed);
            s = DecodeStatus::ok;
        } else if (e.unp_ver == 15) {
            s = r15.decode(src, sink, e.unp_size, e.solid());
        } else {
            s = r20.decode(src, sink, e.unp_size, e.solid());
        }
        return {s, std::move(sink.bytes)};
    }

private:
    Rar15Decoder r15;
    Rar20Decoder r20;
};

struct archive_case {
    const char* file;
    const char* origin;
    unsigned compressed_entries;  // entries that are not stored, so the fixture keeps testing a decoder
    unsigned unar_failures;       // entries unar cannot extract (it gives no bytes)
};

const archive_case archive_cases[] = {
    {"rar15_sharpcompress.rar", "SharpCompress TestArchives/Rar15.rar", 3, 0},
    {"rar15_comment.rar", "rarfile test/files/rar15-comment.rar", 1, 1},
    {"rar20_sharpcompress.rar", "SharpCompress TestArchives/Rar2.rar", 3, 0},
    {"rar20_unix_owner.rar", "rarfile test/files/rar2-unix-owner.rar", 1, 0},
};

class RarOldArchive : public ::testing::TestWithParam<archive_case> {};

TEST_P(RarOldArchive, EntriesMatchStoredCrcAndUnar)
{
    const auto path = data_dir() / "rar" / GetParam().file;
    const auto file = read_file(path);
    const auto archive = walk_rar(file);
    ASSERT_FALSE(archive.entries.empty()) << path;

    rar_old_decoder dec;
    unsigned compressed = 0, unar_failed = 0;
    const bool unar = have_unar();
    for (size_t i = 0; i < archive.entries.size(); ++i) {
        const auto& e = archive.entries[i];
        if (e.is_dir())
            continue;
        SCOPED_TRACE(e.name);
        compressed += e.method != '0';
        const auto got = dec.decode(file, e);
        ASSERT_EQ(got.status, DecodeStatus::ok) << decode_status_name(got.status);
        ASSERT_EQ(got.bytes.size(), e.unp_size);
        EXPECT_EQ(crc32_update(0, got.bytes), e.crc);
        if (unar) {
            // unar gives nothing for a few entries (rar15_comment's
            // FILE1.TXT); the stored CRC-32 is the reference there.
            const auto ref = unar_entry(path, static_cast<unsigned>(i));
            if (!ref || ref->size() != e.unp_size)
                ++unar_failed;
            else
                EXPECT_TRUE(*ref == got.bytes) << "differs from unar";
        }
    }
    EXPECT_EQ(compressed, GetParam().compressed_entries);
    if (unar) {
        EXPECT_EQ(unar_failed, GetParam().unar_failures);
    }
}

// The same entries through sources that give 1, 7 and 4096 bytes a read:
// the bit reader's refills must not change a single output byte.
TEST_P(RarOldArchive, InputPieceSizeDoesNotMatter)
{
    const auto file = read_file(data_dir() / "rar" / GetParam().file);
    const auto archive = walk_rar(file);
    for (const size_t piece : {size_t{1}, size_t{7}, size_t{4096}}) {
        rar_old_decoder whole, pieces;
        for (const auto& e : archive.entries) {
            if (e.is_dir() || e.method == '0')
                continue;
            const auto a = whole.decode(file, e);
            const auto b = pieces.decode(file, e, piece);
            EXPECT_EQ(a.status, b.status);
            EXPECT_TRUE(a.bytes == b.bytes) << e.name << " piece " << piece;
        }
    }
}

std::string case_name(const ::testing::TestParamInfo<archive_case>& param_info)
{
    std::string n = param_info.param.file;
    for (auto& c : n)
        if (!isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RarOldArchive, ::testing::ValuesIn(archive_cases), case_name);

} // namespace

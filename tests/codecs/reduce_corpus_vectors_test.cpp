// Guards Unreduce against misreading real reduced streams (PKZIP 0.92 and
// others), including PKZIP's copies from the zeroed window before the data.
#include "archive/ByteFields.h"
#include "archive/Cls_CRC32.h"
#include "codecs/Mod_Reduce.h"
#include "reduce_test_codec.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <string>

using namespace velmora;
using velmora::test::corpus_available;
using velmora::test::corpus_dir;
using velmora::test::read_file;

namespace {

std::filesystem::path legacy(const std::string& name) { return corpus_dir() / "zip-legacy" / name; }

nlohmann::json expected_entry(const std::string& archive)
{
    std::ifstream in(legacy("expected.json"));
    const auto doc = nlohmann::json::parse(in);
    return doc.at("archives").at(archive).at("entries").at(0);
}

uint32_t hex32(const std::string& s) { return static_cast<uint32_t>(std::stoul(s, nullptr, 16)); }

// Local file header: sig(4) ver(2) flags(2) method(2) time(2) date(2) crc(4) csize(4) usize(4) nlen(2) xlen(2)
struct local_entry {
    uint16_t method = 0;
    uint32_t crc = 0, csize = 0, usize = 0;
    std::vector<uint8_t> stored;
};

local_entry first_local_entry(const std::vector<uint8_t>& zip)
{
    local_entry e;
    const std::span<const uint8_t> rec(zip);
    EXPECT_EQ(field_le32(rec, 0).value_or(0), 0x04034B50u);
    e.method = field_le16(rec, 8).value_or(0);
    e.crc = field_le32(rec, 14).value_or(0);
    e.csize = field_le32(rec, 18).value_or(0);
    e.usize = field_le32(rec, 22).value_or(0);
    const size_t data = 30 + field_le16(rec, 26).value_or(0) + field_le16(rec, 28).value_or(0);
    if (data + e.csize <= zip.size())
        e.stored.assign(zip.begin() + static_cast<std::ptrdiff_t>(data),
                        zip.begin() + static_cast<std::ptrdiff_t>(data + e.csize));
    return e;
}

std::vector<uint8_t> hamlet_2048() { return read_file(legacy("implode_hamlet_2048.out")); }

} // namespace

TEST(ReduceCorpusVectors, RawStreamsExpandToTheirKnownContents)
{
    if (!corpus_available())
        GTEST_SKIP() << "shared corpus not present";
    const std::vector<uint8_t> hamlet = hamlet_2048();
    ASSERT_EQ(hamlet.size(), 2048u);
    std::vector<uint8_t> with_zeros = hamlet;
    with_zeros.resize(3072, 0);

    struct vector_case {
        const char* stream;
        const char* wrapper;   // the same stream inside a zip, for its CRC
        std::vector<uint8_t> expected;
    };
    for (const auto& vc : {vector_case{"reduce_hamlet_2048.bin", "reduce_hamlet_2048_wrapped.zip", hamlet},
                           vector_case{"reduce_zero_reduced.bin", "reduce_zero_reduced_wrapped.zip", with_zeros}}) {
        SCOPED_TRACE(vc.stream);
        const auto entry = expected_entry(vc.wrapper);
        ASSERT_EQ(entry.at("uncompressed_size").get<size_t>(), vc.expected.size());
        ASSERT_EQ(crc32_update(0, vc.expected), hex32(entry.at("crc32")));

        const std::vector<uint8_t> stream = read_file(legacy(vc.stream));
        std::vector<uint8_t> data = stream;
        EXPECT_EQ(Unreduce(data, 5, static_cast<int32_t>(vc.expected.size()) - 1), 0);
        EXPECT_EQ(data, vc.expected);
        // The plain reference expander agrees, so the fast paths are not
        // hiding behind a lucky match.
        EXPECT_EQ(test::reference_unreduce(stream, 5, static_cast<int32_t>(vc.expected.size()) - 1), vc.expected);
    }
}

TEST(ReduceCorpusVectors, ZeroWindowCopiesAreTheZeroTail)
{
    if (!corpus_available())
        GTEST_SKIP() << "shared corpus not present";
    // PKZIP 0.92 coded the 1024 trailing zeros as copies reaching up to 4096
    // bytes back from the start of a 3072-byte output: they must read zeros
    // rather than stop the decoding.
    std::vector<uint8_t> data = read_file(legacy("reduce_zero_reduced.bin"));
    const size_t stream_size = data.size();
    ASSERT_EQ(Unreduce(data, 5, 3071), 0);
    ASSERT_EQ(data.size(), 3072u);
    ASSERT_NE(data.size(), stream_size);
    EXPECT_TRUE(std::all_of(data.begin() + 2048, data.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + 2048), hamlet_2048());
}

TEST(ReduceCorpusVectors, ZipEntriesExpandAndMatchTheirCrc)
{
    if (!corpus_available())
        GTEST_SKIP() << "shared corpus not present";
    for (const char* name : {"reduce.zip", "reduce_hamlet_2048_wrapped.zip", "reduce_zero_reduced_wrapped.zip"}) {
        SCOPED_TRACE(name);
        const auto expected = expected_entry(name);
        const local_entry e = first_local_entry(read_file(legacy(name)));
        ASSERT_EQ(e.method, expected.at("method").get<int>());
        ASSERT_EQ(e.csize, expected.at("compressed_size").get<uint32_t>());
        ASSERT_EQ(e.stored.size(), e.csize);

        std::vector<uint8_t> data = e.stored;
        EXPECT_EQ(Unreduce(data, static_cast<int16_t>(e.method), static_cast<int32_t>(e.usize) - 1), 0);
        EXPECT_EQ(data.size(), expected.at("uncompressed_size").get<size_t>());
        EXPECT_EQ(crc32_update(0, data), e.crc);
        EXPECT_EQ(crc32_update(0, data), hex32(expected.at("crc32")));
    }
    // reduce.zip's entry is first.txt, kept beside it.
    std::vector<uint8_t> data = first_local_entry(read_file(legacy("reduce.zip"))).stored;
    Unreduce(data, 5, 1091);
    EXPECT_EQ(data, read_file(legacy("first.txt")));
}

TEST(ReduceCorpusVectors, ExpectedSizeCapsTheOutput)
{
    if (!corpus_available())
        GTEST_SKIP() << "shared corpus not present";
    const std::vector<uint8_t> stream = read_file(legacy("reduce_hamlet_2048.bin"));
    const std::vector<uint8_t> hamlet = hamlet_2048();
    // Shorter expected sizes give exact prefixes, whichever code the cut falls in.
    for (const int32_t size : {1, 2, 17, 100, 1000, 1999, 2047}) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> data = stream;
        EXPECT_EQ(Unreduce(data, 5, size - 1), 0);
        EXPECT_EQ(data, std::vector<uint8_t>(hamlet.begin(), hamlet.begin() + size));
    }
    // A longer expected size keeps decoding past the stream's end (zero
    // bits) and fills the buffer; the first 2048 bytes do not change.
    std::vector<uint8_t> data = stream;
    EXPECT_EQ(Unreduce(data, 5, 2999), 0);
    ASSERT_EQ(data.size(), 3000u);
    EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + 2048), hamlet);
    EXPECT_EQ(data, test::reference_unreduce(stream, 5, 2999));
}

// Guards the Shrink and Implode decoders against misreading real PKZIP-era
// streams: every entry must equal what Info-ZIP unzip extracts and match the
// archive's CRC-32 and size, for both dictionary sizes and tree counts.
#include "legacy_zip_test_codecs.h"
#include "codecs/Mod_Inflate64.h"
#include "support/TestSupport.h"
#include "support/ZipEntries.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace velmora;
using namespace velmora::test;

namespace {

const char* const archives[] = {"SHRUNK.ZIP", "imploding-4Kdict-2trees.zip", "imploding-8Kdict-3trees.zip",
                                "lorem-ipsum-implode.zip", "moby-imploded-subset.zip"};

std::filesystem::path fixture(const std::string& name) { return data_dir() / "zip-shrink-implode" / name; }

} // namespace

TEST(ShrinkImplodeRealArchives, EveryEntryMatchesUnzipAndItsCrc)
{
    const bool unzip = have_tool("unzip");
    std::set<std::pair<uint16_t, uint16_t>> kinds;   // (method, flags & 6) met
    for (const char* name : archives) {
        const auto zip = read_file(fixture(name));
        const auto entries = raw_zip_entries(zip);
        ASSERT_FALSE(entries.empty()) << name;
        for (const auto& e : entries) {
            SCOPED_TRACE(std::string(name) + ": " + e.name);
            ASSERT_TRUE(e.method == 1 || e.method == 6);
            kinds.insert({e.method, static_cast<uint16_t>(e.method == 6 ? e.flags & 6 : 0)});
            const auto r = decode_zip_method(e.method, e.flags, e.stored, e.size);
            EXPECT_EQ(decode_status_name(r.status), "ok");
            ASSERT_EQ(r.out.size(), e.size);
            EXPECT_EQ(crc32_of(r.out), e.crc);
            if (unzip) {
                std::string peer;
                ASSERT_EQ(run_command("unzip -p " + shell_quote(fixture(name).string()) + " " + shell_quote(e.name), &peer), 0);
                EXPECT_TRUE(same_bytes(r.out, peer));
            }
        }
    }
    // Shrink, and Implode with 4 KiB / two trees and 8 KiB / three trees.
    EXPECT_EQ(kinds, (std::set<std::pair<uint16_t, uint16_t>>{{1, 0}, {6, 0}, {6, 6}}));
}

// The imploded LOREM.TXT is the same text as the shared corpus's Deflate64
// entry: two unrelated encodings must expand to the same bytes.
TEST(ShrinkImplodeRealArchives, ImplodedLoremEqualsTheDeflate64Text)
{
    if (!corpus_available())
        GTEST_SKIP() << "shared corpus not present";
    const auto d64 = raw_zip_entries(read_file(corpus_dir() / "zip-legacy" / "lorem-ipsum-deflate64.zip"));
    const auto imp = raw_zip_entries(read_file(fixture("lorem-ipsum-implode.zip")));
    ASSERT_EQ(d64.size(), 1u);
    ASSERT_EQ(imp.size(), 1u);
    std::vector<uint8_t> text = d64[0].stored;
    ASSERT_EQ(Inflate(text, static_cast<int32_t>(d64[0].size) - 1, true), inflate_ok);
    ASSERT_EQ(text.size(), 144060u);

    const auto r = decode_zip_method(6, imp[0].flags, imp[0].stored, imp[0].size);
    EXPECT_EQ(decode_status_name(r.status), "ok");
    EXPECT_TRUE(r.out == text);
}

// Decoding with a smaller expected size gives a prefix of the whole output:
// the decoders stop where told, also in the middle of a copy or a string.
TEST(ShrinkImplodeRealArchives, SmallerExpectedSizeGivesAPrefix)
{
    for (const char* name : {"moby-imploded-subset.zip", "imploding-4Kdict-2trees.zip"}) {
        for (const auto& e : raw_zip_entries(read_file(fixture(name)))) {
            SCOPED_TRACE(std::string(name) + ": " + e.name);
            const auto whole = decode_zip_method(e.method, e.flags, e.stored, e.size);
            ASSERT_EQ(whole.status, DecodeStatus::ok);
            for (const uint32_t cut : {1u, 2u, 3u, 100u, e.size / 2, e.size - 1}) {
                const auto part = decode_zip_method(e.method, e.flags, e.stored, cut);
                EXPECT_EQ(part.status, DecodeStatus::ok) << cut;
                EXPECT_TRUE(std::equal(part.out.begin(), part.out.end(), whole.out.begin(), whole.out.begin() + cut) &&
                            part.out.size() == cut)
                    << cut;
            }
        }
    }
}

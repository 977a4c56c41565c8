// Guards against ARJ walks that crash, hang or loop on damaged archives:
// truncated headers (extended-header chains included), sizes of 2 GiB and
// more, sizes pointing backwards and texts with no terminating zero.
#include "arj_builder.h"

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;
using namespace velmora::test::arj_lzh;

namespace {

TEST(ArjHostileInput, TruncatedArchivesKeepTheEntriesBeforeTheCut)
{
    std::vector<ArjLocal> entries(3);
    entries[0].comment = "comment";
    entries[1].first_hdr_size = 46;
    entries[1].packed = 20;
    entries[2].ext_headers = {{1, 2, 3}, {4, 5}};
    const ArjBytes full = arj_archive(entries);
    TempDir dir;
    for (size_t cut = 0; cut <= full.bytes.size(); ++cut) {
        SCOPED_TRACE(cut);
        const std::vector<uint8_t> part(full.bytes.begin(), full.bytes.begin() + static_cast<ptrdiff_t>(cut));
        const Listing l = list_bytes(dir, part);
        EXPECT_EQ(l.result, 0);
        EXPECT_EQ(l.type, cut >= full.main_end ? 4 : 0);
        int32_t complete = 0;
        for (const size_t end : full.header_ends)
            complete += end <= cut;
        EXPECT_EQ(l.count, complete);
    }
}

TEST(ArjHostileInput, SizesOf2GiBOrPointingBackwardsEndTheWalk)
{
    TempDir dir;
    for (const uint32_t packed : {0x80000000u, 0xFFFFFFF0u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        SCOPED_TRACE(packed);
        std::vector<ArjLocal> entries(3);
        entries[0].packed = packed;
        const Listing l = list_bytes(dir, arj_archive(entries).bytes);
        EXPECT_EQ(l.result, 0);
        EXPECT_EQ(l.type, 4);
        ASSERT_EQ(l.count, 1);
        EXPECT_EQ(l.entries[0].packed, static_cast<int32_t>(packed));
    }
}

TEST(ArjHostileInput, MainHeaderSizeBeforeTheStartIsRejected)
{
    TempDir dir;
    for (const uint16_t size : {0x8000, 0xFFFE, 0xFFFF}) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> b;
        put16(b, 0xEA60);
        put16(b, size);
        b.resize(64, 0);
        const Listing l = list_bytes(dir, b);
        EXPECT_EQ(l.result, 0);
        EXPECT_EQ(l.type, 0);
        EXPECT_EQ(l.count, 0);
    }
}

TEST(ArjHostileInput, TextsWithoutTerminatingZero)
{
    TempDir dir;
    // Comment running to the end of the file: the header is incomplete.
    std::vector<ArjLocal> open_comment(2);
    open_comment[1].comment = "no end";
    open_comment[1].terminate_comment = false;
    Listing l = list_bytes(dir, arj_archive(open_comment, false).bytes);
    EXPECT_EQ(l.type, 4);
    EXPECT_EQ(l.count, 1);

    // The longest name allowed, then one over the limit: the walk stops at
    // the entry being read, which counts with the fields read before it.
    std::vector<ArjLocal> names(2);
    names[0].name = std::string(32740, 'n');
    names[1].name = std::string(40000, 'm');
    names[1].original = 77;
    names.push_back(ArjLocal{});
    l = list_bytes(dir, arj_archive(names).bytes);
    EXPECT_EQ(l.type, 4);
    ASSERT_EQ(l.count, 2);
    EXPECT_EQ(l.entries[0].name, names[0].name);
    EXPECT_EQ(l.entries[1].name, "");
    EXPECT_EQ(l.entries[1].size, 77);
}

TEST(ArjHostileInput, FirstHeaderSizeBelowTheFixedFieldsEndsTheWalk)
{
    TempDir dir;
    std::vector<ArjLocal> entries(3);
    entries[1].first_hdr_size = 12;
    const Listing l = list_bytes(dir, arj_archive(entries).bytes);
    EXPECT_EQ(l.type, 4);
    EXPECT_EQ(l.count, 1);
}

} // namespace

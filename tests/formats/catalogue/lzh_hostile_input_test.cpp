// Guards against LZH walks that crash, hang or loop on damaged archives:
// truncated headers, packed sizes of 2 GiB and more or pointing backwards,
// and level-2 extended-header chains that run outside their header.
#include "lzh_builder.h"

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;
using namespace velmora::test::arj_lzh;

namespace {

std::vector<LzhEntry> mixed_levels()
{
    std::vector<LzhEntry> entries(3);
    entries[0].name = "zero.txt";
    entries[0].packed = 12;
    entries[1].level = 2;
    entries[1].packed = 7;
    entries[1].ext = {{0x01, "two.txt"}, {0x02, "d\xFF"}};
    entries[2].level = 1;
    entries[2].name = "one.txt";
    entries[2].packed = 5;
    entries[2].ext = {{0x02, "e\xFF"}};
    return entries;
}

TEST(LzhHostileInput, TruncatedArchivesKeepTheEntriesBeforeTheCut)
{
    const LzhBytes full = lzh_archive(mixed_levels());
    TempDir dir;
    for (size_t cut = 0; cut <= full.bytes.size(); ++cut) {
        SCOPED_TRACE(cut);
        const std::vector<uint8_t> part(full.bytes.begin(), full.bytes.begin() + static_cast<ptrdiff_t>(cut));
        const Listing l = list_bytes(dir, part, "cut.lzh");
        int32_t complete = 0;
        for (const size_t end : full.header_ends)
            complete += end <= cut;
        EXPECT_EQ(l.type, complete > 0 ? 5 : 0);
        EXPECT_EQ(l.count, complete);
    }
}

TEST(LzhHostileInput, SizesBeforeTheStartOrPast2GiBFailTheListing)
{
    // The walk stops with an error: nothing is loaded, and detection ends
    // there instead of going on to the signature test.
    TempDir dir;
    for (const uint8_t level : {0, 2}) {
        for (const uint32_t packed : {0x80000000u, 0x7FFFFFFFu, 0xFFFFFF00u}) {
            SCOPED_TRACE(std::to_string(level) + " " + std::to_string(packed));
            auto entries = mixed_levels();
            entries[0].level = level;
            entries[0].packed = packed;
            const Listing l = list_bytes(dir, lzh_archive(entries).bytes, "big.lzh");
            EXPECT_EQ(l.result, 0);
            EXPECT_EQ(l.type, 0);
            EXPECT_EQ(l.count, 0);
        }
    }
}

TEST(LzhHostileInput, SizesPointingBackwardsEndTheWalk)
{
    TempDir dir;
    for (const uint8_t level : {0, 1, 2}) {
        for (const uint32_t packed : {0xFFFFFFFFu, 0xFFFFFFF0u}) {
            SCOPED_TRACE(std::to_string(level) + " " + std::to_string(packed));
            auto entries = mixed_levels();
            entries[1].level = level;
            entries[1].packed = packed;
            entries[1].ext.clear();
            const Listing l = list_bytes(dir, lzh_archive(entries).bytes, "back.lzh");
            EXPECT_EQ(l.type, 5);
            ASSERT_EQ(l.count, 2);
            EXPECT_LT(l.entries[1].packed, 0);
        }
    }
}

TEST(LzhHostileInput, BrokenLevelTwoExtendedHeaders)
{
    TempDir dir;
    // Header sizes 0, 1, 2 and one running past the header: the chain stops,
    // the entry keeps what was read before it, and the walk goes on.
    for (const uint16_t bad : {0, 1, 2, 200}) {
        SCOPED_TRACE(bad);
        auto entries = mixed_levels();
        std::vector<uint8_t> b = lzh_archive(entries).bytes;
        const size_t level2 = lzh_archive({entries[0]}, false).bytes.size();
        // Second extended header's size: after the base (26) and "two.txt" (10).
        const size_t at = level2 + 26 + 10 - 2;
        b[at] = static_cast<uint8_t>(bad);
        b[at + 1] = static_cast<uint8_t>(bad >> 8);
        const Listing l = list_bytes(dir, b, "ext.lzh");
        ASSERT_EQ(l.count, 3);
        EXPECT_EQ(l.entries[1].name, "two.txt");
        EXPECT_EQ(l.entries[2].name, "e/one.txt");
    }

    // A level-2 header shorter than its fixed fields is no header.
    std::vector<uint8_t> b = lzh_archive(mixed_levels()).bytes;
    const size_t level2 = lzh_archive({mixed_levels()[0]}, false).bytes.size();
    b[level2] = 20;
    b[level2 + 1] = 0;
    EXPECT_EQ(list_bytes(dir, b, "short.lzh").count, 1);
}

} // namespace

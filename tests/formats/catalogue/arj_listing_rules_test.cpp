// Guards against ARJ header fields read from the wrong place (names behind 34-
// and 46-byte first headers, Unix times of UNIX hosts), wrong method, host and
// version texts, and per-entry members that ignore the entry-number rules.
#include "arj_builder.h"
#include "formats/catalogue/Cls_Arj.h"

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;
using namespace velmora::test::arj_lzh;

namespace {

TEST(ArjListingRules, FirstHdrSizeSaysWhereTheNameStarts)
{
    TempDir dir;
    std::vector<ArjLocal> entries(4);
    entries[0].name = "plain";                 // 30 bytes, the oldest layout
    entries[1].name = "volume";                // 34 bytes with the extended file position
    entries[1].first_hdr_size = 34;
    entries[1].flags = 0x08;
    entries[2].name = "times";                 // 46 bytes: arj 3.x access and creation times
    entries[2].first_hdr_size = 46;
    entries[3].name = "times-volume";
    entries[3].first_hdr_size = 46;
    entries[3].flags = 0x08;
    for (size_t i = 0; i < entries.size(); ++i) {
        entries[i].packed = static_cast<uint32_t>(10 + i);
        entries[i].original = static_cast<uint32_t>(100 + i);
    }
    const Listing l = list_bytes(dir, arj_archive(entries).bytes);
    EXPECT_EQ(l.type, 4);
    ASSERT_EQ(l.count, 4);
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(l.entries[i].name, entries[i].name);
        EXPECT_EQ(l.entries[i].packed, static_cast<int32_t>(10 + i));
        EXPECT_EQ(l.entries[i].size, static_cast<int32_t>(100 + i));
    }
}

TEST(ArjListingRules, UnixHostsStoreUnixTimes)
{
    TempDir dir;
    std::vector<ArjLocal> entries(4);
    entries[0].host = 2;                // UNIX: seconds since 1970
    entries[0].stamp = 1614834368;
    entries[1].host = 0;                // MS-DOS: DOS words
    entries[2].host = 3;                // any other host: DOS words, whatever they hold
    entries[2].stamp = 1614834368;
    entries[3].host = 2;                // before 1980: the first DOS date
    entries[3].stamp = 86401;
    const Listing l = list_bytes(dir, arj_archive(entries).bytes);
    ASSERT_EQ(l.count, 4);
    EXPECT_EQ(l.entries[0].when.to_string(), "2021-03-04 05:06:08");
    EXPECT_EQ(l.entries[1].when.to_string(), "2021-03-04 05:06:08");
    EXPECT_EQ(l.entries[2].when, DosDateTimeToDate(static_cast<int16_t>(1614834368u >> 16),
                                                   static_cast<int16_t>(1614834368u & 0xFFFF)));
    EXPECT_EQ(l.entries[3].when.to_string(), "1980-01-01 00:00:00");
}

TEST(ArjListingRules, MethodHostAndVersionTexts)
{
    const std::vector<std::string> methods = {"No Compression", "Maximum", "Normal", "Small", "Fastest",
                                              "Unknown", "Unknown", "Unknown", "Unknown"};
    const std::vector<std::string> hosts = {"MS-DOS and OS/2 (FAT / VFAT / FAT32 file systems)",
                                            "Primos", "UNIX", "Amiga", "MAC-OS", "OS/2", "Apple GS",
                                            "Atari ST", "Next", "VAX VMS", "unKnown", "unKnown"};
    TempDir dir;
    std::vector<ArjLocal> entries(hosts.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        entries[i].host = static_cast<uint8_t>(i);
        entries[i].method = static_cast<uint8_t>(i % methods.size());
        entries[i].version = static_cast<uint8_t>(i == 0 ? 11 : 255);
        entries[i].min_version = static_cast<uint8_t>(i == 0 ? 6 : 30);
        entries[i].flags = static_cast<uint8_t>(i);  // bit 0x01 garbled, bit 0x02 folder
        entries[i].crc = i == 1 ? 0xFFFFFFFF : 0x80000000u + static_cast<uint32_t>(i);
    }
    entries[3].original = 0x80000000;
    const Listing l = list_bytes(dir, arj_archive(entries).bytes);
    ASSERT_EQ(l.count, static_cast<int32_t>(hosts.size()));
    for (size_t i = 0; i < hosts.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(l.entries[i].system_made_by, hosts[i]);
        EXPECT_EQ(l.entries[i].method, methods[i % methods.size()]);
        EXPECT_EQ(l.entries[i].version_made_by, i == 0 ? "1.1" : "25.5");
        EXPECT_EQ(l.entries[i].version_needed, i == 0 ? "0.6" : "3.0");
        EXPECT_EQ(l.entries[i].system_needed, "unKnown");
        EXPECT_EQ(l.entries[i].encrypted, (i & 1) != 0);
        EXPECT_EQ(l.entries[i].dir, (i & 2) != 0);
    }
    EXPECT_EQ(l.entries[1].crc, -1);
    EXPECT_EQ(l.entries[2].crc, static_cast<int32_t>(0x80000002u));
    EXPECT_EQ(l.entries[3].size, INT32_MIN);
}

TEST(ArjListingRules, EntryNumbersAndComments)
{
    TempDir dir;
    std::vector<ArjLocal> entries(2);
    entries[0].comment = "first comment";
    entries[1].name = "second";
    write_file(dir / "c.arj", arj_archive(entries).bytes);

    HeadlessWindow window;
    ArchiveState state(window);
    Cls_Arj arj(state);
    EXPECT_EQ(arj.Get_Contents((dir / "c.arj").string()), 0);
    EXPECT_EQ(state.PackFileName, (dir / "c.arj").string());
    EXPECT_EQ(arj.FileCount(), 2);
    EXPECT_EQ(arj.CommentsPack(), "");
    EXPECT_EQ(arj.CommentsFile(1), "first comment");
    EXPECT_EQ(arj.CommentsFile(0), "");
    EXPECT_EQ(arj.CommentsFile(3), "");
    for (const int32_t bad : {0, 3, -1}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(arj.FileName(bad), "");
        EXPECT_EQ(arj.Method(bad), "");
        EXPECT_EQ(arj.CRC32(bad), 0);
        EXPECT_FALSE(arj.IsDir(bad));
        EXPECT_TRUE(arj.FileDateTime(bad).is_zero());
        EXPECT_EQ(arj.VersionNeeded(bad), "");
    }
    EXPECT_EQ(arj.FileName(2), "second");

    // Nothing loaded: every entry number is invalid.
    state.PackFileType = 0;
    EXPECT_EQ(arj.FileName(2), "");
    EXPECT_EQ(arj.SystemNeeded(1), "");
}

TEST(ArjListingRules, EachListingReplacesTheLast)
{
    TempDir dir;
    std::vector<ArjLocal> first(3), second(1);
    first[0].name = "a1";
    second[0].name = "b1";
    write_file(dir / "first.arj", arj_archive(first).bytes);
    write_file(dir / "second.arj", arj_archive(second).bytes);
    write_file(dir / "empty.arj", arj_archive({}).bytes);

    HeadlessWindow window;
    Cls_GetFileType files(window);
    files.Get_Contents((dir / "first.arj").string());
    EXPECT_EQ(files.FileCount(), 3);
    ArchiveReader* reader = files.active_reader();
    files.Get_Contents((dir / "second.arj").string());
    EXPECT_EQ(files.active_reader(), reader);
    EXPECT_EQ(files.FileCount(), 1);
    EXPECT_EQ(files.FileName(1), "b1");
    EXPECT_EQ(files.FileName(2), "");

    // Main header and end header only: recognised, no entries.
    EXPECT_EQ(files.Get_Contents((dir / "empty.arj").string()), 0);
    EXPECT_EQ(files.state().PackFileType, 4);
    EXPECT_EQ(files.FileCount(), 0);
}

} // namespace

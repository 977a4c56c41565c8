// Guards the ARC walk against misreading name fields and codes, and against
// hostile headers: cut-off headers, packed sizes of 2 GiB and more, sizes
// pointing backwards; a failure inside the walk must leave nothing loaded and
// stop the dispatcher from trying other readers.
#include "listing_snapshot.h"

#include "formats/catalogue/Cls_Arc.h"

#include <gtest/gtest.h>

namespace velmora::test {
namespace {

Bytes entry(uint8_t method, const Bytes& name_field, uint32_t packed, uint32_t size, uint16_t crc = 0x1234,
            bool with_data = true)
{
    Bytes b;
    b.u8(0x1A).u8(method).append(name_field);
    b.zeros(13 - name_field.size());
    b.le32(packed).le16(0x5A21).le16(0x6B4F).le16(crc).le32(size);
    if (with_data)
        b.zeros(packed);
    return b;
}

Bytes name(const std::string& s) { return Bytes{}.text(s); }
Bytes end_mark() { return Bytes{}.u8(0x1A).u8(0); }

TEST(ArcHeaderChain, NamesEndAtTheirZeroAndLoseOuterSpaces)
{
    TempDir dir;
    Bytes a;
    a.append(entry(2, name("README"), 3, 3));
    a.append(entry(2, name("AB").u8(0).text("CD"), 0, 0));
    a.append(entry(2, name("  X Y  "), 0, 0));
    a.append(entry(2, name("\x81" "BER.TXT"), 0, 0));
    a.append(entry(2, name("DIR/"), 0, 0));
    a.append(entry(2, name("FULL/"), 5, 5));
    a.append(end_mark());
    const auto s = list_bytes(dir, "names.arc", a.b);
    EXPECT_EQ(s.result, 0);
    ASSERT_EQ(s.type, 7);
    ASSERT_EQ(s.count, 6);
    EXPECT_EQ(s.entries[0].name, "README");
    EXPECT_EQ(s.entries[1].name, "AB"); // "CD" is left over from an earlier name
    EXPECT_EQ(s.entries[2].name, "X Y");
    EXPECT_EQ(s.entries[3].name, "\xC3\xBC" "BER.TXT");
    EXPECT_EQ(s.entries[4].name, "DIR/");
    EXPECT_TRUE(s.entries[4].dir);
    EXPECT_FALSE(s.entries[5].dir); // a size: no folder
    EXPECT_FALSE(s.entries[0].dir);
    EXPECT_EQ(s.entries[0].when, (DateTime{2025, 1, 1, 13, 26, 30}));
}

TEST(ArcHeaderChain, MethodsAndCrcs)
{
    TempDir dir;
    Bytes a;
    for (uint8_t m = 1; m <= 9; ++m)
        a.append(entry(m, name("M" + std::to_string(m)), m, 100u + m, static_cast<uint16_t>(0xFFF0 + m)));
    a.append(entry(0, name("END"), 0, 0));
    const auto s = list_bytes(dir, "methods.arc", a.b);
    ASSERT_EQ(s.count, 9);
    EXPECT_EQ(s.entries[0].method, "unpacked (obsolete)");
    EXPECT_EQ(s.entries[3].method, "squeezed (after packing)");
    EXPECT_EQ(s.entries[4].method, "crunched (obsolete)");
    EXPECT_EQ(s.entries[5].method, "crunched (after packing) (obsolete)");
    EXPECT_EQ(s.entries[6].method, "crunched (after packing, using faster hash algorithm)");
    EXPECT_EQ(s.entries[8].method, "Squashed c/o Halvik (no packing) (var. on crunching)");
    EXPECT_EQ(s.entries[8].crc, static_cast<int16_t>(0xFFF9));
    EXPECT_EQ(s.entries[8].packed, 9);
    EXPECT_EQ(s.entries[8].size, 109);

    Bytes b = entry(2, name("CRC"), 0, 0, 0xFFFF);
    b.append(entry(2, name("LOW"), 0, 0, 0x7FFF));
    const auto t = list_bytes(dir, "crc.arc", b.b);
    ASSERT_EQ(t.count, 2);
    EXPECT_EQ(t.entries[0].crc, -1);
    EXPECT_EQ(t.entries[1].crc, 0x7FFF);
}

TEST(ArcHeaderChain, TheWalkEndsAtAMethodAboveNineOrAnotherByte)
{
    TempDir dir;
    Bytes a = entry(2, name("KEPT"), 1, 1);
    a.append(entry(10, name("NOT"), 0, 0)).append(entry(2, name("NEVER"), 0, 0));
    const auto s = list_bytes(dir, "ten.arc", a.b);
    ASSERT_EQ(s.count, 1);
    EXPECT_EQ(s.entries[0].name, "KEPT");

    Bytes b = entry(2, name("KEPT"), 1, 1);
    b.u8(0x00).append(entry(2, name("NEVER"), 0, 0));
    EXPECT_EQ(list_bytes(dir, "other.arc", b.b).count, 1);

    // No end mark at all: the file simply ends after the data.
    EXPECT_EQ(list_bytes(dir, "noend.arc", entry(2, name("ONLY"), 4, 4).b).count, 1);
}

TEST(ArcHeaderChain, ArchivesWithoutEntriesAreNotArc)
{
    TempDir dir;
    for (const auto& bytes : {end_mark().b, std::vector<uint8_t>{0x1A, 0x0A}, entry(2, name("CUT"), 0, 0, 0, false).b}) {
        auto b = bytes;
        if (b.size() > 20)
            b.resize(20); // a first header cut off by the end of the file
        const auto s = list_bytes(dir, "none.arc", b);
        EXPECT_EQ(s.result, -2) << b.size();
        EXPECT_EQ(s.type, 0) << b.size();
        EXPECT_EQ(s.count, 0) << b.size();
    }
}

TEST(ArcHeaderChain, EveryCutListsTheWholeHeadersBeforeIt)
{
    TempDir dir;
    Bytes a = entry(8, name("ONE"), 10, 20);
    a.append(entry(3, name("TWO"), 7, 9)).append(entry(2, name("THREE"), 0, 0)).append(end_mark());
    const std::vector<size_t> header_ends = {29, 29 + 10 + 29, 29 + 10 + 29 + 7 + 29};
    for (size_t cut = 1; cut <= a.size(); ++cut) {
        const auto s = list_bytes(dir, "cut.arc", std::vector<uint8_t>(a.b.begin(), a.b.begin() + cut));
        int32_t whole = 0;
        for (size_t end : header_ends)
            whole += end <= cut ? 1 : 0;
        EXPECT_EQ(s.count, whole) << cut;
        EXPECT_EQ(s.type, whole > 0 ? 7 : 0) << cut;
    }
}

TEST(ArcHeaderChain, BackwardSizesEndTheWalkWithTheEntriesSoFar)
{
    TempDir dir;
    // The second header's packed size steps back onto the first header.
    Bytes a = entry(2, name("FIRST"), 0, 0);
    a.append(entry(2, name("SECOND"), static_cast<uint32_t>(-40), 0, 0, false));
    a.append(entry(2, name("THIRD"), 0, 0));
    const auto s = list_bytes(dir, "back.arc", a.b);
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.type, 7);
    ASSERT_EQ(s.count, 2);
    EXPECT_EQ(s.entries[1].name, "SECOND");
    EXPECT_EQ(s.entries[1].packed, -40);
}

TEST(ArcHeaderChain, PositionsOutsideTheFileLeaveNothingLoadedAndStopDetection)
{
    // A packed size that moves the position to the start of the file or
    // before, or past the 32-bit range, is a failure of the walk: nothing is
    // loaded, and the dispatcher tries no other reader (its result stays 0,
    // where a rejected first byte 0x1A gives -2).
    TempDir dir;
    // The second header's data would start at position 59 (counting from 1).
    for (uint32_t packed : {static_cast<uint32_t>(-59), static_cast<uint32_t>(-1000), 0x80000000u, 0x7FFFFFF0u}) {
        Bytes a = entry(2, name("FIRST"), 0, 0);
        a.append(entry(2, name("BAD"), packed, 0, 0, false));
        write_file(dir / "fail.arc", a.b);
        HeadlessWindow window;
        Cls_GetFileType files(window);
        EXPECT_EQ(files.Get_Contents((dir / "fail.arc").string()), 0) << packed;
        EXPECT_EQ(files.state().PackFileType, 0) << packed;
        EXPECT_EQ(files.state().PackTotFiles, 2) << packed;
        EXPECT_EQ(files.FileCount(), 0) << packed;
        EXPECT_EQ(files.FileName(1), "") << packed;
    }
}

TEST(ArcHeaderChain, PropertiesWithoutTheNumberCheck)
{
    TempDir dir;
    write_file(dir / "p.arc", entry(2, name("P"), 0, 0).append(end_mark()).b);
    HeadlessWindow window;
    Cls_GetFileType files(window);
    files.Get_Contents((dir / "p.arc").string());
    ASSERT_EQ(files.FileCount(), 1);
    EXPECT_EQ(files.SystemMadeBy(0), "UnKnown");
    EXPECT_EQ(files.VersionNeeded(99), "UnKnown");
    EXPECT_EQ(files.CommentsFile(0), "");
    EXPECT_EQ(files.CommentsFile(1), "Not Supported");
    EXPECT_EQ(files.CommentsFile(2), "");
    EXPECT_EQ(files.FileName(-1), "");
    EXPECT_EQ(files.CommentsPack(), "");
    EXPECT_TRUE(files.CanUnpack());

    // The reader has no entry count of its own; the dispatcher answers it.
    ArchiveState state(window);
    Cls_Arc reader(state);
    reader.Get_Contents((dir / "p.arc").string());
    EXPECT_EQ(state.PackTotFiles, 1);
    EXPECT_EQ(reader.FileCount(), 0);
    state.PackData.assign(3, 3);
    Selection sel(2, true);
    std::string to = (dir / "out").string();
    EXPECT_EQ(reader.UnPack(sel, to), 0);
    EXPECT_TRUE(state.PackData.empty());
    // An empty stored entry: an empty file, its CRC-16 0.
    EXPECT_TRUE(std::filesystem::is_regular_file(dir / "out" / "P"));
    EXPECT_EQ(std::filesystem::file_size(dir / "out" / "P"), 0u);
}

} // namespace
} // namespace velmora::test

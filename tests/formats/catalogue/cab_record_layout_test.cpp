// Guards the cabinet walk against misreading the optional header parts
// (reserve areas, set names), cabinets with several folders, and hostile
// counts and offsets: a 40,000-file header, records cut off by the end of the
// file, file offsets pointing backwards.
#include "listing_snapshot.h"

#include "formats/catalogue/Cls_Cab.h"

#include <gtest/gtest.h>

namespace velmora::test {
namespace {

struct CabFile {
    uint32_t size = 0;
    uint16_t folder = 0;
    uint16_t date = 0x5A21; // 2025-01-01
    uint16_t time = 0x6B4F; // 13:26:30
    uint16_t attribs = 0x20;
    std::string name = "file.txt";
};

struct CabSpec {
    std::vector<uint16_t> folder_types = {0};
    std::vector<CabFile> files;
    uint16_t flags = 0;
    Bytes after_header; // reserve sizes and area, set names
    uint8_t folder_reserve = 0;
    std::optional<int32_t> files_offset;
    std::optional<uint16_t> folder_count;
    std::optional<uint16_t> file_count;
    uint8_t minor = 3;
    uint8_t major = 1;
};

Bytes cabinet(const CabSpec& c)
{
    Bytes folders;
    for (uint16_t t : c.folder_types) {
        folders.le32(0).le16(0).le16(t);
        folders.zeros(c.folder_reserve);
    }
    const size_t files_at = 36 + c.after_header.size() + folders.size();
    Bytes files;
    for (const auto& f : c.files)
        files.le32(f.size).le32(0).le16(f.folder).le16(f.date).le16(f.time).le16(f.attribs).text(f.name).u8(0);
    Bytes h;
    h.text("MSCF").le32(0).le32(static_cast<uint32_t>(files_at + files.size())).le32(0);
    h.le32(static_cast<uint32_t>(c.files_offset.value_or(static_cast<int32_t>(files_at)))).le32(0);
    h.u8(c.minor).u8(c.major);
    h.le16(c.folder_count.value_or(static_cast<uint16_t>(c.folder_types.size())));
    h.le16(c.file_count.value_or(static_cast<uint16_t>(c.files.size())));
    h.le16(c.flags).le16(0x1234).le16(0);
    return h.append(c.after_header).append(folders).append(files);
}

TEST(CabRecordLayout, EmptyCabinetIsRecognisedWithNoEntries)
{
    TempDir dir;
    CabSpec c;
    c.folder_types.clear();
    const auto bytes = cabinet(c).b;
    ASSERT_EQ(bytes.size(), 36u);
    const auto s = list_bytes(dir, "empty.cab", bytes);
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.type, 7);
    EXPECT_EQ(s.count, 0);

    auto wrong = bytes;
    wrong[3] = 'G'; // "MSCG"
    EXPECT_EQ(list_bytes(dir, "wrong.cab", wrong).type, 0);
    EXPECT_EQ(list_bytes(dir, "short.cab", std::vector<uint8_t>(bytes.begin(), bytes.begin() + 35)).type, 0);
}

TEST(CabRecordLayout, EachEntryShowsItsOwnFolderMethod)
{
    TempDir dir;
    CabSpec c;
    c.folder_types = {0x0001, 0x1503, 0x0000};
    // The continuation markers name the first folder (continued from the
    // previous cabinet) or the last one (continued into the next); an index
    // past the folders names none.
    c.files = {{10, 0, 0x5A21, 0x6B4F, 0x20, "a"},      {20, 1, 0x5A21, 0x6B4F, 0x20, "b"},
               {30, 2, 0x5A21, 0x6B4F, 0x20, "c"},      {1, 0xFFFD, 0x5A21, 0x6B4F, 0x20, "d"},
               {1, 0xFFFE, 0x5A21, 0x6B4F, 0x20, "e"}, {1, 0xFFFF, 0x5A21, 0x6B4F, 0x20, "f"},
               {1, 3, 0x5A21, 0x6B4F, 0x20, "g"}};
    const auto s = list_bytes(dir, "folders.cab", cabinet(c).b);
    ASSERT_EQ(s.count, 7);
    const std::vector<std::string> methods = {"MsZip", "Lzx", "No Compression", "MsZip", "No Compression", "MsZip", "Unknown"};
    for (size_t k = 0; k < methods.size(); ++k)
        EXPECT_EQ(s.entries[k].method, methods[k]) << s.entries[k].name;
    EXPECT_EQ(s.entries[2].size, 30);
    EXPECT_EQ(s.entries[0].when, (DateTime{2025, 1, 1, 13, 26, 30}));

    for (const auto& [type, text] : std::vector<std::pair<uint16_t, std::string>>{
             {0x1503, "Lzx"}, {0x0002, "Quantum"}, {0x0004, "Unknown"}, {0x0010, "No Compression"}, {0x7A13, "Lzx"}}) {
        c.folder_types = {type};
        c.files = {CabFile{}};
        const auto t = list_bytes(dir, "method.cab", cabinet(c).b);
        ASSERT_EQ(t.count, 1);
        EXPECT_EQ(t.entries[0].method, text) << type;
    }
}

TEST(CabRecordLayout, ReserveAreasAndSetNamesAreSteppedOver)
{
    TempDir dir;
    CabSpec c;
    c.flags = 0x0001 | 0x0002 | 0x0004;
    c.after_header = Bytes{}.le16(5).u8(3).u8(7).text("RSRVD").text("prev.cab").u8(0).text("Disk 1").u8(0)
                         .text("next.cab").u8(0).text("Disk 3").u8(0);
    c.folder_reserve = 3;
    c.folder_types = {3, 1};
    c.files = {{1, 0, 0x5A21, 0x6B4F, 0x20, "x.txt"}, {2, 1, 0x5A21, 0x6B4F, 0x10, "dir"}};
    const auto s = list_bytes(dir, "reserve.cab", cabinet(c).b);
    ASSERT_EQ(s.count, 2);
    EXPECT_EQ(s.entries[0].name, "x.txt");
    EXPECT_EQ(s.entries[0].method, "Lzx");
    EXPECT_EQ(s.entries[1].name, "dir");
    EXPECT_TRUE(s.entries[1].dir);
    EXPECT_FALSE(s.entries[0].dir);

    // A header reserve of 32,768 or more reads as negative and is not
    // skipped: the folder record is read from the bytes right after the
    // reserve sizes, the files from coffFiles as always.
    CabSpec n;
    n.flags = 0x0004;
    n.after_header = Bytes{}.le16(0x8000).u8(0).u8(0);
    n.folder_types = {2};
    n.files = {{1, 0, 0x5A21, 0x6B4F, 0x20, "q"}};
    const auto t = list_bytes(dir, "bigreserve.cab", cabinet(n).b);
    ASSERT_EQ(t.count, 1);
    EXPECT_EQ(t.entries[0].method, "Quantum");
    EXPECT_EQ(t.entries[0].name, "q");
}

TEST(CabRecordLayout, NamesAreUtf8OnlyWhenFlagged)
{
    TempDir dir;
    CabSpec c;
    c.files = {{1, 0, 0x5A21, 0x6B4F, 0x20, "\x81" "ber"}, {1, 0, 0x5A21, 0x6B4F, 0xA0, "\xC3\xBC" "ber"},
               {1, 0, 0x5A21, 0x6B4F, 0x20, "plain"}, {1, 0, 0x5A21, 0x6B4F, 0x80, "\xC3" "x"},
               {1, 0, 0x5A21, 0x6B4F, 0x20, "\xC3" "x"}};
    const auto s = list_bytes(dir, "names.cab", cabinet(c).b);
    ASSERT_EQ(s.count, 5);
    EXPECT_EQ(s.entries[0].name, "\xC3\xBC" "ber"); // code page 437 0x81
    EXPECT_EQ(s.entries[1].name, "\xC3\xBC" "ber");
    EXPECT_EQ(s.entries[2].name, "plain");
    // Flagged UTF-8 is taken as it stands, even when broken; unflagged bytes
    // that are no UTF-8 are code page 437.
    EXPECT_EQ(s.entries[3].name, "\xC3" "x");
    EXPECT_EQ(s.entries[4].name, "\xE2\x94\x9C" "x");
}

TEST(CabRecordLayout, VersionNeededComesFromTheHeader)
{
    TempDir dir;
    CabSpec c;
    c.major = 12;
    c.minor = 34;
    c.files = {CabFile{}, CabFile{}};
    write_file(dir / "v.cab", cabinet(c).b);
    HeadlessWindow window;
    Cls_GetFileType files(window);
    files.Get_Contents((dir / "v.cab").string());
    EXPECT_EQ(files.VersionNeeded(1), "12.34");
    EXPECT_EQ(files.VersionNeeded(2), "12.34");
    EXPECT_EQ(files.VersionNeeded(0), "");
    EXPECT_EQ(files.VersionNeeded(3), "");
    EXPECT_EQ(files.UnCompressed_Size(-1), 0);
    EXPECT_EQ(files.FileName(-1), "");
    EXPECT_TRUE(files.CanUnpack());
}

TEST(CabRecordLayout, FileCountsOf32768AndMoreListNothing)
{
    TempDir dir;
    CabSpec c;
    c.files = {CabFile{}};
    c.file_count = 40000;
    const auto s = list_bytes(dir, "40000.cab", cabinet(c).b);
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.type, 7);
    EXPECT_EQ(s.count, 0);

    CabSpec f;
    f.files = {CabFile{}};
    f.folder_count = 0x8001;
    const auto t = list_bytes(dir, "folders.cab", cabinet(f).b);
    EXPECT_EQ(t.type, 7);
    EXPECT_EQ(t.count, 0);
}

TEST(CabRecordLayout, LargestCountIsListedInFull)
{
    TempDir dir;
    CabSpec c;
    for (int k = 0; k < 32767; ++k)
        c.files.push_back({static_cast<uint32_t>(k), 0, 0x5A21, 0x6B4F, 0x20, "f" + std::to_string(k)});
    const auto s = list_bytes(dir, "32767.cab", cabinet(c).b);
    ASSERT_EQ(s.count, 32767);
    EXPECT_EQ(s.entries.back().name, "f32766");
    EXPECT_EQ(s.entries.back().size, 32766);
}

TEST(CabRecordLayout, RecordsCutOffByTheEndListWhatIsThere)
{
    TempDir dir;
    CabSpec c;
    c.files = {{1, 0, 0x5A21, 0x6B4F, 0x20, "one"}, {2, 0, 0x5A21, 0x6B4F, 0x20, "two"}};
    c.file_count = 30000;
    const auto s = list_bytes(dir, "short.cab", cabinet(c).b);
    EXPECT_EQ(s.type, 7);
    ASSERT_EQ(s.count, 2);
    EXPECT_EQ(s.entries[1].name, "two");

    // Every cut of a whole cabinet: the complete records before the cut.
    c.file_count.reset();
    c.files.push_back({3, 0, 0x5A21, 0x6B4F, 0x20, "three"});
    const auto whole = cabinet(c).b;
    const size_t first_record = whole.size() - (3 * 16 + 4 + 4 + 6);
    for (size_t cut = 36; cut <= whole.size(); ++cut) {
        const auto t = list_bytes(dir, "cut.cab", std::vector<uint8_t>(whole.begin(), whole.begin() + cut));
        EXPECT_EQ(t.type, 7) << cut;
        int32_t complete = 0;
        size_t end = first_record;
        for (size_t len : {4u, 4u, 6u}) {
            end += 16 + len;
            complete += end <= cut ? 1 : 0;
        }
        EXPECT_EQ(t.count, complete) << cut;
    }

    // A name with no terminating zero before the end of the file.
    CabSpec open;
    open.files = {{1, 0, 0x5A21, 0x6B4F, 0x20, "ok"}, {1, 0, 0, 0, 0x20, "open"}};
    auto unterminated = cabinet(open).b;
    unterminated.pop_back();
    const auto u = list_bytes(dir, "open.cab", unterminated);
    ASSERT_EQ(u.count, 1);
    EXPECT_EQ(u.entries[0].name, "ok");
}

TEST(CabRecordLayout, FileOffsetsBeforeTheFileRecordsListNothing)
{
    TempDir dir;
    for (int32_t offset : {0, 10, 36, -1, -100000, INT32_MAX}) {
        CabSpec c;
        c.files = {CabFile{}};
        c.files_offset = offset;
        const auto s = list_bytes(dir, "offset.cab", cabinet(c).b);
        EXPECT_EQ(s.result, 0) << offset;
        EXPECT_EQ(s.type, 7) << offset;
        EXPECT_EQ(s.count, 0) << offset;
    }
    // Past the folder records: the gap is skipped.
    CabSpec gap;
    gap.files = {CabFile{}};
    auto bytes = cabinet(gap).b;
    const size_t files_at = 36 + 8;
    bytes.insert(bytes.begin() + files_at, 5, 0xEE);
    bytes[16] = static_cast<uint8_t>(files_at + 5);
    const auto s = list_bytes(dir, "gap.cab", bytes);
    ASSERT_EQ(s.count, 1);
    EXPECT_EQ(s.entries[0].name, "file.txt");
}

TEST(CabRecordLayout, FilesWithoutAnyFolderStopAtTheFirstEntry)
{
    // The first entry takes the method of folder 1, which does not exist:
    // the walk fails there, leaving the count the header announced and only
    // the first record read.
    TempDir dir;
    CabSpec c;
    c.folder_types.clear();
    c.files = {{5, 0, 0x5A21, 0x6B4F, 0x20, "first"}, {6, 0, 0x5A21, 0x6B4F, 0x20, "second"}};
    const auto s = list_bytes(dir, "nofolder.cab", cabinet(c).b);
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.type, 7);
    ASSERT_EQ(s.count, 2);
    EXPECT_EQ(s.entries[0].name, "first");
    EXPECT_EQ(s.entries[0].size, 5);
    EXPECT_EQ(s.entries[0].method, "No Compression");
    EXPECT_EQ(s.entries[1].name, "");
    EXPECT_EQ(s.entries[1].size, 0);
}

} // namespace
} // namespace velmora::test

// Guards the per-entry members of the ZIP reader against wrong field offsets,
// wrong method/host/version texts, sign mistakes and reads outside the table.
#include "formats/zip/Cls_Zip.h"
#include "formats/zip/zip_test_builder.h"

#include "archive/HeadlessWindow.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

using test::ZipTestEntry;

class ZipFields : public ::testing::Test {
protected:
    // Writes the archive and loads it with a fresh reader.
    void load(const std::vector<uint8_t>& bytes)
    {
        path_ = (dir_ / "a.zip").string();
        test::write_file(path_, bytes);
        ASSERT_EQ(zip_.Get_Contents(path_), 0);
    }

    test::TempDir dir_;
    std::string path_;
    HeadlessWindow window_;
    ArchiveState state_{window_};
    Cls_Zip zip_{state_};
};

TEST_F(ZipFields, MethodTextsCoverTheTableAndEverythingElseIsUnknown)
{
    const std::vector<std::pair<uint16_t, std::string>> cases = {
        {0, "No Compression"},   {1, "Shrunk"},          {2, "Reduce Factor 1"}, {3, "Reduce Factor 2"},
        {4, "Reduce Factor 3"},  {5, "Reduce Factor 4"}, {6, "Imploded"},        {7, "Tokenized"},
        {8, "Deflated"},         {9, "Enhanced Deflating"}, {10, "PKWARE Imploding"}, {11, "Reserved"},
        {12, "BZip2"},           {13, "Unknown"},        {14, "LZMA"},           {93, "Zstandard"},
        {95, "XZ"},              {98, "PPMd"},           {97, "Unknown"},        {99, "Unknown"}, // AES without its extra field
        {0xFFFF, "Unknown"},     {0x8008, "Unknown"},
    };
    std::vector<ZipTestEntry> entries;
    for (const auto& [code, text] : cases)
        entries.push_back({.name = "m" + std::to_string(code), .data = "x", .method = code});
    load(test::build_zip(entries));
    ASSERT_EQ(zip_.FileCount(), static_cast<int32_t>(cases.size()));
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(zip_.Method(static_cast<int32_t>(i) + 1), cases[i].second) << "method " << cases[i].first;
}

TEST_F(ZipFields, HostSystemAndVersionTextsComeFromTheRightBytes)
{
    struct Case {
        uint16_t made_by, needed;
        const char *system_made, *version_made, *system_needed, *version_needed;
    };
    const std::vector<Case> cases = {
        {0x0314, 0x002D, "UNIX", "2.0", "MS-DOS and OS/2 (FAT / VFAT / FAT32 file systems)", "4.5"},
        {0xFF14, 0x0A3F, "UnKnown", "2.0", "Windows NTFS", "6.3"},
        {0x0200, 0x12FF, "2 - OpenVMS", "0.0", "OS/400", "25.5"},
        {0x1309, 0x0B0A, "UnKnown", "0.9", "MVS (OS/390 - Z/OS)", "1.0"},
        {0x0614, 0x1014, "OS/2 H.P.F.S.", "2.0", "BeOS", "2.0"},
    };
    std::vector<ZipTestEntry> entries;
    for (const Case& c : cases)
        entries.push_back({.name = "f", .data = "", .made_by = c.made_by, .needed = c.needed});
    load(test::build_zip(entries));
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto k = static_cast<int32_t>(i) + 1;
        EXPECT_EQ(zip_.SystemMadeBy(k), cases[i].system_made) << k;
        EXPECT_EQ(zip_.VersionMadeBy(k), cases[i].version_made) << k;
        EXPECT_EQ(zip_.SystemNeeded(k), cases[i].system_needed) << k;
        EXPECT_EQ(zip_.VersionNeeded(k), cases[i].version_needed) << k;
    }
}

TEST_F(ZipFields, SizesCrcDateAndFlagsKeepTheStoredBits)
{
    load(test::build_zip({
        {.name = "plain.txt", .data = "hello, world", .flags = 0x0800, .method = 8, .time = 0x6B4F, .date = 0x5A21},
        {.name = "locked.bin", .data = "0123456789ab", .flags = 0x0009, .time = 0, .date = 0,
         .crc = 0xDEADBEEF, .compressed_size = 0xFFFFFFFF, .uncompressed_size = 0x80000000},
    }));
    ASSERT_EQ(zip_.FileCount(), 2);
    EXPECT_EQ(zip_.Compressed_Size(1), 12);
    EXPECT_EQ(zip_.UnCompressed_Size(1), 12);
    EXPECT_EQ(static_cast<uint32_t>(zip_.CRC32(1)), test::crc_of("hello, world"));
    EXPECT_FALSE(zip_.Encrypted(1));
    EXPECT_EQ(zip_.FileDateTime(1), (DateTime{2025, 1, 1, 13, 26, 30}));

    EXPECT_EQ(static_cast<uint32_t>(zip_.CRC32(2)), 0xDEADBEEFu);
    // 64-bit sizes: 0xFFFFFFFF without a Zip64 field is taken as it stands.
    EXPECT_EQ(zip_.Compressed_Size(2), 0xFFFFFFFF);
    EXPECT_EQ(zip_.UnCompressed_Size(2), 0x80000000);
    EXPECT_TRUE(zip_.Encrypted(2));
    EXPECT_EQ(zip_.FileDateTime(2), rejected_dos_date_time);
}

TEST_F(ZipFields, FoldersNeedATrailingSlashAndNoStoredData)
{
    load(test::build_zip({
        {.name = "docs/", .data = ""},
        {.name = "docs/readme", .data = ""},
        {.name = "odd/", .data = "not empty"},
        {.name = "win\\", .data = ""},
    }));
    EXPECT_TRUE(zip_.IsDir(1));
    EXPECT_FALSE(zip_.IsDir(2));
    EXPECT_FALSE(zip_.IsDir(3));
    EXPECT_FALSE(zip_.IsDir(4));
}

TEST_F(ZipFields, BadIndicesGiveDefaultsWithoutAMessage)
{
    load(test::build_zip({{.name = "only", .data = "abc", .method = 8, .comment = "note"}}));
    ASSERT_EQ(zip_.FileCount(), 1);
    for (const int32_t k : {0, 2, -1, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(zip_.FileName(k), "") << k;
        EXPECT_EQ(zip_.CommentsFile(k), "") << k;
        EXPECT_EQ(zip_.Method(k), "") << k;
        EXPECT_EQ(zip_.CRC32(k), 0) << k;
        EXPECT_EQ(zip_.Compressed_Size(k), 0) << k;
        EXPECT_EQ(zip_.UnCompressed_Size(k), 0) << k;
        EXPECT_FALSE(zip_.Encrypted(k)) << k;
        EXPECT_FALSE(zip_.IsDir(k)) << k;
        EXPECT_TRUE(zip_.FileDateTime(k).is_zero()) << k;
        EXPECT_EQ(zip_.SystemMadeBy(k), "") << k;
        EXPECT_EQ(zip_.VersionNeeded(k), "") << k;
        EXPECT_EQ(zip_.entry(k), nullptr) << k;
    }
    EXPECT_EQ(zip_.CommentsFile(1), "note");
    // Another reader's archive in the shared state: nothing is answered.
    state_.PackFileType = format_code::none;
    EXPECT_EQ(zip_.FileName(1), "");
    EXPECT_TRUE(window_.messages.empty());
}

TEST_F(ZipFields, StoredRecordKeepsWhatExtractionNeeds)
{
    test::ZipTestLayout layout;
    const std::vector<ZipTestEntry> entries = {
        {.name = "a.txt", .data = "first", .external_attributes = 0x81ED0000, .extra = std::string("\x55\x54\x01\x00\x01", 5)},
        {.name = "b.txt", .data = "second entry", .made_by = 0x0B17, .flags = 0x0008, .method = 8, .time = 0x1234,
         .date = 0x4321, .external_attributes = 0x20},
    };
    load(test::build_zip(entries, {.leading = "JUNK"}, &layout));
    const ZipEntry* a = zip_.entry(1);
    const ZipEntry* b = zip_.entry(2);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(static_cast<uint32_t>(a->LocalHeaderOffset), layout.local_offsets[0]);
    EXPECT_EQ(static_cast<uint32_t>(b->LocalHeaderOffset), layout.local_offsets[1]);
    EXPECT_EQ(static_cast<uint32_t>(a->ExternalAttributes), 0x81ED0000u);
    EXPECT_EQ(a->extra_length, entries[0].extra.size());
    EXPECT_EQ(a->name_length, 5);
    EXPECT_EQ(static_cast<uint16_t>(b->VersionMadeBy), 0x0B17);
    EXPECT_EQ(b->Flags, 0x0008);
    EXPECT_EQ(b->Method, 8);
    EXPECT_EQ(b->FileTime, 0x1234);
    EXPECT_EQ(b->FileDate, 0x4321);
    EXPECT_EQ(b->CompressedSize, 12);
    EXPECT_EQ(b->ExternalAttributes, 0x20);
}

TEST_F(ZipFields, NamesDecodeAsUtf8OrCodePage437)
{
    const std::string utf8_name = "gr\xC3\xBC\xC3\x9F" "e.txt";       // "grüße.txt"
    const std::string oem_name = "\x81" "ber.txt";                       // cp437 0x81 = ü
    const std::string bad_utf8 = "\xFF\xFE.bin";
    load(test::build_zip({
        {.name = utf8_name, .data = "a"},
        {.name = oem_name, .data = "b", .comment = "\x84"},             // ä
        {.name = bad_utf8, .data = "c", .flags = 0x0800},
        {.name = bad_utf8, .data = "d"},
    }));
    EXPECT_EQ(zip_.FileName(1), utf8_name);
    EXPECT_EQ(zip_.FileName(2), "\xC3\xBC" "ber.txt");
    EXPECT_EQ(zip_.CommentsFile(2), "\xC3\xA4");
    // Bit 11 says the bytes are UTF-8: kept as stored.
    EXPECT_EQ(zip_.FileName(3), bad_utf8);
    EXPECT_EQ(zip_.FileName(4), "\xC2\xA0\xE2\x96\xA0.bin"); // no-break space and ■ of code page 437
    EXPECT_EQ(zip_.entry(4)->name_length, bad_utf8.size());
}

TEST_F(ZipFields, UnicodePathFieldIsUsedOnlyWhenItsCrcMatchesTheStoredName)
{
    const std::string stored = "\x84pfel.txt"; // cp437 "äpfel.txt"
    const std::string unicode = "\xC3\x84pfel.txt"; // "Äpfel.txt": differs from the cp437 reading
    const std::string other_block = std::string("\x55\x54\x05\x00\x01\x00\x00\x00\x00", 9);
    load(test::build_zip({
        {.name = stored, .data = "1", .extra = other_block + test::unicode_path_block(test::crc_of(stored), unicode)},
        {.name = stored, .data = "2", .extra = test::unicode_path_block(test::crc_of(stored) ^ 1, unicode)},
        // A block that claims more bytes than the field holds is ignored.
        {.name = stored, .data = "3",
         .extra = test::unicode_path_block(test::crc_of(stored), unicode).substr(0, 8)},
    }));
    EXPECT_EQ(zip_.FileName(1), unicode);
    EXPECT_EQ(zip_.FileName(2), "\xC3\xA4pfel.txt");
    EXPECT_EQ(zip_.FileName(3), "\xC3\xA4pfel.txt");
}

TEST_F(ZipFields, SharedStateDescribesTheLoadedArchive)
{
    state_.PackComments = "stale";
    load(test::build_zip({{.name = "x", .data = "1"}, {.name = "y", .data = "2"}}, {}));
    EXPECT_EQ(state_.PackFileType, format_code::zip);
    EXPECT_EQ(state_.PackTotFiles, 2);
    EXPECT_EQ(state_.PackFileName, path_);
    EXPECT_EQ(zip_.CommentsPack(), "");
    EXPECT_TRUE(zip_.CanUnpack());
    EXPECT_EQ(zip_.Pack(), 0);
}

TEST_F(ZipFields, UnPackRefusesASelectionThatDoesNotCoverTheEntries)
{
    load(test::build_zip({{.name = "x", .data = "1"}, {.name = "y", .data = "2"}}));
    std::string to = dir_.str();
    Selection too_short(2, true);
    EXPECT_EQ(zip_.UnPack(too_short, to), -10);
    Selection too_long(4, true);
    EXPECT_EQ(zip_.UnPack(too_long, to), -10);
}

} // namespace
} // namespace velmora

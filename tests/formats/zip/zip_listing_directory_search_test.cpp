// Guards how the ZIP reader finds and reads the central directory: the end
// record searched for behind any comment, the local-header walk for archives
// without one, and damaged or hostile files (no crash, no read past the data,
// no flood of message boxes, no archive reported loaded when it is not, no
// entries listed that the directory does not hold).
#include "formats/zip/Cls_Zip.h"
#include "formats/zip/zip_test_builder.h"

#include "archive/HeadlessWindow.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>

namespace velmora {
namespace {

using test::ZipTestEntry;

// The archive without its end record (and comment): only the walk over the
// local headers can find its directory then.
std::vector<uint8_t> without_end_record(std::vector<uint8_t> bytes, size_t comment_length = 0)
{
    bytes.resize(bytes.size() - 22 - comment_length);
    return bytes;
}

std::vector<ZipTestEntry> three_entries()
{
    return {
        {.name = "one.txt", .data = "first file"},
        {.name = "dir/", .data = ""},
        {.name = "dir/two.txt", .data = "the second file, a little longer", .method = 8},
    };
}

class ZipDirectorySearch : public ::testing::Test {
protected:
    void load(const std::vector<uint8_t>& bytes)
    {
        path_ = (dir_ / "a.zip").string();
        test::write_file(path_, bytes);
        ASSERT_EQ(zip_.Get_Contents(path_), 0);
    }
    size_t unknown_header_boxes() const
    {
        size_t n = 0;
        for (const auto& m : window_.messages) {
            EXPECT_EQ(m.text, "Unknown Zip Header.");
            EXPECT_EQ(m.title, "Error");
            EXPECT_EQ(m.icon, MessageIcon::information);
            ++n;
        }
        return n;
    }
    void expect_three_entries()
    {
        ASSERT_EQ(state_.PackFileType, format_code::zip);
        ASSERT_EQ(zip_.FileCount(), 3);
        EXPECT_EQ(zip_.FileName(1), "one.txt");
        EXPECT_EQ(zip_.FileName(2), "dir/");
        EXPECT_TRUE(zip_.IsDir(2));
        EXPECT_EQ(zip_.FileName(3), "dir/two.txt");
        EXPECT_EQ(zip_.Compressed_Size(3), 32);
        EXPECT_EQ(zip_.Method(3), "Deflated");
    }

    test::TempDir dir_;
    std::string path_;
    HeadlessWindow window_;
    ArchiveState state_{window_};
    Cls_Zip zip_{state_};
};

TEST_F(ZipDirectorySearch, EndRecordAtTheEndGivesCountAndDirectory)
{
    load(test::build_zip(three_entries()));
    expect_three_entries();
    EXPECT_EQ(zip_.CommentsPack(), "");
    EXPECT_TRUE(window_.messages.empty());
}

TEST_F(ZipDirectorySearch, DirectoryIsReadFromTheOffsetTheEndRecordGives)
{
    // Junk between the data and the directory: only the recorded offset finds it.
    load(test::build_zip(three_entries(), {.between = "0123456789"}));
    expect_three_entries();
}

TEST_F(ZipDirectorySearch, ArchiveCommentIsFoundBehindTheEndRecord)
{
    load(test::build_zip(three_entries(), {.archive_comment = "ten bytes!"}));
    expect_three_entries();
    EXPECT_EQ(zip_.CommentsPack(), "ten bytes!");
    EXPECT_TRUE(window_.messages.empty());
}

TEST_F(ZipDirectorySearch, WalkCountsLocalHeadersNotTheEndRecord)
{
    // The end record claims one entry (a count that wrapped at 16 bits, as
    // writers without Zip64 leave it); the directory holds three records,
    // and all three are listed.
    load(test::build_zip(three_entries(), {.archive_comment = "c", .disk_entries = 1}));
    expect_three_entries();
    // Without an end record the walk counts the three local headers.
    load(without_end_record(test::build_zip(three_entries())));
    expect_three_entries();
}

TEST_F(ZipDirectorySearch, WalkSkipsDataDescriptors)
{
    auto entries = three_entries();
    entries[0].data = "aaaa"; // zero sizes in the local header would land the walk in the data...
    entries[0].data_descriptor = true;
    entries[0].flags = 0x0008;
    // ...which, being 4 bytes here, resynchronises on the descriptor.
    load(without_end_record(test::build_zip(entries)));
    ASSERT_EQ(zip_.FileCount(), 3);
    EXPECT_EQ(zip_.FileName(3), "dir/two.txt");
    EXPECT_EQ(unknown_header_boxes(), 1u);
}

TEST_F(ZipDirectorySearch, UnknownHeadersShowOneBoxPerLoad)
{
    // 400 bytes of junk in front: a hundred unknown 4-byte values.
    const std::vector<uint8_t> bytes =
        without_end_record(test::build_zip(three_entries(), {.leading = std::string(400, 'J')}));
    load(bytes);
    expect_three_entries();
    EXPECT_EQ(unknown_header_boxes(), 1u);
    // A second load of the same file: one more box, not a hundred.
    ASSERT_EQ(zip_.Get_Contents(path_), 0);
    EXPECT_EQ(unknown_header_boxes(), 2u);
}

TEST_F(ZipDirectorySearch, WalkReachingTheEndWithoutCentralHeaderLoadsNothing)
{
    std::vector<uint8_t> bytes = test::build_zip(three_entries(), {.archive_comment = "comment"});
    test::ZipTestLayout layout;
    test::build_zip(three_entries(), {.archive_comment = "comment"}, &layout);
    bytes.resize(layout.central_offset); // local headers only
    bytes.insert(bytes.end(), 40, 'z');
    load(bytes);
    EXPECT_EQ(state_.PackFileType, format_code::none);
    EXPECT_EQ(zip_.FileName(1), "");
    EXPECT_EQ(unknown_header_boxes(), 1u);
}

TEST_F(ZipDirectorySearch, WalkWithHugeLengthsEndsAtTheEndOfTheFile)
{
    auto entries = three_entries();
    // A local size of 0xFFFFFFFF (the Zip64 marker) jumps past the end;
    // name and extra lengths of 0xFFFF must not make the walk go backwards.
    std::vector<uint8_t> bytes = without_end_record(test::build_zip(entries));
    bytes[18] = bytes[19] = bytes[20] = bytes[21] = 0xFF;
    load(bytes);
    EXPECT_EQ(state_.PackFileType, format_code::none);

    bytes = without_end_record(test::build_zip(entries));
    bytes[26] = bytes[27] = bytes[28] = bytes[29] = 0xFF;
    load(bytes);
    EXPECT_EQ(state_.PackFileType, format_code::none);
}

TEST_F(ZipDirectorySearch, EmptyArchivesLoadNothingAndLargeCountsListTheRecordsThere)
{
    load(test::build_zip({}));
    EXPECT_EQ(state_.PackFileType, format_code::none);

    // A count of 40,000 is read unsigned; the three records there are listed.
    load(test::build_zip(three_entries(), {.disk_entries = 40000}));
    expect_three_entries();
}

TEST_F(ZipDirectorySearch, ShortOrMissingFilesLoadNothing)
{
    std::vector<uint8_t> short_file(21, 0);
    short_file[0] = 'P';
    short_file[1] = 'K';
    short_file[2] = 5;
    short_file[3] = 6;
    load(short_file);
    EXPECT_EQ(state_.PackFileType, format_code::none);
    EXPECT_EQ(zip_.Get_Contents((dir_ / "missing.zip").string()), 0);
    EXPECT_EQ(state_.PackFileType, format_code::none);
    EXPECT_EQ(state_.PackFileName, (dir_ / "missing.zip").string());
    EXPECT_EQ(zip_.Get_Contents(dir_.str()), 0); // a folder
    EXPECT_EQ(state_.PackFileType, format_code::none);
}

TEST_F(ZipDirectorySearch, CountBeyondTheRecordsListsTheRecordsReallyThere)
{
    // The end record promises five entries; three records are there, then
    // the end record itself, which is no central header.
    load(test::build_zip(three_entries(), {.disk_entries = 5}));
    expect_three_entries();
    EXPECT_EQ(zip_.FileName(4), "");
}

TEST_F(ZipDirectorySearch, NameRunningPastTheEndEndsTheLoadAtThatEntry)
{
    test::ZipTestLayout layout;
    std::vector<uint8_t> bytes = test::build_zip(three_entries(), {}, &layout);
    // Entry 2's name length now reaches past the end of the file.
    const size_t nlen = layout.central_record_offsets[1] + 28;
    bytes[nlen] = 0xFF;
    bytes[nlen + 1] = 0xF0;
    load(bytes);
    ASSERT_EQ(state_.PackFileType, format_code::zip);
    EXPECT_EQ(zip_.FileCount(), 1);
    EXPECT_EQ(zip_.FileName(1), "one.txt");
    EXPECT_EQ(zip_.FileName(2), "");
}

TEST_F(ZipDirectorySearch, AnEndRecordThatNamesNoDirectoryIsPassedOverForTheWalk)
{
    load(test::build_zip(three_entries(), {.central_offset = 0x7FFFFFF0}));
    expect_three_entries();
}

TEST_F(ZipDirectorySearch, EveryTruncationAndByteFlipIsHandled)
{
    test::ZipTestLayout layout;
    const std::vector<uint8_t> whole = test::build_zip(three_entries(), {.archive_comment = "comment"}, &layout);
    for (size_t n = 0; n <= whole.size(); ++n) {
        const size_t boxes_before = window_.messages.size();
        load(std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n)));
        EXPECT_LE(window_.messages.size(), boxes_before + 1) << n;
        // Without the end record the walk finds the directory; the complete
        // records are listed, and nothing is loaded without one.
        int32_t complete = 0;
        for (size_t i = 0; i < 3; ++i) {
            const size_t record_end = i + 1 < 3 ? layout.central_record_offsets[i + 1] : layout.end_offset;
            complete += n >= record_end ? 1 : 0;
        }
        if (complete == 0) {
            EXPECT_EQ(state_.PackFileType, format_code::none) << n;
            continue;
        }
        ASSERT_EQ(state_.PackFileType, format_code::zip) << n;
        ASSERT_EQ(zip_.FileCount(), complete) << n;
        for (int32_t k = 1; k <= complete; ++k)
            EXPECT_EQ(zip_.FileName(k), three_entries()[static_cast<size_t>(k) - 1].name) << n << " entry " << k;
        const bool whole_comment = n == whole.size();
        EXPECT_EQ(zip_.CommentsPack(), whole_comment ? "comment" : "") << n;
    }
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> bytes = whole;
        for (int flips = 0; flips < 4; ++flips)
            bytes[rng() % bytes.size()] = static_cast<uint8_t>(rng());
        const size_t before = window_.messages.size();
        load(bytes);
        EXPECT_LE(window_.messages.size(), before + 1);
        for (int32_t k = 0; k <= zip_.FileCount() + 1; ++k) {
            (void)zip_.FileName(k);
            (void)zip_.Method(k);
            (void)zip_.FileDateTime(k);
        }
    }
}

TEST_F(ZipDirectorySearch, ALaterLoadReplacesTheEntries)
{
    load(test::build_zip(three_entries()));
    expect_three_entries();
    load(test::build_zip({{.name = "other", .data = "zz"}}));
    ASSERT_EQ(zip_.FileCount(), 1);
    EXPECT_EQ(zip_.FileName(1), "other");
    EXPECT_EQ(zip_.FileName(2), "");
    load(std::vector<uint8_t>(30, 0));
    EXPECT_EQ(state_.PackFileType, format_code::none);
    EXPECT_EQ(zip_.FileName(1), "");
}

} // namespace
} // namespace velmora

// Guards extraction against archives built to escape or exhaust: names that
// climb out of the output folder, absolute names, "\" separators and drive
// letters, symbolic links already in the output folder, truncated entries and
// declared sizes the stored bytes cannot produce. Nothing outside the output
// folder may change, and nothing may crash or allocate what the input cannot fill.
#include "formats/zip/zip_extract_support.h"
#include "formats/zip/zip_test_builder.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

using test::ZipTestEntry;
using Tree = std::map<std::string, std::string>;

// dir holds out/ (the output folder) and a sentinel file and folder beside it.
struct Sandbox {
    test::TempDir dir;
    Sandbox()
    {
        std::filesystem::create_directories(dir / "out");
        std::filesystem::create_directories(dir / "outside");
        test::write_file(dir / "outside" / "target.txt", std::string("keep"));
        test::write_file(dir / "escape.txt", std::string("keep"));
    }
    std::filesystem::path out() const { return dir / "out"; }
    // Everything except the output folder, as it must stay.
    Tree outside() const
    {
        Tree t = test::tree_of(dir.path());
        for (auto it = t.begin(); it != t.end();)
            it = (it->first.starts_with("out/") || it->first.ends_with(".zip")) ? t.erase(it) : std::next(it);
        return t;
    }
};

const Tree untouched = {{"escape.txt", "keep"}, {"outside/", ""}, {"outside/target.txt", "keep"}};

TEST(ZipExtractHostile, ClimbingNamesAreSkippedWithTheirMessage)
{
    Sandbox box;
    const std::vector<std::string> refused = {"../escape.txt", "a/../../escape.txt", "..\\escape.txt",
                                              "sub\\..\\..\\escape.txt", "../outside/", "C:..\\escape.txt",
                                              "/../escape.txt"};
    std::vector<ZipTestEntry> entries;
    for (const auto& n : refused)
        entries.push_back({.name = n, .data = n.ends_with("/") ? "" : "pwned"});
    entries.push_back({.name = "fine.txt", .data = "ok"});
    test::ZipExtraction x(test::save_zip(box.dir, "climb.zip", test::build_zip(entries)));
    EXPECT_EQ(x.unpack(box.out()), 0);

    ASSERT_EQ(x.window.messages.size(), refused.size());
    for (size_t i = 0; i < refused.size(); ++i) {
        EXPECT_EQ(x.window.messages[i].text, "Unsafe path skipped: " + refused[i]);
        EXPECT_EQ(x.window.messages[i].title, "Error");
        EXPECT_EQ(x.window.messages[i].icon, MessageIcon::information);
    }
    EXPECT_EQ(box.outside(), untouched);
    EXPECT_EQ(test::tree_of(box.out()), (Tree{{"fine.txt", "ok"}}));
}

TEST(ZipExtractHostile, AbsoluteBackslashAndDriveNamesLandInsideTheFolder)
{
    Sandbox box;
    const std::string abs_target = (box.dir / "outside" / "target.txt").string();
    test::ZipExtraction x(test::save_zip(
        box.dir, "abs.zip",
        test::build_zip({{.name = abs_target, .data = "abs"},
                         {.name = "C:\\Windows\\win.ini", .data = "drive"},
                         {.name = "d:/x/./y.txt", .data = "drive2"},
                         {.name = "docs\\sub\\note.txt", .data = "back"},
                         {.name = "\\\\server\\share\\f.txt", .data = "unc"}})));
    EXPECT_EQ(x.unpack(box.out()), 0);
    EXPECT_TRUE(x.window.messages.empty());
    EXPECT_EQ(box.outside(), untouched);
    const std::string abs_rel = abs_target.substr(1);
    EXPECT_EQ(test::file_text(box.out() / abs_rel), "abs");
    EXPECT_EQ(test::file_text(box.out() / "Windows" / "win.ini"), "drive");
    EXPECT_EQ(test::file_text(box.out() / "x" / "y.txt"), "drive2");
    EXPECT_EQ(test::file_text(box.out() / "docs" / "sub" / "note.txt"), "back");
    EXPECT_EQ(test::file_text(box.out() / "server" / "share" / "f.txt"), "unc");
}

TEST(ZipExtractHostile, SymbolicLinksInTheOutputFolderAreNotFollowed)
{
    Sandbox box;
    std::filesystem::create_directory_symlink(box.dir / "outside", box.out() / "dirlink");
    std::filesystem::create_symlink(box.dir / "outside" / "target.txt", box.out() / "filelink");
    test::ZipExtraction x(test::save_zip(
        box.dir, "links.zip",
        test::build_zip({{.name = "dirlink/target.txt", .data = "pwned"},
                         {.name = "dirlink/new.txt", .data = "pwned"},
                         {.name = "dirlink/"},
                         {.name = "filelink", .data = "replaced"}})));
    EXPECT_EQ(x.unpack(box.out()), 0);
    EXPECT_EQ(box.outside(), untouched);
    // The two files under the link cannot be written; the file link itself
    // is replaced by the entry, its target left alone.
    EXPECT_EQ(x.message_texts(), (std::vector<std::string>{"Error writing zip file", "Error writing zip file"}));
    EXPECT_TRUE(std::filesystem::is_symlink(box.out() / "dirlink"));
    EXPECT_FALSE(std::filesystem::is_symlink(box.out() / "filelink"));
    EXPECT_EQ(test::file_text(box.out() / "filelink"), "replaced");
}

TEST(ZipExtractHostile, TruncatedEntriesEndWithTheSizeMessage)
{
    Sandbox box;
    const std::string text(5000, 'q');
    std::string stream = test::raw_deflate(text);
    // Sizes past the end of the archive: stored and deflated.
    const std::vector<ZipTestEntry> entries = {
        {.name = "ok1.txt", .data = "first"},
        {.name = "cut.bin", .data = "short", .compressed_size = 1u << 30, .uncompressed_size = 1u << 30},
        {.name = "cut.def", .data = stream, .method = 8, .crc = test::crc_of(text), .compressed_size = 0x7FFFFFF0u,
         .uncompressed_size = 5000},
        // An encrypted entry without room for its 12-byte header.
        {.name = "enc.bin", .data = "tiny", .flags = 1},
        {.name = "ok2.txt", .data = "last"},
    };
    test::ZipExtraction x(test::save_zip(box.dir, "trunc.zip", test::build_zip(entries)));
    EXPECT_EQ(x.unpack(box.out()), 0);
    EXPECT_EQ(x.message_texts(), (std::vector<std::string>{"Error in decompressed size.", "Error in decompressed size.",
                                                           "Error in decompressed size."}));
    EXPECT_TRUE(x.window.questions.empty()); // no password asked for a damaged entry
    EXPECT_EQ(test::tree_of(box.out()), (Tree{{"ok1.txt", "first"}, {"ok2.txt", "last"}}));

    // The archive itself cut short inside an entry's data.
    test::ZipTestLayout lay;
    const auto bytes = test::build_zip({{.name = "big.txt", .data = std::string(4000, 'b')}}, {}, &lay);
    std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + 1000);
    std::vector<uint8_t> tail(bytes.begin() + lay.central_offset, bytes.end());
    cut.insert(cut.end(), tail.begin(), tail.end());
    // The central directory now starts at 1000: patch the end record's offset.
    const size_t end = cut.size() - 22;
    cut[end + 16] = 1000 & 0xFF;
    cut[end + 17] = 1000 >> 8;
    cut[end + 18] = cut[end + 19] = 0;
    test::ZipExtraction y(test::save_zip(box.dir, "cut.zip", cut));
    ASSERT_EQ(y.files.FileCount(), 1);
    EXPECT_EQ(y.unpack(box.dir / "out2"), 0);
    EXPECT_EQ(y.message_texts(), (std::vector<std::string>{"Error in decompressed size."}));
    EXPECT_TRUE(test::tree_of(box.dir / "out2").empty());
}

TEST(ZipExtractHostile, OversizedDeclaredSizesAreNotAllocated)
{
    Sandbox box;
    const std::string text = "a few real bytes\n";
    const std::vector<ZipTestEntry> entries = {
        // Deflate: output grows with what the stream really gives.
        {.name = "inflate.txt", .data = test::raw_deflate(text), .method = 8, .crc = test::crc_of(text),
         .uncompressed_size = 0x7FFFFFF0u},
        // Reduce would expand zero bits read past the end: refused up front.
        {.name = "reduce.txt", .data = std::string(40, '\0'), .method = 5, .uncompressed_size = 0x7FFFFFF0u},
        // A stored entry whose declared size its data does not reach: the
        // bytes there are kept (no file of that name existed) with the message.
        {.name = "huge.txt", .data = "x", .uncompressed_size = 0xFFFFFFF0u},
        {.name = "after.txt", .data = "still here"},
    };
    test::ZipExtraction x(test::save_zip(box.dir, "big.zip", test::build_zip(entries)));
    EXPECT_EQ(x.unpack(box.out()), 0);
    EXPECT_EQ(x.message_texts(), (std::vector<std::string>{"Error in decompressed size.", "Error in decompressed size.",
                                                           "Error in decompressed size."}));
    EXPECT_EQ(test::tree_of(box.out()), (Tree{{"inflate.txt", text}, {"huge.txt", "x"}, {"after.txt", "still here"}}));
    EXPECT_EQ(box.outside(), untouched);
}

TEST(ZipExtractHostile, CorpusDeflate64ClaimingAGigabyte)
{
    if (!test::corpus_available())
        GTEST_SKIP() << "corpus not present";
    // Claims 1,258,686,016 bytes from 394,571 stored ones that the file does not hold.
    Sandbox box;
    test::ZipExtraction x(test::corpus_dir() / "zip-legacy" / "raw_deflate64_index_out_of_bounds.zip");
    if (x.files.FileCount() < 1)
        GTEST_SKIP() << "not loaded";
    EXPECT_EQ(x.unpack(box.out()), 0);
    EXPECT_FALSE(x.window.messages.empty());
    EXPECT_EQ(box.outside(), untouched);
}

} // namespace
} // namespace velmora

// Guards against LZH headers read in the wrong layout (level-2 sizes, times and
// extended-header names), end-of-walk tests that accept too much or too little,
// and wrong method texts, folder flags, CRC widening or fixed texts.
#include "formats/catalogue/Cls_LZH.h"
#include "lzh_builder.h"

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;
using namespace velmora::test::arj_lzh;

namespace {

LzhEntry named(const std::string& name, const std::string& method = "lh5")
{
    LzhEntry e;
    e.name = name;
    e.method = method;
    return e;
}

TEST(LzhListingRules, HeaderSizeBelow24EndsTheWalk)
{
    TempDir dir;
    // A one-character name makes a classic header of size 23: taken as the end.
    Listing l = list_bytes(dir, lzh_archive({named("a"), named("bb")}).bytes, "x.lzh");
    EXPECT_EQ(l.type, 0);
    l = list_bytes(dir, lzh_archive({named("bb"), named("a"), named("cc")}).bytes, "x.lzh");
    EXPECT_EQ(l.type, 5);
    ASSERT_EQ(l.count, 1);
    EXPECT_EQ(l.entries[0].name, "bb");
}

TEST(LzhListingRules, MethodCodesAndTheirTexts)
{
    const std::vector<std::pair<std::string, std::string>> methods = {
        {"lzs", "LZSS with 2kb window"},
        {"lz4", "no compression"},
        {"lz5", "LZSS with 4kb window"},
        {"lhd", "no compression (this is a directory, not a file!)"},
        {"lh0", "no compression (could be a directory or a file)"},
        {"lh1", "LZH with 4kb window, dynamic Huffman"},
        {"lh2", "LZH with 8kb window, dynamic Huffman"},
        {"lh3", "LZH with 8kb window, static Huffman"},
        {"lh4", "LZH with 4kb window, static canonical Huffman"},
        {"lh5", "LZH with 8kb window, static canonical Huffman"},
        {"lh6", "LZH with 32kb window, static canonical Huffman"},
        {"lh7", "LZH with 64kb window, static canonical Huffman"},
        {"lhx", "Unknown"},
        {"lH5", "Unknown"},
    };
    std::vector<LzhEntry> entries;
    for (const auto& m : methods)
        entries.push_back(named("n-" + m.first, m.first));
    TempDir dir;
    const Listing l = list_bytes(dir, lzh_archive(entries).bytes, "m.lzh");
    ASSERT_EQ(l.count, static_cast<int32_t>(methods.size()));
    for (size_t i = 0; i < methods.size(); ++i)
        EXPECT_EQ(l.entries[i].method, methods[i].second) << methods[i].first;

    // Codes that do not start with a lower-case L end the walk.
    for (const std::string bad : {"pm0", "LH5", "Lh5"}) {
        const Listing stop = list_bytes(dir, lzh_archive({named("aa"), named("bb", bad)}).bytes, "m.lzh");
        EXPECT_EQ(stop.count, 1) << bad;
    }
}

TEST(LzhListingRules, FoldersCrcAndFixedTexts)
{
    std::vector<LzhEntry> entries = {named("dir", "lhd"), named("x/", "lh0"), named("x\\", "lh0"),
                                     named("y/", "lh5"), named("z/", "lh0")};
    entries[4].original = 1;
    entries[0].crc = 0xFFFF;
    entries[1].crc = 0x8000;
    entries[2].crc = 0x7FFF;
    TempDir dir;
    write_file(dir / "f.lzh", lzh_archive(entries).bytes);
    const Listing l = list_file(dir / "f.lzh");
    ASSERT_EQ(l.count, 5);
    EXPECT_TRUE(l.entries[0].dir);
    EXPECT_TRUE(l.entries[1].dir);
    EXPECT_FALSE(l.entries[2].dir);
    EXPECT_TRUE(l.entries[3].dir);
    EXPECT_FALSE(l.entries[4].dir);
    EXPECT_EQ(l.entries[0].crc, -1);
    EXPECT_EQ(l.entries[1].crc, -32768);
    EXPECT_EQ(l.entries[2].crc, 0x7FFF);

    HeadlessWindow window;
    ArchiveState state(window);
    Cls_LZH lzh(state);
    lzh.Get_Contents((dir / "f.lzh").string());
    EXPECT_EQ(state.PackFileType, 5);
    EXPECT_EQ(lzh.FileCount(), 0);  // no FileCount of its own
    EXPECT_EQ(lzh.SystemMadeBy(0), "UnKnown");
    EXPECT_EQ(lzh.VersionMadeBy(99), "UnKnown");
    EXPECT_EQ(lzh.SystemNeeded(1), "UnKnown");
    EXPECT_EQ(lzh.VersionNeeded(-4), "UnKnown");
    EXPECT_EQ(lzh.CommentsFile(0), "");
    EXPECT_EQ(lzh.CommentsFile(6), "");
    EXPECT_EQ(lzh.CommentsFile(1), "Not Supported");
    EXPECT_EQ(lzh.CommentsPack(), "");
    EXPECT_FALSE(lzh.Encrypted(1));
    EXPECT_EQ(lzh.FileName(-1), "");
    EXPECT_EQ(lzh.Compressed_Size(6), 0);
}

TEST(LzhListingRules, ManyEntriesAreAllListed)
{
    std::vector<LzhEntry> entries;
    for (int i = 0; i < 150; ++i) {
        entries.push_back(named("file" + std::to_string(i)));
        entries.back().packed = static_cast<uint32_t>(i);
    }
    TempDir dir;
    const Listing l = list_bytes(dir, lzh_archive(entries).bytes, "many.LzH");
    ASSERT_EQ(l.count, 150);
    EXPECT_EQ(l.entries[149].name, "file149");
    EXPECT_EQ(l.entries[149].packed, 149);
}

TEST(LzhListingRules, LevelTwoHeadersInTheirOwnLayout)
{
    LzhEntry folder;
    folder.level = 2;
    folder.method = "lhd";
    folder.stamp = 1614834368;  // 2021-03-04 05:06:08 UTC
    folder.ext = {{0x01, ""}, {0x02, "top\xFFsub\xFF"}};
    LzhEntry file = folder;
    file.method = "lh5";
    file.packed = 40;
    file.original = 90;
    file.crc = 0xABCD;
    file.stamp = 1000;  // before 1980: the first DOS date
    // An unknown extended header and a folder without a closing separator;
    // the padding makes the low byte of the header size less than 24.
    file.ext = {{0x41, std::string(226, 'p')}, {0x01, "name.txt"}, {0x02, "one"}};
    LzhEntry classic = named("after");
    const LzhBytes b = lzh_archive({folder, file, classic});
    ASSERT_LT(b.bytes[b.header_ends[0]], 24);

    TempDir dir;
    const Listing l = list_bytes(dir, b.bytes, "two.lzh");
    ASSERT_EQ(l.count, 3);
    EXPECT_EQ(l.entries[0].name, "top/sub/");
    EXPECT_TRUE(l.entries[0].dir);
    EXPECT_EQ(l.entries[0].when.to_string(), "2021-03-04 05:06:08");
    EXPECT_EQ(l.entries[1].name, "one/name.txt");
    EXPECT_EQ(l.entries[1].packed, 40);
    EXPECT_EQ(l.entries[1].size, 90);
    EXPECT_EQ(l.entries[1].crc, static_cast<int16_t>(0xABCD));
    EXPECT_EQ(l.entries[1].when.to_string(), "1980-01-01 00:00:00");
    EXPECT_EQ(l.entries[2].name, "after");
}

TEST(LzhListingRules, LevelOneFoldersComeFromExtendedHeaders)
{
    // The folder in extended header 0x02 goes in front of the base name (an
    // extracted tree would otherwise collapse into one folder), and the packed
    // size counts the extended headers, as stored.
    LzhEntry e = named("base.txt");
    e.level = 1;
    e.packed = 30;
    e.ext = {{0x02, "dir\xFF"}, {0x00, "xx"}};
    const LzhBytes b = lzh_archive({e, named("next")});
    TempDir dir;
    const Listing l = list_bytes(dir, b.bytes, "one.lzh");
    ASSERT_EQ(l.count, 2);
    EXPECT_EQ(l.entries[0].name, "dir/base.txt");
    EXPECT_EQ(l.entries[0].packed, 30 + 7 + 5);
    EXPECT_EQ(l.entries[1].name, "next");
}

TEST(LzhListingRules, NameDecidesFirstThenTheSignature)
{
    TempDir dir;
    const std::vector<uint8_t> lzh = lzh_archive({named("aa")}).bytes;
    EXPECT_EQ(list_bytes(dir, lzh, "a.lha").type, 5);
    EXPECT_EQ(list_bytes(dir, lzh, "a.LZH").type, 5);
    const Listing other = list_bytes(dir, lzh, "a.lzs");
    EXPECT_EQ(other.result, -2);
    EXPECT_EQ(other.type, 0);

    // An ARJ archive named .lzh: the LZH reader declines, the signature picks ARJ.
    std::vector<uint8_t> arj;
    put16(arj, 0xEA60);
    put16(arj, 0);
    put32(arj, 0);
    put16(arj, 0);
    put16(arj, 0xEA60);
    put16(arj, 0);
    EXPECT_EQ(list_bytes(dir, arj, "arj.lzh").type, 4);
}

} // namespace

namespace {

// UTF-16LE bytes of an ASCII text, LHA's 0xFFFF standing for "/".
std::string utf16(const std::string& ascii)
{
    std::string out;
    for (const char c : ascii) {
        out.push_back(c == '/' ? '\xFF' : c);
        out.push_back(c == '/' ? '\xFF' : '\0');
    }
    return out;
}

} // namespace

TEST(LzhListingRules, NamesAndCommentsExtractionNeeds)
{
    // Each case is one entry followed by a plain one that must still list.
    struct name_case {
        const char* what;
        LzhEntry entry;
        std::string name, comment;
    };
    const auto entry = [](uint8_t level, std::string base, std::vector<LzhExt> ext) {
        LzhEntry e = named(std::move(base));
        e.level = level;
        e.ext = std::move(ext);
        return e;
    };
    const std::string umlaut = "\xC3\xBC"; // U+00FC in UTF-8
    const std::vector<name_case> cases = {
        {"Amiga comment, level 0", entry(0, std::string("file.txt\0a comment", 18), {}), "file.txt", "a comment"},
        {"Amiga comment, level 1", entry(1, std::string("f.txt\0note", 10), {{0x02, "dir\xFF"}}), "dir/f.txt", "note"},
        {"level-1 name header", entry(1, "BASE.TXT", {{0x01, "long name.txt"}, {0x02, "a\xFF" "b\xFF"}}),
         "a/b/long name.txt", "Not Supported"},
        {"UTF-16 name and folder win", entry(2, "", {{0x01, "x.txt"}, {0x44, utf16("y.txt")}, {0x45, utf16("d/e/")}}),
         "d/e/y.txt", "Not Supported"},
        {"UTF-16 beyond ASCII, level 1", entry(1, "f", {{0x44, std::string("\xFC\0.\0t\0", 6)}}), umlaut + ".t",
         "Not Supported"},
        {"comment header", entry(2, "", {{0x01, "c.txt"}, {0x3F, std::string("said so\0", 8)}}), "c.txt", "said so"},
    };
    TempDir dir;
    for (const name_case& c : cases) {
        SCOPED_TRACE(c.what);
        const Listing l = list_bytes(dir, lzh_archive({c.entry, named("next")}).bytes, "n.lzh");
        ASSERT_EQ(l.count, 2);
        EXPECT_EQ(l.entries[0].name, c.name);
        EXPECT_EQ(l.entries[0].comment, c.comment);
        EXPECT_EQ(l.entries[1].name, "next");
    }
}

// Guards the RAR walk against losing its place between blocks (HEAD_SIZE with
// extended time, high sizes, Unicode names, comments inside headers) and
// against wrong property texts for the entries it finds.
#include "listing_snapshot.h"

#include "archive/Cls_GetFileType.h"
#include "formats/catalogue/Cls_Rar.h"

#include <gtest/gtest.h>

#include <optional>

namespace velmora::test {
namespace {

Bytes marker()
{
    return Bytes{}.u8(0x52).u8(0x61).u8(0x72).u8(0x21).u8(0x1A).u8(0x07).u8(0x00);
}

// Main header; body is what follows the six reserved bytes inside HEAD_SIZE.
Bytes main_header(uint16_t flags, const Bytes& body = {}, std::optional<uint16_t> head_size = {})
{
    const auto size = head_size.value_or(static_cast<uint16_t>(13 + body.size()));
    return Bytes{}.le16(0x90CF).u8(0x73).le16(flags).le16(size).le16(0).le32(0).append(body);
}

struct FileSpec {
    uint16_t flags = 0x8000;
    uint32_t pack = 0;
    uint32_t unp = 0;
    uint8_t host = 0;
    uint32_t crc = 0;
    uint32_t ftime = 0;
    uint8_t ver = 20;
    uint8_t method = 0x30;
    std::string name = "file.txt";
    uint32_t attr = 0x20;
    Bytes high;        // HIGH_PACK_SIZE, HIGH_UNP_SIZE
    Bytes after_name;  // extended time, salt, comment text...
    std::optional<uint16_t> head_size;
    size_t data = 0;   // bytes of packed data written after the header
};

Bytes file_block(const FileSpec& f)
{
    const auto size = f.head_size.value_or(
        static_cast<uint16_t>(32 + f.high.size() + f.name.size() + f.after_name.size()));
    Bytes b;
    b.le16(0x1234).u8(0x74).le16(f.flags).le16(size);
    b.le32(f.pack).le32(f.unp).u8(f.host).le32(f.crc).le32(f.ftime).u8(f.ver).u8(f.method);
    b.le16(static_cast<unsigned>(f.name.size())).le32(f.attr);
    b.append(f.high).text(f.name).append(f.after_name);
    for (size_t i = 0; i < f.data; ++i)
        b.u8(0xA5);
    return b;
}

Bytes block(uint8_t type, uint16_t flags, const Bytes& body, std::optional<uint16_t> head_size = {})
{
    const auto size = head_size.value_or(static_cast<uint16_t>(7 + body.size()));
    return Bytes{}.le16(0).u8(type).le16(flags).le16(size).append(body);
}

constexpr uint32_t ftime(unsigned y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s)
{
    const uint32_t date = ((y - 1980) << 9) | (mo << 5) | d;
    const uint32_t time = (h << 11) | (mi << 5) | (s / 2);
    return (date << 16) | time;
}

TEST(RarBlockLayout, MarkerAloneIsAnEmptyArchiveAndOtherStartsAreRejected)
{
    TempDir dir;
    auto only = list_bytes(dir, "only.rar", marker().b);
    EXPECT_EQ(only.result, 0);
    EXPECT_EQ(only.type, 6);
    EXPECT_EQ(only.count, 0);

    auto bad = marker();
    bad.b[6] = 0x01; // a RAR5 marker continues 0x01 0x00
    auto rejected = list_bytes(dir, "rar5.rar", bad.b);
    EXPECT_EQ(rejected.result, 0);
    EXPECT_EQ(rejected.type, 0);
    EXPECT_EQ(rejected.count, 0);

    auto shorter = list_bytes(dir, "short.rar", {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07});
    EXPECT_EQ(shorter.type, 0);
}

// A WinRAR 3.x-style archive: extended time after every name, a directory, an
// encrypted entry, a file comment, sub blocks between the files and an end
// block.
Bytes typical_archive()
{
    Bytes a = marker();
    a.append(main_header(0x0000));
    FileSpec f1;
    f1.name = "docs\\readme.txt";
    f1.pack = 11;
    f1.unp = 25;
    f1.host = 2;
    f1.crc = 0xBEC8A242;
    f1.ftime = ftime(2011, 6, 26, 14, 53, 46);
    f1.ver = 29;
    f1.method = 0x33;
    f1.after_name = Bytes{}.le16(0xF000).u8(1).u8(2).u8(3).u8(4).u8(5).u8(6).u8(7).u8(8); // ext time
    f1.data = 11;
    a.append(file_block(f1));
    // Old-style comment block, extra info block and sub block, each stepped
    // over by its HEAD_SIZE.
    a.append(block(0x75, 0, Bytes{}.le16(5).u8(15).u8(0x30).le16(0).text("hello")));
    a.append(block(0x76, 0, Bytes{}.text("extra")));
    a.append(block(0x77, 0, Bytes{}.le32(0).le16(0x100).u8(0).text("sub")));
    FileSpec dirent;
    dirent.name = "docs";
    dirent.flags = 0x8000 | 0x00E0;
    dirent.host = 3;
    dirent.ftime = ftime(2011, 6, 26, 14, 59, 6);
    dirent.attr = 0x41ED;
    a.append(file_block(dirent));
    FileSpec secret;
    secret.name = "secret.bin";
    secret.flags = 0x8000 | 0x0004 | 0x0400;
    secret.pack = 32;
    secret.unp = 18;
    secret.host = 1;
    secret.crc = 0x0000FFFF;
    secret.ver = 15;
    secret.method = 0x35;
    secret.after_name = Bytes{}.le32(0x11223344).le32(0x55667788); // salt
    secret.data = 32;
    a.append(file_block(secret));
    FileSpec noted;
    noted.name = "noted.txt";
    noted.flags = 0x8000 | 0x0002;
    noted.pack = 3;
    noted.unp = 3;
    noted.host = 0;
    noted.method = 0x31;
    noted.after_name = Bytes{}.text("a note").u8(0).text("xx");
    noted.data = 3;
    a.append(file_block(noted));
    a.append(block(0x7B, 0x4000, {}));
    return a;
}

TEST(RarBlockLayout, ListsEveryFileHeaderWithThePropertyTexts)
{
    TempDir dir;
    auto s = list_bytes(dir, "typical.rar", typical_archive().b);
    ASSERT_EQ(s.type, 6);
    ASSERT_EQ(s.count, 4);
    EXPECT_EQ(s.comment, "");

    const auto& f = s.entries[0];
    EXPECT_EQ(f.name, "docs\\readme.txt");
    EXPECT_EQ(f.method, "Normal");
    EXPECT_EQ(f.packed, 11);
    EXPECT_EQ(f.size, 25);
    EXPECT_EQ(static_cast<uint32_t>(f.crc), 0xBEC8A242u);
    EXPECT_EQ(f.when, (DateTime{2011, 6, 26, 14, 53, 46}));
    EXPECT_EQ(f.system_made_by, "Win32");
    EXPECT_EQ(f.version_made_by, "Unknown");
    EXPECT_EQ(f.system_needed, "Unknown");
    EXPECT_EQ(f.version_needed, "2.9");
    EXPECT_FALSE(f.dir);
    EXPECT_FALSE(f.encrypted);
    EXPECT_EQ(f.comment, "");

    const auto& d = s.entries[1];
    EXPECT_EQ(d.name, "docs");
    EXPECT_TRUE(d.dir);
    EXPECT_EQ(d.method, "No Compression");
    EXPECT_EQ(d.system_made_by, "UNIX");
    EXPECT_EQ(d.version_needed, "2.0");

    const auto& e = s.entries[2];
    EXPECT_EQ(e.name, "secret.bin");
    EXPECT_TRUE(e.encrypted);
    EXPECT_FALSE(e.dir);
    EXPECT_EQ(e.method, "Maximum");
    EXPECT_EQ(e.system_made_by, "OS/2");
    EXPECT_EQ(e.version_needed, "1.5");
    EXPECT_EQ(e.crc, 0xFFFF);
    EXPECT_EQ(e.packed, 32);

    const auto& n = s.entries[3];
    EXPECT_EQ(n.name, "noted.txt");
    EXPECT_EQ(n.comment, "a note");
    EXPECT_EQ(n.method, "Fastest");
    EXPECT_EQ(n.system_made_by, "MS-DOS");
}

TEST(RarBlockLayout, OtherCodesGiveTheUnknownTexts)
{
    TempDir dir;
    Bytes a = marker();
    FileSpec f;
    f.method = 54;
    f.host = 5;
    f.ver = 0;
    f.flags = 0x8000 | 0x00E0 | 0x0004;
    a.append(file_block(f));
    FileSpec g;
    g.name = "two";
    g.method = 0x32;
    g.ver = 36;
    g.flags = 0x8000 | 0x00C0; // not all dictionary bits: a file
    a.append(file_block(g));
    auto s = list_bytes(dir, "codes.rar", a.b);
    ASSERT_EQ(s.count, 2);
    EXPECT_EQ(s.entries[0].method, "Unknown");
    EXPECT_EQ(s.entries[0].system_made_by, "unKnown");
    EXPECT_EQ(s.entries[0].version_needed, "0.0");
    EXPECT_TRUE(s.entries[0].dir);
    EXPECT_TRUE(s.entries[0].encrypted);
    EXPECT_EQ(s.entries[1].method, "Fast");
    EXPECT_EQ(s.entries[1].version_needed, "3.6");
    EXPECT_FALSE(s.entries[1].dir);
    EXPECT_FALSE(s.entries[1].encrypted);
}

TEST(RarBlockLayout, MainHeaderCommentIsTheTextInsideTheHeader)
{
    TempDir dir;
    FileSpec f;
    f.name = "after.txt";
    {
        Bytes a = marker();
        a.append(main_header(0x0002, Bytes{}.text("Archive note").u8(0)));
        a.append(file_block(f));
        auto s = list_bytes(dir, "comment.rar", a.b);
        EXPECT_EQ(s.comment, "Archive note");
        ASSERT_EQ(s.count, 1);
        EXPECT_EQ(s.entries[0].name, "after.txt");
    }
    {
        // RAR 2.x: the comment is a comment block inside the main header. The
        // text is read up to its first zero; the next block starts HEAD_SIZE
        // bytes after the main header's start, not inside the comment block.
        Bytes inner = block(0x75, 0, Bytes{}.le16(9).u8(20).u8(0x30).le16(0x4142).text("packed..."));
        inner.b[0] = 'C';
        inner.b[1] = 'm';
        Bytes a = marker();
        a.append(main_header(0x0002, inner));
        a.append(file_block(f));
        auto s = list_bytes(dir, "comment20.rar", a.b);
        EXPECT_EQ(s.comment, "Cmu");
        ASSERT_EQ(s.count, 1);
        EXPECT_EQ(s.entries[0].name, "after.txt");
    }
    {
        // No zero inside the header: the text stops at the header's end.
        Bytes a = marker();
        a.append(main_header(0x0002, Bytes{}.text("unterminated")));
        a.append(file_block(f));
        auto s = list_bytes(dir, "comment-nozero.rar", a.b);
        EXPECT_EQ(s.comment, "unterminated");
        ASSERT_EQ(s.count, 1);
        EXPECT_EQ(s.entries[0].name, "after.txt");
    }
    {
        // Without flag 0x0002 the same bytes are no comment.
        Bytes a = marker();
        a.append(main_header(0x0000, Bytes{}.text("not a comment").u8(0)));
        a.append(file_block(f));
        auto s = list_bytes(dir, "no-comment.rar", a.b);
        EXPECT_EQ(s.comment, "");
        ASSERT_EQ(s.count, 1);
    }
}

TEST(RarBlockLayout, FileHeaderTextStaysInsideHeadSize)
{
    TempDir dir;
    FileSpec a1;
    a1.name = "one";
    a1.flags = 0x8000 | 0x0002;
    a1.after_name = Bytes{}.text("abc"); // no zero before the header's end
    a1.pack = 4;
    a1.data = 4;
    FileSpec a2;
    a2.name = "two";
    Bytes a = marker();
    a.append(file_block(a1)).append(file_block(a2));
    auto s = list_bytes(dir, "filetext.rar", a.b);
    ASSERT_EQ(s.count, 2);
    EXPECT_EQ(s.entries[0].comment, "abc");
    EXPECT_EQ(s.entries[1].name, "two");
    EXPECT_EQ(s.entries[1].comment, "");
}

TEST(RarBlockLayout, HighSizesBeforeTheNameAreSkipped)
{
    TempDir dir;
    FileSpec big;
    big.name = "big.iso";
    big.flags = 0x8000 | 0x0100;
    big.pack = 6;
    big.unp = 0x10;
    big.high = Bytes{}.le32(0).le32(1);
    big.data = 6;
    FileSpec next;
    next.name = "next.txt";
    Bytes a = marker();
    a.append(file_block(big)).append(file_block(next));
    auto s = list_bytes(dir, "large.rar", a.b);
    ASSERT_EQ(s.count, 2);
    EXPECT_EQ(s.entries[0].name, "big.iso");
    EXPECT_EQ(s.entries[0].packed, 6);
    EXPECT_EQ(s.entries[0].size, 0x10); // the low 32 bits
    EXPECT_EQ(s.entries[1].name, "next.txt");

    // Packed data of 4 GiB or more lies past the end of any file listed here:
    // the entry is listed and the walk ends.
    big.high = Bytes{}.le32(2).le32(2);
    Bytes b = marker();
    b.append(file_block(big)).append(file_block(next));
    auto t = list_bytes(dir, "huge.rar", b.b);
    ASSERT_EQ(t.count, 1);
    EXPECT_EQ(t.entries[0].name, "big.iso");
}

TEST(RarBlockLayout, UnicodeNamesAreDecodedFromTheirPackedForm)
{
    TempDir dir;
    auto with_name = [](Bytes field) {
        FileSpec f;
        f.flags = 0x8000 | 0x0200;
        f.name.assign(field.b.begin(), field.b.end());
        return file_block(f);
    };
    Bytes a = marker();
    // "Ω.txt": high byte 0x03; opcode 1 (0xA9 in page 3), then four opcode 0.
    a.append(with_name(Bytes{}.text("?.txt").u8(0).u8(0x03).u8(0x40).u8(0xA9).text(".tx").u8(0x00).text("t")));
    // Opcode 3 copies "report" from the OEM name (length 4 + 2); opcode 2
    // adds a whole unit, then a surrogate pair.
    a.append(with_name(Bytes{}.text("report__").u8(0).u8(0x00).u8(0xEA).u8(0x04).le16(0x2014).le16(0xD83D).le16(0xDE00)));
    // Opcode 3 with a correction: OEM bytes 0x41.. plus 0x20 in page 0.
    a.append(with_name(Bytes{}.text("ABC").u8(0).u8(0x00).u8(0xC0).u8(0x81).u8(0x20)));
    // No zero byte: the name is UTF-8.
    a.append(with_name(Bytes{}.text("caf\xC3\xA9.txt")));
    // A packed part that breaks off: the OEM name stands (code page 437).
    a.append(with_name(Bytes{}.text("\x84").u8(0).u8(0x00).u8(0x80)));
    auto s = list_bytes(dir, "unicode.rar", a.b);
    ASSERT_EQ(s.count, 5);
    EXPECT_EQ(s.entries[0].name, "\xCE\xA9.txt");
    EXPECT_EQ(s.entries[1].name, "report\xE2\x80\x94\xF0\x9F\x98\x80");
    EXPECT_EQ(s.entries[2].name, "abc");
    EXPECT_EQ(s.entries[3].name, "caf\xC3\xA9.txt");
    EXPECT_EQ(s.entries[4].name, "\xC3\xA4");

    // Without flag 0x0200 the whole field is the name, read as code page 437.
    Bytes b = marker();
    FileSpec plain;
    plain.name = "\x81" "ber";
    b.append(file_block(plain));
    auto t = list_bytes(dir, "oem.rar", b.b);
    ASSERT_EQ(t.count, 1);
    EXPECT_EQ(t.entries[0].name, "\xC3\xBC" "ber");
}

TEST(RarBlockLayout, HeadSizeSmallerThanTheFieldsLeavesTheDataAfterTheName)
{
    TempDir dir;
    FileSpec old;
    old.name = "old.txt";
    old.head_size = 7; // less than what was read: the data follows the name
    old.pack = 5;
    old.data = 5;
    FileSpec next;
    next.name = "next.txt";
    Bytes a = marker();
    a.append(file_block(old)).append(file_block(next));
    auto s = list_bytes(dir, "oldsize.rar", a.b);
    ASSERT_EQ(s.count, 2);
    EXPECT_EQ(s.entries[1].name, "next.txt");
}

TEST(RarBlockLayout, NumbersOutsideTheTableGiveTheEmptyResults)
{
    TempDir dir;
    write_file(dir / "t.rar", typical_archive().b);
    HeadlessWindow window;
    Cls_GetFileType files(window);
    files.Get_Contents((dir / "t.rar").string());
    ASSERT_EQ(files.FileCount(), 4);
    for (int32_t k : {0, 5, -1, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(files.FileName(k), "") << k;
        EXPECT_EQ(files.Method(k), "") << k;
        EXPECT_FALSE(files.IsDir(k)) << k;
        EXPECT_FALSE(files.Encrypted(k)) << k;
        EXPECT_EQ(files.CRC32(k), 0) << k;
        EXPECT_EQ(files.Compressed_Size(k), 0) << k;
        EXPECT_EQ(files.UnCompressed_Size(k), 0) << k;
        EXPECT_TRUE(files.FileDateTime(k).is_zero()) << k;
        EXPECT_EQ(files.SystemMadeBy(k), "") << k;
        EXPECT_EQ(files.VersionMadeBy(k), "") << k;
        EXPECT_EQ(files.SystemNeeded(k), "") << k;
        EXPECT_EQ(files.VersionNeeded(k), "") << k;
        EXPECT_EQ(files.CommentsFile(k), "") << k;
    }
    EXPECT_EQ(files.CommentsFile(4), "a note");
}

// UnPack extracts: each entry of the hand-made archive gets the outcome its
// header calls for, and data that does not decode leaves no file behind.
TEST(RarBlockLayout, UnPackGivesEachEntryTheOutcomeItsHeaderCallsFor)
{
    TempDir dir;
    write_file(dir / "t.rar", typical_archive().b);
    HeadlessWindow window;
    Cls_GetFileType files(window);
    files.Get_Contents((dir / "t.rar").string());
    EXPECT_TRUE(files.CanUnpack());
    files.state().PackData.assign(100, 1);
    Selection all(5, true);
    all[0] = false;
    const auto out = dir / "out";
    std::filesystem::create_directories(out);
    std::string to = out.string();
    EXPECT_EQ(files.UnPack(all, to), 0);
    EXPECT_TRUE(files.state().PackData.empty());
    const ExtractionReport& r = files.state().report;
    // Filler bytes are no RAR 2.9 stream.
    EXPECT_EQ(r.outcome(1), EntryOutcome::failed);
    EXPECT_EQ(r.reason(1), OutcomeReason::damaged);
    EXPECT_FALSE(std::filesystem::exists(out / "docs" / "readme.txt"));
    EXPECT_EQ(r.outcome(2), EntryOutcome::extracted);
    EXPECT_TRUE(std::filesystem::is_directory(out / "docs"));
    // RAR 1.5's own cipher is not offered.
    EXPECT_EQ(r.reason(3), OutcomeReason::unsupported_encryption);
    // Flag 0x0002 on a file header: the data goes on in "t.r00", which is not there.
    EXPECT_EQ(r.reason(4), OutcomeReason::missing_volume);
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0].text, "CRC calculation failed.");
    EXPECT_EQ(window.messages[0].title, "Error");
}

TEST(RarBlockLayout, EachListingReplacesThePreviousOne)
{
    TempDir dir;
    Bytes with_comment = marker();
    with_comment.append(main_header(0x0002, Bytes{}.text("first").u8(0)));
    FileSpec f;
    f.name = "a";
    f.flags = 0x8000 | 0x0002;
    f.after_name = Bytes{}.text("c1").u8(0);
    with_comment.append(file_block(f)).append(file_block(f));
    write_file(dir / "one.rar", with_comment.b);
    Bytes plain = marker();
    FileSpec g;
    g.name = "b";
    plain.append(file_block(g));
    write_file(dir / "two.rar", plain.b);

    HeadlessWindow window;
    Cls_GetFileType files(window);
    auto first = snapshot(files, (dir / "one.rar").string());
    EXPECT_EQ(first.comment, "first");
    EXPECT_EQ(first.count, 2);
    auto* reader = files.active_reader();
    auto second = snapshot(files, (dir / "two.rar").string());
    EXPECT_EQ(files.active_reader(), reader); // the same reader object
    EXPECT_EQ(second.comment, "");
    ASSERT_EQ(second.count, 1);
    EXPECT_EQ(second.entries[0].name, "b");
    EXPECT_EQ(files.CommentsFile(2), "");
    EXPECT_EQ(files.state().PackFileName, (dir / "two.rar").string());
}

} // namespace
} // namespace velmora::test

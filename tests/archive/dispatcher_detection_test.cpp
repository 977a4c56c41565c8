// Guards the dispatcher's format detection and defaults: its own results (-1,
// -2, 0), the order of the name and signature tests, one reused reader per
// format, and nothing answered from a previous archive after a failed load.
#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"
#include "formats/zip/zip_test_builder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

using test::ZipTestEntry;

bool reader_built(ReaderKind kind)
{
    HeadlessWindow w;
    ArchiveState s(w);
    return make_reader(kind, s) != nullptr;
}

class Dispatcher : public ::testing::Test {
protected:
    std::string put(const std::string& name, const std::vector<uint8_t>& bytes)
    {
        const std::string path = (dir_ / name).string();
        test::write_file(path, bytes);
        return path;
    }
    std::string zip_file(const std::string& name, const std::string& first_entry)
    {
        return put(name, test::build_zip({{.name = first_entry, .data = "payload"}, {.name = "second", .data = ""}}));
    }
    void expect_nothing_loaded()
    {
        EXPECT_EQ(files_.state().PackFileType, format_code::none);
        EXPECT_EQ(files_.active_reader(), nullptr);
        EXPECT_EQ(files_.FileCount(), 0);
        EXPECT_EQ(files_.FileName(1), "");
        EXPECT_EQ(files_.Method(1), "");
        EXPECT_EQ(files_.CRC32(1), 0);
        EXPECT_EQ(files_.Compressed_Size(1), 0);
        EXPECT_FALSE(files_.IsDir(1));
        EXPECT_FALSE(files_.Encrypted(1));
        EXPECT_FALSE(files_.CanUnpack());
        EXPECT_TRUE(files_.FileDateTime(1).is_zero());
        EXPECT_EQ(files_.CommentsPack(), "");
        EXPECT_EQ(files_.SystemMadeBy(1), "");
        Selection all(3, true);
        std::string to = dir_.str();
        EXPECT_EQ(files_.UnPack(all, to), 0);
    }

    test::TempDir dir_;
    HeadlessWindow window_;
    Cls_GetFileType files_{window_};
};

TEST_F(Dispatcher, EmptyNameIsMinusOneAndCreatesNoReader)
{
    EXPECT_EQ(files_.Get_Contents(""), -1);
    expect_nothing_loaded();
    for (size_t k = 0; k < reader_kind_count; ++k)
        EXPECT_EQ(files_.slot(static_cast<ReaderKind>(k)), nullptr);
}

TEST_F(Dispatcher, UnknownSignatureIsMinusTwoAndClearsTheCount)
{
    files_.Get_Contents(zip_file("a.zip", "first"));
    ASSERT_EQ(files_.FileCount(), 2);
    EXPECT_EQ(files_.Get_Contents(put("text.zip", {'h', 'e', 'l', 'l', 'o'})), -2);
    EXPECT_EQ(files_.state().PackTotFiles, 0);
    expect_nothing_loaded();
    // The name never decides for formats other than TAR and LZH.
    EXPECT_EQ(files_.Get_Contents(put("x.gz", {'P', 'X', 0, 0})), -2);
}

TEST_F(Dispatcher, UnreadableFilesGiveZeroAndNothingLoaded)
{
    EXPECT_EQ(files_.Get_Contents((dir_ / "missing.zip").string()), 0);
    expect_nothing_loaded();
    EXPECT_EQ(files_.Get_Contents(put("empty.zip", {})), 0);
    expect_nothing_loaded();
    EXPECT_EQ(files_.Get_Contents(put("one.zip", {'P'})), 0);
    expect_nothing_loaded();
    EXPECT_EQ(files_.Get_Contents(dir_.str()), 0);
    expect_nothing_loaded();
}

TEST_F(Dispatcher, PkLoadsWithTheZipReaderAndForwards)
{
    EXPECT_EQ(files_.Get_Contents(zip_file("a.bin", "first.txt")), 0);
    EXPECT_EQ(files_.state().PackFileType, format_code::zip);
    ASSERT_NE(files_.slot(ReaderKind::zip), nullptr);
    EXPECT_EQ(files_.active_reader(), files_.slot(ReaderKind::zip));
    EXPECT_EQ(files_.FileCount(), 2);
    EXPECT_EQ(files_.FileName(1), "first.txt");
    EXPECT_EQ(files_.UnCompressed_Size(1), 7);
    EXPECT_EQ(files_.Method(1), "No Compression");
    EXPECT_EQ(files_.SystemMadeBy(1), "UNIX");
    EXPECT_EQ(files_.VersionNeeded(1), "2.0");
    EXPECT_EQ(files_.FileDateTime(1), (DateTime{2025, 1, 1, 13, 26, 30}));
    EXPECT_TRUE(files_.CanUnpack());
    EXPECT_EQ(files_.FileName(3), "");
    EXPECT_EQ(files_.Pack(), 0);
}

TEST_F(Dispatcher, TwoZipArchivesInTurnReuseOneReader)
{
    files_.Get_Contents(zip_file("one.zip", "from-one"));
    ArchiveReader* const first = files_.slot(ReaderKind::zip);
    ASSERT_NE(first, nullptr);
    files_.Get_Contents(zip_file("two.zip", "from-two"));
    EXPECT_EQ(files_.slot(ReaderKind::zip), first);
    EXPECT_EQ(files_.FileName(1), "from-two");
    EXPECT_EQ(files_.state().PackFileName, (dir_ / "two.zip").string());
}

TEST_F(Dispatcher, FailedLoadAfterASuccessAnswersNothing)
{
    files_.Get_Contents(zip_file("good.zip", "entry"));
    ASSERT_EQ(files_.FileName(1), "entry");
    // "PK" but no archive: the ZIP reader is asked and refuses.
    EXPECT_EQ(files_.Get_Contents(put("bad.zip", {'P', 'K', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                  0, 0, 0, 0})),
              0);
    expect_nothing_loaded();
    // An empty archive (end record only) is refused too.
    EXPECT_EQ(files_.Get_Contents(put("empty.zip", test::build_zip({}))), 0);
    expect_nothing_loaded();
}

TEST_F(Dispatcher, OtherSignaturesAreNotUnknown)
{
    // Whether their readers accept these scraps is theirs to say; the
    // dispatcher's own result is 0, not -2, and a refusal leaves nothing loaded.
    const std::vector<std::vector<uint8_t>> heads = {
        {0x1F, 0x8B, 8, 0}, {'M', 'S', 'x', 'x'}, {'R', 'a', 'x', 'x'}, {0x60, 0xEA, 0, 0}};
    for (const auto& head : heads) {
        std::vector<uint8_t> bytes = head;
        bytes.resize(64, 0);
        EXPECT_EQ(files_.Get_Contents(put("scrap.bin", bytes)), 0) << int(head[0]);
        if (files_.state().PackFileType == format_code::none) {
            EXPECT_EQ(files_.FileCount(), 0);
        }
    }
}

TEST_F(Dispatcher, LeadingEofByteThatIsNoArcArchiveIsMinusTwo)
{
    // 0x1A 0x00 is an ARC end mark with no entry before it: not an archive,
    // and 0x001A is none of the two-byte signatures.
    EXPECT_EQ(files_.Get_Contents(put("eof.arc", {0x1A, 0x00, 0x00, 0x00})), -2);
    expect_nothing_loaded();
}

TEST_F(Dispatcher, LzhNamesAreTriedFirstCaseInsensitivelyThenTheSignature)
{
    // A ZIP named .LhA: the LZH reader (when built) refuses it, and the
    // two-byte test then finds the ZIP.
    for (const char* name : {"a.lzh", "b.LZH", "c.LhA", "d.lzs"}) {
        EXPECT_EQ(files_.Get_Contents(zip_file(name, "inside")), 0) << name;
        EXPECT_EQ(files_.state().PackFileType, format_code::zip) << name;
        EXPECT_EQ(files_.active_reader(), files_.slot(ReaderKind::zip)) << name;
    }
    const bool lzh = reader_built(ReaderKind::lzh);
    EXPECT_EQ(files_.slot(ReaderKind::lzh) != nullptr, lzh);
}

TEST_F(Dispatcher, TarNameGoesToTheTarReaderFirst)
{
    // The TAR reader checks no magic: a ZIP named .tar whose first bytes make a
    // non-empty name field lists as TAR. Without a TAR reader the two-byte test
    // finds the ZIP.
    // The ZIP must reach past one 512-byte header block for the TAR walk (and
    // its bytes at the type flag must not read as a pax record, 'x').
    const std::string big = put("zip-in-disguise.TaR",
                                test::build_zip({{.name = "inside", .data = std::string(600, 'a')}}));
    EXPECT_EQ(files_.Get_Contents(big), 0);
    ASSERT_TRUE(reader_built(ReaderKind::tar));
    EXPECT_EQ(files_.state().PackFileType, format_code::tar);
    EXPECT_EQ(files_.active_reader(), files_.slot(ReaderKind::tar));
    EXPECT_EQ(files_.FileName(1).substr(0, 4), "PK\x03\x04");

    // A ZIP too short for one TAR header falls through to the two-byte test.
    EXPECT_EQ(files_.Get_Contents(zip_file("short.tar", "inside")), 0);
    EXPECT_EQ(files_.state().PackFileType, format_code::zip);
    EXPECT_EQ(files_.FileName(1), "inside");
    // Not a tar name: the ZIP reader, whatever a TAR reader would say.
    EXPECT_EQ(files_.Get_Contents(zip_file("archive.tar.zip", "inside")), 0);
    EXPECT_EQ(files_.state().PackFileType, format_code::zip);
}

} // namespace
} // namespace velmora

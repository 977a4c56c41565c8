// Guards the detection of single compressed files: by magic number whatever
// the name, by name only for .lzma (which has no magic), and always after the
// older formats' tests, so a ZIP or gzip file is never taken for one of them
// because of its name; headers that are not the format are refused (-2).
#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"
#include "formats/zip/zip_test_builder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <set>

namespace velmora {
namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> head, size_t pad = 32)
{
    std::vector<uint8_t> b;
    for (const int v : head)
        b.push_back(static_cast<uint8_t>(v));
    b.resize(b.size() + pad, 0x41);
    return b;
}

// An empty gzip member: header, a final fixed block with only end-of-block, trailer.
const std::vector<uint8_t> empty_gzip = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3, 0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};

struct Row {
    const char* name;
    std::vector<uint8_t> content;
    int result;          // Get_Contents
    uint8_t code;        // PackFileType afterwards
    const char* member;  // FileName(1)
};

TEST(DispatcherCompressed, DetectionTable)
{
    const std::vector<uint8_t> zip = test::build_zip({{.name = "inside.txt", .data = "zip"}});
    const std::vector<uint8_t> lzma_header = bytes({0x5D, 0, 0, 0x80, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    // A valid properties byte, but a dictionary size no encoder writes.
    const std::vector<uint8_t> odd_lzma = bytes({0x5D, 0x78, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    const std::vector<Row> rows = {
        // The older formats come first, whatever the name says.
        {"a.xz", zip, 0, format_code::zip, "inside.txt"},
        {"a.tbz2", empty_gzip, 0, format_code::gzip, ""}, // no FNAME, no gzip ending: no name
        // Magic numbers, whatever the name.
        {"x.tar.xz", bytes({0xFD, '7', 'z', 'X', 'Z', 0}), 0, format_code::xz, "x.tar"},
        {"x.zst", bytes({0xFD, '7', 'z', 'X', 'Z', 0}), 0, format_code::xz, "x.zst.out"},
        {"blob", bytes({'B', 'Z', 'h', '9'}), 0, format_code::bzip2, "blob.out"},
        {"b.TBZ", bytes({'B', 'Z', 'h', '1'}), 0, format_code::bzip2, "b.tar"},
        {"c.tzst", bytes({0x28, 0xB5, 0x2F, 0xFD}), 0, format_code::zstd, "c.tar"},
        {"skip.zst", bytes({0x5A, 0x2A, 0x4D, 0x18}), 0, format_code::zstd, "skip"},
        {"d.taz", bytes({0x1F, 0x9D, 0x90}), 0, format_code::compress, "d.tar"},
        {"e.tar.Z", bytes({0x1F, 0x9D, 0x90}), 0, format_code::compress, "e.tar"},
        {"f.tlz", lzma_header, 0, format_code::lzma, "f.tar"},
        {"f-noname", lzma_header, 0, format_code::lzma, "f-noname.out"},
        // .lzma by name alone: any valid properties byte.
        {"g.lzma", odd_lzma, 0, format_code::lzma, "g"},
        {"g.bin", odd_lzma, -2, format_code::none, ""},
        {"h.lzma", bytes({0xE1, 0, 0, 0x80, 0}), -2, format_code::none, ""},
        // A name alone is not enough where the format has a magic number.
        {"garbage.xz", bytes({'h', 'e', 'l', 'l', 'o'}), -2, format_code::none, ""},
        {"garbage.bz2", bytes({'B', 'Z', 'h', '0'}), -2, format_code::none, ""},
        {"short.Z", {0x1F}, 0, format_code::none, ""},
    };
    test::TempDir dir;
    HeadlessWindow window;
    Cls_GetFileType files(window);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        test::write_file(dir / r.name, r.content);
        EXPECT_EQ(files.Get_Contents((dir / r.name).string()), r.result);
        EXPECT_EQ(files.state().PackFileType, r.code);
        EXPECT_EQ(files.FileName(1), r.member);
        EXPECT_EQ(files.FileCount(), r.code == format_code::none ? 0 : 1);
    }
}

TEST(DispatcherCompressed, OneReaderPerFormatReused)
{
    test::TempDir dir;
    HeadlessWindow window;
    Cls_GetFileType files(window);
    test::write_file(dir / "one.xz", bytes({0xFD, '7', 'z', 'X', 'Z', 0}));
    test::write_file(dir / "two.xz", bytes({0xFD, '7', 'z', 'X', 'Z', 0}));
    test::write_file(dir / "three.bz2", bytes({'B', 'Z', 'h', '9'}));
    files.Get_Contents((dir / "one.xz").string());
    ArchiveReader* const xz = files.slot(ReaderKind::xz);
    ASSERT_NE(xz, nullptr);
    EXPECT_EQ(files.active_kind(), ReaderKind::xz);
    files.Get_Contents((dir / "two.xz").string());
    EXPECT_EQ(files.slot(ReaderKind::xz), xz);
    EXPECT_EQ(files.FileName(1), "two");
    files.Get_Contents((dir / "three.bz2").string());
    EXPECT_EQ(files.active_kind(), ReaderKind::bzip2);
    EXPECT_NE(files.slot(ReaderKind::bzip2), xz);
    EXPECT_EQ(files.Method(1), "BZip2");
    EXPECT_TRUE(files.CanUnpack());
    // Each format has a name of its own for the window.
    std::set<std::string_view> names;
    for (const ReaderKind k : {ReaderKind::xz, ReaderKind::lzma, ReaderKind::bzip2, ReaderKind::zstd, ReaderKind::compress})
        names.insert(format_name(k));
    EXPECT_EQ(names.size(), 5u);
    EXPECT_FALSE(names.contains(""));
}

} // namespace
} // namespace velmora

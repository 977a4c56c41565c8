// Guards the per-entry rules of ZIP extraction: which methods are decoded,
// skipped or counted as unsupported, the four CRC/size/write messages (files
// still written), bad local headers, folders, DOS times and UNIX permissions.
#include "codecs/reduce_test_codec.h"
#include "formats/zip/zip_extract_support.h"
#include "formats/zip/zip_test_builder.h"

#include <gtest/gtest.h>

#include <ctime>

namespace velmora {
namespace {

using test::ZipTestEntry;
using Tree = std::map<std::string, std::string>;

const std::string sample_text = [] {
    std::string s;
    for (int i = 0; i < 300; ++i)
        s += "line " + std::to_string(i % 37) + " of a text that repeats itself\n";
    return s;
}();

ZipTestEntry deflated(const std::string& name, const std::string& text)
{
    return {.name = name,
            .data = test::raw_deflate(text),
            .method = 8,
            .crc = test::crc_of(text),
            .uncompressed_size = static_cast<uint32_t>(text.size())};
}

ZipTestEntry reduced(const std::string& name, const std::string& text, int factor)
{
    const std::vector<uint8_t> in(text.begin(), text.end());
    const std::vector<uint8_t> packed = test::reduce_encode(in, factor);
    return {.name = name,
            .data = std::string(packed.begin(), packed.end()),
            .method = static_cast<uint16_t>(factor + 1),
            .crc = test::crc_of(text),
            .uncompressed_size = static_cast<uint32_t>(text.size())};
}

TEST(ZipExtractEntryChecks, StoredDeflatedAndEveryReduceFactorDecode)
{
    test::TempDir dir;
    std::vector<ZipTestEntry> entries = {{.name = "stored.txt", .data = sample_text}, deflated("deflated.txt", sample_text)};
    for (int f = 1; f <= 4; ++f)
        entries.push_back(reduced("reduced" + std::to_string(f) + ".txt", sample_text, f));
    test::ZipExtraction x(test::save_zip(dir, "m.zip", test::build_zip(entries)));
    EXPECT_EQ(x.unpack(dir / "out"), 0);
    EXPECT_TRUE(x.window.messages.empty()) << x.message_texts().front();
    const Tree got = test::tree_of(dir / "out");
    ASSERT_EQ(got.size(), 6u);
    for (const auto& [name, text] : got)
        EXPECT_EQ(text, sample_text) << name;
}

TEST(ZipExtractEntryChecks, MethodTable)
{
    test::TempDir dir;
    const auto with_method = [](const std::string& name, uint16_t method) {
        return ZipTestEntry{.name = name, .data = "opaque bytes", .method = method};
    };
    // Methods 7 and 10 mark the result; the rest that are not decoded
    // (11, 13, 97, unknown codes) pass silently.
    for (const uint16_t m : {7, 10}) {
        SCOPED_TRACE(m);
        test::ZipExtraction x(test::save_zip(dir, "u.zip", test::build_zip({with_method("u.bin", m), {.name = "ok.txt", .data = "ok"}})));
        const auto out = dir / ("out" + std::to_string(m));
        EXPECT_EQ(x.unpack(out), -10);
        EXPECT_TRUE(x.window.messages.empty());
        EXPECT_EQ(test::tree_of(out), (Tree{{"ok.txt", "ok"}}));
    }
    for (const uint16_t m : {11, 13, 97, 99, 0x8000}) {
        SCOPED_TRACE(m);
        test::ZipExtraction x(test::save_zip(dir, "s.zip", test::build_zip({with_method("s.bin", m), {.name = "ok.txt", .data = "ok"}})));
        const auto out = dir / ("skip" + std::to_string(m));
        EXPECT_EQ(x.unpack(out), 0);
        EXPECT_TRUE(x.window.messages.empty());
        EXPECT_EQ(test::tree_of(out), (Tree{{"ok.txt", "ok"}}));
    }
    // A WinZip AES entry (method 99, flags bit 0) without its 0x9901 extra
    // field is passed over before any password is asked for.
    {
        test::ZipExtraction aes(test::save_zip(
            dir, "aes.zip", test::build_zip({{.name = "aes.bin", .data = std::string(40, 'z'), .flags = 1, .method = 99},
                                             {.name = "ok.txt", .data = "ok"}})));
        EXPECT_EQ(aes.unpack(dir / "aes"), 0);
        EXPECT_TRUE(aes.window.questions.empty());
        EXPECT_TRUE(aes.window.messages.empty());
        EXPECT_EQ(test::tree_of(dir / "aes"), (Tree{{"ok.txt", "ok"}}));
    }
    // The last event counts: a reduced entry after an unsupported one sets
    // the result to its own status again.
    test::ZipExtraction x(test::save_zip(
        dir, "order.zip", test::build_zip({with_method("u.bin", 7), reduced("r.txt", sample_text, 2)})));
    EXPECT_EQ(x.unpack(dir / "order"), 0);
    EXPECT_EQ(test::file_text(dir / "order" / "r.txt"), sample_text);
}

TEST(ZipExtractEntryChecks, CrcAndSizeMessagesStillWriteTheFile)
{
    test::TempDir dir;
    const std::vector<ZipTestEntry> entries = {
        {.name = "badcrc.txt", .data = "payload", .crc = 0x12345678},
        {.name = "emptycrc.txt", .data = "", .crc = 0x0BADF00D},
        {.name = "size.txt", .data = "payload", .uncompressed_size = 8},
        {.name = "empty.txt", .data = ""},
    };
    test::ZipExtraction x(test::save_zip(dir, "c.zip", test::build_zip(entries)));
    EXPECT_EQ(x.unpack(dir / "out"), 0);
    EXPECT_EQ(x.message_texts(),
              (std::vector<std::string>{"CRC calculation failed.", "CRC error.", "Error in decompressed size."}));
    for (const auto& m : x.window.messages) {
        EXPECT_EQ(m.title, "Error");
        EXPECT_EQ(m.icon, MessageIcon::information);
    }
    EXPECT_EQ(test::tree_of(dir / "out"),
              (Tree{{"badcrc.txt", "payload"}, {"emptycrc.txt", ""}, {"size.txt", "payload"}, {"empty.txt", ""}}));
}

TEST(ZipExtractEntryChecks, WriteFailureIsReportedAndTheRunGoesOn)
{
    test::TempDir dir;
    std::filesystem::create_directories(dir / "out" / "taken");
    test::ZipExtraction x(test::save_zip(
        dir, "w.zip", test::build_zip({{.name = "taken", .data = "x"}, {.name = "next.txt", .data = "y"}})));
    EXPECT_EQ(x.unpack(dir / "out"), 0);
    EXPECT_EQ(x.message_texts(), (std::vector<std::string>{"Error writing zip file"}));
    EXPECT_EQ(test::tree_of(dir / "out"), (Tree{{"taken/", ""}, {"next.txt", "y"}}));
}

TEST(ZipExtractEntryChecks, BadLocalHeaderSkipsOnlyThatEntry)
{
    test::TempDir dir;
    test::ZipTestLayout lay;
    auto bytes = test::build_zip({{.name = "one.txt", .data = "1"}, {.name = "two.txt", .data = "2"},
                                  {.name = "three.txt", .data = "3"}},
                                 {}, &lay);
    bytes[lay.local_offsets[1]] = 'X'; // signature of entry 2's local header
    // Entry 3's central record gives a local header offset past the end of the file.
    bytes[lay.central_record_offsets[2] + 42 + 3] = 0x7F;
    test::ZipExtraction x(test::save_zip(dir, "h.zip", bytes));
    EXPECT_EQ(x.unpack(dir / "out"), 0);
    EXPECT_EQ(x.message_texts(), (std::vector<std::string>{"Error in Zip File.", "Error in Zip File."}));
    EXPECT_EQ(test::tree_of(dir / "out"), (Tree{{"one.txt", "1"}}));
}

TEST(ZipExtractEntryChecks, FolderEntriesKeepTheirSpelling)
{
    test::TempDir dir;
    test::ZipExtraction x(test::save_zip(
        dir, "d.zip",
        test::build_zip({{.name = "Docs/"}, {.name = "Docs/Inner/"}, {.name = "Docs/readme.txt", .data = "r"},
                         {.name = "other/deep/file.txt", .data = "f"}})));
    EXPECT_EQ(x.unpack(dir / "out"), 0);
    EXPECT_TRUE(x.window.messages.empty());
    EXPECT_EQ(test::tree_of(dir / "out"),
              (Tree{{"Docs/", ""}, {"Docs/Inner/", ""}, {"Docs/readme.txt", "r"}, {"other/", ""},
                    {"other/deep/", ""}, {"other/deep/file.txt", "f"}}));
}

TEST(ZipExtractEntryChecks, DosTimeAndUnixPermissions)
{
    test::TempDir dir;
    const mode_t mask = test::current_umask();
    struct Case {
        const char* name;
        uint16_t made_by;
        uint32_t attributes;
        mode_t want;
    };
    const std::vector<Case> cases = {
        {"script.sh", 0x0314, 0100755u << 16, 0755},
        {"private.txt", 0x0314, 0100640u << 16, 0640},
        {"setuid", 0x0314, 0104755u << 16, 0755},   // never setuid, setgid or sticky
        {"noaccess", 0x0314, 0100000u << 16 | 0x01, 0600}, // the owner keeps read and write
        {"zero-mode", 0x0314, 0x00000020, 0666},    // no mode stored: the default
        {"dos.txt", 0x0014, 0100755u << 16, 0666},  // not a UNIX host: the default
        {"ntfs.txt", 0x0A3F, 0100700u << 16, 0666},
        {"typeless", 0x0314, 0750u << 16, 0750},     // permission bits without a type
    };
    std::vector<ZipTestEntry> entries;
    for (const Case& c : cases)
        entries.push_back({.name = c.name, .data = "x", .made_by = c.made_by, .time = 0x6B4F, .date = 0x5A21,
                           .external_attributes = c.attributes});
    test::ZipExtraction x(test::save_zip(dir, "p.zip", test::build_zip(entries)));
    EXPECT_EQ(x.unpack(dir / "out"), 0);

    // 0x5A21 / 0x6B4F: 2025-01-01 13:26:30, local time.
    std::tm tm{};
    tm.tm_year = 125;
    tm.tm_mon = 0;
    tm.tm_mday = 1;
    tm.tm_hour = 13;
    tm.tm_min = 26;
    tm.tm_sec = 30;
    tm.tm_isdst = -1;
    const time_t want_time = std::mktime(&tm);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const struct stat st = test::stat_of(dir / "out" / c.name);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, c.want & ~mask);
        EXPECT_EQ(st.st_mtime, want_time);
    }

    // A UNIX symbolic link entry becomes a link to the target its data holds.
    entries = {{.name = "target.txt", .data = "t"},
               {.name = "link", .data = "target.txt", .made_by = 0x0314, .external_attributes = 0120777u << 16}};
    test::ZipExtraction y(test::save_zip(dir, "l.zip", test::build_zip(entries)));
    EXPECT_EQ(y.unpack(dir / "links"), 0);
    EXPECT_TRUE(y.window.messages.empty());
    EXPECT_EQ(std::filesystem::read_symlink(dir / "links" / "link"), "target.txt");
    EXPECT_EQ(test::file_text(dir / "links" / "link"), "t");
}

} // namespace
} // namespace velmora

// Guards the ZIP listing against archives written by real tools (Info-ZIP zip,
// 7-Zip, Python's zipfile): every entry must match what Python's zipfile reads
// from the same central directory, names decoded by the same rules.
#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace velmora {
namespace {

// Lists an archive with Python's zipfile as JSON. Names: Python decodes
// flag-bit-11 names as UTF-8 and others as code page 437; the reader keeps
// stored bytes that are valid UTF-8, so the expected name is re-derived here.
constexpr const char* python_lister = R"PY(
import json, sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
out = {"comment": z.comment.decode("utf-8", "replace"), "entries": []}
for i in z.infolist():
    name = i.filename
    if not i.flag_bits & 0x800:
        raw = name.encode("cp437")
        try:
            name = raw.decode("utf-8")
        except UnicodeDecodeError:
            pass
    out["entries"].append({
        "name": name, "size": i.file_size, "csize": i.compress_size, "crc": i.CRC,
        "date": "%04d-%02d-%02d %02d:%02d:%02d" % i.date_time,
        "encrypted": bool(i.flag_bits & 1), "dir": i.filename.endswith("/") and i.compress_size == 0,
        "method": i.compress_type, "system": i.create_system, "version": i.create_version,
        "needed": i.extract_version, "comment": i.comment.decode("utf-8", "replace")})
print(json.dumps(out))
)PY";

const std::map<int, std::string> method_text = {{0, "No Compression"}, {8, "Deflated"}, {9, "Enhanced Deflating"}};
const std::map<int, std::string> system_text = {
    {0, "MS-DOS and OS/2 (FAT / VFAT / FAT32 file systems)"}, {3, "UNIX"}, {10, "Windows NTFS"}};

std::string version_text(int v) { return std::to_string(v / 10) + "." + std::to_string(v % 10); }

class ZipRealTools : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!test::have_tool("python3"))
            GTEST_SKIP() << "python3 not installed";
        test::write_file(dir_ / "lister.py", std::string(python_lister));
        std::filesystem::create_directories(dir_ / "src" / "docs" / "sub");
        std::filesystem::create_directories(dir_ / "src" / "empty");
        test::write_file(dir_ / "src" / "docs" / "a.txt", std::string("hello\n"));
        test::write_file(dir_ / "src" / "docs" / "sub" / "b.txt", std::string("second file\n"));
        test::write_file(dir_ / "src" / "top.txt", std::string(5000, 'x'));
        test::write_file(dir_ / "src" / "na\xC3\xAFve \xC3\xA9.txt", std::string("accents"));
    }

    nlohmann::json python_listing(const std::filesystem::path& archive)
    {
        std::string out;
        EXPECT_EQ(test::run_command("python3 " + test::shell_quote((dir_ / "lister.py").string()) + " "
                                        + test::shell_quote(archive.string()),
                                    &out),
                  0);
        return nlohmann::json::parse(out);
    }

    // Lists the archive with the dispatcher and compares every member with Python.
    void expect_same_as_python(const std::filesystem::path& archive, size_t min_entries)
    {
        const nlohmann::json want = python_listing(archive);
        HeadlessWindow window;
        Cls_GetFileType files(window);
        ASSERT_EQ(files.Get_Contents(archive.string()), 0);
        ASSERT_EQ(files.state().PackFileType, 1);
        EXPECT_TRUE(window.messages.empty());
        const auto& entries = want["entries"];
        ASSERT_GE(entries.size(), min_entries);
        ASSERT_EQ(files.FileCount(), static_cast<int32_t>(entries.size()));
        EXPECT_EQ(files.CommentsPack(), want["comment"].get<std::string>());
        for (size_t i = 0; i < entries.size(); ++i) {
            const auto& w = entries[i];
            const auto k = static_cast<int32_t>(i) + 1;
            SCOPED_TRACE(w["name"].get<std::string>());
            EXPECT_EQ(files.FileName(k), w["name"].get<std::string>());
            EXPECT_EQ(static_cast<uint32_t>(files.UnCompressed_Size(k)), w["size"].get<uint32_t>());
            EXPECT_EQ(static_cast<uint32_t>(files.Compressed_Size(k)), w["csize"].get<uint32_t>());
            EXPECT_EQ(static_cast<uint32_t>(files.CRC32(k)), w["crc"].get<uint32_t>());
            EXPECT_EQ(files.FileDateTime(k).to_string(), w["date"].get<std::string>());
            EXPECT_EQ(files.Encrypted(k), w["encrypted"].get<bool>());
            EXPECT_EQ(files.IsDir(k), w["dir"].get<bool>());
            EXPECT_EQ(files.Method(k), method_text.at(w["method"].get<int>()));
            EXPECT_EQ(files.SystemMadeBy(k), system_text.at(w["system"].get<int>()));
            EXPECT_EQ(files.VersionMadeBy(k), version_text(w["version"].get<int>()));
            EXPECT_EQ(files.VersionNeeded(k), version_text(w["needed"].get<int>()));
            EXPECT_EQ(files.CommentsFile(k), w["comment"].get<std::string>());
        }
    }

    test::TempDir dir_;
};

TEST_F(ZipRealTools, InfoZipWithFoldersAndArchiveComment)
{
    if (!test::have_tool("zip"))
        GTEST_SKIP() << "Info-ZIP zip not installed";
    const auto archive = dir_ / "infozip.zip";
    ASSERT_EQ(test::run_command("cd " + test::shell_quote((dir_ / "src").string())
                                + " && printf 'Made by Info-ZIP\\n' | zip -q -r -z "
                                + test::shell_quote(archive.string()) + " docs empty top.txt 'na\xC3\xAFve \xC3\xA9.txt'"),
              0);
    expect_same_as_python(archive, 7);
    // The comment makes the reader count local headers; it must see it too.
    HeadlessWindow window;
    Cls_GetFileType files(window);
    files.Get_Contents(archive.string());
    EXPECT_EQ(files.CommentsPack(), "Made by Info-ZIP");
}

TEST_F(ZipRealTools, InfoZipWithoutCommentAndWithPerEntryComments)
{
    if (!test::have_tool("zip"))
        GTEST_SKIP() << "Info-ZIP zip not installed";
    const auto archive = dir_ / "plain.zip";
    const std::string src = test::shell_quote((dir_ / "src").string());
    ASSERT_EQ(test::run_command("cd " + src + " && zip -q -r " + test::shell_quote(archive.string()) + " docs top.txt"),
              0);
    // zip -c asks one comment line per named entry on standard input.
    ASSERT_EQ(test::run_command("cd " + src + " && printf 'first note\\nsecond\\n' | zip -q -c "
                                + test::shell_quote(archive.string()) + " docs/a.txt top.txt >/dev/null 2>&1"),
              0);
    expect_same_as_python(archive, 5);
    HeadlessWindow window;
    Cls_GetFileType files(window);
    files.Get_Contents(archive.string());
    std::vector<std::string> comments;
    for (int32_t k = 1; k <= files.FileCount(); ++k)
        if (!files.CommentsFile(k).empty())
            comments.push_back(files.FileName(k) + "=" + files.CommentsFile(k));
    EXPECT_EQ(comments, (std::vector<std::string>{"docs/a.txt=first note", "top.txt=second"}));
}

TEST_F(ZipRealTools, SevenZipArchive)
{
    if (!test::have_tool("7z"))
        GTEST_SKIP() << "7-Zip not installed";
    const auto archive = dir_ / "seven.zip";
    ASSERT_EQ(test::run_command("cd " + test::shell_quote((dir_ / "src").string()) + " && 7z a -tzip -bd "
                                + test::shell_quote(archive.string()) + " docs empty top.txt 'na\xC3\xAFve \xC3\xA9.txt' >/dev/null"),
              0);
    expect_same_as_python(archive, 7);
}

TEST_F(ZipRealTools, PythonZipfileWithUtf8NamesAndComments)
{
    const auto archive = dir_ / "py.zip";
    const std::string script = R"PY(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    z.comment = b"archive comment from Python"
    i = zipfile.ZipInfo("stored.txt", (2001, 2, 3, 4, 5, 6))
    i.comment = b"entry comment"
    z.writestr(i, b"stored bytes")
    z.writestr(zipfile.ZipInfo("folder/", (1999, 12, 31, 23, 59, 58)), b"")
    i = zipfile.ZipInfo("folder/\u00fcber \u65e5\u672c.txt", (2024, 6, 30, 12, 0, 0))
    i.compress_type = zipfile.ZIP_DEFLATED
    z.writestr(i, b"deflated " * 100)
)PY";
    test::write_file(dir_ / "make.py", script);
    ASSERT_EQ(test::run_command("python3 " + test::shell_quote((dir_ / "make.py").string()) + " "
                                + test::shell_quote(archive.string())),
              0);
    expect_same_as_python(archive, 3);
    HeadlessWindow window;
    Cls_GetFileType files(window);
    files.Get_Contents(archive.string());
    EXPECT_EQ(files.FileName(3), "folder/\xC3\xBC" "ber \xE6\x97\xA5\xE6\x9C\xAC.txt");
    EXPECT_TRUE(files.IsDir(2));
}

} // namespace
} // namespace velmora

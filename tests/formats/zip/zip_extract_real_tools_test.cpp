// Guards extraction of archives made by the tools people use: Info-ZIP zip at
// every level and with passwords (ASCII and UTF-8), 7-Zip (Deflate, Deflate64,
// ZipCrypto) and Python's zipfile must give back the very files they packed,
// with their folders, modification times and (UNIX-made) permissions.
#include "formats/zip/zip_extract_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <random>

namespace velmora {
namespace {

namespace fs = std::filesystem;

// The tree every tool packs: text, incompressible bytes, an empty file,
// nested and empty folders, a non-ASCII name, several permission sets. Times
// are whole even seconds, which DOS time holds exactly.
struct SourceTree {
    test::TempDir dir;
    fs::path root = dir / "src";

    SourceTree()
    {
        fs::create_directories(root / "docs" / "deep");
        fs::create_directories(root / "empty-folder");
        std::string text;
        for (int i = 0; i < 2000; ++i)
            text += "Line " + std::to_string(i) + ": the quick brown fox jumps over the lazy dog.\n";
        std::string noise(70000, '\0');
        std::mt19937 rng(1234);
        for (auto& c : noise)
            c = static_cast<char>(rng());
        add("readme.txt", text, 0644, 1600000000);
        add("docs/deep/noise.bin", noise, 0640, 1500000002);
        add("docs/empty.txt", "", 0600, 1400000004);
        add("run.sh", "#!/bin/sh\necho hi\n", 0755, 1300000006);
        add("docs/na\xc3\xafve caf\xc3\xa9.txt", "accented name\n", 0644, 1234567890);
    }

    void add(const std::string& rel, const std::string& data, mode_t mode, time_t mtime)
    {
        test::write_file(root / rel, data);
        ::chmod((root / rel).c_str(), mode);
        const timespec times[2] = {{mtime, 0}, {mtime, 0}};
        ::utimensat(AT_FDCWD, (root / rel).c_str(), times, 0);
    }

    // Runs a packing command inside the source folder.
    bool pack(const std::string& command) const
    {
        return test::run_command("cd " + test::shell_quote(root.string()) + " && " + command + " >/dev/null 2>&1") == 0;
    }

    // Every file and folder of the source must be in out, alike.
    void expect_extracted(const fs::path& out, bool check_modes) const
    {
        EXPECT_EQ(test::tree_of(out), test::tree_of(root));
        const mode_t mask = test::current_umask();
        for (const auto& e : fs::recursive_directory_iterator(root)) {
            if (!e.is_regular_file())
                continue;
            const fs::path rel = e.path().lexically_relative(root);
            SCOPED_TRACE(rel.string());
            const struct stat want = test::stat_of(e.path());
            const struct stat got = test::stat_of(out / rel);
            EXPECT_EQ(got.st_mtime, want.st_mtime);
            if (check_modes) {
                EXPECT_EQ(got.st_mode & 07777, (want.st_mode & 0777 & ~mask));
            }
        }
    }
};

void extract_and_compare(const SourceTree& src, const fs::path& zip, const std::string& password, bool check_modes)
{
    test::ZipExtraction x(zip);
    ASSERT_GT(x.files.FileCount(), 0);
    x.window.input_answers = {password};
    const fs::path out = src.dir / ("out-" + zip.stem().string());
    EXPECT_EQ(x.unpack(out), 0);
    EXPECT_EQ(x.message_texts(), std::vector<std::string>{});
    EXPECT_EQ(x.window.questions.size(), password.empty() ? 0u : 1u);
    src.expect_extracted(out, check_modes);
}

TEST(ZipExtractRealTools, InfoZipEveryLevel)
{
    if (!test::have_tool("zip"))
        GTEST_SKIP() << "zip not installed";
    SourceTree src;
    for (int level = 0; level <= 9; ++level) {
        SCOPED_TRACE(level);
        const fs::path zip = src.dir / ("level" + std::to_string(level) + ".zip");
        ASSERT_TRUE(src.pack("zip -q -r -" + std::to_string(level) + " " + test::shell_quote(zip.string()) + " ."));
        extract_and_compare(src, zip, "", true);
    }
}

TEST(ZipExtractRealTools, InfoZipPasswords)
{
    if (!test::have_tool("zip"))
        GTEST_SKIP() << "zip not installed";
    SourceTree src;
    // Info-ZIP sets flags bit 3 on encrypted entries and checks with the time byte.
    for (const std::string password : {"secret", "p\xc3\xa4sswort \xe2\x82\xac"}) {
        SCOPED_TRACE(password);
        const fs::path zip = src.dir / ("pw" + std::to_string(password.size()) + ".zip");
        ASSERT_TRUE(src.pack("zip -q -r -P " + test::shell_quote(password) + " " + test::shell_quote(zip.string())
                             + " ."));
        extract_and_compare(src, zip, password, true);

        // zip draws each encryption header at random, so a wrong password
        // passes the one-byte check now and then (for bit-3 entries two bytes
        // are accepted, and a non-ASCII password is tried in three encodings).
        // Of a few wrong passwords, at least one must be refused outright.
        bool refused = false;
        for (const char* suffix : {"x", "y", "z", "xy", "yz", "zx", "q", "qq"}) {
            test::ZipExtraction wrong(zip);
            wrong.window.input_answers = {password + suffix};
            const int result = wrong.unpack(src.dir / "wrong");
            fs::remove_all(src.dir / "wrong");
            if (result == -1 && wrong.message_texts() == std::vector<std::string>{"Invalid Password."}) {
                refused = true;
                break;
            }
        }
        EXPECT_TRUE(refused);
    }
}

TEST(ZipExtractRealTools, SevenZipDeflateDeflate64AndZipCrypto)
{
    if (!test::have_tool("7z"))
        GTEST_SKIP() << "7z not installed";
    SourceTree src;
    struct Case {
        const char* name;
        const char* options;
        const char* password;
    };
    for (const Case c : {Case{"deflate", "-mm=Deflate -mx=9", ""}, Case{"deflate64", "-mm=Deflate64 -mx=9", ""},
                         Case{"store", "-mx=0", ""}, Case{"zipcrypto", "-mm=Deflate -mem=ZipCrypto -psecret", "secret"}}) {
        SCOPED_TRACE(c.name);
        const fs::path zip = src.dir / (std::string("7z-") + c.name + ".zip");
        ASSERT_TRUE(src.pack(std::string("7z a -tzip ") + c.options + " " + test::shell_quote(zip.string()) + " ."));
        // 7-Zip keeps the times; its permission field is checked by the other tools.
        extract_and_compare(src, zip, c.password, false);
    }
}

TEST(ZipExtractRealTools, PythonZipfile)
{
    if (!test::have_tool("python3"))
        GTEST_SKIP() << "python3 not installed";
    SourceTree src;
    const fs::path zip = src.dir / "python.zip";
    const std::string script =
        "import os, sys, zipfile\n"
        "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
        "    for d, dirs, files in os.walk('.'):\n"
        "        for n in sorted(dirs + files):\n"
        "            p = os.path.join(d, n)[2:]\n"
        "            z.write(p, p, zipfile.ZIP_STORED if n.endswith('.bin') else zipfile.ZIP_DEFLATED)\n";
    test::write_file(src.dir / "pack.py", script);
    ASSERT_TRUE(src.pack("python3 " + test::shell_quote((src.dir / "pack.py").string()) + " "
                         + test::shell_quote(zip.string())));
    extract_and_compare(src, zip, "", true);
}

TEST(ZipExtractRealTools, PasswordsSetInLegacyCodePages)
{
    // "Grüße" typed here (UTF-8) opens archives whose password was set as
    // Windows-1252 or code page 437 bytes.
    for (const char* name : {"password-cp1252.zip", "password-cp437.zip"}) {
        SCOPED_TRACE(name);
        test::TempDir dir;
        test::ZipExtraction x(test::data_dir() / "zip" / name);
        x.window.input_answers = {"Gr\xc3\xbc\xc3\x9f" "e"};
        EXPECT_EQ(x.unpack(dir / "out"), 0);
        EXPECT_EQ(x.message_texts(), std::vector<std::string>{});
        EXPECT_EQ(test::file_text(dir / "out" / "legacy.txt"), test::file_text(test::data_dir() / "zip" / "legacy.txt"));

        test::ZipExtraction ascii(test::data_dir() / "zip" / name);
        ascii.window.input_answers = {"Grusse"};
        EXPECT_EQ(ascii.unpack(dir / "wrong"), -1);
    }
}

} // namespace
} // namespace velmora

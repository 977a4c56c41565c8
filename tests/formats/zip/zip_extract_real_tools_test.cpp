// Guards extraction of archives made by the tools people use: Info-ZIP zip at
// every level and with passwords (ASCII and UTF-8), 7-Zip (Deflate, Deflate64,
// ZipCrypto) and Python's zipfile must give back the very files they packed,
// with their folders, modification times and (UNIX-made) permissions.
#include "formats/zip/zip_extract_support.h"

#include <gtest/gtest.h>


namespace velmora {
namespace {

namespace fs = std::filesystem;

using test::SourceTree;
using test::extract_and_compare;

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

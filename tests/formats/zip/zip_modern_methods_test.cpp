// Guards the ZIP methods of today's tools end to end through the reader: 7-Zip
// (BZip2, LZMA, PPMd, Deflate64, each plain and under WinZip AES-128/256) and
// Python's zipfile (BZip2, LZMA) must give back the files they packed; entries
// no Debian tool writes (Zstandard, XZ, AE-1 and AE-2) are built here. A wrong
// AES password is refused before decoding, and AES data whose authentication
// code fails is damaged and never replaces an existing file.
#include "codecs/Crypto.h"
#include "formats/zip/zip_extract_support.h"
#include "formats/zip/zip_test_builder.h"

#include <gtest/gtest.h>
#include <lzma.h>
#include <zstd.h>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using test::ZipTestEntry;

std::span<const uint8_t> bytes_of(const std::string& s)
{
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// WinZip AES: salt, 2-byte verifier, AES-CTR data (little-endian counter
// from 1), the first 10 bytes of HMAC-SHA1 over the encrypted data.
std::string aes_encrypt(const std::string& plain, const std::string& password, uint8_t strength)
{
    const size_t key = 8 + 8 * size_t{strength};
    const std::string salt = std::string("saltsaltsaltsaltsalt").substr(0, 4 + 4 * size_t{strength});
    std::vector<uint8_t> derived(2 * key + 2);
    EXPECT_TRUE(crypto::pbkdf2_hmac(crypto::Hash::sha1, bytes_of(password), bytes_of(salt), 1000, derived));
    std::string data = plain;
    crypto::AesCtrLittleEndian ctr;
    EXPECT_TRUE(ctr.init(std::span(derived).first(key)));
    EXPECT_TRUE(ctr.apply(std::span(reinterpret_cast<uint8_t*>(data.data()), data.size())));
    std::array<uint8_t, crypto::sha1_size> mac{};
    EXPECT_TRUE(crypto::hmac(crypto::Hash::sha1, std::span(derived).subspan(key, key), bytes_of(data), mac));
    return salt + std::string(derived.begin() + 2 * static_cast<long>(key), derived.end()) + data
           + std::string(mac.begin(), mac.begin() + 10);
}

// The 0x9901 extra field: vendor version, "AE", strength, real method.
std::string aes_extra(uint16_t version, uint8_t strength, uint16_t method)
{
    std::vector<uint8_t> b;
    test::put16(b, 0x9901);
    test::put16(b, 7);
    test::put16(b, version);
    b.push_back('A');
    b.push_back('E');
    b.push_back(strength);
    test::put16(b, method);
    return {b.begin(), b.end()};
}

std::string zstd_compress(const std::string& s)
{
    std::string out(ZSTD_compressBound(s.size()), '\0');
    const size_t n = ZSTD_compress(out.data(), out.size(), s.data(), s.size(), 9);
    EXPECT_FALSE(ZSTD_isError(n));
    out.resize(n);
    return out;
}

std::string xz_compress(const std::string& s)
{
    std::string out(lzma_stream_buffer_bound(s.size()), '\0');
    size_t pos = 0;
    EXPECT_EQ(lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, reinterpret_cast<const uint8_t*>(s.data()), s.size(),
                                      reinterpret_cast<uint8_t*>(out.data()), &pos, out.size()),
              LZMA_OK);
    out.resize(pos);
    return out;
}

std::string sample_text()
{
    std::string text;
    for (int i = 0; i < 3000; ++i)
        text += "entry line " + std::to_string(i * 7919 % 1000) + " of the modern methods\n";
    return text;
}

TEST(ZipModernMethods, SevenZipMethodsPlainAndUnderAes)
{
    if (!test::have_tool("7z"))
        GTEST_SKIP() << "7z not installed";
    test::SourceTree src;
    struct Case {
        const char* method; // -mm
        const char* text;   // the listing's method text of a packed file
    };
    for (const Case c : {Case{"BZip2", "BZip2"}, Case{"LZMA", "LZMA"}, Case{"PPMd", "PPMd"},
                         Case{"Deflate64", "Enhanced Deflating"}}) {
        for (const char* aes : {"", "AES128", "AES256"}) {
            SCOPED_TRACE(std::string(c.method) + " " + aes);
            // 7z takes no non-ASCII password under the C locale the tests run in.
            const std::string password = *aes ? "sesame" : "";
            const fs::path zip = src.dir / (std::string(c.method) + aes + ".zip");
            std::string options = std::string("-mm=") + c.method;
            if (*aes)
                options += std::string(" -mem=") + aes + " -p" + test::shell_quote(password);
            ASSERT_TRUE(src.pack("7z a -tzip " + options + " " + test::shell_quote(zip.string()) + " ."));

            test::ZipExtraction listed(zip);
            bool seen = false;
            for (int32_t k = 1; k <= listed.files.FileCount(); ++k) {
                if (listed.files.FileName(k) != "readme.txt")
                    continue;
                seen = true;
                const std::string suffix = !*aes ? "" : std::string(aes) == "AES128" ? " (AES-128)" : " (AES-256)";
                EXPECT_EQ(listed.files.Method(k), c.text + suffix);
                EXPECT_EQ(listed.files.Encrypted(k), *aes != '\0');
                EXPECT_FALSE(listed.files.extract_blocker(k));
            }
            EXPECT_TRUE(seen);
            test::extract_and_compare(src, zip, password, false);
        }
    }
}

TEST(ZipModernMethods, PythonZipfileBzip2AndLzma)
{
    if (!test::have_tool("python3"))
        GTEST_SKIP() << "python3 not installed";
    test::SourceTree src;
    for (const char* method : {"ZIP_BZIP2", "ZIP_LZMA"}) {
        SCOPED_TRACE(method);
        const fs::path zip = src.dir / (std::string(method) + ".zip");
        const std::string script = std::string("import os, sys, zipfile\n"
                                               "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.")
                                   + method
                                   + ") as z:\n"
                                     "    for d, dirs, files in os.walk('.'):\n"
                                     "        for n in sorted(dirs + files):\n"
                                     "            p = os.path.join(d, n)[2:]\n"
                                     "            z.write(p, p)\n";
        test::write_file(src.dir / "pack.py", script);
        ASSERT_TRUE(src.pack("python3 " + test::shell_quote((src.dir / "pack.py").string()) + " "
                             + test::shell_quote(zip.string())));
        test::extract_and_compare(src, zip, "", true);
    }
}

// Entries built here: each row one archive of one entry (plus a stored one
// after it, which must always come out), with what extraction must give.
struct BuiltCase {
    const char* name;
    ZipTestEntry entry;
    const char* password;          // the answer to the prompt ("" = none asked)
    std::vector<std::string> messages;
    std::string outcome;           // of entry 1
    bool written;                  // the entry's file exists afterwards
    int result;                    // UnPack's
};

std::vector<BuiltCase> built_cases()
{
    const std::string text = sample_text();
    const uint32_t crc = test::crc_of(text);
    const auto size = static_cast<uint32_t>(text.size());
    const auto entry = [&](uint16_t method, std::string data, uint16_t flags = 0, std::string extra = {},
                           std::optional<uint32_t> stored_crc = std::nullopt) {
        return ZipTestEntry{.name = "f.txt", .data = std::move(data), .flags = flags, .method = method,
                            .crc = stored_crc.value_or(crc), .uncompressed_size = size, .extra = std::move(extra)};
    };
    std::string flipped = aes_encrypt(text, "pw", 3);
    flipped[40] = static_cast<char>(flipped[40] ^ 0x20); // inside the encrypted data
    std::string bad_code = aes_encrypt(text, "pw", 1);
    bad_code.back() = static_cast<char>(bad_code.back() ^ 1); // the authentication code itself
    const std::vector<std::string> none;
    const std::vector<std::string> crc_message{"CRC calculation failed."};
    return {
        {"zstandard", entry(93, zstd_compress(text)), "", none, "extracted", true, 0},
        {"xz", entry(95, xz_compress(text)), "", none, "extracted", true, 0},
        {"AE-1 stored AES-128", entry(99, aes_encrypt(text, "pw", 1), 1, aes_extra(1, 1, 0)), "pw", none, "extracted", true, 0},
        {"AE-1 deflated AES-192", entry(99, aes_encrypt(test::raw_deflate(text), "pw", 2), 1, aes_extra(1, 2, 8)), "pw", none,
         "extracted", true, 0},
        {"AE-2 zstandard AES-256, CRC 0", entry(99, aes_encrypt(zstd_compress(text), "pw", 3), 1, aes_extra(2, 3, 93), 0),
         "pw", none, "extracted", true, 0},
        // AE-1 keeps the CRC and it is checked; the same CRC of 0 under AE-2 is not.
        {"AE-1 with a wrong CRC", entry(99, aes_encrypt(text, "pw", 1), 1, aes_extra(1, 1, 0), crc ^ 1), "pw", crc_message,
         "failed:damaged", true, 0},
        {"AE-1 with CRC 0", entry(99, aes_encrypt(text, "pw", 1), 1, aes_extra(1, 1, 0), 0), "pw", crc_message,
         "failed:damaged", true, 0},
        {"wrong password", entry(99, aes_encrypt(text, "pw", 3), 1, aes_extra(1, 3, 0)), "wrong",
         {"Invalid Password."}, "failed:wrong-password", false, -1},
        {"no password", entry(99, aes_encrypt(text, "pw", 3), 1, aes_extra(1, 3, 0)), "", {"Invalid Password."},
         "failed:wrong-password", false, -1},
        {"altered data fails the code", entry(99, flipped, 1, aes_extra(2, 3, 0), 0), "pw", crc_message,
         "failed:damaged", true, 0},
        {"altered code", entry(99, bad_code, 1, aes_extra(2, 1, 0), 0), "pw", crc_message, "failed:damaged", true, 0},
        {"AES data shorter than its overhead", entry(99, "short", 1, aes_extra(1, 3, 0)), "", {"Error in decompressed size."},
         "failed:damaged", false, 0},
        {"AES with method 7 inside", entry(99, aes_encrypt(text, "pw", 1), 1, aes_extra(1, 1, 7)), "", none,
         "skipped:unsupported-method", false, -10},
        {"zstandard cut short", entry(93, zstd_compress(text).substr(0, 100)), "",
         {"CRC calculation failed.", "Error in decompressed size."}, "failed:damaged", false, 0},
    };
}

TEST(ZipModernMethods, BuiltEntries)
{
    for (const BuiltCase& c : built_cases()) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const fs::path zip = test::save_zip(dir, "t.zip", test::build_zip({c.entry, {.name = "after.txt", .data = "after"}}));
        test::ZipExtraction x(zip);
        ASSERT_EQ(x.files.FileCount(), 2);
        x.window.input_answers = {c.password};
        EXPECT_EQ(x.unpack(dir / "out"), c.result);
        EXPECT_EQ(x.message_texts(), c.messages);
        EXPECT_EQ(x.outcome(1), c.outcome);
        EXPECT_EQ(fs::exists(dir / "out" / "f.txt"), c.written);
        if (c.outcome == "extracted")
            EXPECT_EQ(test::file_text(dir / "out" / "f.txt"), sample_text());
        // A refused password ends the run; everything else goes on.
        EXPECT_EQ(fs::exists(dir / "out" / "after.txt"), c.result != -1);
        // The prompt comes only for entries that are decrypted.
        EXPECT_EQ(x.window.questions.size(), *c.password || c.outcome.find("password") != std::string::npos ? 1u : 0u);
    }
}

TEST(ZipModernMethods, DamagedAesEntryNeverReplacesAFile)
{
    const std::string text = sample_text();
    std::string altered = aes_encrypt(text, "pw", 1);
    altered[30] = static_cast<char>(altered[30] ^ 0x01);
    test::TempDir dir;
    const fs::path zip = test::save_zip(
        dir, "t.zip",
        test::build_zip({{.name = "f.txt", .data = altered, .flags = 1, .method = 99, .crc = 0,
                          .uncompressed_size = static_cast<uint32_t>(text.size()), .extra = aes_extra(2, 1, 0)}}));
    fs::create_directories(dir / "out");
    test::write_file(dir / "out" / "f.txt", std::string("the good file"));
    test::ZipExtraction x(zip);
    x.window.input_answers = {"pw"};
    x.window.overwrite = true;
    x.unpack(dir / "out");
    EXPECT_EQ(x.outcome(1), "failed:damaged");
    EXPECT_EQ(test::file_text(dir / "out" / "f.txt"), "the good file");
    EXPECT_EQ(test::tree_of(dir / "out"), (std::map<std::string, std::string>{{"f.txt", "the good file"}}));
}

TEST(ZipModernMethods, ShrunkAndImplodedArchivesMatchInfoZip)
{
    if (!test::have_tool("unzip"))
        GTEST_SKIP() << "unzip not installed";
    int entries = 0;
    for (const char* name : {"SHRUNK.ZIP", "imploding-4Kdict-2trees.zip", "imploding-8Kdict-3trees.zip",
                             "lorem-ipsum-implode.zip", "moby-imploded-subset.zip"}) {
        SCOPED_TRACE(name);
        const fs::path zip = test::data_dir() / "zip-shrink-implode" / name;
        test::TempDir dir;
        ASSERT_EQ(test::run_command("unzip -qq -o " + test::shell_quote(zip.string()) + " -d "
                                    + test::shell_quote((dir / "unzip").string())),
                  0);
        test::ZipExtraction x(zip);
        ASSERT_GT(x.files.FileCount(), 0);
        EXPECT_EQ(x.unpack(dir / "ours"), 0);
        EXPECT_EQ(x.message_texts(), std::vector<std::string>{});
        for (int32_t k = 1; k <= x.files.FileCount(); ++k) {
            EXPECT_EQ(x.outcome(k), "extracted") << x.files.FileName(k);
            ++entries;
        }
        EXPECT_EQ(test::tree_of(dir / "ours"), test::tree_of(dir / "unzip"));
    }
    EXPECT_EQ(entries, 9);
}

TEST(ZipModernMethods, OnePromptServesAesAndTraditionalEntries)
{
    if (!test::have_tool("7z"))
        GTEST_SKIP() << "7z not installed";
    test::SourceTree src;
    const fs::path zip = src.dir / "mixed.zip";
    ASSERT_TRUE(src.pack("7z a -tzip -mem=AES256 -pboth " + test::shell_quote(zip.string()) + " readme.txt"));
    ASSERT_TRUE(src.pack("7z a -tzip -mem=ZipCrypto -pboth " + test::shell_quote(zip.string()) + " run.sh"));
    test::ZipExtraction x(zip);
    ASSERT_EQ(x.files.FileCount(), 2);
    x.window.input_answers = {"both"};
    EXPECT_EQ(x.unpack(src.dir / "out"), 0);
    EXPECT_EQ(x.window.questions.size(), 1u);
    EXPECT_EQ(x.message_texts(), std::vector<std::string>{});
    EXPECT_EQ(test::file_text(src.dir / "out" / "readme.txt"), test::file_text(src.root / "readme.txt"));
    EXPECT_EQ(test::file_text(src.dir / "out" / "run.sh"), test::file_text(src.root / "run.sh"));
}

} // namespace
} // namespace velmora

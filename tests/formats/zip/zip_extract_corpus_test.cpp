// Guards extraction of the shared corpus: every ZIP this reader loads must
// give the bytes the peers agreed on (expected.json sha256) for each entry it
// extracts, with exactly the messages its damage calls for; the Reduce and
// Deflate64 vectors of zip-legacy likewise.
#include "formats/zip/zip_corpus_expectations.h"
#include "formats/zip/zip_extract_support.h"

#include <gtest/gtest.h>

#include <set>

namespace velmora {
namespace {

namespace fs = std::filesystem;

// SHA-256 of a file through coreutils' sha256sum.
std::string sha256_of(const fs::path& p)
{
    std::string out;
    if (test::run_command("sha256sum < " + test::shell_quote(p.string()), &out) != 0 || out.size() < 64)
        return "unreadable";
    return out.substr(0, 64);
}

// Messages an archive's own damage or format calls for.
const std::map<std::string, std::vector<std::string>>& expected_messages()
{
    static const std::map<std::string, std::vector<std::string>> table = {
        // file2's stored CRC is deliberately wrong.
        {"test_read_format_zip.zip", {"CRC calculation failed."}},
        // "def" is a folder by its DOS attribute only; without a trailing "/"
        // it is written as an empty file, so def/foo cannot be.
        {"test_read_format_zip_msdos.zip", {"Error writing zip file"}},
        // The deflate stream gives more than the declared size.
        {"test_read_format_zip_size_exceeds_declared_deflate.zip",
         {"CRC calculation failed.", "Error in decompressed size."}},
        // The Zip64 size is 4 GiB more than the five stored bytes give.
        {"test_read_format_zip_uncompressed_size_off_by_4gib.zip", {"Error in decompressed size."}},
        // A symbolic link to the output folder's parent is refused.
        {"test_symlink_dotdot.zip", {"Unsafe path skipped: dotdot"}},
        // PKWARE strong encryption (flags bit 6): its check byte never matches.
        {"test_read_format_zip_encryption_data.zip", {"Invalid Password."}},
        {"test_read_format_zip_encryption_partially.zip", {"Invalid Password."}},
    };
    return table;
}

// Entries whose bytes this extractor does not give, with the reason.
const std::map<std::pair<std::string, std::string>, const char*>& not_compared()
{
    static const std::map<std::pair<std::string, std::string>, const char*> table = {
        {{"test_read_format_zip_msdos.zip", "def/foo"}, "its folder was written as a file (above)"},
        {{"test_read_format_zip_size_exceeds_declared_deflate.zip", "first"}, "damaged on purpose"},
        {{"test_read_format_zip_uncompressed_size_off_by_4gib.zip", "hello.txt"}, "Zip64 sizes"},
        {{"test_symlink_dotdot.zip", "dotdot"}, "a link out of the output folder (above)"},
        {{"test_read_format_zip_encryption_data.zip", "bar.txt"}, "strong encryption"},
        {{"test_read_format_zip_encryption_data.zip", "foo.txt"}, "strong encryption"},
        {{"test_read_format_zip_encryption_partially.zip", "foo.txt"}, "strong encryption"},
    };
    return table;
}

// Every method but Tokenize (7) and PKWARE DCL Implode (10); WinZip AES (99)
// with the password the corpus gives.
bool extracted_method(int m)
{
    return (m >= 0 && m <= 9 && m != 7) || m == 12 || m == 14 || m == 93 || m == 95 || m == 98 || m == 99;
}

TEST(ZipExtractCorpus, EveryLoadedArchiveGivesThePeersBytes)
{
    if (!test::corpus_available())
        GTEST_SKIP() << "corpus not present";
    int compared = 0;
    for (const fs::path& archive : test::corpus_zip_archives()) {
        const std::string file = archive.filename().string();
        if (test::corpus_not_loaded().count(file))
            continue; // the listing tests cover these
        SCOPED_TRACE(file);
        const nlohmann::json want = test::read_json(archive.string() + ".expected.json");
        test::TempDir dir;
        test::ZipExtraction x(archive);
        ASSERT_GT(x.files.FileCount(), 0);
        if (want["password"].is_string())
            x.window.input_answers = {want["password"].get<std::string>()};
        x.unpack(dir / "out");

        const auto it = expected_messages().find(file);
        EXPECT_EQ(x.message_texts(), it == expected_messages().end() ? std::vector<std::string>{} : it->second);

        for (const auto& e : want["entries"]) {
            const std::string name = e["name"].get<std::string>();
            if (!e.contains("sha256") || !e["sha256"].is_string() || not_compared().count({file, name}))
                continue;
            // "\" separates folders here as well.
            std::string rel = name;
            std::replace(rel.begin(), rel.end(), '\\', '/');
            const fs::path got = dir / "out" / rel;
            SCOPED_TRACE(name);
            if (!extracted_method(e["method_code"].get<int>())) {
                EXPECT_FALSE(fs::exists(got)); // skipped without a word
                continue;
            }
            if (fs::is_symlink(got)) {
                // A link's data is its target, which is what the peers hashed.
                test::TempDir target;
                test::write_file(target / "t", fs::read_symlink(got).string());
                EXPECT_EQ(sha256_of(target / "t"), e["sha256"].get<std::string>());
            } else {
                EXPECT_EQ(sha256_of(got), e["sha256"].get<std::string>());
            }
            ++compared;
        }
    }
    EXPECT_GT(compared, 60);
}

TEST(ZipExtractCorpus, ReduceAndDeflate64Vectors)
{
    if (!test::corpus_available())
        GTEST_SKIP() << "corpus not present";
    const fs::path legacy = test::corpus_dir() / "zip-legacy";
    const nlohmann::json want = test::read_json(legacy / "expected.json");
    std::set<int> methods;
    for (const auto& [file, archive] : want["archives"].items()) {
        SCOPED_TRACE(file);
        test::TempDir dir;
        test::ZipExtraction x(legacy / file);
        ASSERT_GT(x.files.FileCount(), 0);
        EXPECT_EQ(x.unpack(dir / "out"), 0);
        EXPECT_EQ(x.message_texts(), std::vector<std::string>{});
        for (const auto& e : archive["entries"]) {
            const std::string name = e["name"].get<std::string>();
            SCOPED_TRACE(name);
            if (name.ends_with("/")) {
                EXPECT_TRUE(fs::is_directory(dir / "out" / name));
                continue;
            }
            EXPECT_EQ(sha256_of(dir / "out" / name), e["sha256"].get<std::string>());
            methods.insert(e["method"].get<int>());
        }
    }
    EXPECT_EQ(methods, (std::set<int>{0, 5, 8, 9}));
}

} // namespace
} // namespace velmora

// Guards the search for a ZIP archive that does not start at the first byte of
// its file: self-extractor stubs and padding in front of it, with offsets that
// `zip -A` or Python's append mode adjusted and with offsets left as plain
// `cat` leaves them, classic and Zip64, under any file name; and a ZIP kept in
// another ZIP's comment, where the outer archive is the one to list. Info-ZIP
// unzip, which handles all of these, is the oracle for names and contents.
#include "support/Extraction.h"
#include "support/LargeArchives.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

namespace velmora {
namespace {

namespace fs = std::filesystem;

// Packs the folder argv[2] into argv[3] with Python's zipfile. "zip64" makes
// every record it can Zip64 (sizes, offsets and the Zip64 end record and
// locator); "append" writes after whatever argv[3] already holds, with offsets
// counted from the start of the file, as the module does for self-extractors.
constexpr const char* python_packer = R"PY(
import os, sys, zipfile
mode, src, dest = sys.argv[1], sys.argv[2], sys.argv[3]
if 'zip64' in mode:
    zipfile.ZIP64_LIMIT = 0
    zipfile.ZIP_FILECOUNT_LIMIT = 0
with zipfile.ZipFile(dest, 'a' if 'append' in mode else 'w', zipfile.ZIP_DEFLATED) as z:
    for root, dirs, files in sorted(os.walk(src)):
        dirs.sort()
        rel = os.path.relpath(root, src)
        if rel != '.':
            z.write(root, rel)
        for f in sorted(files):
            z.write(os.path.join(root, f), os.path.normpath(os.path.join(rel, f)))
    if len(sys.argv) > 4:
        z.comment = open(sys.argv[4], 'rb').read()
        if len(sys.argv) > 5:
            z.comment += sys.argv[5].encode()
)PY";

enum class Writer { infozip, python, python_zip64 };
enum class Prefix {
    none,
    unadjusted,       // cat stub archive
    adjusted,         // cat stub archive, then zip -A
    appended,         // Python's append mode onto the stub
    sfx_adjusted,     // cat unzipsfx archive, then zip -A: a real self-extractor
    sfx_unadjusted,   // cat unzipsfx archive
    zero_padding,     // 1000 zero bytes in front, unadjusted
};

struct PrefixCase {
    const char* label;
    Writer writer;
    Prefix prefix;
    const char* file_name; // the archive's own name: none of them says "zip"
};

std::ostream& operator<<(std::ostream& os, const PrefixCase& c) { return os << c.label; }

class ZipPrefixed : public ::testing::TestWithParam<PrefixCase> {
protected:
    void SetUp() override
    {
        for (const char* tool : {"zip", "unzip", "python3"})
            if (!test::have_tool(tool))
                GTEST_SKIP() << tool << " not installed";
        fs::create_directories(src_ / "docs" / "deep");
        std::string text;
        for (int i = 0; i < 3000; ++i)
            text += "line " + std::to_string(i) + " of the packed text\n";
        std::string noise(90000, '\0');
        std::mt19937 rng(77);
        for (auto& c : noise)
            c = static_cast<char>(rng());
        test::write_file(src_ / "readme.txt", text);
        test::write_file(src_ / "docs" / "noise.bin", noise);
        test::write_file(src_ / "docs" / "deep" / "short.txt", std::string("short\n"));
    }

    // The archive of the source tree as `writer` makes it.
    fs::path pack(Writer writer, const std::string& name)
    {
        const fs::path out = dir_ / name;
        if (writer == Writer::infozip) {
            EXPECT_EQ(test::run_command("cd " + test::shell_quote(src_.string()) + " && zip -q -r "
                                        + test::shell_quote(out.string()) + " ."),
                      0);
        } else {
            EXPECT_EQ(test::run_python(dir_, python_packer,
                                       {writer == Writer::python ? "plain" : "zip64", src_.string(), out.string()}),
                      0);
        }
        return out;
    }

    // Names as unzip lists them, in stored order.
    static std::vector<std::string> unzip_names(const fs::path& archive)
    {
        std::string text;
        test::run_command("unzip -Z1 " + test::shell_quote(archive.string()) + " 2>/dev/null", &text);
        std::vector<std::string> names;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            names.push_back(line);
        return names;
    }

    // What unzip extracts from the archive.
    std::map<std::string, std::string> unzip_tree(const fs::path& archive)
    {
        const fs::path out = dir_ / "by-unzip";
        fs::remove_all(out);
        test::run_command("unzip -qq -o " + test::shell_quote(archive.string()) + " -d " + test::shell_quote(out.string())
                          + " >/dev/null 2>&1");
        return test::tree_of(out);
    }

    // Lists and extracts `archive` and compares both with unzip.
    void expect_like_unzip(const fs::path& archive)
    {
        const std::vector<std::string> want = unzip_names(archive);
        ASSERT_FALSE(want.empty()) << "unzip found no archive";
        test::Extraction x(archive);
        ASSERT_EQ(x.files.state().PackFileType, format_code::zip);
        std::vector<std::string> names;
        for (int32_t k = 1; k <= x.files.FileCount(); ++k)
            names.push_back(x.files.FileName(k));
        EXPECT_EQ(names, want);

        const fs::path out = dir_ / "by-velmora";
        x.unpack(out);
        EXPECT_TRUE(x.window.messages.empty()) << x.window.messages.front().text;
        EXPECT_TRUE(x.report().all_extracted());
        const auto tree = unzip_tree(archive);
        EXPECT_FALSE(tree.empty());
        EXPECT_EQ(test::tree_of(out), tree);
    }

    test::TempDir dir_;
    fs::path src_ = dir_ / "src";
};

TEST_P(ZipPrefixed, ListsAndExtractsAsUnzipDoes)
{
    const PrefixCase& c = GetParam();
    const fs::path stub = dir_ / "stub";
    if (c.prefix == Prefix::sfx_adjusted || c.prefix == Prefix::sfx_unadjusted) {
        if (!fs::exists("/usr/bin/unzipsfx"))
            GTEST_SKIP() << "unzipsfx not installed";
        fs::copy_file("/usr/bin/unzipsfx", stub);
    } else if (c.prefix == Prefix::zero_padding) {
        test::write_file(stub, std::string(1000, '\0'));
    } else {
        // A shell script stub: no "PK" at the start, nothing a reader could
        // take for a record.
        std::string script = "#!/bin/sh\necho 'this archive extracts itself'\nexit 0\n";
        script += std::string(4093 - script.size(), '#') + "\n";
        test::write_file(stub, script);
    }

    const fs::path archive = dir_ / c.file_name;
    if (c.prefix == Prefix::appended) {
        fs::copy_file(stub, archive);
        ASSERT_EQ(test::run_python(dir_, python_packer, {"append-zip64", src_.string(), archive.string()}), 0);
    } else {
        const fs::path plain = pack(c.writer, "plain.zip");
        if (c.prefix == Prefix::none) {
            fs::copy_file(plain, archive);
        } else {
            ASSERT_EQ(test::run_command("cat " + test::shell_quote(stub.string()) + " " + test::shell_quote(plain.string())
                                        + " > " + test::shell_quote(archive.string())),
                      0);
        }
        if (c.prefix == Prefix::adjusted || c.prefix == Prefix::sfx_adjusted)
            ASSERT_EQ(test::run_command("zip -q -A " + test::shell_quote(archive.string()) + " >/dev/null 2>&1"), 0);
    }
    expect_like_unzip(archive);
}

INSTANTIATE_TEST_SUITE_P(
    Writers, ZipPrefixed,
    ::testing::Values(PrefixCase{"InfoZipPlain", Writer::infozip, Prefix::none, "plain.bin"},
                      PrefixCase{"InfoZipUnadjusted", Writer::infozip, Prefix::unadjusted, "setup.sh"},
                      PrefixCase{"InfoZipAdjusted", Writer::infozip, Prefix::adjusted, "setup"},
                      PrefixCase{"InfoZipSelfExtractor", Writer::infozip, Prefix::sfx_adjusted, "installer.exe"},
                      PrefixCase{"InfoZipSelfExtractorUnadjusted", Writer::infozip, Prefix::sfx_unadjusted, "installer.run"},
                      PrefixCase{"InfoZipZeroPadding", Writer::infozip, Prefix::zero_padding, "padded.img"},
                      PrefixCase{"PythonZip64Plain", Writer::python_zip64, Prefix::none, "z64.dat"},
                      PrefixCase{"PythonZip64Unadjusted", Writer::python_zip64, Prefix::unadjusted, "z64.sh"},
                      PrefixCase{"PythonZip64Appended", Writer::python_zip64, Prefix::appended, "z64-appended.sh"},
                      PrefixCase{"PythonUnadjusted", Writer::python, Prefix::unadjusted, "py.sh"}),
    [](const auto& info) { return std::string(info.param.label); });

// A ZIP whose comment holds a whole other ZIP (end record included), with or
// without text after it: the outer archive's entries are listed and the
// archive comment runs to the end of the file. The inner end record comes
// last in the file, but the directory it points to is not there (its offsets
// are the inner archive's own), so it is passed over. unzip, which adjusts
// such offsets, lists the inner archive when the comment ends with it; where
// it lists the outer one we must agree with it entry for entry.
TEST_F(ZipPrefixed, ZipInAnotherZipsCommentListsTheOuterArchive)
{
    const fs::path inner_src = dir_ / "inner-src";
    fs::create_directories(inner_src);
    test::write_file(inner_src / "inner-only.txt", std::string("I am inside the comment\n"));
    const fs::path inner = dir_ / "inner.zip";
    ASSERT_EQ(test::run_command("cd " + test::shell_quote(inner_src.string()) + " && zip -q "
                                + test::shell_quote(inner.string()) + " inner-only.txt"),
              0);

    for (const std::string trailer : {"", " -- and some words after it"}) {
        SCOPED_TRACE("text after the inner archive: '" + trailer + "'");
        const fs::path outer = dir_ / "outer.zip";
        fs::remove(outer);
        std::vector<std::string> args{"plain", src_.string(), outer.string(), inner.string()};
        if (!trailer.empty())
            args.push_back(trailer);
        ASSERT_EQ(test::run_python(dir_, python_packer, args), 0);
        if (unzip_names(outer).size() == 5u) // docs/, docs/deep/, short.txt, noise.bin, readme.txt
            expect_like_unzip(outer);

        test::Extraction x(outer);
        ASSERT_EQ(x.files.FileCount(), 5);
        for (int32_t k = 1; k <= 5; ++k)
            EXPECT_NE(x.files.FileName(k), "inner-only.txt");
        EXPECT_GE(x.files.CommentsPack().size(), fs::file_size(inner));
        if (!trailer.empty()) {
            const std::string comment = x.files.CommentsPack();
            EXPECT_EQ(comment.substr(comment.size() - trailer.size()), trailer);
        }
        fs::remove_all(dir_ / "by-velmora");
    }
}

} // namespace
} // namespace velmora

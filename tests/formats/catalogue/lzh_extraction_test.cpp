// Guards the LZH/LHA extraction run against trees that collapse or lose
// entries, bytes that differ from what lha/jlha stored, times that differ
// from lhasa's, damaged data that passes as good or leaves files behind,
// methods reported as extracted that are not, and names or links that reach
// outside the output folder.
#include "support/DamageSweep.h"
#include "support/ExtractedTree.h"
#include "support/Extraction.h"
#include "lzh_builder.h"

#include "codecs/Crc16.h"

#include <gtest/gtest.h>

#include <random>

using namespace velmora;
using namespace velmora::test;
namespace fs = std::filesystem;

namespace {

// Text that compresses, bytes that do not, an empty file, nested folders and
// an empty folder; times at odd seconds (DOS words keep even ones).
void make_source(const fs::path& src)
{
    fs::create_directories(src / "sub" / "deep");
    fs::create_directories(src / "empty");
    std::string text;
    for (int i = 0; text.size() < 90000; ++i)
        text += "line " + std::to_string(i % 97) + " of the LZH source text\n";
    write_file(src / "a.txt", text);
    std::mt19937 rng(3);
    std::vector<uint8_t> noise(70000);
    for (auto& b : noise)
        b = static_cast<uint8_t>(rng());
    write_file(src / "sub" / "noise.bin", noise);
    write_file(src / "sub" / "deep" / "c.txt", std::string(40000, 'c') + text.substr(0, 30000));
    write_file(src / "zero.txt", std::string());
    run_command("touch -d '2021-03-04 05:06:07' " + shell_quote((src / "a.txt").string()));
    run_command("touch -d '1999-12-31 23:59:59' " + shell_quote((src / "sub" / "deep" / "c.txt").string()));
}

struct jlha_case {
    const char* name;
    const char* command; // jlha's command letters
    int level;
};

class LzhJlhaExtraction : public ::testing::TestWithParam<jlha_case> {};

TEST_P(LzhJlhaExtraction, TreeMatchesTheSourceAndLhasaTimes)
{
    if (!have_tool("jlha"))
        GTEST_SKIP() << "jlha is not installed";
    // DOS words are local times: a zone with summer time catches a reader
    // that takes them as UTC.
    ScopedEnv zone("TZ", "America/New_York");
    const jlha_case& c = GetParam();
    TempDir dir;
    make_source(dir / "src");
    ASSERT_EQ(run_in(dir / "src", std::string("jlha ") + c.command + " ../a.lzh a.txt sub zero.txt empty"), 0);

    Extraction x(dir / "a.lzh");
    ASSERT_EQ(x.files.FileCount(), 7);
    EXPECT_EQ(x.unpack(dir / "out"), 0);
    for (int32_t k = 1; k <= 7; ++k)
        EXPECT_EQ(x.outcome(k), "extracted") << x.files.FileName(k);
    EXPECT_TRUE(x.window.messages.empty());

    const auto ours = tree_items(dir / "out");
    EXPECT_EQ(without(ours, false, false), without(tree_items(dir / "src"), false, false));
    if (c.level == 2) // a Unix time: the exact second
        EXPECT_EQ(mtime_of(dir / "out" / "sub" / "deep" / "c.txt"), mtime_of(dir / "src" / "sub" / "deep" / "c.txt"));
    if (have_tool("lhasa")) {
        ASSERT_EQ(run_in(dir / "lhasa", "lhasa xq ../a.lzh"), 0);
        EXPECT_EQ(without(ours, true, false), without(tree_items(dir / "lhasa"), true, false));
    }
}

INSTANTIATE_TEST_SUITE_P(Jlha, LzhJlhaExtraction,
                         ::testing::Values(jlha_case{"level0_lh0", "c0z", 0}, jlha_case{"level0_lh5", "c0o5", 0},
                                           jlha_case{"level1_lh6", "c1o6", 1}, jlha_case{"level1_lh5", "c1o5", 1},
                                           jlha_case{"level2_lh7", "c2o7", 2}, jlha_case{"level2_lh0", "c2z", 2},
                                           jlha_case{"level2_lh6", "c2o6", 2}),
                         [](const auto& row) { return std::string(row.param.name); });

// Archives from other archivers (tests/data/lzh/lhasa and lhasa-extract,
// see their READMEs) and the jlha fixtures. lhasa writes the all-capitals
// names of MS-DOS archivers in lower case, so names are compared that way.
// Both tools drop MacLHA's MacBinary header and keep one fork.
std::vector<fs::path> public_archives()
{
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(data_dir() / "lzh" / "lhasa"))
        if (e.path().extension() == ".lzh" || e.path().extension() == ".lzs")
            out.push_back(e.path());
    for (const char* name : {"explzh_723_h1_subdir.lzh", "lha_unix114i_h2_subdir.lzh", "lha_unix114i_h0_lh5.lzh",
                             "lha_unix114i_h1_symlink.lzh", "lha_unix114i_h2_symlink2.lzh", "lhark04d_lh5.lzh",
                             "regression_symlink1.lzh", "maclha_224_l1_lh5.lzh", "maclha_224_l2_subdir.lzh",
                             "maclha_224_l0_nm_lh5.lzh"})
        out.push_back(data_dir() / "lzh" / "lhasa-extract" / name);
    for (const char* name : {"level0.lzh", "level1.lzh", "level2.lzh", "stored.lzh"})
        out.push_back(data_dir() / "lzh" / name);
    std::sort(out.begin(), out.end());
    return out;
}

// Our extraction of `archive` (copied under a .lzh name: the reader is
// picked by the name) into work/ours; every entry must come out.
std::map<std::string, tree_item> extract_all(const fs::path& archive, const fs::path& work)
{
    const fs::path copy = work / (archive.stem().string() + ".lzh");
    fs::create_directories(work);
    fs::copy_file(archive, copy, fs::copy_options::overwrite_existing);
    Extraction x(copy);
    EXPECT_GT(x.files.FileCount(), 0);
    EXPECT_EQ(x.unpack(work / "ours"), 0);
    for (int32_t k = 1; k <= x.files.FileCount(); ++k)
        EXPECT_EQ(x.outcome(k), "extracted") << x.files.FileName(k);
    EXPECT_TRUE(x.window.messages.empty());
    return tree_items(work / "ours", true);
}

TEST(LzhPublicArchives, ExtractAsLhasaDoes)
{
    if (!have_tool("lhasa"))
        GTEST_SKIP() << "lhasa is not installed";
    ScopedEnv zone("TZ", "Asia/Kolkata");
    TempDir dir;
    int archives = 0;
    for (const fs::path& archive : public_archives()) {
        SCOPED_TRACE(archive.filename().string());
        const fs::path work = dir / archive.stem();
        const auto ours = extract_all(archive, work);
        ASSERT_EQ(run_in(work / "lhasa", "lhasa xq " + shell_quote(archive.string())), 0);
        // Permissions: the owner always keeps read and write here.
        EXPECT_EQ(without(ours, true, false), without(tree_items(work / "lhasa", true), true, false));
        ++archives;
    }
    EXPECT_GE(archives, 25);
}

// unar is the second opinion on the bytes. It does not make symbolic links
// from these headers, reads nothing from LHa for OS-9's level-2 headers and
// does not know -lzs-.
TEST(LzhPublicArchives, BytesMatchUnar)
{
    if (!have_tool("unar"))
        GTEST_SKIP() << "unar is not installed";
    TempDir dir;
    int archives = 0;
    for (const fs::path& archive : public_archives()) {
        const std::string name = archive.filename().string();
        if (name.find("symlink") != std::string::npos || name.find("osk") != std::string::npos
            || name.find("_lzs") != std::string::npos)
            continue;
        SCOPED_TRACE(name);
        const fs::path work = dir / archive.stem();
        const auto ours = extract_all(archive, work);
        // unar too takes LZH by the name.
        const fs::path copy = work / (archive.stem().string() + ".lzh");
        ASSERT_EQ(run_in(work / "unar", "unar -q -D -o . " + shell_quote(copy.string())), 0);
        EXPECT_EQ(without(ours, false, false), without(tree_items(work / "unar", true), false, false));
        ++archives;
    }
    EXPECT_GE(archives, 20);
}

// libarchive's LZH test archives in the shared corpus (header levels 0 to 3,
// symbolic links with DOS separators, junk after the archive). The names of
// the code-page and UTF-16 archives are left out: lhasa writes their bytes
// unconverted.
TEST(LzhPublicArchives, CorpusExtractsAsLhasaDoes)
{
    if (!corpus_available() || !have_tool("lhasa"))
        GTEST_SKIP() << "shared corpus or lhasa not available";
    TempDir dir;
    int archives = 0;
    for (const auto& item : fs::directory_iterator(corpus_dir() / "lzh")) {
        const std::string name = item.path().filename().string();
        if (item.path().extension() != ".lzh" || name.find("filename_") != std::string::npos
            || name.find("symlink_missing_target") != std::string::npos)
            continue;
        SCOPED_TRACE(name);
        const fs::path work = dir / item.path().stem();
        const auto ours = extract_all(item.path(), work);
        ASSERT_EQ(run_in(work / "lhasa", "lhasa xq " + shell_quote(item.path().string())), 0);
        EXPECT_EQ(without(ours, true, false), without(tree_items(work / "lhasa", true), true, false));
        ++archives;
    }
    EXPECT_GE(archives, 7);

    // A link with no target is an empty file; the next header overlaps its
    // own data, so its CRC field holds data bytes: a CRC error, and the
    // bytes kept since no file was there.
    const fs::path odd = corpus_dir() / "lzh" / "test_read_format_lha_symlink_missing_target.lzh";
    Extraction x(odd);
    ASSERT_EQ(x.files.FileCount(), 2);
    EXPECT_EQ(x.unpack(dir / "odd"), 0);
    EXPECT_EQ(x.outcome(1), "extracted");
    EXPECT_EQ(x.outcome(2), "failed:damaged");
    EXPECT_EQ(x.message_texts(), std::vector<std::string>{"CRC calculation failed."});
    EXPECT_EQ(tree_of(dir / "odd"), (std::map<std::string, std::string>{{"bad_symlink", ""}, {"second", "hello world"}}));
}

// Unix permissions from LHa for UNIX's level-0 area and extended header 0x50:
// the rwx bits lhasa sets, the owner keeping read and write here. The
// level-0 archive's mode (0444) is rewritten to 0751 so that the default
// permissions cannot pass for it.
TEST(LzhPublicArchives, PermissionsAsLhasaSetsThem)
{
    if (!have_tool("lhasa"))
        GTEST_SKIP() << "lhasa is not installed";
    TempDir dir;
    auto level0 = read_file(data_dir() / "lzh" / "lhasa-extract" / "lha_unix114i_h0_lh5.lzh");
    const size_t header_end = size_t{level0[0]} + 2;
    constexpr size_t mode_from_end = 6; // mode(2) uid(2) gid(2) close the header
    ASSERT_EQ(level0[header_end - mode_from_end + 1], 0x81); // a regular file, 0100444
    level0[header_end - mode_from_end] = 0xE9;               // 0100751
    // The header's checksum (byte 1: the sum of the bytes after it), which lhasa checks.
    uint8_t sum = 0;
    for (size_t i = 2; i < header_end; ++i)
        sum = static_cast<uint8_t>(sum + level0[i]);
    level0[1] = sum;
    write_file(dir / "mode0.lzh", level0);
    for (const fs::path& archive :
         {dir / "mode0.lzh", data_dir() / "lzh" / "lhasa-extract" / "lha_unix114i_h2_subdir.lzh"}) {
        SCOPED_TRACE(archive.filename().string());
        const fs::path work = dir / ("w" + archive.stem().string());
        const auto ours = extract_all(archive, work);
        ASSERT_EQ(run_in(work / "lhasa", "lhasa xq " + shell_quote(archive.string())), 0);
        auto theirs = tree_items(work / "lhasa", true);
        size_t files = 0;
        for (auto& [name, item] : theirs)
            if (item.kind == "file") {
                item.mode |= 0600;
                ++files;
            }
        EXPECT_GE(files, 1u);
        EXPECT_EQ(ours, theirs);
    }
    EXPECT_EQ(stat_of(dir / "wmode0" / "ours" / "gpl-2").st_mode & 0777, 0751 & ~current_umask());
}

// What is not extracted, and why, for archives that try to leave the output
// folder, are cut short, or use a method of the same name that is another.
struct refused_case {
    const char* archive;
    std::vector<std::string> outcomes;   // per entry
    std::vector<std::string> messages;   // in order
    std::map<std::string, std::string> tree; // what lands in the output folder (tree_of)
};

TEST(LzhRefusedEntries, ReportedWithTheirReasons)
{
    const std::vector<refused_case> cases = {
        {"regression_dotdot.lzh",
         {"skipped:unsafe-name", "skipped:unsafe-name"},
         {"Unsafe path skipped: ../evil1.txt", "Unsafe path skipped: foo/../../evil2.txt"},
         {}},
        // An absolute name lands inside the output folder.
        {"regression_abspath.lzh", {"extracted"}, {}, {{"tmp/", ""}, {"tmp/absolute_path.txt", "This is a file that has an absolute filename.\n"}}},
        // A link out of the folder is refused; the file behind it lands in a
        // folder of that name inside.
        {"regression_symlink2.lzh",
         {"skipped:link-refused", "extracted"},
         {"Unsafe path skipped: etc"},
         {{"etc/", ""}, {"etc/passwd", "this is bad\n"}}},
        {"regression_symlink3.lzh",
         {"skipped:link-refused", "extracted"},
         {"Unsafe path skipped: etc"},
         {{"etc/", ""}, {"etc/passwd", "this is bad\n"}}},
        {"lha_unix114i_h1_symlink3.lzh", {"skipped:link-refused"}, {"Unsafe path skipped: subdir/symlink"}, {}},
        {"regression_truncated.lzh",
         {"failed:damaged"},
         {"CRC calculation failed.", "Error in decompressed size."},
         {}},
        // LHARK's "-lh7-" is its own method: no decoder, no message.
        {"lhark04d_lh7.lzh", {"skipped:unsupported-method"}, {}, {}},
        // A folder written as an empty -lh0- file (lhasa stops there) and the
        // entries after it.
        {"lha_amiga_122_lh0_dirs_bug.lzh",
         {"extracted", "extracted", "extracted", "extracted", "extracted"},
         {},
         {}},
    };
    TempDir dir;
    for (const refused_case& c : cases) {
        SCOPED_TRACE(c.archive);
        const fs::path out = dir / c.archive;
        Extraction x(data_dir() / "lzh" / "lhasa-extract" / c.archive);
        ASSERT_EQ(x.files.FileCount(), static_cast<int32_t>(c.outcomes.size()));
        EXPECT_EQ(x.unpack(out), 0);
        for (int32_t k = 1; k <= x.files.FileCount(); ++k)
            EXPECT_EQ(x.outcome(k), c.outcomes[static_cast<size_t>(k) - 1]) << k;
        EXPECT_EQ(x.message_texts(), c.messages);
        if (!c.tree.empty())
            EXPECT_EQ(tree_of(out), c.tree);
        else if (c.outcomes.front() != "extracted")
            EXPECT_TRUE(tree_of(out).empty());
    }
    // Nothing escaped the output folders.
    EXPECT_FALSE(fs::exists(dir / "evil1.txt"));
    EXPECT_FALSE(fs::exists(dir.path().parent_path() / "evil1.txt"));
}

TEST(LzhRefusedEntries, LharkMethodIsGreyedInTheListing)
{
    Extraction x(data_dir() / "lzh" / "lhasa-extract" / "lhark04d_lh7.lzh");
    ASSERT_EQ(x.files.FileCount(), 1);
    const ExtractBlocker b = x.files.extract_blocker(1);
    EXPECT_EQ(b.reason, OutcomeReason::unsupported_method);
    EXPECT_EQ(b.detail, "-lh7- (LHARK)");
    // LHARK's -lh5- is the standard one.
    Extraction standard(data_dir() / "lzh" / "lhasa-extract" / "lhark04d_lh5.lzh");
    EXPECT_FALSE(standard.files.extract_blocker(1));
}

// Every damaged form of the jlha fixtures: cut short or with a byte
// overwritten in any header or data field.
TEST(LzhDamagedArchives, NoFileIsReportedGoodWithOtherBytes)
{
    TempDir dir;
    for (const char* name : {"level0.lzh", "level1.lzh", "level2.lzh"}) {
        SCOPED_TRACE(name);
        const auto good = read_file(data_dir() / "lzh" / name);
        std::map<std::string, std::string> originals;
        {
            Extraction x(data_dir() / "lzh" / name);
            ASSERT_EQ(x.unpack(dir / "good"), 0);
            for (const auto& [rel, bytes] : tree_of(dir / "good"))
                if (rel.back() != '/')
                    originals[rel] = bytes;
            ASSERT_GE(originals.size(), 3u);
        }
        for (const auto& damaged : damaged_forms(good, 13))
            expect_damage_contained(damaged, ".lzh", dir / "damaged", originals);
    }
}

TEST(LzhDamagedArchives, FailedDataNeverReplacesAGoodFile)
{
    TempDir dir;
    auto bytes = read_file(data_dir() / "lzh" / "level2.lzh");
    Extraction listing(data_dir() / "lzh" / "level2.lzh");
    ASSERT_EQ(listing.files.FileName(1), "a.txt");
    ASSERT_EQ(listing.files.Method(1), "LZH with 64kb window, static canonical Huffman");
    // The last byte of a.txt's packed data: the decoded text goes wrong at its end.
    const auto header_end = static_cast<size_t>(bytes[0] | (bytes[1] << 8));
    const auto packed = static_cast<size_t>(listing.files.Compressed_Size(1));
    bytes[header_end + packed - 1] ^= 0x5A;
    write_file(dir / "bad.lzh", bytes);

    fs::create_directories(dir / "out");
    write_file(dir / "out" / "a.txt", std::string("keep me"));
    ASSERT_EQ(file_text(dir / "out" / "a.txt"), "keep me");
    Extraction x(dir / "bad.lzh");
    EXPECT_EQ(x.unpack(dir / "out", {1}), 0);
    EXPECT_EQ(x.outcome(1), "failed:damaged");
    EXPECT_FALSE(x.window.messages.empty());
    EXPECT_EQ(file_text(dir / "out" / "a.txt"), "keep me");
    EXPECT_EQ(tree_of(dir / "out").size(), 1u); // no temporary file left
}

// Stored entries built byte by byte: name, bytes.
std::vector<uint8_t> stored_archive(const std::vector<std::pair<std::string, std::string>>& files)
{
    std::vector<uint8_t> out;
    for (const auto& [name, data] : files) {
        arj_lzh::LzhEntry e;
        e.level = 2;
        e.method = "lh0";
        e.ext = {{0x01, name}};
        e.packed = e.original = static_cast<uint32_t>(data.size());
        e.crc = crc16_update(0, std::span(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
        e.packed = 0x10000; // the builder writes no data for this size: ours follow
        auto header = arj_lzh::lzh_archive({e}, false).bytes;
        const size_t size_at = 7;
        for (size_t i = 0; i < 4; ++i)
            header[size_at + i] = static_cast<uint8_t>(data.size() >> (8 * i));
        out.insert(out.end(), header.begin(), header.end());
        out.insert(out.end(), data.begin(), data.end());
    }
    out.push_back(0);
    return out;
}

TEST(LzhExtractionRun, CancelInsideAnEntryLeavesNoPartOfIt)
{
    TempDir dir;
    const std::string big(size_t{5} << 20, 'b');
    write_file(dir / "c.lzh", stored_archive({{"first.txt", "first\n"}, {"big.bin", big}, {"last.txt", "last\n"}}));
    Extraction x(dir / "c.lzh");
    ASSERT_EQ(x.files.FileCount(), 3);
    // The pass of entry 2 shows Value 3; Cancel is pressed once its bytes flow.
    int yields_in_entry = 0;
    x.window.on_yield = [&] {
        if (x.window.progress_value == 3 && ++yields_in_entry == 3)
            x.files.state().CancelRequested = true;
    };
    x.window.yes_no_answers = {true};
    EXPECT_EQ(x.unpack(dir / "out"), 0);
    ASSERT_EQ(x.window.questions.size(), 1u);
    EXPECT_EQ(x.window.questions[0].text, "Do you want to cancel?");
    EXPECT_EQ(x.outcome(1), "extracted");
    EXPECT_EQ(x.outcome(2), "skipped:cancelled");
    EXPECT_EQ(x.outcome(3), "skipped:cancelled");
    EXPECT_EQ(tree_of(dir / "out"), (std::map<std::string, std::string>{{"first.txt", "first\n"}}));

    // Without the cancel all three come out whole.
    Extraction again(dir / "c.lzh");
    EXPECT_EQ(again.unpack(dir / "all"), 0);
    EXPECT_EQ(file_text(dir / "all" / "big.bin"), big);
    EXPECT_EQ(tree_of(dir / "all").size(), 3u);
}

TEST(LzhRefusedEntries, LevelOneExtendedHeadersPastTheDataAreDamage)
{
    // The first extended header's size (the base header's last two bytes)
    // runs past the packed size: the data cannot be found.
    arj_lzh::LzhEntry e;
    e.level = 1;
    e.name = "a.txt";
    e.packed = 4;
    e.original = 4;
    e.ext = {{0x02, "d\xFF"}};
    arj_lzh::LzhBytes b = arj_lzh::lzh_archive({e});
    b.bytes[b.header_ends[0] - 2] = 0xF0;
    TempDir dir;
    write_file(dir / "x.lzh", b.bytes);
    Extraction x(dir / "x.lzh");
    ASSERT_EQ(x.files.FileCount(), 1);
    EXPECT_EQ(x.unpack(dir / "out"), 0);
    EXPECT_EQ(x.outcome(1), "failed:damaged");
    EXPECT_EQ(x.message_texts(), std::vector<std::string>{"Error in decompressed size."});
    EXPECT_TRUE(tree_of(dir / "out").empty());
}

} // namespace

namespace {

// With the window's updates spaced, small entries go to the run's writer
// thread: the same files, times and permissions must land, existing files
// must be kept when overwriting is off, and a failed check must still keep
// a good file.
TEST(LzhExtractionRun, WriterThreadWritesTheSameTree)
{
    TempDir dir;
    for (const char* name : {"lzh/level1.lzh", "lzh/lhasa-extract/lha_unix114i_h2_subdir.lzh", "arj/methods.arj"}) {
        SCOPED_TRACE(name);
        std::map<std::string, tree_item> trees[2];
        for (const int interval : {0, 50}) {
            const fs::path out = dir / (fs::path(name).filename().string() + std::to_string(interval));
            Extraction x(data_dir() / name);
            x.window.interval_ms = interval;
            x.window.input_answers.push_back("secret");
            EXPECT_EQ(x.unpack(out), 0);
            for (int32_t k = 1; k <= x.files.FileCount(); ++k)
                EXPECT_EQ(x.outcome(k), "extracted") << k;
            trees[interval ? 1 : 0] = tree_items(out);

            // Again into the same folder with overwriting off: every file kept.
            Extraction again(data_dir() / name);
            again.window.interval_ms = interval;
            again.window.overwrite = false;
            again.window.input_answers.push_back("secret");
            EXPECT_EQ(again.unpack(out), 0);
            for (int32_t k = 1; k <= again.files.FileCount(); ++k)
                if (!fs::is_directory(out / landed_name(again.files.FileName(k))))
                    EXPECT_EQ(again.outcome(k), "skipped:not-overwritten") << k;
        }
        EXPECT_GE(trees[0].size(), 3u);
        EXPECT_EQ(trees[0], trees[1]);
    }
}

} // namespace

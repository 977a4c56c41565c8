// Guards the ARJ extraction run against bytes, folders, times or permissions
// that differ from what arj x writes for the same archive; garbled entries
// that pass with a wrong password, prompts asked more than once or not
// ended on a refusal; GOST, unknown methods and split entries extracted
// instead of reported; and damaged data that passes as good.
#include "arj_builder.h"
#include "support/DamageSweep.h"
#include "support/ExtractedTree.h"
#include "support/Extraction.h"

#include "archive/WindowServices.h"

#include <gtest/gtest.h>

#include <random>

using namespace velmora;
using namespace velmora::test;
namespace fs = std::filesystem;

namespace {

// Text that compresses, bytes that do not, an empty file, nested folders, an
// empty folder, and permissions beyond the default.
void make_source(const fs::path& src)
{
    fs::create_directories(src / "sub" / "deep");
    fs::create_directories(src / "empty");
    std::string text;
    for (int i = 0; text.size() < 120000; ++i)
        text += "ARJ line " + std::to_string(i % 89) + " of the source text\r\n";
    write_file(src / "a.txt", text);
    std::mt19937 rng(5);
    std::vector<uint8_t> noise(40000);
    for (auto& b : noise)
        b = static_cast<uint8_t>(rng());
    write_file(src / "sub" / "noise.bin", noise);
    write_file(src / "sub" / "deep" / "c.txt", text.substr(0, 20000) + std::string(30000, 'z'));
    write_file(src / "zero.txt", std::string());
    fs::permissions(src / "sub" / "noise.bin", fs::perms(0751));
    fs::permissions(src / "a.txt", fs::perms(0600));
    run_command("touch -d '2021-03-04 05:06:07' " + shell_quote((src / "a.txt").string()));
    run_command("touch -d '1999-12-31 23:59:59' " + shell_quote((src / "sub" / "deep" / "c.txt").string()));
}

struct arj_case {
    const char* name;
    const char* switches;
    const char* password; // "" for none
};

class ArjExtraction : public ::testing::TestWithParam<arj_case> {};

TEST_P(ArjExtraction, TreeMatchesTheSourceAndArjX)
{
    if (!have_tool("arj"))
        GTEST_SKIP() << "arj is not installed";
    ScopedEnv zone("TZ", "America/New_York");
    const arj_case& c = GetParam();
    const std::string password = *c.password ? std::string(" -g") + c.password : "";
    TempDir dir;
    make_source(dir / "src");
    ASSERT_EQ(run_in(dir / "src", std::string("arj a -y -r -a1 ") + c.switches + password + " ../a.arj '*'"), 0);

    Extraction x(dir / "a.arj");
    ASSERT_EQ(x.files.FileCount(), 7);
    if (*c.password)
        x.window.input_answers.push_back(c.password);
    EXPECT_EQ(x.unpack(dir / "out"), 0);
    for (int32_t k = 1; k <= 7; ++k)
        EXPECT_EQ(x.outcome(k), "extracted") << x.files.FileName(k);
    EXPECT_TRUE(x.window.messages.empty());
    EXPECT_EQ(x.window.questions.size(), *c.password ? 1u : 0u);

    const auto ours = tree_items(dir / "out");
    EXPECT_EQ(without(ours, false, false), without(tree_items(dir / "src"), false, false));
    ASSERT_EQ(run_in(dir / "arj", "arj x -y" + password + " ../a.arj"), 0);
    // Times and permissions as arj sets them (the owner always keeps read
    // and write here).
    auto theirs = tree_items(dir / "arj");
    for (auto& [name, item] : theirs)
        if (item.kind == "file")
            item.mode |= 0600;
    EXPECT_EQ(ours, theirs);
}

INSTANTIATE_TEST_SUITE_P(
    Arj, ArjExtraction,
    ::testing::Values(arj_case{"m0", "-m0", ""}, arj_case{"m1", "-m1", ""}, arj_case{"m2", "-m2", ""},
                      arj_case{"m3", "-m3", ""}, arj_case{"m4", "-m4", ""}, arj_case{"m1_garbled", "-m1", "secret"},
                      arj_case{"m4_garbled", "-m4", "pass8word"}, arj_case{"m2_owner", "-m2 -2o", ""},
                      arj_case{"m1_dos_host", "-m1 -2d", ""}),
    [](const auto& row) { return std::string(row.param.name); });

// methods.arj (tests/data/arj) holds entry 6, garbled with "secret", after
// five plain ones.
struct password_case {
    const char* name;
    std::vector<std::string> answers;
    int16_t result;
    std::string garbled_outcome;
    std::vector<std::string> messages; // in order, with their titles
};

TEST(ArjPasswords, OnePromptPerRunAndTheCrcJudges)
{
    const std::string program(program_title);
    const std::vector<password_case> cases = {
        {"right", {"secret"}, 0, "extracted", {}},
        {"wrong", {"Secret"}, 0, "failed:wrong-password",
         {"Error: CRC calculation failed.", "Error: Error in decompressed size."}},
        {"none", {""}, -1, "failed:wrong-password", {program + ": Invalid Password."}},
    };
    const fs::path archive = data_dir() / "arj" / "methods.arj";
    for (const password_case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Extraction x(archive);
        int32_t garbled = 0;
        for (int32_t k = 1; k <= x.files.FileCount(); ++k)
            if (x.files.Encrypted(k))
                garbled = k;
        ASSERT_GT(garbled, 1);
        x.window.input_answers.assign(c.answers.begin(), c.answers.end());
        EXPECT_EQ(x.unpack(dir.path()), c.result);
        EXPECT_EQ(x.outcome(garbled), c.garbled_outcome);
        for (int32_t k = 1; k < garbled; ++k)
            EXPECT_EQ(x.outcome(k), "extracted") << k;
        for (int32_t k = garbled + 1; k <= x.files.FileCount(); ++k)
            EXPECT_EQ(x.outcome(k), c.result == -1 ? "skipped:not-reached" : "extracted") << k;
        std::vector<std::string> shown;
        for (const auto& m : x.window.messages)
            shown.push_back(m.title + ": " + m.text);
        EXPECT_EQ(shown, c.messages);
        ASSERT_EQ(x.window.questions.size(), 1u);
        EXPECT_EQ(x.window.questions[0].text, "Please enter Password.");
        EXPECT_EQ(x.window.questions[0].title, "Password");
    }
}

// Entries the listing already knows cannot be extracted: reported with
// their reason, no prompt, no box, and the data never read.
TEST(ArjUnsupportedEntries, SkippedWithTheirReason)
{
    using namespace arj_lzh;
    std::vector<ArjLocal> entries(4);
    entries[0].name = "gost.bin";
    entries[0].flags = 0x01;
    entries[1].name = "method7.bin";
    entries[1].method = 7;
    entries[2].name = "split.bin";
    entries[2].flags = 0x04;
    entries[3].name = "label";
    for (auto& e : entries) {
        e.packed = 8;
        e.original = 8;
    }
    entries[3].packed = entries[3].original = 0;
    ArjBytes b = arj_archive(entries);
    // The main header's encryption version: 2 and above is GOST.
    constexpr size_t main_body = 4, encryption_version = 28;
    b.bytes[main_body + encryption_version] = 2;
    // Entry 4: a volume label (file type 4).
    constexpr size_t file_type = 6;
    b.bytes[b.header_ends[2] + 8 + 4 + file_type] = 4;

    TempDir dir;
    write_file(dir / "u.arj", b.bytes);
    Extraction x(dir / "u.arj");
    ASSERT_EQ(x.files.FileCount(), 4);
    EXPECT_EQ(x.files.extract_blocker(1).detail, "GOST");
    EXPECT_EQ(x.unpack(dir / "out"), 0);
    EXPECT_EQ(x.outcome(1), "skipped:unsupported-encryption");
    EXPECT_EQ(x.outcome(2), "skipped:unsupported-method");
    EXPECT_EQ(x.outcome(3), "skipped:missing-volume");
    EXPECT_EQ(x.outcome(4), "skipped:special-file");
    EXPECT_TRUE(x.window.questions.empty());
    EXPECT_TRUE(x.window.messages.empty());
    EXPECT_TRUE(tree_of(dir / "out").empty());

    // A selection that does not cover the entries runs nothing.
    Selection short_selection(3, true);
    std::string to = (dir / "out").string();
    EXPECT_EQ(x.files.UnPack(short_selection, to), -10);
}

TEST(ArjDamagedArchives, NoFileIsReportedGoodWithOtherBytes)
{
    TempDir dir;
    for (const char* name : {"methods.arj", "owner.arj"}) {
        SCOPED_TRACE(name);
        const auto good = read_file(data_dir() / "arj" / name);
        std::map<std::string, std::string> originals;
        {
            Extraction x(data_dir() / "arj" / name);
            x.window.input_answers.push_back("secret");
            ASSERT_EQ(x.unpack(dir / "good"), 0);
            for (const auto& [rel, bytes] : tree_of(dir / "good"))
                if (rel.back() != '/')
                    originals[rel] = bytes;
            ASSERT_GE(originals.size(), 2u);
            fs::remove_all(dir / "good");
        }
        // Garbled entries get no password here: they fail or are refused.
        for (const auto& damaged : damaged_forms(good, 11))
            expect_damage_contained(damaged, ".arj", dir / "damaged", originals);
    }
}

} // namespace

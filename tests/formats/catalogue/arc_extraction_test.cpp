// Guards ARC extraction against output that differs from what arc itself
// extracts (every method arc writes, and the old crunching it no longer
// writes), against CRC-16 faults that go unnoticed or replace a good file,
// and against damaged archives that crash, hang or leave a partial file.
#include "support/ArcBuilder.h"
#include "support/Extraction.h"

#include <gtest/gtest.h>

#include <random>

namespace velmora::test {
namespace {

// Entries whose bytes make arc choose each of its methods: random bytes
// stay stored, long runs pack, skewed bytes squeeze, text crunches (or
// squashes with the q modifier).
std::map<std::string, std::vector<uint8_t>> arc_inputs()
{
    std::mt19937 rng(7);
    auto byte = [&rng] { return static_cast<uint8_t>(rng()); };
    std::map<std::string, std::vector<uint8_t>> files;
    auto& random = files["RANDOM.BIN"];
    for (int i = 0; i < 5000; ++i)
        random.push_back(byte());
    auto& runs = files["RUNS.BIN"];
    for (int i = 0; i < 400; ++i)
        runs.insert(runs.end(), 3 + rng() % 200, byte());
    auto& skew = files["SKEW.BIN"];
    const uint8_t skewed[] = {0, 0, 0, 0, 0, 0, 1, 2, 3, 0x90};
    for (int i = 0; i < 4000; ++i)
        skew.push_back(skewed[rng() % 10]);
    skew.insert(skew.end(), 50, 0x90); // ends in a run of the RLE marker
    auto& text = files["TEXT.TXT"];
    const std::string words[] = {"alpha ", "beta ", "gamma\n", "delta "};
    for (int i = 0; i < 40000; ++i)
        for (const char c : words[rng() % 4])
            text.push_back(static_cast<uint8_t>(c));
    files["EMPTY.TXT"];
    for (int i = 0; i < 100; ++i)
        files["MARK.BIN"].insert(files["MARK.BIN"].end(), {0x90, 0x90, 0x90, 1, 0x90});
    return files;
}

std::map<std::string, std::string> as_tree(const std::map<std::string, std::vector<uint8_t>>& files)
{
    std::map<std::string, std::string> tree;
    for (const auto& [name, bytes] : files)
        tree[name] = std::string(bytes.begin(), bytes.end());
    return tree;
}

TEST(ArcExtraction, ArchivesArcWritesExtractAsTheFilesItWasGiven)
{
    if (!have_tool("arc"))
        GTEST_SKIP() << "arc not installed";
    const auto files = arc_inputs();
    std::set<std::string> methods;
    for (const std::string command : {"a", "aq"}) {
        SCOPED_TRACE(command);
        TempDir dir;
        std::filesystem::create_directories(dir / "in");
        std::string names;
        for (const auto& [name, bytes] : files) {
            write_file(dir / "in" / name, bytes);
            names += " " + name;
        }
        ASSERT_EQ(run_command("cd " + shell_quote((dir / "in").string()) + " && arc " + command + " ../t.arc" + names +
                              " >/dev/null"),
                  0);
        Extraction x(dir / "t.arc");
        ASSERT_EQ(x.files.FileCount(), static_cast<int32_t>(files.size()));
        for (int32_t k = 1; k <= x.files.FileCount(); ++k)
            methods.insert(x.files.Method(k));
        EXPECT_EQ(x.unpack(dir / "out"), 0);
        EXPECT_EQ(x.message_texts(), std::vector<std::string>{});
        for (int32_t k = 1; k <= x.files.FileCount(); ++k)
            EXPECT_EQ(x.outcome(k), "extracted") << x.files.FileName(k);
        EXPECT_EQ(tree_of(dir / "out"), as_tree(files));
    }
    // Stored, packed, squeezed, crunched and squashed all came up.
    EXPECT_EQ(methods.size(), 5u) << ::testing::PrintToString(methods);
}

TEST(ArcExtraction, FixturesExtractAsArcExtractsThem)
{
    if (!have_tool("arc"))
        GTEST_SKIP() << "arc not installed";
    for (const char* name : {"default.arc", "squashed.arc", "stored.arc"}) {
        SCOPED_TRACE(name);
        TempDir dir;
        const auto archive = data_dir() / "arc" / name;
        std::filesystem::create_directories(dir / "peer");
        ASSERT_EQ(run_command("cd " + shell_quote((dir / "peer").string()) + " && arc xn " +
                              shell_quote(archive.string()) + " >/dev/null"),
                  0);
        Extraction x(archive);
        EXPECT_EQ(x.unpack(dir / "ours"), 0);
        EXPECT_EQ(x.message_texts(), std::vector<std::string>{});
        EXPECT_EQ(tree_of(dir / "ours"), tree_of(dir / "peer"));
        // The times are the entries' DOS times, as arc sets them.
        for (int32_t k = 1; k <= x.files.FileCount(); ++k)
            EXPECT_EQ(mtime_of(dir / "ours" / x.files.FileName(k)), mtime_of(dir / "peer" / x.files.FileName(k)));
    }
}

// Methods no installed tool writes: unpacked (obsolete), the old crunching
// with and without packing, the LZW variants written by our own encoders.
TEST(ArcExtraction, EveryMethodOneToNineExtracts)
{
    std::vector<uint8_t> data;
    for (int i = 0; i < 3000; ++i) {
        const std::string line = "line " + std::to_string(i % 97) + " of the text\n";
        data.insert(data.end(), line.begin(), line.end());
        if (i % 50 == 0)
            data.insert(data.end(), 40, 0x90);
    }
    const auto packed = arc_rle_pack(data);
    const std::vector<std::pair<uint8_t, std::vector<uint8_t>>> entries = {
        {1, data},
        {2, data},
        {3, packed},
        {5, arc_old_crunch(data, false)},
        {6, arc_old_crunch(packed, false)},
        {7, arc_old_crunch(packed, true)},
        {8, arc_lzw(packed, 12, 0)},
        {9, arc_lzw(data, 13, 1000)},
    };
    std::vector<std::vector<uint8_t>> archive;
    for (const auto& [method, bytes] : entries)
        archive.push_back(arc_entry(method, "M" + std::to_string(method), bytes, data));
    TempDir dir;
    write_file(dir / "m.arc", arc_archive(archive));
    Extraction x(dir / "m.arc");
    ASSERT_EQ(x.files.FileCount(), static_cast<int32_t>(entries.size()));
    EXPECT_EQ(x.unpack(dir / "out"), 0);
    EXPECT_EQ(x.message_texts(), std::vector<std::string>{});
    const std::string text(data.begin(), data.end());
    for (size_t k = 0; k < entries.size(); ++k) {
        const std::string name = "M" + std::to_string(entries[k].first);
        EXPECT_EQ(x.outcome(static_cast<int32_t>(k + 1)), "extracted") << name;
        EXPECT_EQ(file_text(dir / "out" / name), text) << name;
    }
}

// A CRC-16 that does not match: the box, the entry failed, its data kept
// only where no file stood; a good file of that name is never replaced.
TEST(ArcExtraction, CrcMismatchIsReportedAndNeverReplacesAFile)
{
    const std::vector<uint8_t> data(1000, 'a');
    auto entry = arc_entry(2, "BAD.TXT", data, data);
    entry[2 + 13 + 4 + 4] ^= 0x01; // the stored CRC-16
    TempDir dir;
    write_file(dir / "c.arc", arc_archive({entry}));

    Extraction fresh(dir / "c.arc");
    EXPECT_EQ(fresh.unpack(dir / "out"), 0);
    EXPECT_EQ(fresh.message_texts(), std::vector<std::string>{"CRC calculation failed."});
    EXPECT_EQ(fresh.outcome(1), "failed:damaged");
    EXPECT_EQ(file_text(dir / "out" / "BAD.TXT"), std::string(1000, 'a'));

    write_file(dir / "out" / "BAD.TXT", "good");
    Extraction again(dir / "c.arc");
    EXPECT_EQ(again.unpack(dir / "out"), 0);
    EXPECT_EQ(again.outcome(1), "failed:damaged");
    EXPECT_EQ(file_text(dir / "out" / "BAD.TXT"), "good");
}

// Truncated and corrupted archives: every selected entry gets an outcome,
// a fault gives a box, and no temporary file is left behind.
TEST(ArcExtraction, DamagedArchivesFailCleanly)
{
    std::vector<uint8_t> data;
    for (int i = 0; i < 20000; ++i)
        data.push_back(static_cast<uint8_t>("abcabd\x90xyz"[i % 10] + (i / 1000)));
    const auto packed = arc_rle_pack(data);
    const auto good = arc_archive({arc_entry(3, "P", packed, data), arc_entry(8, "C", arc_lzw(packed, 12, 0), data),
                                   arc_entry(9, "S", arc_lzw(data, 13, 0), data),
                                   arc_entry(6, "O", arc_old_crunch(packed, false), data)});
    const auto entries = arc_walk(good);
    ASSERT_EQ(entries.size(), 4u);
    std::mt19937 rng(11);
    for (int round = 0; round < 60; ++round) {
        auto bad = good;
        const auto& e = entries[static_cast<size_t>(round) % entries.size()];
        if (round % 3 == 0) {
            bad.resize(e.data_offset + e.packed_size / 2); // cut inside the entry's data
        } else {
            for (int n = 0; n < 1 + round % 4; ++n)
                bad[e.data_offset + rng() % e.packed_size] ^= static_cast<uint8_t>(1 + rng() % 255);
        }
        SCOPED_TRACE(round);
        TempDir dir;
        write_file(dir / "d.arc", bad);
        Extraction x(dir / "d.arc");
        ASSERT_GE(x.files.FileCount(), 1);
        EXPECT_EQ(x.unpack(dir / "out"), 0);
        bool any_fault = false;
        for (int32_t k = 1; k <= x.files.FileCount(); ++k) {
            const std::string outcome = x.outcome(k);
            EXPECT_TRUE(outcome == "extracted" || outcome == "failed:damaged") << outcome;
            if (outcome == "extracted") {
                EXPECT_EQ(read_file(dir / "out" / x.files.FileName(k)), data);
            }
            any_fault |= outcome != "extracted";
        }
        EXPECT_TRUE(any_fault);
        EXPECT_FALSE(x.message_texts().empty());
        for (const auto& [name, contents] : tree_of(dir / "out"))
            EXPECT_EQ(name.size(), 1u) << "left behind: " << name;
    }
}

TEST(ArcExtraction, NamesLeavingTheOutputFolderAreSkipped)
{
    const std::vector<uint8_t> data = {'x'};
    TempDir dir;
    write_file(dir / "u.arc", arc_archive({arc_entry(2, "../ESCAPE", data, data), arc_entry(2, "OK", data, data)}));
    Extraction x(dir / "u.arc");
    EXPECT_EQ(x.unpack(dir / "out"), 0);
    EXPECT_EQ(x.message_texts(), std::vector<std::string>{"Unsafe path skipped: ../ESCAPE"});
    EXPECT_EQ(x.outcome(1), "skipped:unsafe-name");
    EXPECT_EQ(x.outcome(2), "extracted");
    EXPECT_FALSE(std::filesystem::exists(dir / "ESCAPE"));
    EXPECT_EQ(file_text(dir / "out" / "OK"), "x");
}

} // namespace
} // namespace velmora::test

// Guards cabinet extraction against output that differs from cabextract's
// (stored, MSZIP, LZX and Quantum folders, several folders, files spread over
// blocks), against files taken from the wrong place in their folder when only
// some are selected or they lie out of order, against damaged blocks that go
// unnoticed (the CFDATA checksums) or crash, and against files that continue
// in another cabinet being extracted half.
#include "support/Extraction.h"

#include <gtest/gtest.h>

#include <random>

namespace velmora::test {
namespace {

std::vector<std::filesystem::path> cabinets_cabextract_reads()
{
    std::vector<std::filesystem::path> out;
    for (const auto& dir : {data_dir() / "cab", data_dir() / "cab" / "mspack"})
        for (const auto& f : std::filesystem::directory_iterator(dir))
            if (f.path().extension() == ".cab")
                out.push_back(f.path());
    if (corpus_available())
        for (const auto& f : std::filesystem::directory_iterator(corpus_dir() / "cab"))
            if (f.path().extension() == ".cab")
                out.push_back(f.path());
    std::sort(out.begin(), out.end());
    return out;
}

// The files of a tree by contents, for cabinets whose names the two programs
// decode differently (code page 437 here, the raw bytes in cabextract).
std::multiset<std::string> contents_of(const std::map<std::string, std::string>& tree)
{
    std::multiset<std::string> out;
    for (const auto& [name, bytes] : tree)
        if (name.empty() || name.back() != '/')
            out.insert(bytes);
    return out;
}

// Every cabinet cabextract extracts without complaint comes out the same
// here; every one it fails on fails here too (with a box), leaving no file.
TEST(CabExtraction, CabinetsExtractAsCabextractExtractsThem)
{
    if (!have_tool("cabextract"))
        GTEST_SKIP() << "cabextract not installed";
    size_t same = 0;
    size_t failed_both = 0;
    for (const auto& path : cabinets_cabextract_reads()) {
        SCOPED_TRACE(path.filename().string());
        TempDir dir;
        std::filesystem::create_directories(dir / "peer");
        const bool peer_ok = run_command("cabextract -q -d " + shell_quote((dir / "peer").string()) + " " +
                                         shell_quote(path.string()) + " >/dev/null 2>&1") == 0;
        Extraction x(path);
        if (x.files.FileCount() == 0)
            continue;
        EXPECT_EQ(x.unpack(dir / "ours"), 0);
        const auto ours = tree_of(dir / "ours");
        bool all_extracted = true;
        for (int32_t k = 1; k <= x.files.FileCount(); ++k)
            all_extracted &= x.outcome(k) == "extracted";
        if (peer_ok) {
            if (std::filesystem::exists(dir / "ours")) {
                EXPECT_TRUE(all_extracted);
                EXPECT_EQ(x.message_texts(), std::vector<std::string>{});
                const auto peer = tree_of(dir / "peer");
                if (contents_of(ours) == contents_of(peer))
                    ++same;
                // Files only; the folders cabextract makes for "\" paths are here too.
                EXPECT_EQ(contents_of(ours), contents_of(peer));
                // The DOS times, taken as local time by both.
                for (const auto& [name, bytes] : ours) {
                    if (peer.count(name) && name.back() != '/') {
                        EXPECT_EQ(mtime_of(dir / "ours" / name), mtime_of(dir / "peer" / name)) << name;
                    }
                }
            }
        } else if (!all_extracted) {
            ++failed_both;
            EXPECT_FALSE(x.message_texts().empty());
            EXPECT_EQ(contents_of(ours), std::multiset<std::string>{});
        }
    }
    // gcab's two, libmspack's and cabextract's LZX, MSZIP and Quantum
    // cabinets, and libarchive's (see the corpus README).
    EXPECT_GE(same, 12u);
    EXPECT_GE(failed_both, 3u);
}

TEST(CabExtraction, GcabCabinetsExtractAsTheFilesTheyWereMadeOf)
{
    if (!have_tool("gcab"))
        GTEST_SKIP() << "gcab not installed";
    std::mt19937 rng(5);
    std::map<std::string, std::string> files;
    std::string text;
    while (text.size() < 300000)
        text += "line " + std::to_string(rng() % 5000) + " of a cabinet\n";
    files["text.txt"] = text; // several 32 KiB blocks: the window carries over
    std::string noise;
    for (int i = 0; i < 70000; ++i)
        noise.push_back(static_cast<char>(rng()));
    files["noise.bin"] = noise; // MSZIP stores these blocks
    files["empty"] = "";
    files["small"] = "abc";
    for (const std::string flag : {"", "-z"}) {
        SCOPED_TRACE("gcab -c " + flag);
        TempDir dir;
        std::filesystem::create_directories(dir / "in");
        std::string names;
        for (const auto& [name, bytes] : files) {
            write_file(dir / "in" / name, bytes);
            names += " " + name;
        }
        ASSERT_EQ(run_command("cd " + shell_quote((dir / "in").string()) + " && gcab -c " + flag + " ../t.cab" + names), 0);
        Extraction x(dir / "t.cab");
        ASSERT_EQ(x.files.FileCount(), 4);
        EXPECT_EQ(x.files.Method(1), flag.empty() ? "No Compression" : "MsZip");
        EXPECT_EQ(x.unpack(dir / "out"), 0);
        EXPECT_EQ(x.message_texts(), std::vector<std::string>{});
        EXPECT_EQ(tree_of(dir / "out"), files);

        // One file alone, from the middle of the folder.
        Extraction one(dir / "t.cab");
        int32_t text_entry = 0;
        for (int32_t k = 1; k <= 4; ++k)
            if (one.files.FileName(k) == "text.txt")
                text_entry = k;
        ASSERT_NE(text_entry, 0);
        EXPECT_EQ(one.unpack(dir / "one", {text_entry}), 0);
        EXPECT_EQ(tree_of(dir / "one"), (std::map<std::string, std::string>{{"text.txt", text}}));
    }
}

// Stored cabinets written here: the folder's bytes in blocks of a chosen
// size, with or without checksums and reserve areas.
struct StoredCab {
    struct File {
        std::string name;
        uint32_t offset = 0;
        uint32_t size = 0;
        uint16_t folder = 0;
    };
    std::vector<std::string> folders; // each folder's uncompressed bytes
    std::vector<File> files;
    size_t block_size = 32768;
    bool checksums = true;
    uint8_t data_reserve = 0; // cbCFData; with it the reserve flag is set
    uint16_t type = 0;        // typeCompress of every folder
};

void put_le(std::vector<uint8_t>& b, uint32_t v, int n)
{
    for (int i = 0; i < n; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The CAB checksum, written out from the format's description.
uint32_t checksum(const uint8_t* p, size_t n, uint32_t seed)
{
    uint32_t sum = seed;
    size_t i = 0;
    for (; i + 4 <= n; i += 4)
        sum ^= uint32_t{p[i]} | uint32_t{p[i + 1]} << 8 | uint32_t{p[i + 2]} << 16 | uint32_t{p[i + 3]} << 24;
    uint32_t last = 0;
    switch (n - i) {
    case 3: last |= uint32_t{p[i++]} << 16; [[fallthrough]];
    case 2: last |= uint32_t{p[i++]} << 8; [[fallthrough]];
    case 1: last |= p[i]; break;
    default: break;
    }
    return sum ^ last;
}

std::vector<uint8_t> build(const StoredCab& c)
{
    const bool reserve = c.data_reserve != 0;
    const size_t header = 36 + (reserve ? 4 : 0);
    const size_t files_at = header + 8 * c.folders.size();
    std::vector<uint8_t> file_records;
    for (const auto& f : c.files) {
        put_le(file_records, f.size, 4);
        put_le(file_records, f.offset, 4);
        put_le(file_records, f.folder, 2);
        put_le(file_records, 0x5A21, 2);
        put_le(file_records, 0x6B4F, 2);
        put_le(file_records, 0x20, 2);
        file_records.insert(file_records.end(), f.name.begin(), f.name.end());
        file_records.push_back(0);
    }
    std::vector<uint8_t> folder_records;
    std::vector<uint8_t> data;
    const size_t data_at = files_at + file_records.size();
    for (const auto& bytes : c.folders) {
        size_t blocks = 0;
        put_le(folder_records, static_cast<uint32_t>(data_at + data.size()), 4);
        const size_t count_at = folder_records.size();
        put_le(folder_records, 0, 2);
        put_le(folder_records, c.type, 2);
        for (size_t at = 0; at < bytes.size(); at += c.block_size, ++blocks) {
            const size_t n = std::min(c.block_size, bytes.size() - at);
            std::vector<uint8_t> block(8 + c.data_reserve, 0x5A);
            for (int i = 4; i < 8; ++i)
                block[static_cast<size_t>(i)] = static_cast<uint8_t>(n >> (8 * ((i - 4) % 2)));
            block.insert(block.end(), bytes.begin() + static_cast<ptrdiff_t>(at),
                         bytes.begin() + static_cast<ptrdiff_t>(at + n));
            uint32_t sum = 0;
            if (c.checksums) {
                sum = checksum(block.data() + 8 + c.data_reserve, n, 0);
                sum = checksum(block.data() + 4, 4 + c.data_reserve, sum);
            }
            for (int i = 0; i < 4; ++i)
                block[static_cast<size_t>(i)] = static_cast<uint8_t>(sum >> (8 * i));
            data.insert(data.end(), block.begin(), block.end());
        }
        folder_records[count_at] = static_cast<uint8_t>(blocks);
        folder_records[count_at + 1] = static_cast<uint8_t>(blocks >> 8);
    }
    std::vector<uint8_t> cab = {'M', 'S', 'C', 'F'};
    put_le(cab, 0, 4);
    put_le(cab, static_cast<uint32_t>(data_at + data.size()), 4);
    put_le(cab, 0, 4);
    put_le(cab, static_cast<uint32_t>(files_at), 4);
    put_le(cab, 0, 4);
    cab.push_back(3);
    cab.push_back(1);
    put_le(cab, static_cast<uint32_t>(c.folders.size()), 2);
    put_le(cab, static_cast<uint32_t>(c.files.size()), 2);
    put_le(cab, reserve ? 4 : 0, 2);
    put_le(cab, 0, 4);
    if (reserve) {
        put_le(cab, 0, 2);
        cab.push_back(0);
        cab.push_back(c.data_reserve);
    }
    cab.insert(cab.end(), folder_records.begin(), folder_records.end());
    cab.insert(cab.end(), file_records.begin(), file_records.end());
    cab.insert(cab.end(), data.begin(), data.end());
    return cab;
}

std::string pattern(size_t n, char seed)
{
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s.push_back(static_cast<char>(seed + static_cast<char>(i % 23) + static_cast<char>(i / 1000 % 7)));
    return s;
}

// Files out of order in their folder, sharing bytes, spread over blocks,
// and only some of them selected: each gets exactly its own range.
TEST(CabExtraction, FilesTakeTheirOwnRangesOfTheirFolders)
{
    StoredCab c;
    c.folders = {pattern(10000, 'a'), pattern(3000, 'A')};
    c.block_size = 777;
    c.files = {{"late", 6000, 4000, 0}, {"early", 0, 2500, 0}, {"overlap", 2000, 3000, 0},
               {"second", 100, 2900, 1}, {"zero", 9999, 0, 0}};
    const auto range = [&](size_t folder, size_t at, size_t n) { return c.folders[folder].substr(at, n); };
    for (const bool reserve : {false, true}) {
        SCOPED_TRACE(reserve);
        c.data_reserve = reserve ? 9 : 0;
        TempDir dir;
        write_file(dir / "r.cab", build(c));
        const std::vector<std::vector<int32_t>> selections = {{}, {1}, {2, 4}, {3}, {1, 3, 5}};
        for (const auto& only : selections) {
            SCOPED_TRACE(::testing::PrintToString(only));
            Extraction x(dir / "r.cab");
            ASSERT_EQ(x.files.FileCount(), 5);
            const auto out = dir / ("out" + std::to_string(only.size()) + (only.empty() ? "" : std::to_string(only[0])));
            EXPECT_EQ(x.unpack(out, only), 0);
            EXPECT_EQ(x.message_texts(), std::vector<std::string>{});
            std::map<std::string, std::string> expected;
            const std::map<int32_t, std::pair<std::string, std::string>> all = {
                {1, {"late", range(0, 6000, 4000)}},
                {2, {"early", range(0, 0, 2500)}},
                {3, {"overlap", range(0, 2000, 3000)}},
                {4, {"second", range(1, 100, 2900)}},
                {5, {"zero", ""}}};
            for (const auto& [k, file] : all)
                if (only.empty() || std::find(only.begin(), only.end(), k) != only.end())
                    expected.insert(file);
            EXPECT_EQ(tree_of(out), expected);
        }
    }
}

// A block whose checksum does not match fails the files that need it, and
// those after it in the folder; files before it, and in other folders, are
// extracted. Without a checksum (csum 0) nothing can tell.
TEST(CabExtraction, DamagedBlocksFailTheFilesThatNeedThem)
{
    StoredCab c;
    c.folders = {pattern(4000, 'a'), pattern(100, 'x')};
    c.block_size = 1000;
    c.files = {{"before", 0, 1500, 0}, {"hit", 1500, 1000, 0}, {"after", 3000, 1000, 0}, {"other", 0, 100, 1}};
    for (const bool sums : {true, false}) {
        SCOPED_TRACE(sums);
        c.checksums = sums;
        auto bytes = build(c);
        const auto good = bytes;
        // The third block's first data byte.
        const size_t data_at = bytes.size() - (4 * (8 + 1000) + (8 + 100)) + 2 * (8 + 1000) + 8;
        bytes[data_at] ^= 0x40;
        TempDir dir;
        write_file(dir / "d.cab", bytes);
        Extraction x(dir / "d.cab");
        EXPECT_EQ(x.unpack(dir / "out"), 0);
        const auto tree = tree_of(dir / "out");
        EXPECT_EQ(x.outcome(1), "extracted");
        EXPECT_EQ(x.outcome(4), "extracted");
        if (sums) {
            EXPECT_EQ(x.outcome(2), "failed:damaged");
            EXPECT_EQ(x.outcome(3), "failed:damaged");
            EXPECT_EQ(x.message_texts(), (std::vector<std::string>{"CRC calculation failed.", "Error in decompressed size.",
                                                                   "CRC calculation failed.", "Error in decompressed size."}));
            EXPECT_EQ(tree, (std::map<std::string, std::string>{{"before", c.folders[0].substr(0, 1500)},
                                                                {"other", c.folders[1]}}));
        } else {
            EXPECT_EQ(x.outcome(2), "extracted");
            EXPECT_EQ(tree.size(), 4u);
            EXPECT_NE(tree.at("hit"), c.folders[0].substr(1500, 1000));
        }
    }
}

// Truncated and corrupted cabinets of every method: each selected file gets
// an outcome, faults give boxes, and nothing half-written stays behind.
TEST(CabExtraction, DamagedCabinetsFailCleanly)
{
    std::mt19937 rng(3);
    const auto source = data_dir() / "cab" / "mspack" / "mszip_lzx_qtm.cab";
    const auto good = read_file(source);
    ASSERT_GT(good.size(), 200u);
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(round);
        auto bad = good;
        if (round % 4 == 0)
            bad.resize(good.size() / 2 + rng() % (good.size() / 2));
        else
            for (int n = 0; n < 1 + round % 5; ++n)
                bad[200 + rng() % (bad.size() - 200)] ^= static_cast<uint8_t>(1 + rng() % 255);
        TempDir dir;
        write_file(dir / "d.cab", bad);
        Extraction x(dir / "d.cab");
        if (x.files.FileCount() == 0)
            continue;
        EXPECT_EQ(x.unpack(dir / "out"), 0);
        size_t failed = 0;
        for (int32_t k = 1; k <= x.files.FileCount(); ++k) {
            const std::string outcome = x.outcome(k);
            EXPECT_TRUE(outcome == "extracted" || outcome == "failed:damaged" || outcome == "skipped:unsafe-name")
                << outcome;
            failed += outcome == "failed:damaged";
        }
        // Every failure shows its boxes; a run without one shows only the
        // boxes of skipped names.
        EXPECT_GE(x.message_texts().size(), failed);
        if (std::filesystem::exists(dir / "out")) {
            for (const auto& f : std::filesystem::recursive_directory_iterator(dir / "out"))
                EXPECT_NE(f.path().filename().string().front(), '.') << "left behind: " << f.path();
        }
    }
}

// A file continued from or into another cabinet is skipped without a box;
// the others are extracted.
TEST(CabExtraction, FilesInOtherCabinetsAreSkippedAsMissingVolumes)
{
    if (!corpus_available())
        GTEST_SKIP() << "no shared corpus";
    for (const char* name : {"test_read_format_cab_multi.p1.cab", "test_read_format_cab_multi.p2.cab"}) {
        SCOPED_TRACE(name);
        TempDir dir;
        Extraction x(corpus_dir() / "cab" / name);
        ASSERT_GE(x.files.FileCount(), 1);
        EXPECT_EQ(x.files.extract_blocker(1).reason, OutcomeReason::missing_volume);
        EXPECT_EQ(x.unpack(dir / "out"), 0);
        EXPECT_EQ(x.message_texts(), std::vector<std::string>{});
        EXPECT_EQ(x.outcome(1), "skipped:missing-volume");
    }

    // A folder of an unknown method: skipped, with the method's text.
    StoredCab c;
    c.folders = {"abc"};
    c.files = {{"f", 0, 3, 0}};
    c.type = 0x0007;
    TempDir dir;
    write_file(dir / "u.cab", build(c));
    Extraction x(dir / "u.cab");
    EXPECT_EQ(x.unpack(dir / "out"), 0);
    EXPECT_EQ(x.outcome(1), "skipped:unsupported-method");
    const auto groups = x.report().groups();
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].detail, "Unknown");
    EXPECT_FALSE(std::filesystem::exists(dir / "out" / "f"));
}

// Cancel confirmed inside a file that shares its folder with others: that
// file and the rest are cancelled, the one before stays, nothing half-written
// remains.
TEST(CabExtraction, CancelInsideAFolderLeavesOnlyWholeFiles)
{
    StoredCab c;
    c.folders = {pattern(900000, 'a')};
    c.files = {{"one", 0, 300000, 0}, {"two", 300000, 300000, 0}, {"three", 600000, 300000, 0}};
    TempDir dir;
    write_file(dir / "c.cab", build(c));
    Extraction x(dir / "c.cab");
    int yields_in_two = 0;
    x.window.on_yield = [&x, &yields_in_two] {
        // Value 3 is the pass of entry 2; a few blocks of it have been written.
        if (x.window.progress_value == 3 && ++yields_in_two == 4)
            x.files.state().CancelRequested = true;
    };
    x.window.yes_no_answers = {true};
    EXPECT_EQ(x.unpack(dir / "out"), 0);
    EXPECT_EQ(x.window.questions.size(), 1u);
    EXPECT_EQ(x.outcome(1), "extracted");
    EXPECT_EQ(x.outcome(2), "skipped:cancelled");
    EXPECT_EQ(x.outcome(3), "skipped:cancelled");
    EXPECT_EQ(tree_of(dir / "out"), (std::map<std::string, std::string>{{"one", c.folders[0].substr(0, 300000)}}));
}

} // namespace
} // namespace velmora::test

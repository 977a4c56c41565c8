// Guards against LZH listings that drift from what jlha and other LHA writers
// stored: level-2 names and Unix times, sizes, CRC-16 values, folder flags,
// and walks that lose their place between headers of different levels.
#include "lzh_builder.h"
#include "support/Extraction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

using namespace velmora;
using namespace velmora::test;
using namespace velmora::test::arj_lzh;
using nlohmann::json;

namespace {

const std::map<std::string, std::string> lzh_method_texts = {
    {"lhd", "no compression (this is a directory, not a file!)"},
    {"lh0", "no compression (could be a directory or a file)"},
    {"lh5", "LZH with 8kb window, static canonical Huffman"},
    {"lh6", "LZH with 32kb window, static canonical Huffman"},
    {"lh7", "LZH with 64kb window, static canonical Huffman"},
};

// Level 0 keeps the base header's name as stored; levels 1 and 2 join the
// folder and name of their extended headers with "/" (level 1 counts those
// headers in the packed size).
void expect_matches_lsar(const ListedEntry& ours, const json& peer)
{
    SCOPED_TRACE(peer.at("XADFileName").get<std::string>());
    const int level = peer.at("LHAHeaderLevel").get<int>();
    const bool dir = lsar_flag(peer, "XADIsDirectory");
    if (level >= 1)
        EXPECT_EQ(ours.name, peer.at("XADFileName").get<std::string>() + (dir ? "/" : ""));
    else
        EXPECT_EQ(ours.name, peer.at("LHAHeaderFileNameData").get<std::string>());
    EXPECT_EQ(ours.size, peer.at("XADFileSize").get<int64_t>());
    if (level == 1)
        EXPECT_GE(ours.packed, peer.at("XADCompressedSize").get<int64_t>());
    else
        EXPECT_EQ(ours.packed, peer.at("XADCompressedSize").get<int64_t>());
    EXPECT_EQ(ours.crc, static_cast<int16_t>(peer.at("LHACRC16").get<int>()));
    EXPECT_EQ(ours.when.to_string(), lsar_date(peer));
    EXPECT_EQ(ours.dir, dir);
    EXPECT_EQ(ours.method, lzh_method_texts.at(peer.at("XADCompressionName").get<std::string>().substr(1, 3)));
    EXPECT_FALSE(ours.encrypted);
    EXPECT_EQ(ours.system_made_by, "UnKnown");
}

void expect_listing_matches_lsar(const Listing& ours, const json& peer)
{
    EXPECT_EQ(ours.result, 0);
    EXPECT_EQ(ours.type, 5);
    ASSERT_EQ(ours.entries.size(), peer.size());
    for (size_t i = 0; i < peer.size(); ++i)
        expect_matches_lsar(ours.entries[i], peer[i]);
}

TEST(LzhToolArchives, FixturesMadeByJlhaListAsLsarListsThem)
{
    std::map<int, int> levels;
    for (const std::string name : {"level0.lzh", "level1.lzh", "level2.lzh", "stored.lzh"}) {
        SCOPED_TRACE(name);
        const auto text = read_file(data_dir() / "lzh" / (name + ".lsar.json"));
        const json peer = lsar_entries(std::string(text.begin(), text.end()));
        expect_listing_matches_lsar(list_file(data_dir() / "lzh" / name), peer);
        for (const auto& e : peer)
            ++levels[e.at("LHAHeaderLevel").get<int>()];
    }
    EXPECT_EQ(levels.size(), 3u);  // the fixtures hold all three header levels
}

TEST(LzhToolArchives, FreshArchivesFromJlhaMatchLsar)
{
    if (!have_tool("jlha") || !have_tool("lsar"))
        GTEST_SKIP() << "jlha or lsar not installed";
    TempDir dir;
    std::filesystem::create_directory(dir / "folder");
    write_file(dir / "folder" / "inner.txt", std::string(500, 'q'));
    write_file(dir / "plain.txt", "plain text, plain text, plain text\n");
    const std::string cd = "cd " + shell_quote(dir.str()) + " && TZ=UTC ";
    ASSERT_EQ(run_command(cd + "touch -d '2012-08-09 10:11:12' plain.txt folder folder/inner.txt"), 0);
    for (const std::string options : {"c0o5", "c1o6", "c2o7", "c2z"}) {
        SCOPED_TRACE(options);
        const std::string archive = options + ".lzh";
        const std::string files = options[1] == '0' ? "plain.txt folder/inner.txt" : "plain.txt folder";
        ASSERT_EQ(run_command(cd + "jlha " + options + " " + archive + " " + files + " >/dev/null 2>&1"), 0);
        std::string text;
        run_command(cd + "lsar -j " + archive, &text);
        expect_listing_matches_lsar(list_file(dir / archive), lsar_entries(text));
    }
}

// UTF-16 names (extended headers 0x44 and 0x45) win over the code-page ones
// beside them, as bsdtar shows them; entries 3 and 5 have only a Shift-JIS
// name or folder, read in the session's OEM code page (437 here).
const std::vector<std::string> utf16_archive_names = {
    "\u00DC\u00D6\u00C4\u00FC\u00F6\u00E4/\u00E4\u00F6\u00FC\u00C4\u00D6\u00DC.txt",
    "\u00DC\u00D6\u00C4\u00FC\u00F6\u00E4/",
    "\u00DC\u00D6\u00C4\u00FC\u00F6\u00E4/\u00E2e\u00E2X\u00E2g.txt",
    "\u30C6\u30B9\u30C8/\u00E4\u00F6\u00FC\u00C4\u00D6\u00DC.txt",
    "\u00E2e\u00E2X\u00E2g/",
    "\u00E4\u00F6\u00FC\u00C4\u00D6\u00DC.txt",
};

// The corpus's expected listing, read by the rules above: names with their
// folders, DOS words or Unix times turned into DOS date-times, CRC-16
// sign-extended, every header level walked.
TEST(LzhToolArchives, CorpusListsAsExpected)
{
    if (!corpus_available())
        GTEST_SKIP() << "shared corpus not available";
    ScopedEnv locale("LC_ALL", "C");
    int archives = 0;
    for (const auto& item : std::filesystem::directory_iterator(corpus_dir() / "lzh")) {
        if (item.path().extension() != ".json")
            continue;
        ++archives;
        const auto text = read_file(item.path());
        const json expected = json::parse(std::string(text.begin(), text.end()));
        const std::filesystem::path archive = item.path().parent_path() / expected.at("archive").get<std::string>();
        SCOPED_TRACE(archive.filename().string());
        const Listing ours = list_file(archive);
        const auto& entries = expected.at("entries");
        EXPECT_EQ(ours.count, static_cast<int32_t>(entries.size()));
        EXPECT_EQ(ours.type, ours.count > 0 ? 5 : 0);
        const bool utf16 = archive.filename().string().find("utf16") != std::string::npos;

        for (int32_t k = 0; k < ours.count && k < static_cast<int32_t>(entries.size()); ++k) {
            SCOPED_TRACE(k + 1);
            const json& want = entries[static_cast<size_t>(k)];
            const ListedEntry& got = ours.entries[static_cast<size_t>(k)];
            EXPECT_EQ(got.size, want.at("size").get<int64_t>());
            EXPECT_EQ(got.crc, static_cast<int16_t>(std::stoi(want.at("crc").get<std::string>(), nullptr, 16)));
            EXPECT_EQ(got.dir, want.at("is_dir").get<bool>());
            if (!want.contains("header_level")) {
                // Walked by no header reader: the peers' names, "\\" shown
                // as "/" and folders without their closing "/".
                std::string name = got.name;
                std::replace(name.begin(), name.end(), '\\', '/');
                if (!name.empty() && name.back() == '/')
                    name.pop_back();
                EXPECT_EQ(name, want.at("name").get<std::string>());
                continue;
            }
            const int level = want.at("header_level").get<int>();
            EXPECT_EQ(got.name, utf16 ? utf16_archive_names.at(static_cast<size_t>(k)) : want.at("name").get<std::string>());
            if (level == 1)
                EXPECT_GE(got.packed, want.at("compressed_size").get<int64_t>());
            else
                EXPECT_EQ(got.packed, want.at("compressed_size").get<int64_t>());
            EXPECT_EQ(got.method, lzh_method_texts.at(want.at("method_code").get<std::string>()));
            int16_t date = 0, time = 0;
            if (level == 2) {
                UnixTimeToDos(want.at("mtime_unix").get<int64_t>(), date, time);
            } else {
                date = static_cast<int16_t>(std::stoi(want.at("dos_date").get<std::string>(), nullptr, 16));
                time = static_cast<int16_t>(std::stoi(want.at("dos_time").get<std::string>(), nullptr, 16));
            }
            EXPECT_EQ(got.when, DosDateTimeToDate(date, time));
        }
    }
    EXPECT_GT(archives, 0);
}

TEST(LzhToolArchives, LevelThreeArchiveIsListed)
{
    if (!corpus_available())
        GTEST_SKIP() << "shared corpus not available";
    // Level 3 starts with a two-byte word size of 4 and counts its header in
    // four bytes; the folders come from extended header 0x02.
    const auto path = corpus_dir() / "lzh" / "test_read_format_lha_header3.lzh";
    ASSERT_EQ(read_file(path).at(20), 3);
    const Listing l = list_file(path);
    EXPECT_EQ(l.type, 5);
    ASSERT_EQ(l.count, 4);
    EXPECT_EQ(l.entries[0].name, "dir/");
    EXPECT_EQ(l.entries[1].name, "dir2/");
    EXPECT_EQ(l.entries[2].name, "file1");
    EXPECT_EQ(l.entries[2].packed, 36);
    EXPECT_EQ(l.entries[2].method, lzh_method_texts.at("lh5"));
}

} // namespace

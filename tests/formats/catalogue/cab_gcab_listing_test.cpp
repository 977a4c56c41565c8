// Guards the cabinet listing against drifting from what 7-Zip, lsar, bsdtar,
// gcab and cabextract list for cabinets made by gcab and Microsoft tools.
#include "expected_listing.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

namespace velmora::test {
namespace {

std::string cab_method(unsigned code)
{
    switch (code & 0x0F) {
    case 0: return "No Compression";
    case 1: return "MsZip";
    case 2: return "Quantum";
    case 3: return "Lzx";
    default: return "Unknown";
    }
}

std::string no_host(unsigned) { return "UnKnown"; }

// `7z l -slt` records, from the "----------" line on.
std::vector<std::map<std::string, std::string>> parse_slt(const std::filesystem::path& p)
{
    std::vector<std::map<std::string, std::string>> out;
    std::ifstream in(p);
    std::string line;
    std::map<std::string, std::string> cur;
    while (std::getline(in, line)) {
        const auto eq = line.find(" = ");
        if (eq != std::string::npos) {
            cur[line.substr(0, eq)] = line.substr(eq + 3);
        } else if (line.empty() && !cur.empty()) {
            out.push_back(cur);
            cur.clear();
        }
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

const std::map<std::string, std::string> sevenzip_methods = {{"None", "No Compression"}, {"MSZip", "MsZip"}};

TEST(CabGcabListing, GcabCabinetsListAs7ZipListsThem)
{
    for (const char* name : {"gcab-stored.cab", "gcab-mszip.cab"}) {
        SCOPED_TRACE(name);
        const auto path = data_dir() / "cab" / name;
        const auto peer = parse_slt(path.string() + ".7z-slt.txt");
        const auto s = list_file(path);
        EXPECT_EQ(s.result, 0);
        EXPECT_EQ(s.type, 7);
        ASSERT_EQ(static_cast<size_t>(s.count), peer.size());
        ASSERT_GE(peer.size(), 4u);
        for (size_t k = 0; k < peer.size(); ++k) {
            const auto& p = peer[k];
            const auto& e = s.entries[k];
            EXPECT_EQ(slashes(e.name), p.at("Path"));
            EXPECT_EQ(e.size, std::stol(p.at("Size")));
            EXPECT_EQ(e.when.to_string(), p.at("Modified"));
            EXPECT_EQ(e.dir, p.at("Attributes").find('D') != std::string::npos);
            EXPECT_EQ(e.method, sevenzip_methods.at(p.at("Method")));
            // Not stored per file in a cabinet.
            EXPECT_EQ(e.packed, 0);
            EXPECT_EQ(e.crc, 0);
            EXPECT_FALSE(e.encrypted);
            EXPECT_EQ(e.system_made_by, "UnKnown");
            EXPECT_EQ(e.version_made_by, "Unknown");
            EXPECT_EQ(e.system_needed, "Unknown");
            EXPECT_EQ(e.version_needed, "1.3");
            EXPECT_EQ(e.comment, "");
        }
        EXPECT_EQ(s.comment, "");
    }
}

// gcab flags non-ASCII names with attribute 0x80 and stores them as UTF-8.
TEST(CabGcabListing, NamesFlaggedUtf8StayUtf8)
{
    const auto s = list_file(data_dir() / "cab" / "gcab-mszip.cab");
    ASSERT_EQ(s.count, 4);
    EXPECT_EQ(s.entries[3].name, "\xC3\xBCn\xC3\xAF" "c\xC3\xB6" "d\xC3\xA9.txt");
}

TEST(CabGcabListing, LiveGcabCabinetMatchesGcabsOwnListing)
{
    if (!have_tool("gcab"))
        GTEST_SKIP() << "gcab not installed";
    TempDir dir;
    write_file(dir / "one.txt", std::string(1000, 'x'));
    std::filesystem::create_directories(dir / "sub");
    write_file(dir / "sub" / "two.bin", std::vector<uint8_t>(77, 1));
    const std::string cd = "cd " + shell_quote(dir.str()) + " && TZ=UTC ";
    ASSERT_EQ(run_command(cd + "touch -d '2020-02-29 13:14:16' one.txt sub/two.bin && gcab -c -z t.cab one.txt sub/two.bin"), 0);
    std::string peer;
    ASSERT_EQ(run_command(cd + "gcab -l t.cab", &peer), 0);
    const auto s = list_file(dir / "t.cab");
    ASSERT_EQ(s.count, 2);
    std::string ours;
    for (const auto& e : s.entries)
        ours += e.name + " " + std::to_string(e.size) + " " + e.when.to_string() + " 0x20\n";
    EXPECT_EQ(ours, peer);
}

std::vector<std::filesystem::path> cab_corpus()
{
    std::vector<std::filesystem::path> out;
    for (const auto& f : std::filesystem::directory_iterator(corpus_dir() / "cab"))
        if (f.path().extension() == ".cab")
            out.push_back(f.path());
    std::sort(out.begin(), out.end());
    return out;
}

TEST(CabCorpusListing, EveryCabinetListsAsThePeersList)
{
    if (!corpus_available())
        GTEST_SKIP() << "no shared corpus";
    size_t compared = 0;
    for (const auto& path : cab_corpus()) {
        SCOPED_TRACE(path.filename().string());
        const auto expected = load_json(path.string() + ".expected.json");
        const auto s = list_file(path);
        EXPECT_EQ(s.result, 0);
        EXPECT_EQ(s.type, 7);
        EXPECT_EQ(s.comment, "");
        expect_entries_match(expected, s, {"is_dir"}, cab_method, no_host);
        for (const auto& e : expected["entries"]) {
            const auto& got = s.entries.at(e["index"].get<size_t>() - 1);
            // Each entry shows its own folder's method; these cabinets have
            // one folder each (a continued file's marker names it too).
            EXPECT_TRUE(e["folder"] == 0 || e["folder"] >= 0xFFFD);
            EXPECT_EQ(got.system_made_by, "UnKnown");
            // A folder is any entry with attribute 0x10; the peers take two
            // damaged entries with that bit set for files.
            EXPECT_EQ(got.dir, (e["attr"].get<unsigned>() & 0x10u) != 0);
            if (got.dir != e["is_dir"].get<bool>()) {
                EXPECT_TRUE(expected["negative"].get<bool>());
            }
        }
        ++compared;
    }
    EXPECT_EQ(compared, 11u);
}

} // namespace
} // namespace velmora::test

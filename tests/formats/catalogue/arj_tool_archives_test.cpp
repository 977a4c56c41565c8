// Guards against ARJ listings that drift from what arj wrote: names lost behind
// the longer first headers of arj 3.x, Unix times read as DOS words, sizes,
// CRCs, comments or flags taken from the wrong offsets.
#include "arj_lzh_listing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <sstream>

using namespace velmora;
using namespace velmora::test;
using namespace velmora::test::arj_lzh;
using nlohmann::json;

namespace {

const std::map<int, std::string> arj_method_texts = {
    {0, "No Compression"}, {1, "Maximum"}, {2, "Normal"}, {3, "Small"}, {4, "Fastest"}};
const std::map<int, std::string> arj_host_texts = {
    {0, "MS-DOS and OS/2 (FAT / VFAT / FAT32 file systems)"}, {2, "UNIX"}};

void expect_matches_lsar(const ListedEntry& ours, const json& peer)
{
    SCOPED_TRACE(peer.at("XADFileName").get<std::string>());
    EXPECT_EQ(ours.name, peer.at("XADFileName").get<std::string>());
    EXPECT_EQ(ours.size, peer.at("XADFileSize").get<int64_t>());
    EXPECT_EQ(ours.packed, peer.at("XADCompressedSize").get<int64_t>());
    EXPECT_EQ(ours.crc, peer.at("ARJCRC32").get<int32_t>());  // lsar prints it signed too
    EXPECT_EQ(ours.when.to_string(), lsar_date(peer));
    EXPECT_EQ(ours.encrypted, lsar_flag(peer, "XADIsEncrypted"));
    // A folder is told by ARJ flag 0x02 here; peers use file type 3.
    EXPECT_EQ(ours.dir, (peer.at("ARJFlags").get<int>() & 0x02) != 0);
    EXPECT_EQ(ours.comment, peer.value("XADComment", std::string()));
    EXPECT_EQ(ours.method, arj_method_texts.at(peer.at("ARJMethod").get<int>()));
    EXPECT_EQ(ours.system_made_by, arj_host_texts.at(peer.at("ARJOS").get<int>()));
    EXPECT_EQ(ours.system_needed, "unKnown");
}

void expect_listing_matches_lsar(const Listing& ours, const json& peer)
{
    EXPECT_EQ(ours.result, 0);
    EXPECT_EQ(ours.type, 4);
    ASSERT_EQ(ours.entries.size(), peer.size());
    for (size_t i = 0; i < peer.size(); ++i)
        expect_matches_lsar(ours.entries[i], peer[i]);
}

json recorded_lsar(const std::string& archive)
{
    const auto bytes = read_file(data_dir() / "arj" / (archive + ".lsar.json"));
    return lsar_entries(std::string(bytes.begin(), bytes.end()));
}

// 7z l -slt records as name -> (key -> value).
std::map<std::string, std::map<std::string, std::string>> seven_zip_records(const std::string& text)
{
    std::map<std::string, std::map<std::string, std::string>> out;
    std::istringstream in(text.substr(text.find("----------")));
    std::string line, path;
    while (std::getline(in, line)) {
        const size_t eq = line.find(" = ");
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 3);
        if (key == "Path")
            path = value;
        out[path][key] = value;
    }
    return out;
}

TEST(ArjToolArchives, FixturesMadeByArjListAsLsarListsThem)
{
    for (const std::string name : {"methods.arj", "dos.arj"}) {
        SCOPED_TRACE(name);
        expect_listing_matches_lsar(list_file(data_dir() / "arj" / name), recorded_lsar(name));
    }
    // The fixture holds what it should: methods 0-4, a garbled entry, a folder.
    std::set<int> methods;
    int garbled = 0, folders = 0;
    for (const auto& e : recorded_lsar("methods.arj")) {
        methods.insert(e.at("ARJMethod").get<int>());
        garbled += lsar_flag(e, "XADIsEncrypted");
        folders += e.at("ARJFileType").get<int>() == 3;
    }
    EXPECT_EQ(methods, (std::set<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(garbled, 1);
    EXPECT_EQ(folders, 1);
}

TEST(ArjToolArchives, EveryExtendedHeaderIsRead)
{
    // arj -2o stores the owner in an extended header after each local header;
    // the chain ends with a zero size that the walk must pass over too, or it
    // looks for the next header two bytes early and loses every later entry
    // (as lsar does). 7-Zip and arj list both entries.
    const auto text = read_file(data_dir() / "arj" / "owner.arj.7z.txt");
    const auto seven_zip = seven_zip_records(std::string(text.begin(), text.end()));
    const Listing ours = list_file(data_dir() / "arj" / "owner.arj");
    ASSERT_EQ(seven_zip.size(), 2u);
    ASSERT_EQ(ours.entries.size(), 2u);
    EXPECT_EQ(ours.type, 4);
    for (const auto& e : ours.entries) {
        SCOPED_TRACE(e.name);
        ASSERT_EQ(seven_zip.count(e.name), 1u);
        const auto& r = seven_zip.at(e.name);
        EXPECT_EQ(std::to_string(e.size), r.at("Size"));
        EXPECT_EQ(std::to_string(e.packed), r.at("Packed Size"));
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08X", static_cast<uint32_t>(e.crc));
        EXPECT_EQ(crc, r.at("CRC"));
    }
    expect_matches_lsar(ours.entries[0], recorded_lsar("owner.arj").at(0));
}

TEST(ArjToolArchives, FreshArchiveMatchesLsarAnd7z)
{
    if (!have_tool("arj") || !have_tool("lsar"))
        GTEST_SKIP() << "arj or lsar not installed";
    TempDir dir;
    write_file(dir / "one.txt", std::string(700, 'a'));
    write_file(dir / "two.txt", "short text\n");
    write_file(dir / "three.txt", std::string("abcdefgh") + std::string(900, 'z'));
    write_file(dir / "note.cmt", "note\n");
    const std::string cd = "cd " + shell_quote(dir.str()) + " && TZ=UTC ";
    ASSERT_EQ(run_command(cd + "touch -d '2003-04-05 06:07:08' one.txt two.txt three.txt"), 0);
    ASSERT_EQ(run_command(cd + "arj a fresh.arj -m4 one.txt >/dev/null"), 0);
    ASSERT_EQ(run_command(cd + "arj a fresh.arj -m0 -gpw two.txt >/dev/null"), 0);
    ASSERT_EQ(run_command(cd + "arj a fresh.arj -m2 three.txt >/dev/null"), 0);
    ASSERT_EQ(run_command(cd + "arj c fresh.arj three.txt -jznote.cmt >/dev/null"), 0);

    std::string text;
    ASSERT_EQ(run_command(cd + "lsar -j fresh.arj", &text), 0);
    const Listing ours = list_file(dir / "fresh.arj");
    expect_listing_matches_lsar(ours, lsar_entries(text));

    if (!have_tool("7z"))
        return;
    ASSERT_EQ(run_command(cd + "7z l -slt fresh.arj", &text), 0);
    const auto records = seven_zip_records(text);
    for (const auto& e : ours.entries) {
        SCOPED_TRACE(e.name);
        ASSERT_TRUE(records.count(e.name));
        const auto& r = records.at(e.name);
        EXPECT_EQ(std::to_string(e.size), r.at("Size"));
        EXPECT_EQ(std::to_string(e.packed), r.at("Packed Size"));
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08X", static_cast<uint32_t>(e.crc));
        EXPECT_EQ(crc, r.at("CRC"));
        EXPECT_EQ(e.encrypted ? "+" : "-", r.at("Encrypted"));
    }
}

} // namespace

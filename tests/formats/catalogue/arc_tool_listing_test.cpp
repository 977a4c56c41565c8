// Guards the ARC listing against drifting from what lsar lists for archives
// made by arc 5.21 (stored, crunched, packed and squashed entries), and pins
// down where the listing rules differ from it: CRC-16s are sign-extended. Bytes
// arc leaves after a shorter name's zero must not leak into the name.
#include "listing_snapshot.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <map>

namespace velmora::test {
namespace {

// The method names, by arc's method number.
std::string arc_method(unsigned m)
{
    static const std::map<unsigned, std::string> texts = {
        {1, "unpacked (obsolete)"},
        {2, "unpacked"},
        {3, "packed"},
        {4, "squeezed (after packing)"},
        {5, "crunched (obsolete)"},
        {6, "crunched (after packing) (obsolete)"},
        {7, "crunched (after packing, using faster hash algorithm)"},
        {8, "crunched (after packing, using dynamic LZW variations)"},
        {9, "Squashed c/o Halvik (no packing) (var. on crunching)"},
    };
    return texts.at(m);
}

// "2021-03-04 05:06:08 +0000" -> "2021-03-04 05:06:08"
std::string lsar_date(const std::string& s) { return s.substr(0, 19); }

TEST(ArcToolListing, ArcArchivesListAsLsarListsThem)
{
    std::set<unsigned> methods_seen;
    for (const char* name : {"default.arc", "squashed.arc", "stored.arc"}) {
        SCOPED_TRACE(name);
        const auto path = data_dir() / "arc" / name;
        std::ifstream in(path.string() + ".lsar.json");
        const auto peer = nlohmann::json::parse(in)["lsarContents"];
        const auto bytes = read_file(path);
        const auto s = list_file(path);
        EXPECT_EQ(s.result, 0);
        EXPECT_EQ(s.type, 7);
        ASSERT_EQ(static_cast<size_t>(s.count), peer.size());
        for (size_t k = 0; k < peer.size(); ++k) {
            const auto& p = peer[k];
            const auto& e = s.entries[k];
            const std::string peer_name = p["XADFileName"];
            // arc leaves the previous name's bytes after the terminating zero
            // of a shorter name; the name stops at the zero, as lsar reads it.
            const size_t header = p["XADDataOffset"].get<size_t>() - 29;
            std::string field_text;
            for (size_t i = 2; i < 15 && bytes.at(header + i) != 0; ++i)
                field_text.push_back(static_cast<char>(bytes.at(header + i)));
            EXPECT_EQ(e.name, field_text);
            EXPECT_EQ(e.name, peer_name);
            EXPECT_EQ(e.method, arc_method(p["ARCMethod"]));
            methods_seen.insert(p["ARCMethod"].get<unsigned>());
            EXPECT_EQ(e.size, p["XADFileSize"].get<int32_t>());
            EXPECT_EQ(e.packed, p["XADCompressedSize"].get<int32_t>());
            EXPECT_EQ(e.crc, static_cast<int16_t>(p["ARCCRC16"].get<uint16_t>()));
            EXPECT_EQ(e.when.to_string(), lsar_date(p["XADLastModificationDate"]));
            EXPECT_FALSE(e.dir);
            EXPECT_FALSE(e.encrypted);
            EXPECT_EQ(e.comment, "Not Supported");
            EXPECT_EQ(e.system_made_by, "UnKnown");
            EXPECT_EQ(e.version_made_by, "UnKnown");
            EXPECT_EQ(e.system_needed, "UnKnown");
            EXPECT_EQ(e.version_needed, "UnKnown");
        }
    }
    EXPECT_EQ(methods_seen, (std::set<unsigned>{2, 3, 8, 9}));
}

TEST(ArcToolListing, LiveArcArchiveMatchesArcsOwnCount)
{
    if (!have_tool("arc"))
        GTEST_SKIP() << "arc not installed";
    TempDir dir;
    std::string text;
    for (int i = 0; i < 300; ++i)
        text += "line " + std::to_string(i) + " of some repeated text\n";
    write_file(dir / "A.TXT", text);
    write_file(dir / "B.BIN", std::vector<uint8_t>(64, 7));
    const std::string cd = "cd " + shell_quote(dir.str()) + " && TZ=UTC ";
    ASSERT_EQ(run_command(cd + "touch -d '2001-09-09 01:46:40' A.TXT B.BIN && arc a t.arc A.TXT B.BIN >/dev/null"), 0);
    const auto s = list_file(dir / "t.arc");
    ASSERT_EQ(s.count, 2);
    EXPECT_EQ(s.entries[0].name, "A.TXT");
    EXPECT_EQ(s.entries[0].size, static_cast<int32_t>(text.size()));
    EXPECT_EQ(s.entries[1].name, "B.BIN");
    EXPECT_EQ(s.entries[1].size, 64);
    EXPECT_EQ(s.entries[1].when, (DateTime{2001, 9, 9, 1, 46, 40}));
    const auto file_size = static_cast<int64_t>(std::filesystem::file_size(dir / "t.arc"));
    // Two 29-byte headers, the packed data and the two-byte end mark.
    EXPECT_EQ(2 * 29 + s.entries[0].packed + s.entries[1].packed + 2, file_size);
}

} // namespace
} // namespace velmora::test

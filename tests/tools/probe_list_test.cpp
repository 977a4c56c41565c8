// Guards `archive-probe list`, whose output other tools parse: its record
// layout, the escaping of texts, message boxes on standard error, and listings
// that match the peers' for every ZIP of the corpus they accept.
#include "formats/zip/zip_corpus_expectations.h"
#include "formats/zip/zip_test_builder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sstream>

namespace velmora {
namespace {

struct ProbeRun {
    int status = -1;
    std::vector<std::vector<std::string>> out; // stdout lines split on tabs
    std::vector<std::vector<std::string>> err;
    std::string raw_out;
};

std::vector<std::vector<std::string>> split_lines(const std::string& text)
{
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        size_t start = 0;
        for (;;) {
            const size_t tab = line.find('\t', start);
            fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        lines.push_back(std::move(fields));
    }
    return lines;
}

ProbeRun run_probe(const std::filesystem::path& archive, const test::TempDir& dir)
{
    ProbeRun r;
    const auto err_file = dir / "stderr.txt";
    r.status = test::run_command(test::shell_quote(test::probe_path()) + " list " + test::shell_quote(archive.string())
                                     + " 2>" + test::shell_quote(err_file.string()),
                                 &r.raw_out);
    r.out = split_lines(r.raw_out);
    const auto err = test::read_file(err_file);
    r.err = split_lines(std::string(err.begin(), err.end()));
    return r;
}

// Undoes the probe's escaping: \\ \t \r \n and \xHH.
std::string unescape(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out.push_back(s[i]);
            continue;
        }
        const char c = s[++i];
        if (c == 't') out.push_back('\t');
        else if (c == 'r') out.push_back('\r');
        else if (c == 'n') out.push_back('\n');
        else if (c == '\\') out.push_back('\\');
        else if (c == 'x' && i + 2 < s.size()) {
            out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        }
    }
    return out;
}

test::ZipListing parse_listing(const ProbeRun& r)
{
    test::ZipListing l;
    EXPECT_GE(r.out.size(), 4u);
    if (r.out.size() < 4)
        return l;
    const std::vector<std::string> heads = {"result", "type", "count", "comment"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(r.out[i].size(), 2u) << heads[i];
        EXPECT_EQ(r.out[i][0], heads[i]);
    }
    l.result = std::stoi(r.out[0].at(1));
    l.type = std::stoi(r.out[1].at(1));
    l.count = std::stoi(r.out[2].at(1));
    l.comment = unescape(r.out[3].at(1));
    for (size_t i = 4; i < r.out.size(); ++i) {
        const auto& f = r.out[i];
        EXPECT_EQ(f.size(), 15u);
        if (f.size() != 15u)
            continue;
        EXPECT_EQ(f[0], "entry");
        EXPECT_EQ(f[1], std::to_string(i - 3));
        EXPECT_EQ(f[6].size(), 8u) << "CRC as 8 hex digits";
        EXPECT_TRUE(f[7] == "0" || f[7] == "1");
        EXPECT_TRUE(f[8] == "0" || f[8] == "1");
        l.entries.push_back({
            .name = unescape(f[2]),
            .method = unescape(f[3]),
            .compressed_size = std::stoll(f[4]),
            .uncompressed_size = std::stoll(f[5]),
            .crc = test::parse_hex32(f[6]),
            .encrypted = f[7] == "1",
            .is_dir = f[8] == "1",
            .datetime = f[9],
            .system_made_by = unescape(f[10]),
            .version_made_by = unescape(f[11]),
            .system_needed = unescape(f[12]),
            .version_needed = unescape(f[13]),
            .comment = unescape(f[14]),
        });
    }
    return l;
}

TEST(ProbeList, MatchesThePeersForEveryCorpusZipTheyAccept)
{
    if (!test::corpus_available())
        GTEST_SKIP() << "shared corpus not present";
    test::TempDir dir;
    size_t checked = 0;
    for (const auto& archive : test::corpus_zip_archives()) {
        const auto want = test::read_json(archive.string() + ".expected.json");
        if (want.at("readable_by").empty())
            continue;
        const ProbeRun r = run_probe(archive, dir);
        EXPECT_EQ(r.status, 0) << archive.filename();
        test::expect_matches_corpus(parse_listing(r), archive);
        ++checked;
    }
    EXPECT_GE(checked, 38u);
}

TEST(ProbeList, TextsAreEscapedAndEntriesNumbered)
{
    test::TempDir dir;
    const std::string name = "tab\there\\back\rcr\nlf\x01" "ctl\x1f" "end\x7f" "\xC3\xA9";
    const std::string comment = "line one\r\nline two\tand\x02";
    test::write_file(dir / "esc.zip",
                     test::build_zip({{.name = name, .data = "x", .comment = "per\\entry"}, {.name = "plain", .data = ""}},
                                     {.archive_comment = comment}));
    const ProbeRun r = run_probe(dir / "esc.zip", dir);
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.out.size(), 6u) << r.raw_out;
    EXPECT_EQ(r.out[3][1], "line one\\r\\nline two\\tand\\x02");
    // Field by field: no raw tab splits the name, DEL and UTF-8 stay as they are.
    const auto& e = r.out[4];
    ASSERT_EQ(e.size(), 15u);
    EXPECT_EQ(e[2], "tab\\there\\\\back\\rcr\\nlf\\x01ctl\\x1fend\x7f\xC3\xA9");
    EXPECT_EQ(e[3], "No Compression");
    EXPECT_EQ(e[4], "1");
    EXPECT_EQ(e[5], "1");
    EXPECT_EQ(e[6], "8cdc1683"); // CRC-32 of "x"
    EXPECT_EQ(e[9], "2025-01-01 13:26:30");
    EXPECT_EQ(e[10], "UNIX");
    EXPECT_EQ(e[11], "2.0");
    EXPECT_EQ(e[14], "per\\\\entry");
    EXPECT_EQ(r.out[5][1], "2");
    EXPECT_EQ(r.out[5][2], "plain");
    EXPECT_EQ(unescape(e[2]), name);
    EXPECT_TRUE(r.err.empty());
}

TEST(ProbeList, SizesPrintAsUnsignedValuesAndCrcsAsTheirBits)
{
    test::TempDir dir;
    // 0xFFFFFFFF without a Zip64 field is taken as it stands.
    test::write_file(dir / "big.zip", test::build_zip({{.name = "big", .data = "", .crc = 0xFFFFFFFE,
                                                        .compressed_size = 0x80000000, .uncompressed_size = 0xFFFFFFFF}}));
    const ProbeRun r = run_probe(dir / "big.zip", dir);
    ASSERT_EQ(r.out.size(), 5u);
    EXPECT_EQ(r.out[4][4], "2147483648");
    EXPECT_EQ(r.out[4][5], "4294967295");
    EXPECT_EQ(r.out[4][6], "fffffffe");
}

TEST(ProbeList, MessageBoxesGoToStandardErrorInTheMessageFormat)
{
    test::TempDir dir;
    // No end record (cut off), so the local headers are walked, and junk in
    // front of them.
    auto zip = test::build_zip({{.name = "a", .data = "1"}}, {.leading = "PK" + std::string(62, 'J')});
    zip.resize(zip.size() - 22);
    test::write_file(dir / "junk.zip", zip);
    const ProbeRun r = run_probe(dir / "junk.zip", dir);
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.err.size(), 1u);
    EXPECT_EQ(r.err[0], (std::vector<std::string>{"message", "Error", "information", "Unknown Zip Header."}));
    EXPECT_EQ(r.raw_out.find("Unknown Zip Header."), std::string::npos);
    const test::ZipListing l = parse_listing(r);
    EXPECT_EQ(l.count, 1);
    ASSERT_EQ(l.entries.size(), 1u);
    EXPECT_EQ(l.entries[0].name, "a");
}

TEST(ProbeList, FailuresStillPrintTheHeaderRecords)
{
    test::TempDir dir;
    test::write_file(dir / "text.txt", std::string("plain text"));
    ProbeRun r = run_probe(dir / "text.txt", dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.raw_out, "result\t-2\ntype\t0\ncount\t0\ncomment\t\n");
    r = run_probe("", dir);
    EXPECT_EQ(r.raw_out, "result\t-1\ntype\t0\ncount\t0\ncomment\t\n");
}

} // namespace
} // namespace velmora

// Guards the tar header walk: octal fields misread, long names cut to their
// last 100 characters, GNU/pax records listed as entries, or a walk that runs
// on past the end blocks would list wrong names, sizes and dates.
#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"
#include "formats/tar/Cls_Tar.h"
#include "formats/tar/TarHeader.h"
#include "support/TarBuilder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

using namespace velmora;
using namespace velmora::test;

namespace {

using Member = TarMember;
const std::string& end_blocks = tar_end_blocks;

struct Loaded {
    HeadlessWindow window;
    Cls_GetFileType files{window};
};

std::vector<std::string> names_of(Cls_GetFileType& f)
{
    std::vector<std::string> names;
    for (int32_t k = 1; k <= f.FileCount(); ++k)
        names.push_back(f.FileName(k));
    return names;
}

} // namespace

TEST(TarParseOctal, ReadsFieldsTheWayWritersPadThem)
{
    EXPECT_EQ(ParseOctal(std::string("00000001750 ", 12)), 1000);
    EXPECT_EQ(ParseOctal(std::string("00000001750\0", 12)), 1000);
    EXPECT_EQ(ParseOctal(std::string("     1750 \0", 11)), 1000);
    EXPECT_EQ(ParseOctal(std::string("\0\0\0\0", 4)), 0);
    EXPECT_EQ(ParseOctal("0000000"), 0);
    EXPECT_EQ(ParseOctal("17777777777"), 2147483647);
}

TEST(TarParseOctal, TakesAnyDigitAtItsPlaceAndOtherCharactersAsZero)
{
    EXPECT_EQ(ParseOctal("19"), 1 * 8 + 9);
    EXPECT_EQ(ParseOctal("x7"), 7);
    EXPECT_EQ(ParseOctal("1 1"), 65);
}

TEST(TarParseOctal, ReadsValuesPast31BitsAndRefusesThosePast63)
{
    EXPECT_EQ(ParseOctal("20000000000"), int64_t{2147483648});
    EXPECT_EQ(ParseOctal("77777777777"), int64_t{8589934591});
    EXPECT_EQ(ParseOctal(std::string(21, '7')), INT64_MAX);
    EXPECT_EQ(ParseOctal(std::string(22, '7')), std::nullopt);
    EXPECT_EQ(ParseOctal(std::string(60, '7')), std::nullopt);
}

TEST(TarPaxRecords, FindsKeywordsAndStopsAtDamage)
{
    const std::string records = pax_record("mtime", "1") + pax_record("path", "a/b") + pax_record("path", "c/d");
    const std::vector<uint8_t> bytes(records.begin(), records.end());
    EXPECT_EQ(pax_value(bytes, "path"), "c/d");
    EXPECT_EQ(pax_value(bytes, "linkpath"), std::nullopt);

    const std::string broken = "99 path=x\n";
    EXPECT_EQ(pax_value(std::vector<uint8_t>(broken.begin(), broken.end()), "path"), std::nullopt);
    const std::string no_newline = "7 path=";
    EXPECT_EQ(pax_value(std::vector<uint8_t>(no_newline.begin(), no_newline.end()), "path"), "");
}

TEST(TarListing, LongNamesFromUstarPrefixGnuRecordsAndPaxHeaders)
{
    TempDir dir;
    const std::string long_name = std::string(120, 'n') + "/file.txt";
    Member prefixed{"name.txt", "abc"};
    prefixed.prefix = "some/prefix";
    Member gnu_magic{"plain.txt", "x"};
    gnu_magic.magic = std::string("ustar  \0", 8);
    gnu_magic.prefix = "not-a-prefix"; // GNU keeps other data there
    Member gnu_long{"././@LongLink", long_name + std::string(1, '\0'), 'L'};
    // A long link target ('K') describes the next member too; it is no file.
    Member gnu_link{"././@LongLink", std::string(150, 't') + std::string(1, '\0'), 'K'};
    Member pax_global{"pax_global_header", pax_record("comment", "hi"), 'g'};
    Member pax_x{"PaxHeaders/x", pax_record("mtime", "5") + pax_record("path", "pax/" + long_name), 'x'};
    const std::string archive = tar_member(prefixed) + tar_member(gnu_magic) + tar_member(pax_global)
                                + tar_member(gnu_link) + tar_member(gnu_long) + tar_member({"short-L", "1234"})
                                + tar_member(pax_x) + tar_member({"short-x", "12345"}) + end_blocks;
    write_file(dir / "a.tar", archive);

    Loaded l;
    ASSERT_EQ(l.files.Get_Contents((dir / "a.tar").string()), 0);
    EXPECT_EQ(l.files.state().PackFileType, format_code::tar);
    EXPECT_EQ(names_of(l.files), (std::vector<std::string>{"some/prefix/name.txt", "plain.txt", long_name,
                                                            "pax/" + long_name}));
    EXPECT_EQ(l.files.UnCompressed_Size(3), 4);
    EXPECT_EQ(l.files.UnCompressed_Size(4), 5);
    EXPECT_EQ(l.files.Compressed_Size(4), 5);
}

TEST(TarListing, WalkEndsAtEmptyNameAndShortBlock)
{
    TempDir dir;
    // Two archives one after the other: the first end blocks end the list.
    write_file(dir / "cat.tar", tar_member({"one", "1"}) + end_blocks + tar_member({"two", "2"}) + end_blocks);
    // A header cut short is no header.
    write_file(dir / "short.tar", tar_member({"one", "1"}) + tar_member({"two", "2"}).substr(0, 300));
    write_file(dir / "empty-first.tar", tar_member({"", ""}) + tar_member({"two", "2"}));

    Loaded l;
    l.files.Get_Contents((dir / "cat.tar").string());
    EXPECT_EQ(names_of(l.files), std::vector<std::string>{"one"});
    l.files.Get_Contents((dir / "short.tar").string());
    EXPECT_EQ(names_of(l.files), std::vector<std::string>{"one"});
    l.files.Get_Contents((dir / "empty-first.tar").string());
    EXPECT_EQ(l.files.state().PackFileType, format_code::none);
    EXPECT_EQ(l.files.FileCount(), 0);
}

TEST(TarListing, NumbersPast31BitsAreListed)
{
    TempDir dir;
    Member big_size{"big", ""};
    big_size.size_field = "40000000000"; // 4 GiB, not in the file
    Member late{"late", ""};
    late.mtime_field = "20000000000"; // after 19 January 2038
    for (const Member& wide : {big_size, late}) {
        write_file(dir / "wide.tar", tar_member({"good", "1"}) + tar_member(wide) + end_blocks);
        Loaded l;
        l.files.Get_Contents((dir / "wide.tar").string());
        EXPECT_EQ(l.files.state().PackFileType, format_code::tar) << wide.name;
        ASSERT_EQ(l.files.FileCount(), 2) << wide.name;
        EXPECT_EQ(l.files.FileName(2), wide.name);
    }
    Loaded l;
    l.files.Get_Contents((dir / "wide.tar").string());
    EXPECT_EQ(l.files.FileDateTime(2).year, 2038);
}

TEST(TarListing, MembersPast2GiBAreListed)
{
    TempDir dir;
    // A first member of 2 GiB - 512 bytes (a sparse hole), then a member
    // whose data starts past the 31-bit positions.
    Member big{"big", ""};
    big.size_field = "17777777000";
    const std::string first = tar_member(big);
    const std::string second = tar_member({"beyond", "x"}) + end_blocks;
    {
        std::ofstream out(dir / "huge.tar", std::ios::binary);
        out << first;
        out.seekp(static_cast<std::streamoff>(512) + 0x7FFFFE00);
        out << second;
    }
    Loaded l;
    l.files.Get_Contents((dir / "huge.tar").string());
    EXPECT_EQ(l.files.state().PackFileType, format_code::tar);
    ASSERT_EQ(l.files.FileCount(), 2);
    EXPECT_EQ(l.files.FileName(2), "beyond");
    EXPECT_EQ(l.files.UnCompressed_Size(1), int64_t{0x7FFFFE00});
}

TEST(TarListing, FoldersDatesAndTheFixedTexts)
{
    TempDir dir;
    Member folder{"dir/", ""};
    folder.type = '5';
    Member link{"link", ""};
    link.type = '2';
    Member old{"old", "x"};
    old.mtime_field = "0";
    Member sized_dir{"odd/", "z"}; // a name with a slash but data: no folder
    write_file(dir / "t.tar", tar_member(folder) + tar_member(link) + tar_member(old) + tar_member(sized_dir)
                                  + tar_member({"f", "x"}) + end_blocks);
    Loaded l;
    l.files.Get_Contents((dir / "t.tar").string());
    ASSERT_EQ(l.files.FileCount(), 5);
    EXPECT_TRUE(l.files.IsDir(1));
    EXPECT_FALSE(l.files.IsDir(2));
    EXPECT_FALSE(l.files.IsDir(4));
    // 0o14621234567 = 1715812727 = 2024-05-15 22:38:47 UTC, kept to the even second.
    EXPECT_EQ(l.files.FileDateTime(1), (DateTime{2024, 5, 15, 22, 38, 46}));
    // Before 1980: the first DOS day, not a wrapped year.
    EXPECT_EQ(l.files.FileDateTime(3), (DateTime{1980, 1, 1, 0, 0, 0}));
    EXPECT_EQ(l.files.Method(5), "Stored");
    EXPECT_EQ(l.files.CommentsFile(5), "Not Supported");
    EXPECT_EQ(l.files.CommentsPack(), "");
    EXPECT_EQ(l.files.CRC32(5), 0);
    EXPECT_EQ(l.files.SystemMadeBy(5), "UnKnown");
    EXPECT_EQ(l.files.VersionNeeded(5), "UnKnown");
    EXPECT_EQ(l.files.FileName(0), "");
    EXPECT_EQ(l.files.FileName(6), "");
    EXPECT_EQ(l.files.FileName(-1), "");
    EXPECT_EQ(l.files.Method(6), "");
    EXPECT_EQ(l.files.FileDateTime(6), DateTime{});
}

TEST(TarListing, FixturesFromGnuTarAndBsdtarListFullNames)
{
    const std::string d(70, 'd');
    const std::string f(150, 'f');
    const std::vector<std::string> gnu = {"./", "./" + d + "/", "./" + d + "/" + d + "/",
                                          "./" + d + "/" + d + "/deep.txt", "./" + d + "/" + f,
                                          "./empty.txt", "./run.sh"};
    std::vector<std::string> ustar = gnu;
    ustar.erase(ustar.begin() + 4);
    const std::vector<std::string> bsd = {"run.sh", "empty.txt", d + "/", d + "/" + f, d + "/" + d + "/",
                                          d + "/" + d + "/deep.txt"};
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"gnutar-ustar.tar", ustar}, {"gnutar-gnu.tar", gnu}, {"gnutar-pax.tar", gnu}, {"bsdtar-pax.tar", bsd}};
    for (const auto& [file, names] : cases) {
        Loaded l;
        l.files.Get_Contents((data_dir() / "tar" / file).string());
        EXPECT_EQ(names_of(l.files), names) << file;
        for (int32_t k = 1; k <= l.files.FileCount(); ++k) {
            const std::string name = l.files.FileName(k);
            const int32_t expected = name.ends_with("deep.txt") ? 10 : name.ends_with(f) ? 15
                                     : name.ends_with("run.sh") ? 18 : 0;
            EXPECT_EQ(l.files.UnCompressed_Size(k), expected) << file << " " << name;
            EXPECT_EQ(l.files.IsDir(k), name.ends_with("/")) << file << " " << name;
            // 1700000000 = 2023-11-14 22:13:20; run.sh 1600000001 = 2020-09-13 12:26:41
            EXPECT_EQ(l.files.FileDateTime(k), name.ends_with("run.sh") ? (DateTime{2020, 9, 13, 12, 26, 40})
                                                                        : (DateTime{2023, 11, 14, 22, 13, 20}))
                << file << " " << name;
        }
    }
}

TEST(TarListing, AgreesWithGnuTarOnArchivesItWritesNow)
{
    if (!have_tool("tar"))
        GTEST_SKIP() << "GNU tar not installed";
    TempDir dir;
    const std::string deep = "a/" + std::string(90, 'b') + "/" + std::string(90, 'c');
    std::filesystem::create_directories(dir / "src" / deep);
    write_file(dir / "src" / deep / (std::string(120, 'e') + ".bin"), std::string(1234, 'z'));
    write_file(dir / "src" / "top.txt", std::string("top"));
    for (const std::string format : {"ustar", "gnu", "pax", "v7"}) {
        const std::string archive = (dir / (format + ".tar")).string();
        const int rc = run_command("tar --format=" + format + " -cf " + shell_quote(archive) + " -C "
                                   + shell_quote((dir / "src").string()) + " . 2>/dev/null");
        if (rc != 0) {
            EXPECT_TRUE(format == "ustar" || format == "v7") << format; // names too long for them
            continue;
        }
        std::string listing;
        ASSERT_EQ(run_command("tar -tf " + shell_quote(archive), &listing), 0);
        std::vector<std::string> expected;
        for (size_t p = 0, q; (q = listing.find('\n', p)) != std::string::npos; p = q + 1)
            expected.push_back(listing.substr(p, q - p));
        Loaded l;
        l.files.Get_Contents(archive);
        EXPECT_EQ(names_of(l.files), expected) << format;
    }
}

namespace {

// Corpus archives where this reader's rules give another listing than the
// peers, with what it lists instead: count, and names by position.
struct PartListing {
    int32_t count;
    std::map<int32_t, std::string> names;
    std::map<int32_t, int32_t> sizes;
};
const std::map<std::string, PartListing> part_differs = {
    // The old GNU sparse map is not followed: the walk stops in the map data.
    {"test_read_format_gtar_sparse_1_13.tar", {2, {}, {}}},
    // The first header has an empty name: nothing is listed.
    {"test_read_format_tar_empty_filename.tar", {0, {}, {}}},
    // A size of 2^32 does not fit: the listing stops with nothing loaded.
    {"test_read_format_tar_pax_g_large.tar", {0, {}, {}}},
    // The damaged pax header is skipped as a record; its member is listed.
    {"test_read_format_tar_invalid_pax_size.tar", {1, {{1, "aaa"}}, {}}},
    // Link members keep the size their header declares.
    {"test_compat_tar_hardlink_1.tar", {2, {{2, "xmcd-3.3.2/README"}}, {{2, 321}}}},
    // The size field is read as written; peers take it as 0.
    {"test_read_format_tar_timestamp_overflow.tar", {1, {{1, "tmp/f.txt"}}, {{1, 14}}}},
};

} // namespace

TEST(TarListing, CorpusMatchesPeersWhereTheRulesAgree)
{
    if (!corpus_available())
        GTEST_SKIP() << "corpus not available";
    int checked = 0;
    for (const auto& item : std::filesystem::directory_iterator(corpus_dir() / "tar")) {
        const auto path = item.path();
        if (path.extension() != ".tar")
            continue;
        std::ifstream in(path.string() + ".expected.json");
        const auto expected = nlohmann::json::parse(in);
        const std::string file = path.filename().string();
        Loaded l;
        l.files.Get_Contents(path.string());
        ++checked;

        if (const auto it = part_differs.find(file); it != part_differs.end()) {
            EXPECT_EQ(l.files.FileCount(), it->second.count) << file;
            for (const auto& [k, name] : it->second.names)
                EXPECT_EQ(l.files.FileName(k), name) << file;
            for (const auto& [k, size] : it->second.sizes)
                EXPECT_EQ(l.files.UnCompressed_Size(k), size) << file;
            continue;
        }
        ASSERT_EQ(l.files.FileCount(), expected["entry_count"].get<int32_t>()) << file;
        for (const auto& e : expected["entries"]) {
            const int32_t k = e["index"];
            // Names: stored bytes that are not UTF-8 are read as code page 437.
            if (!e.contains("name_hex")) {
                EXPECT_EQ(l.files.FileName(k), e["name"].get<std::string>()) << file << " #" << k;
            }
            if (e.contains("size") && !e["size"].is_null()) {
                EXPECT_EQ(l.files.UnCompressed_Size(k), e["size"].get<int64_t>()) << file << " #" << k;
            }
            // Dates: the ustar mtime field (pax times are not read), clamped
            // to the DOS range.
            if (e.contains("mtime_unix") && !e["mtime_unix"].is_null() && e["mtime_unix"].get<int64_t>() >= 315532800
                && !e.value("pax", false)) {
                EXPECT_EQ(l.files.FileDateTime(k).to_string(), e["datetime"].get<std::string>()) << file << " #" << k;
            }
            // Folders: size 0 and a trailing slash, whatever the type flag says.
            const std::string name = l.files.FileName(k);
            EXPECT_EQ(l.files.IsDir(k), l.files.UnCompressed_Size(k) == 0 && name.ends_with("/")) << file;
            if (e["is_dir"].get<bool>() && l.files.UnCompressed_Size(k) == 0) {
                EXPECT_TRUE(l.files.IsDir(k)) << file << " #" << k;
            }
        }
    }
    EXPECT_GT(checked, 20);
}

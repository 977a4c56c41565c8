// Guards multi-member gzip files (cat a.gz b.gz, BGZF): every member must be
// decoded from its own bytes and checked against its own trailer, however
// much earlier members produced; and the member's name and time as gzip
// stores them (ISO 8859-1 names, MTIME 0 = no time).
#include "support/Extraction.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>

using namespace velmora;
using namespace velmora::test;
namespace fs = std::filesystem;

namespace {

// A gzip member of `data` made by zlib (gzip header with name and mtime).
std::string gzip_member(const std::string& data, const std::string& name = "", uint32_t mtime = 1700000000,
                        int level = 6)
{
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    gz_header h{};
    h.time = mtime;
    h.os = 3;
    std::string name_z = name;
    if (!name.empty())
        h.name = reinterpret_cast<Bytef*>(name_z.data());
    deflateSetHeader(&z, &h);
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string pseudo_random(size_t n, uint32_t seed)
{
    std::string s(n, '\0');
    uint32_t x = seed;
    for (auto& c : s) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>("abcdefgh \n0123"[(x >> 24) % 14]);
    }
    return s;
}

// What `gzip -dc` makes of a file.
std::string gunzip(const fs::path& p)
{
    std::string out;
    EXPECT_EQ(run_command("gzip -dc " + shell_quote(p.string()), &out), 0);
    return out;
}

} // namespace

TEST(GzipMembers, EveryMemberDecodesFromItsOwnBytesAsGzipDoes)
{
    if (!have_tool("gzip"))
        GTEST_SKIP() << "gzip not installed";
    struct Case {
        const char* name;
        std::string file;
    };
    std::vector<Case> cases;
    // 10 MB of zeros, then a member of 120 bytes of text: the second member's
    // input is far smaller than what the first produced.
    cases.push_back({"zeros-then-text.gz", gzip_member(std::string(10'000'000, '\0'), "data.bin")
                                              + gzip_member(pseudo_random(120, 7), "data.bin")});
    // BGZF-style: 200 members of 64 KiB each, 12.8 MB in all.
    std::string bgzf;
    for (uint32_t i = 0; i < 200; ++i)
        bgzf += gzip_member(pseudo_random(65536, i), "", 1700000000, 1 + static_cast<int>(i % 9));
    cases.push_back({"blocks.gz", bgzf});
    // Members of every size, with an empty one among them.
    cases.push_back({"mixed.gz", gzip_member("") + gzip_member(pseudo_random(3, 1)) + gzip_member(pseudo_random(70000, 2), "", 0, 0)
                                     + gzip_member(pseudo_random(1 << 20, 3), "", 0, 9)});

    for (const auto& c : cases) {
        TempDir dir;
        const fs::path archive = dir / c.name;
        write_file(archive, c.file);
        const std::string want = gunzip(archive);
        Extraction x(archive);
        ASSERT_EQ(x.unpack(dir / "out"), 0) << c.name;
        EXPECT_TRUE(x.window.messages.empty()) << c.name << ": " << (x.window.messages.empty() ? "" : x.window.messages[0].text);
        const std::string member = x.files.FileName(1);
        const std::string got = file_text(dir / "out" / member);
        ASSERT_EQ(got.size(), want.size()) << c.name;
        EXPECT_TRUE(got == want) << c.name << " differs from gzip -dc";
        EXPECT_EQ(x.outcome(1), "extracted") << c.name;
    }
}

TEST(GzipMembers, TrailingBytesAfterTheLastMemberAreIgnoredAndADamagedMemberWritesNothing)
{
    TempDir dir;
    const std::string a = pseudo_random(5000, 11);
    const std::string b = pseudo_random(7000, 12);
    // Zero padding after the last member, as tape blocks leave it.
    write_file(dir / "padded.gz", gzip_member(a, "p.txt") + gzip_member(b, "p.txt") + std::string(512, '\0'));
    {
        Extraction x(dir / "padded.gz");
        x.unpack(dir / "out");
        EXPECT_TRUE(x.window.messages.empty());
        EXPECT_EQ(file_text(dir / "out" / "p.txt"), a + b);
    }
    // The second member's stream is cut short: nothing of it is written.
    std::string cut = gzip_member(a, "q.txt") + gzip_member(b, "q.txt");
    cut.resize(cut.size() - 40);
    write_file(dir / "cut.gz", cut);
    Extraction x(dir / "cut.gz");
    x.unpack(dir / "out");
    EXPECT_FALSE(fs::exists(dir / "out" / "q.txt"));
    EXPECT_EQ(x.outcome(1), "failed:damaged");
    EXPECT_FALSE(x.window.messages.empty());
}

TEST(GzipMembers, NamesAreIso8859OrUtf8AndATimeOfZeroTakesTheArchivesOwnTime)
{
    TempDir dir;
    // "résumé.txt" in ISO 8859-1, as RFC 1952 stores names.
    write_file(dir / "latin1.gz", gzip_member("cv", "r\xe9sum\xe9.txt"));
    // The same name as gzip on a UTF-8 system stores it.
    write_file(dir / "utf8.gz", gzip_member("cv", "r\xc3\xa9sum\xc3\xa9.txt"));
    for (const char* file : {"latin1.gz", "utf8.gz"}) {
        Extraction x(dir / file);
        EXPECT_EQ(x.files.FileName(1), "r\xc3\xa9sum\xc3\xa9.txt") << file;
    }

    // MTIME 0: the file gets the archive's own modification time, as gunzip gives it.
    write_file(dir / "notime.gz", gzip_member("x", "notime.txt", 0));
    const timespec archive_time[2] = {{1600000000, 0}, {1600000123, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "notime.gz").c_str(), archive_time, 0), 0);
    Extraction x(dir / "notime.gz");
    x.unpack(dir / "out");
    EXPECT_EQ(stat_of(dir / "out" / "notime.txt").st_mtime, 1600000123);
    if (have_tool("gzip")) {
        // gunzip -N restores the same time.
        fs::create_directories(dir / "gz");
        fs::copy_file(dir / "notime.gz", dir / "gz" / "notime.txt.gz");
        ::utimensat(AT_FDCWD, (dir / "gz" / "notime.txt.gz").c_str(), archive_time, 0);
        ASSERT_EQ(run_command("cd " + shell_quote((dir / "gz").string()) + " && gzip -dN notime.txt.gz"), 0);
        EXPECT_EQ(stat_of(dir / "gz" / "notime.txt").st_mtime, stat_of(dir / "out" / "notime.txt").st_mtime);
    }
}

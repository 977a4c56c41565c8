// Guards the gzip listing: optional header fields read out of order or skipped
// by the wrong length would shift the data start and the name; a wrong name
// derivation would extract a .tgz under a name the TAR reader never picks up.
#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"
#include "formats/gzip/Cls_GZip.h"
#include "support/Extraction.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <zlib.h>

#include <fstream>
#include <sstream>

using namespace velmora;
using namespace velmora::test;

namespace {

std::string raw_deflate(const std::string& text)
{
    z_stream zs{};
    deflateInit2(&zs, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, text.size()), '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    zs.avail_in = static_cast<uInt>(text.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

std::string le32(uint32_t v)
{
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}

struct GzipParts {
    uint8_t cm = 8;
    uint8_t flg = 0;
    uint32_t mtime = 1700000000;
    uint8_t os = 3;
    std::string extra, name, comment;
    std::string content = "hello gzip\n";
};

std::string header_of(const GzipParts& p)
{
    std::string h = {'\x1f', '\x8b', static_cast<char>(p.cm), static_cast<char>(p.flg)};
    h += le32(p.mtime);
    h += '\x02';
    h += static_cast<char>(p.os);
    if (p.flg & 4) {
        h += static_cast<char>(p.extra.size());
        h += static_cast<char>(p.extra.size() >> 8);
        h += p.extra;
    }
    if (p.flg & 8)
        h += p.name + '\0';
    if (p.flg & 16)
        h += p.comment + '\0';
    if (p.flg & 2)
        h += "\x12\x34";
    if (p.flg & 32)
        h += std::string(12, 'K');
    return h;
}

std::string gzip_of(const GzipParts& p)
{
    const std::string& c = p.content;
    const uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(c.data()), static_cast<uInt>(c.size())));
    return header_of(p) + raw_deflate(c) + le32(crc) + le32(static_cast<uint32_t>(c.size()));
}

struct Loaded {
    HeadlessWindow window;
    Cls_GetFileType files{window};
};

} // namespace

TEST(GzipDeriveName, EndingsGiveTheMemberName)
{
    EXPECT_EQ(DeriveGzipName("C:\\backups\\backup.tgz"), "backup.tar");
    EXPECT_EQ(DeriveGzipName("/home/u/data.TAZ"), "data.tar");
    EXPECT_EQ(DeriveGzipName("notes.txt.gz"), "notes.txt");
    EXPECT_EQ(DeriveGzipName("file.z"), "file");
    EXPECT_EQ(DeriveGzipName("a.gz.bak"), "a");           // anywhere in the name
    EXPECT_EQ(DeriveGzipName("D:Mixed.Tgz"), "Mixed.tar"); // case kept, drive dropped
    EXPECT_EQ(DeriveGzipName("my.zip.tgz"), "my");         // ".Z" is searched before ".TGZ"
    EXPECT_EQ(DeriveGzipName("/dir.gz/plain"), "");
    EXPECT_EQ(DeriveGzipName("archive"), "");
}

TEST(GzipHostNames, TextsByOsByte)
{
    EXPECT_EQ(GzipHostName(0), "MS-DOS and OS/2 (FAT / VFAT / FAT32 file systems)");
    EXPECT_EQ(GzipHostName(2), "2 - OpenVMS");
    EXPECT_EQ(GzipHostName(3), "UNIX");
    EXPECT_EQ(GzipHostName(11), "NTFS filesystem");
    EXPECT_EQ(GzipHostName(13), "Acorn Risc");
    EXPECT_EQ(GzipHostName(14), "UnKnown");
    EXPECT_EQ(GzipHostName(255), "UnKnown");
}

TEST(GzipListing, EveryOptionalFieldIsSkippedInOrder)
{
    TempDir dir;
    GzipParts p;
    p.flg = 2 | 4 | 8 | 16 | 32;
    p.extra = std::string("AB\x03\x00xyz", 7);
    p.name = "inner.txt";
    p.comment = "a comment";
    p.os = 11;
    const std::string bytes = gzip_of(p);
    write_file(dir / "x.gz", bytes);

    Loaded l;
    ASSERT_EQ(l.files.Get_Contents((dir / "x.gz").string()), 0);
    EXPECT_EQ(l.files.state().PackFileType, format_code::gzip);
    ASSERT_EQ(l.files.FileCount(), 1);
    EXPECT_EQ(l.files.FileName(1), "inner.txt");
    EXPECT_EQ(l.files.CommentsFile(1), "a comment");
    EXPECT_EQ(l.files.CommentsPack(), "a comment");
    EXPECT_EQ(l.files.state().PackComments, "");
    EXPECT_EQ(l.files.Compressed_Size(1), static_cast<int32_t>(bytes.size() - header_of(p).size() - 8));
    EXPECT_EQ(l.files.UnCompressed_Size(1), static_cast<int32_t>(p.content.size()));
    EXPECT_EQ(static_cast<uint32_t>(l.files.CRC32(1)),
              crc32(0, reinterpret_cast<const Bytef*>(p.content.data()), static_cast<uInt>(p.content.size())));
    EXPECT_EQ(l.files.Method(1), "Deflate");
    EXPECT_EQ(l.files.SystemMadeBy(1), "NTFS filesystem");
    EXPECT_EQ(l.files.VersionMadeBy(1), "UnKnown");
    EXPECT_FALSE(l.files.Encrypted(1));
    EXPECT_FALSE(l.files.IsDir(1));
    EXPECT_TRUE(l.files.CanUnpack());
    // 1700000000 = 2023-11-14 22:13:20 UTC, no zone applied.
    EXPECT_EQ(l.files.FileDateTime(1), local_dos_time(1700000000)); // the instant in local time

    auto* reader = dynamic_cast<Cls_GZip*>(l.files.active_reader());
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->ExtraField(), p.extra);
    EXPECT_EQ(reader->HeaderCRC(), 0x3412);
    EXPECT_EQ(reader->DataPos(), static_cast<int32_t>(header_of(p).size()) + 1);
}

TEST(GzipListing, UnnamedMembersTakeTheArchiveNameAndOtherMethodsShowUnknown)
{
    TempDir dir;
    GzipParts p;
    p.cm = 7;
    p.os = 200;
    p.mtime = 0; // no time stored: the archive's own time stands in
    write_file(dir / "backup.tgz", gzip_of(p));
    Loaded l;
    l.files.Get_Contents((dir / "backup.tgz").string());
    EXPECT_EQ(l.files.FileName(1), "backup.tar");
    EXPECT_EQ(l.files.Method(1), "Unknown");
    EXPECT_EQ(l.files.SystemMadeBy(1), "UnKnown");
    EXPECT_EQ(l.files.FileDateTime(1), local_dos_time(mtime_of(dir / "backup.tgz")));
    EXPECT_EQ(l.files.FileName(0), "");
    EXPECT_EQ(l.files.FileName(2), "");
    EXPECT_EQ(l.files.CRC32(2), 0);
    EXPECT_EQ(l.files.FileDateTime(2), DateTime{});
}

TEST(GzipListing, SeveralMembersShowTheFirstNameAndTheLastTrailer)
{
    TempDir dir;
    GzipParts a;
    a.flg = 8;
    a.name = "first.txt";
    GzipParts b;
    b.flg = 8;
    b.name = "second.txt";
    b.content = std::string(5000, 'q');
    write_file(dir / "two.gz", gzip_of(a) + gzip_of(b));
    Loaded l;
    l.files.Get_Contents((dir / "two.gz").string());
    EXPECT_EQ(l.files.FileName(1), "first.txt");
    EXPECT_EQ(l.files.UnCompressed_Size(1), 5000);
}

TEST(GzipListing, CutOffFilesStillListWithoutReadingPastTheEnd)
{
    TempDir dir;
    GzipParts p;
    p.flg = 8 | 16;
    p.name = "never-terminated";
    const std::string header = header_of(p);
    for (size_t len : {size_t{2}, size_t{5}, size_t{12}, header.size() - 3}) {
        write_file(dir / "cut.gz", header.substr(0, len));
        Loaded l;
        l.files.Get_Contents((dir / "cut.gz").string());
        EXPECT_EQ(l.files.FileCount(), 1) << len;
        EXPECT_LE(l.files.Compressed_Size(1), 0) << len;
    }
}

TEST(GzipListing, GnuGzipFixtures)
{
    Loaded l;
    l.files.Get_Contents((data_dir() / "gzip" / "named.gz").string());
    EXPECT_EQ(l.files.FileName(1), "fox.txt");
    EXPECT_EQ(l.files.UnCompressed_Size(1), 45);
    EXPECT_EQ(l.files.SystemMadeBy(1), "UNIX");
    EXPECT_EQ(l.files.FileDateTime(1), local_dos_time(1700000000)); // the instant in local time
    l.files.Get_Contents((data_dir() / "gzip" / "noname.tgz").string());
    EXPECT_EQ(l.files.FileName(1), "noname.tar");
    // gzip -n stores 0: the archive's own time stands in.
    EXPECT_EQ(l.files.FileDateTime(1), local_dos_time(mtime_of(data_dir() / "gzip" / "noname.tgz")));
}

TEST(GzipListing, AgreesWithGzipListOnFilesItWritesNow)
{
    if (!have_tool("gzip"))
        GTEST_SKIP() << "gzip not installed";
    TempDir dir;
    std::string content;
    for (int i = 0; i < 3000; ++i)
        content += std::to_string(i * 7919 % 1000) + (i % 13 ? " " : "\n");
    write_file(dir / "report.txt", content);
    ASSERT_EQ(run_command("cd " + shell_quote(dir.str()) + " && touch -d @1234567890 report.txt && gzip -9 -N -k report.txt"), 0);
    std::string out;
    ASSERT_EQ(run_command("gzip -lv " + shell_quote((dir / "report.txt.gz").string()), &out), 0);
    // method  crc date time compressed uncompressed ratio name
    std::istringstream lines(out);
    std::string head, method, crc, mon, day, time;
    long long compressed = 0, uncompressed = 0;
    std::getline(lines, head);
    lines >> method >> crc >> mon >> day >> time >> compressed >> uncompressed;

    Loaded l;
    l.files.Get_Contents((dir / "report.txt.gz").string());
    EXPECT_EQ(l.files.FileName(1), "report.txt");
    EXPECT_EQ(l.files.UnCompressed_Size(1), uncompressed);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<uint32_t>(l.files.CRC32(1)));
    EXPECT_EQ(hex, crc);
    // The member data: the file less the 10-byte header, the name with its NUL and the trailer.
    const auto file_size = static_cast<int64_t>(std::filesystem::file_size(dir / "report.txt.gz"));
    EXPECT_EQ(l.files.Compressed_Size(1), file_size - 10 - 11 - 8);
    // 1234567890 = 2009-02-13 23:31:30 UTC
    EXPECT_EQ(l.files.FileDateTime(1), (DateTime{2009, 2, 13, 23, 31, 30}));
}

TEST(GzipListing, CorpusMatchesStoredFields)
{
    if (!corpus_available())
        GTEST_SKIP() << "corpus not available";
    int checked = 0;
    for (const auto& item : std::filesystem::directory_iterator(corpus_dir() / "gzip")) {
        const auto path = item.path();
        if (path.extension() == ".json")
            continue;
        std::ifstream in(path.string() + ".expected.json");
        const auto expected = nlohmann::json::parse(in);
        const auto& e = expected["entries"][0];
        const std::string file = path.filename().string();
        Loaded l;
        l.files.Get_Contents(path.string());
        ++checked;
        ASSERT_EQ(l.files.FileCount(), 1) << file;
        const std::string name = e["has_fname"].get<bool>() ? e["name"].get<std::string>() : DeriveGzipName(file);
        EXPECT_EQ(l.files.FileName(1), name) << file;
        // Size and CRC come from the file's last 8 bytes, as the stored-field reader took them.
        EXPECT_EQ(static_cast<uint32_t>(l.files.UnCompressed_Size(1)), e["size"].get<uint32_t>()) << file;
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08X", static_cast<uint32_t>(l.files.CRC32(1)));
        EXPECT_EQ(hex, e["crc"].get<std::string>()) << file;
        EXPECT_EQ(l.files.Compressed_Size(1), e["compressed_size"].get<int32_t>()) << file;
        EXPECT_EQ(l.files.Method(1), e["method_code"].get<int>() == 8 ? "Deflate" : "Unknown") << file;
        EXPECT_EQ(l.files.SystemMadeBy(1), GzipHostName(e["host_os"].get<uint8_t>())) << file;
        // MTIME is unsigned 32-bit; 0 means none, and the archive's own time stands in.
        const int64_t mtime = e["mtime_unix"].get<int64_t>();
        EXPECT_EQ(l.files.FileDateTime(1), local_dos_time(mtime != 0 ? mtime : mtime_of(corpus_dir() / "gzip" / file)))
            << file;
    }
    EXPECT_EQ(checked, 7);
}

// Guards the tar members that Linux trees and backups are full of: symbolic
// and hard links (which must be recreated, and only inside the output
// folder), devices and FIFOs (never created), pax records that carry the size,
// time and names, and number fields past 31 bits (times after 2038, base-256
// sizes), which must neither break the listing nor be misread.
#include "formats/tar/TarHeader.h"
#include "support/Extraction.h"
#include "support/TarBuilder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace velmora;
using namespace velmora::test;
namespace fs = std::filesystem;

namespace {

TarMember link_member(const std::string& name, const std::string& target, char type)
{
    TarMember m(name, "", type);
    m.linkname = target;
    return m;
}

std::string base256(uint64_t v, size_t width)
{
    std::string f(width, '\0');
    for (size_t i = width; i-- > 1;) {
        f[i] = static_cast<char>(v & 0xFF);
        v >>= 8;
    }
    f[0] = static_cast<char>(0x80);
    return f;
}

} // namespace

TEST(TarLinks, SymbolicLinksInsideTheOutputFolderAreMadeAndOthersRefused)
{
    TempDir dir;
    const std::string archive = tar_member(TarMember("lib/libfoo.so.1", "ELF"))
                                + tar_member(link_member("lib/libfoo.so", "libfoo.so.1", '2'))
                                + tar_member(link_member("lib/up.so", "../lib/libfoo.so.1", '2'))
                                + tar_member(link_member("escape", "../../etc/passwd", '2'))
                                + tar_member(link_member("absolute", "/etc/passwd", '2'))
                                + tar_member(link_member("sub/deep", "../..", '2'))
                                + tar_end_blocks;
    write_file(dir / "links.tar", archive);
    Extraction x(dir / "links.tar");
    ASSERT_EQ(x.files.FileCount(), 6);
    x.unpack(dir / "out");
    const fs::path out = dir / "out";
    EXPECT_EQ(fs::read_symlink(out / "lib/libfoo.so"), "libfoo.so.1");
    EXPECT_EQ(file_text(out / "lib/libfoo.so"), "ELF"); // through the link
    EXPECT_EQ(fs::read_symlink(out / "lib/up.so"), "../lib/libfoo.so.1");
    for (const char* refused : {"escape", "absolute", "sub/deep"})
        EXPECT_FALSE(fs::exists(fs::symlink_status(out / refused))) << refused;
    EXPECT_EQ(x.message_texts(), (std::vector<std::string>{"Unsafe path skipped: escape", "Unsafe path skipped: absolute",
                                                            "Unsafe path skipped: sub/deep"}));
    EXPECT_EQ(x.outcome(2), "extracted");
    EXPECT_EQ(x.outcome(4), "skipped:link-refused");
}

TEST(TarLinks, AnEntryThroughALinkIsNeverWrittenThroughIt)
{
    TempDir dir;
    fs::create_directories(dir / "elsewhere");
    // "inside" links to a folder in the output folder: allowed as a link,
    // but the file under it must not be written through it.
    const std::string archive = tar_member(TarMember("real/", "", '5')) + tar_member(link_member("inside", "real", '2'))
                                + tar_member(TarMember("inside/file.txt", "data")) + tar_end_blocks;
    write_file(dir / "through.tar", archive);
    Extraction x(dir / "through.tar");
    x.unpack(dir / "out");
    EXPECT_EQ(fs::read_symlink(dir / "out" / "inside"), "real");
    EXPECT_FALSE(fs::exists(dir / "out" / "real" / "file.txt"));
    EXPECT_EQ(x.outcome(3), "failed:write-error");
}

TEST(TarLinks, HardLinksShareTheFileAndNeedTheirTargetInTheRun)
{
    TempDir dir;
    const std::string archive = tar_member(TarMember("a.txt", "shared contents"))
                                + tar_member(link_member("b.txt", "a.txt", '1'))
                                + tar_member(link_member("c.txt", "missing.txt", '1')) + tar_end_blocks;
    write_file(dir / "hard.tar", archive);
    {
        Extraction x(dir / "hard.tar");
        x.unpack(dir / "out");
        EXPECT_EQ(file_text(dir / "out" / "b.txt"), "shared contents");
        EXPECT_EQ(stat_of(dir / "out" / "a.txt").st_ino, stat_of(dir / "out" / "b.txt").st_ino);
        EXPECT_FALSE(fs::exists(dir / "out" / "c.txt"));
        EXPECT_EQ(x.message_texts(), (std::vector<std::string>{"Link target not extracted: c.txt"}));
        EXPECT_EQ(x.outcome(3), "skipped:link-refused");
    }
    // b.txt alone: its target was not extracted in this run.
    Extraction only_b(dir / "hard.tar");
    only_b.unpack(dir / "out2", {2});
    EXPECT_FALSE(fs::exists(dir / "out2" / "b.txt"));
    EXPECT_EQ(only_b.outcome(2), "skipped:link-refused");
}

TEST(TarLinks, GnuTarArchivesWithLinksFifosAndDevicesExtractLikeGnuTar)
{
    if (!have_tool("tar") || !have_tool("mkfifo"))
        GTEST_SKIP() << "tar or mkfifo not installed";
    TempDir dir;
    const fs::path src = dir / "src";
    fs::create_directories(src / "tree");
    write_file(src / "tree" / "libbar.so.2", std::string("library"));
    fs::create_symlink("libbar.so.2", src / "tree" / "libbar.so");
    fs::create_hard_link(src / "tree" / "libbar.so.2", src / "tree" / "hardcopy");
    ASSERT_EQ(run_command("mkfifo " + shell_quote((src / "tree" / "pipe").string())), 0);
    ASSERT_EQ(run_command("cd " + shell_quote(src.string()) + " && tar --format=gnu -cf ../gnu.tar tree"), 0);
    Extraction x(dir / "gnu.tar");
    x.unpack(dir / "out");
    EXPECT_TRUE(x.window.messages.empty());
    EXPECT_EQ(fs::read_symlink(dir / "out" / "tree" / "libbar.so"), "libbar.so.2");
    EXPECT_EQ(stat_of(dir / "out" / "tree" / "hardcopy").st_ino, stat_of(dir / "out" / "tree" / "libbar.so.2").st_ino);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "out" / "tree" / "pipe")));
    const auto& report = x.report();
    EXPECT_EQ(report.count(EntryOutcome::skipped), 1); // the FIFO
}

TEST(TarRecords, PaxSizeTimeAndNamesDescribeTheNextMemberAndGlobalRecordsAllThatFollow)
{
    TempDir dir;
    const std::string data(3000, 'p');
    TarMember sized("placeholder", data);
    sized.size_field = tar_octal(0, 12); // the real size is in the pax record
    const std::string archive =
        tar_member(TarMember("pax_global_header", pax_record("mtime", "1600000000"), 'g'))
        + tar_member(TarMember("PaxHeaders/1", pax_record("size", "3000") + pax_record("path", "long/" + std::string(120, 'n'))
                                                   + pax_record("mtime", "1700000001.25"), 'x'))
        + tar_member(sized) + tar_member(TarMember("after.txt", "after"))
        + tar_member(TarMember("PaxHeaders/2", pax_record("linkpath", "after.txt"), 'x'))
        + tar_member(link_member("linked", "ignored", '2')) + tar_end_blocks;
    write_file(dir / "pax.tar", archive);
    Extraction x(dir / "pax.tar");
    ASSERT_EQ(x.files.FileCount(), 3);
    EXPECT_EQ(x.files.FileName(1), "long/" + std::string(120, 'n'));
    EXPECT_EQ(x.files.UnCompressed_Size(1), 3000);
    EXPECT_EQ(x.files.FileName(2), "after.txt");
    x.unpack(dir / "out");
    EXPECT_TRUE(x.window.messages.empty());
    const fs::path first = dir / "out" / "long" / std::string(120, 'n');
    EXPECT_EQ(file_text(first), data);
    EXPECT_EQ(stat_of(first).st_mtim.tv_sec, 1700000001);
    EXPECT_EQ(stat_of(first).st_mtim.tv_nsec, 250000000);
    EXPECT_EQ(file_text(dir / "out" / "after.txt"), "after");
    EXPECT_EQ(stat_of(dir / "out" / "after.txt").st_mtime, 1600000000); // the global record
    EXPECT_EQ(fs::read_symlink(dir / "out" / "linked"), "after.txt");
}

TEST(TarRecords, NumbersPast31BitsAreReadAndAnUnreadableHeaderKeepsTheMembersBefore)
{
    EXPECT_EQ(ParseOctal("20000000000"), int64_t{2147483648});
    EXPECT_EQ(ParseOctal("777777777777"), int64_t{68719476735});
    EXPECT_EQ(ParseOctal(base256(int64_t{1} << 40, 12)), int64_t{1} << 40);
    EXPECT_EQ(ParseOctal(std::string("\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xfe", 12)), -2);
    EXPECT_FALSE(ParseOctal(base256(1, 12).replace(1, 3, "\x01\x00\x00", 3)).has_value()); // past 63 bits

    TempDir dir;
    TarMember late("late.txt", "after 2038");
    late.mtime_field = tar_octal(4102444800, 12); // 2100-01-01
    TarMember big("big.bin", "");
    big.size_field = base256(uint64_t{5} << 30, 12); // 5 GiB declared, not present
    TarMember broken("broken", "");
    broken.size_field = std::string("\x80\x7f\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff", 12); // past 63 bits
    write_file(dir / "wide.tar", tar_member(late) + tar_member(TarMember("ok.txt", "ok")) + tar_member(broken) + tar_end_blocks);
    Extraction x(dir / "wide.tar");
    EXPECT_EQ(x.loaded, 0);
    ASSERT_EQ(x.files.FileCount(), 2); // the members before the unreadable header
    EXPECT_EQ(x.files.FileDateTime(1).year, 2100);
    x.unpack(dir / "out");
    EXPECT_EQ(stat_of(dir / "out" / "late.txt").st_mtime, 4102444800);

    write_file(dir / "big.tar", tar_member(TarMember("small.txt", "s")) + tar_member(big) + tar_end_blocks);
    Extraction y(dir / "big.tar");
    ASSERT_EQ(y.files.FileCount(), 2);
    EXPECT_EQ(y.files.UnCompressed_Size(2), int64_t{5} << 30);
    y.unpack(dir / "out2");
    EXPECT_EQ(file_text(dir / "out2" / "small.txt"), "s");
    EXPECT_FALSE(fs::exists(dir / "out2" / "big.bin")); // its data is not in the file
    EXPECT_EQ(y.message_texts(), (std::vector<std::string>{"Error in decompressed size"}));
}

// Guards tar extraction: members copied from the wrong offset or cut short,
// long names written under their last 100 characters, lost times or execute
// bits, and hostile names or sizes that write outside the output folder or
// allocate what the archive cannot hold.
#include "archive/Cls_GetFileType.h"
#include "archive/DateTime.h"
#include "archive/HeadlessWindow.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <ctime>
#include <sys/stat.h>

using namespace velmora;
using namespace velmora::test;
namespace fs = std::filesystem;

namespace {

std::string octal(uint64_t v, size_t width)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*llo", static_cast<int>(width - 1), static_cast<unsigned long long>(v));
    return buf;
}

// One ustar member: header with a valid checksum, then the data padded to
// 512. size_field overrides the declared size.
std::string tar_member(const std::string& name, const std::string& data, char type = '0',
                       const std::string& size_field = "", const std::string& mode = "0000644")
{
    std::string block(512, '\0');
    const auto put = [&block](size_t off, const std::string& text) { block.replace(off, text.size(), text); };
    put(0, name.substr(0, 100));
    put(100, mode);
    put(124, size_field.empty() ? octal(data.size(), 12) : size_field);
    put(136, octal(1600000000, 12));
    put(148, "        ");
    block[156] = type;
    put(257, std::string("ustar\0" "00", 8));
    unsigned sum = 0;
    for (const unsigned char c : block)
        sum += c;
    put(148, octal(sum, 7));
    std::string padded = data;
    padded.resize((data.size() + 511) / 512 * 512, '\0');
    return block + padded;
}

const std::string end_blocks(1024, '\0');


struct stat stat_of(const fs::path& p)
{
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return st;
}

std::string text_of(const fs::path& p)
{
    const auto bytes = read_file(p);
    return std::string(bytes.begin(), bytes.end());
}

using Texts = std::vector<std::string>;

struct Extraction {
    HeadlessWindow window;
    Cls_GetFileType files{window};
    int16_t result = 0;

    explicit Extraction(const fs::path& archive, const fs::path& out, bool overwrite = true)
    {
        window.overwrite = overwrite;
        files.Get_Contents(archive.string());
        Selection all(static_cast<size_t>(files.FileCount()) + 1, true);
        all[0] = false;
        std::string to = out.string();
        result = files.UnPack(all, to);
    }
    Texts texts() const
    {
        Texts t;
        for (const auto& m : window.messages) {
            EXPECT_EQ(m.title, "");
            EXPECT_EQ(m.icon, MessageIcon::none);
            t.push_back(m.text);
        }
        return t;
    }
};

// Every regular file and folder under root, relative, folders with "/".
std::vector<std::string> tree_of(const fs::path& root)
{
    std::vector<std::string> items;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        std::string rel = fs::relative(e.path(), root).string();
        items.push_back(e.is_directory() ? rel + "/" : rel);
    }
    std::sort(items.begin(), items.end());
    return items;
}

} // namespace

TEST(TarExtraction, FixturesExtractUnderTheirFullNamesWithTimesAndModes)
{
    const std::string d(70, 'd');
    const std::string f(150, 'f');
    for (const std::string fixture : {"gnutar-ustar.tar", "gnutar-gnu.tar", "gnutar-pax.tar", "bsdtar-pax.tar"}) {
        TempDir out;
        Extraction r(data_dir() / "tar" / fixture, out.path());
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.texts(), Texts{}) << fixture;
        EXPECT_EQ(text_of(out / d / d / "deep.txt"), "deep file\n") << fixture;
        if (fixture != "gnutar-ustar.tar") {
            EXPECT_EQ(text_of(out / d / f), "long file name\n") << fixture;
        }
        EXPECT_TRUE(fs::is_regular_file(out / "empty.txt")) << fixture;
        EXPECT_EQ(fs::file_size(out / "empty.txt"), 0u) << fixture;
        EXPECT_EQ(text_of(out / "run.sh"), "#!/bin/sh\necho hi\n") << fixture;

        EXPECT_EQ(stat_of(out / "run.sh").st_mtime, 1600000001) << fixture;
        EXPECT_EQ(stat_of(out / d / d / "deep.txt").st_mtime, 1700000000) << fixture;
        // Stored permission bits: the script stays executable, the rest do not become so.
        EXPECT_TRUE(stat_of(out / "run.sh").st_mode & S_IXUSR) << fixture;
        EXPECT_FALSE(stat_of(out / "empty.txt").st_mode & S_IXUSR) << fixture;
    }
}

TEST(TarExtraction, MatchesTheTreeGnuTarAndBsdtarArchived)
{
    if (!have_tool("tar") || !have_tool("bsdtar"))
        GTEST_SKIP() << "GNU tar or bsdtar not installed";
    TempDir dir;
    const fs::path src = dir / "src";
    const std::string deep = std::string(80, 'a') + "/" + std::string(80, 'b') + "/" + std::string(60, 'c');
    fs::create_directories(src / deep);
    fs::create_directories(src / "empty-folder");
    std::string big(700000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>((i * 2654435761u) >> 13);
    write_file(src / deep / "big.bin", big);
    write_file(src / "exactly-512.bin", std::string(512, 'x'));
    write_file(src / "empty", std::string());
    write_file(src / (std::string(140, 'n') + ".txt"), std::string("long single name"));
    ASSERT_EQ(run_command("find " + shell_quote(src.string()) + " -exec touch -h -d @1500000003 {} +"), 0);

    const std::vector<std::string> makers = {"tar --format=gnu -cf", "tar --format=pax -cf",
                                             "bsdtar --format=pax -cf", "bsdtar --format=gnutar -cf"};
    for (const auto& maker : makers) {
        const fs::path archive = dir / "a.tar";
        fs::remove(archive);
        ASSERT_EQ(run_command("cd " + shell_quote(src.string()) + " && " + maker + " " + shell_quote(archive.string())
                              + " *"),
                  0)
            << maker;
        TempDir out;
        Extraction r(archive, out.path());
        EXPECT_EQ(r.texts(), Texts{}) << maker;
        EXPECT_EQ(tree_of(out.path()), tree_of(src)) << maker;
        for (const auto& e : fs::recursive_directory_iterator(src)) {
            if (!e.is_regular_file())
                continue;
            const fs::path rel = fs::relative(e.path(), src);
            EXPECT_TRUE(read_file(out.path() / rel) == read_file(e.path())) << maker << " " << rel;
            EXPECT_EQ(stat_of(out.path() / rel).st_mtime, 1500000003) << maker << " " << rel;
        }
    }
}

TEST(TarExtraction, HostileNamesStayInsideTheOutputFolder)
{
    TempDir dir;
    const fs::path out = dir / "out";
    fs::create_directories(out);
    fs::create_directories(dir / "outside");
    fs::create_directory_symlink(dir / "outside", out / "link");
    const std::string abs_name = (dir / "outside" / "abs.txt").string();
    write_file(dir / "h.tar", tar_member("../up.txt", "up") + tar_member(abs_name, "abs")
                                  + tar_member("a\\..\\..\\back.txt", "back") + tar_member("C:drive.txt", "drive")
                                  + tar_member("./dot/./x.txt", "dot") + tar_member("link/pwn.txt", "pwn")
                                  + tar_member("../updir/", "", '5') + end_blocks);
    Extraction r(dir / "h.tar", out);
    const Texts texts = r.texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Unsafe path skipped: ../up.txt"), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Unsafe path skipped: a\\..\\..\\back.txt"), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Unsafe path skipped: ../updir/"), texts.end());
    // The link entry is refused one way or another, never followed.
    EXPECT_EQ(texts.size(), 4u);

    EXPECT_FALSE(fs::exists(dir / "up.txt"));
    EXPECT_FALSE(fs::exists(dir / "back.txt"));
    EXPECT_FALSE(fs::exists(dir / "updir"));
    EXPECT_TRUE(fs::is_empty(dir / "outside"));
    EXPECT_EQ(text_of(out / fs::path(abs_name.substr(1))), "abs");
    EXPECT_EQ(text_of(out / "drive.txt"), "drive");
    EXPECT_EQ(text_of(out / "dot" / "x.txt"), "dot");
}

TEST(TarExtraction, MembersPastTheEndAreReportedAndNotWritten)
{
    TempDir dir;
    const std::string whole = tar_member("first.txt", "first") + tar_member("cut.bin", std::string(5000, 'c'));
    write_file(dir / "cut.tar", whole.substr(0, whole.size() - 1000));
    // Declared sizes far beyond the file: 1 GiB and 2 GiB - 1.
    write_file(dir / "huge.tar", tar_member("big1", "tiny", '0', "10000000000") + end_blocks);
    write_file(dir / "max.tar", tar_member("big2", "tiny", '0', "17777777777") + end_blocks);

    Extraction cut(dir / "cut.tar", dir / "out");
    EXPECT_EQ(cut.texts(), Texts{"Error in decompressed size"});
    EXPECT_EQ(text_of(dir / "out" / "first.txt"), "first");
    EXPECT_FALSE(fs::exists(dir / "out" / "cut.bin"));
    for (const char* name : {"huge.tar", "max.tar"}) {
        Extraction huge(dir / name, dir / "out");
        ASSERT_EQ(huge.files.FileCount(), 1) << name;
        EXPECT_EQ(huge.texts(), Texts{"Error in decompressed size"}) << name;
    }
    EXPECT_FALSE(fs::exists(dir / "out" / "big1"));
    EXPECT_FALSE(fs::exists(dir / "out" / "big2"));
}

TEST(TarExtraction, FolderAndWriteFailuresAreReportedAndTheRunGoesOn)
{
    TempDir dir;
    const fs::path out = dir / "out";
    fs::create_directories(out);
    write_file(out / "blocker", std::string("a file where a folder should be"));
    write_file(dir / "f.tar", tar_member("blocker/", "", '5') + tar_member("blocker/inside.txt", "x")
                                  + tar_member("after.txt", "after") + end_blocks);
    Extraction r(dir / "f.tar", out);
    EXPECT_EQ(r.texts(), (Texts{"error creating directory " + out.string() + "/blocker/", "error writing file"}));
    EXPECT_EQ(text_of(out / "after.txt"), "after");
    EXPECT_EQ(text_of(out / "blocker"), "a file where a folder should be");
}

TEST(TarExtraction, TypesSelectionAndOverwrite)
{
    TempDir dir;
    const fs::path out = dir / "out";
    write_file(dir / "t.tar", tar_member("dir/", "", '5') + tar_member("link", "", '2') + tar_member("keep.txt", "new")
                                  + tar_member("setuid", "s", '0', "", "0004755") + end_blocks);
    fs::create_directories(out);
    write_file(out / "keep.txt", std::string("old"));
    Extraction r(dir / "t.tar", out, /*overwrite=*/false);
    // A symbolic link with no target leads nowhere: refused, nothing made.
    EXPECT_EQ(r.texts(), Texts{"Unsafe path skipped: link"});
    EXPECT_TRUE(fs::is_directory(out / "dir"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(out / "link")));
    EXPECT_EQ(text_of(out / "keep.txt"), "old");
    EXPECT_FALSE(stat_of(out / "setuid").st_mode & S_ISUID);
    EXPECT_TRUE(stat_of(out / "setuid").st_mode & S_IXUSR);

    // The selection must have one element per entry plus element 0.
    HeadlessWindow window;
    Cls_GetFileType files(window);
    files.Get_Contents((dir / "t.tar").string());
    std::string to = (dir / "other").string();
    Selection short_sel(4, true);
    EXPECT_EQ(files.UnPack(short_sel, to), -10);
    Selection only_third(5, false);
    only_third[3] = true;
    EXPECT_EQ(files.UnPack(only_third, to), 0);
    EXPECT_EQ(tree_of(dir / "other"), std::vector<std::string>{"keep.txt"});
}

TEST(TarExtraction, CorpusMembersMatchTheirRecordedContent)
{
    if (!corpus_available() || !have_tool("bsdtar"))
        GTEST_SKIP() << "corpus or bsdtar not available";
    // Archives bsdtar reads cleanly and whose members this reader names the same.
    for (const std::string name : {"test_compat_gtar_2.tar", "test_compat_perl_archive_tar.tar",
                                   "test_compat_plexus_archiver_tar.tar", "test_compat_star_acl_posix1e.tar",
                                   "test_read_format_tar_concatenated.tar"}) {
        const fs::path archive = corpus_dir() / "tar" / name;
        TempDir ours, theirs;
        Extraction r(archive, ours.path());
        EXPECT_EQ(r.texts(), Texts{}) << name;
        // bsdtar cannot set star's ACLs on every file system and says so; the
        // files themselves are written all the same.
        run_command("bsdtar -xf " + shell_quote(archive.string()) + " -C " + shell_quote(theirs.str()) + " 2>/dev/null");
        EXPECT_EQ(tree_of(ours.path()), tree_of(theirs.path())) << name;
        for (const auto& e : fs::recursive_directory_iterator(theirs.path()))
            if (e.is_regular_file()) {
                EXPECT_TRUE(read_file(ours.path() / fs::relative(e.path(), theirs.path())) == read_file(e.path()))
                    << name << " " << e.path();
            }
    }
}

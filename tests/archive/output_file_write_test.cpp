// Guards the output routines against losing or mangling the user's files: the
// overwrite rule, stamps from local DOS times, folder chains in stored case,
// permissions, and an existing file kept whole when a write fails.
#include "archive/HeadlessWindow.h"
#include "archive/Mod_DiskIO.h"
#include "support/TestSupport.h"

#include <cstdlib>
#include <csignal>
#include <fcntl.h>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace velmora;
using velmora::test::TempDir;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

int16_t dos_date(int y, int m, int d) { return static_cast<int16_t>(((y - 1980) << 9) | (m << 5) | d); }
int16_t dos_time(int h, int mi, int s) { return static_cast<int16_t>((h << 11) | (mi << 5) | (s / 2)); }

struct stat stat_of(const fs::path& p)
{
    struct stat st{};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return st;
}

// Every name under a folder that looks like one of our temporary files.
std::vector<std::string> temp_leftovers(const fs::path& dir)
{
    std::vector<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.path().filename().string().find(".velmora-") != std::string::npos)
            found.push_back(e.path().string());
    return found;
}

class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz)
    {
        if (const char* old = std::getenv("TZ"))
            old_ = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ScopedTimeZone()
    {
        if (old_)
            ::setenv("TZ", old_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> old_;
};

class ScopedUmask {
public:
    explicit ScopedUmask(mode_t m) : old_(::umask(m)) {}
    ~ScopedUmask() { ::umask(old_); }

private:
    mode_t old_;
};

struct OutputTest : ::testing::Test {
    HeadlessWindow window;
    ArchiveState state{window};
    TempDir dir;
    std::string out = (dir / "out").string();

    int16_t write(const std::string& name, const std::string& text, int16_t date = 0, int16_t time = 0,
                  int32_t mode = -1)
    {
        std::string to = out;
        const auto data = bytes_of(text);
        return WriteOutputFile(state, name, to, data, date, time, mode);
    }
};

} // namespace

TEST_F(OutputTest, WritesNestedFoldersInStoredCaseAndExtendsToPath)
{
    std::string to = out; // no trailing separator, and the folder does not exist yet
    const auto data = bytes_of("hello");
    EXPECT_EQ(WriteOutputFile(state, "Docs/Sub\\ReadMe.txt", to, data, 0, 0), 0);
    EXPECT_EQ(to, out + "/");
    EXPECT_EQ(state.PathSeparator, "/");
    EXPECT_EQ(test::read_file(dir / "out/Docs/Sub/ReadMe.txt"), data);
    // Stored spelling, not upper case: on this file system DOCS would be another folder.
    EXPECT_FALSE(fs::exists(dir / "out/DOCS"));
    EXPECT_FALSE(fs::exists(dir / "out/Docs/SUB"));

    // An empty file is still a file.
    EXPECT_EQ(write("empty.bin", ""), 0);
    EXPECT_TRUE(fs::is_regular_file(dir / "out/empty.bin"));
    EXPECT_EQ(fs::file_size(dir / "out/empty.bin"), 0u);

    // Names that are the folder itself, or end in a separator, are no files.
    EXPECT_EQ(write("", "x"), write_failed);
    EXPECT_EQ(write("./", "x"), write_failed);
    EXPECT_EQ(write("Docs/", "x"), write_failed);
    EXPECT_TRUE(temp_leftovers(dir.path()).empty());
}

TEST_F(OutputTest, OverwriteOptionDecidesAndSkippedFileKeepsItsTimes)
{
    const fs::path target = dir / "out/a.txt";
    ASSERT_EQ(write("a.txt", "old"), 0);
    // Access time after modification time, so that reading it back (relatime) leaves it.
    timespec old_times[2] = {{1200000000, 0}, {1100000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, target.c_str(), old_times, 0), 0);

    window.overwrite = false;
    EXPECT_EQ(write("a.txt", "new", dos_date(2020, 6, 15), dos_time(12, 0, 0)), 0);
    EXPECT_EQ(stat_of(target).st_mtim.tv_sec, 1100000000);
    EXPECT_EQ(stat_of(target).st_atim.tv_sec, 1200000000);
    EXPECT_EQ(test::read_file(target), bytes_of("old"));
    // A missing file is still written with the option off.
    EXPECT_EQ(write("b.txt", "fresh"), 0);
    EXPECT_EQ(test::read_file(dir / "out/b.txt"), bytes_of("fresh"));

    window.overwrite = true;
    EXPECT_EQ(write("a.txt", "new"), 0);
    EXPECT_EQ(test::read_file(target), bytes_of("new"));
    EXPECT_TRUE(temp_leftovers(dir.path()).empty());
}

TEST_F(OutputTest, DosTimesAreLocalTimeConvertedThroughTheZone)
{
    {
        // Five hours behind UTC, no summer time.
        ScopedTimeZone tz("EST5");
        ASSERT_EQ(write("est.txt", "x", dos_date(2020, 6, 15), dos_time(12, 34, 56)), 0);
        EXPECT_EQ(stat_of(dir / "out/est.txt").st_mtim.tv_sec, 1592242496); // 2020-06-15 17:34:56 UTC
    }
    {
        // Central Europe: one hour ahead in winter, two in summer.
        ScopedTimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
        begin_output_run(state); // the per-day offset cache must honour the season too
        ASSERT_EQ(write("summer.txt", "x", dos_date(2020, 6, 15), dos_time(12, 34, 56)), 0);
        ASSERT_EQ(write("winter.txt", "x", dos_date(2020, 1, 15), dos_time(12, 34, 56)), 0);
        ASSERT_EQ(write("summer2.txt", "x", dos_date(2020, 6, 15), dos_time(12, 34, 56)), 0);
        end_output_run(state);
        EXPECT_EQ(stat_of(dir / "out/summer.txt").st_mtim.tv_sec, 1592217296); // 10:34:56 UTC
        EXPECT_EQ(stat_of(dir / "out/summer2.txt").st_mtim.tv_sec, 1592217296);
        EXPECT_EQ(stat_of(dir / "out/winter.txt").st_mtim.tv_sec, 1579088096); // 11:34:56 UTC

        // The day summer time starts (2020-03-29, 02:00 -> 03:00): times on
        // both sides of the change within one cached day.
        begin_output_run(state);
        ASSERT_EQ(write("early.txt", "x", dos_date(2020, 3, 29), dos_time(1, 0, 0)), 0);
        ASSERT_EQ(write("late.txt", "x", dos_date(2020, 3, 29), dos_time(4, 0, 0)), 0);
        end_output_run(state);
        // 01:00 CET = 00:00 UTC; 04:00 CEST = 02:00 UTC: two hours apart, not three.
        EXPECT_EQ(stat_of(dir / "out/late.txt").st_mtim.tv_sec - stat_of(dir / "out/early.txt").st_mtim.tv_sec, 7200);

        // A valid date with a time that is no time of day stands for 1601 and
        // must not teach the per-day cache a wrong offset for that date.
        begin_output_run(state);
        ASSERT_EQ(write("bad.txt", "x", dos_date(2020, 6, 15), dos_time(25, 0, 0)), 0);
        ASSERT_EQ(write("good.txt", "x", dos_date(2020, 6, 15), dos_time(12, 34, 56)), 0);
        end_output_run(state);
        EXPECT_EQ(stat_of(dir / "out/good.txt").st_mtim.tv_sec, 1592217296);
        // 1601, or the earliest time the file system holds (ext4 and others stop at 1901).
        EXPECT_LT(stat_of(dir / "out/bad.txt").st_mtim.tv_sec, 0);

        // SetFileDosTime stamps an existing file the same way; access time is now.
        ASSERT_TRUE(SetFileDosTime((dir / "out/winter.txt").string(), dos_date(2020, 6, 15), dos_time(12, 34, 56)));
        EXPECT_EQ(stat_of(dir / "out/winter.txt").st_mtim.tv_sec, 1592217296);
        EXPECT_LE(std::abs(stat_of(dir / "out/winter.txt").st_atim.tv_sec - std::time(nullptr)), 5);
        EXPECT_FALSE(SetFileDosTime((dir / "out/missing.txt").string(), dos_date(2020, 6, 15), 0));
    }
    // Both words 0: the file keeps the time it was written.
    const auto before = std::time(nullptr);
    ASSERT_EQ(write("now.txt", "x", 0, 0), 0);
    const auto mtime = stat_of(dir / "out/now.txt").st_mtim.tv_sec;
    EXPECT_GE(mtime, before - 1);
    EXPECT_LE(mtime, std::time(nullptr) + 1);
}

TEST_F(OutputTest, StoredPermissionsKeepExecuteButNeverSetuidAndOwnerKeepsReadWrite)
{
    ScopedUmask mask(022);
    ASSERT_EQ(write("run.sh", "#!/bin/sh\n", 0, 0, 0100755), 0);
    ASSERT_EQ(write("suid", "x", 0, 0, 0104755), 0);
    ASSERT_EQ(write("sticky", "x", 0, 0, 01777), 0);
    ASSERT_EQ(write("none", "x", 0, 0, 0), 0);
    ASSERT_EQ(write("plain", "x"), 0);
    ASSERT_EQ(write("readonly", "x", 0, 0, 0444), 0);
    EXPECT_EQ(stat_of(dir / "out/run.sh").st_mode & 07777, 0755u);
    EXPECT_EQ(stat_of(dir / "out/suid").st_mode & 07777, 0755u);
    EXPECT_EQ(stat_of(dir / "out/sticky").st_mode & 07777, 0755u); // 0777 less the umask's group/other write
    EXPECT_EQ(stat_of(dir / "out/none").st_mode & 07777, 0600u);
    EXPECT_EQ(stat_of(dir / "out/plain").st_mode & 07777, 0644u);
    EXPECT_EQ(stat_of(dir / "out/readonly").st_mode & 07777, 0644u);

    ScopedUmask strict(077);
    ASSERT_EQ(write("private.sh", "x", 0, 0, 0755), 0);
    EXPECT_EQ(stat_of(dir / "out/private.sh").st_mode & 07777, 0700u);
}

TEST_F(OutputTest, FailedWriteLeavesTheExistingFileAndNoTemporaryFile)
{
    ASSERT_EQ(write("keep.txt", "precious"), 0);
    timespec old_times[2] = {{1000000000, 0}, {1100000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "out/keep.txt").c_str(), old_times, 0), 0);

    // A file size limit fails the write part-way for any user, root included.
    {
        struct rlimit old_limit{};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
        const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = old_limit;
        small.rlim_cur = 4096;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const std::string big(100000, 'z');
        const int16_t result = write("keep.txt", big, dos_date(2020, 6, 15), dos_time(12, 0, 0));
        ::setrlimit(RLIMIT_FSIZE, &old_limit);
        std::signal(SIGXFSZ, old_handler);
        EXPECT_EQ(result, write_failed);
    }
    EXPECT_EQ(test::read_file(dir / "out/keep.txt"), bytes_of("precious"));
    EXPECT_EQ(stat_of(dir / "out/keep.txt").st_mtim.tv_sec, 1100000000);
    EXPECT_TRUE(temp_leftovers(dir.path()).empty());

    // A folder in the way of the file, and a file in the way of a folder.
    fs::create_directories(dir / "out/folder/inner");
    EXPECT_EQ(write("folder", "x"), write_failed);
    EXPECT_TRUE(fs::is_directory(dir / "out/folder/inner"));
    EXPECT_EQ(write("keep.txt/child.txt", "x"), write_failed);
    EXPECT_EQ(test::read_file(dir / "out/keep.txt"), bytes_of("precious"));
    window.overwrite = false;
    EXPECT_EQ(write("folder", "x"), write_failed);
    window.overwrite = true;

    // A folder without write permission (root is not held back by it).
    if (::geteuid() != 0) {
        fs::permissions(dir / "out", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read
                                         | fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
        EXPECT_EQ(write("keep.txt", "replacement"), write_failed);
        fs::permissions(dir / "out", fs::perms::owner_all);
        EXPECT_EQ(test::read_file(dir / "out/keep.txt"), bytes_of("precious"));
    }
    EXPECT_TRUE(temp_leftovers(dir.path()).empty());
}

TEST_F(OutputTest, RunCacheWritesManyFoldersAndClosesEverything)
{
    const auto open_fds = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{});
    };
    const auto fds_before = open_fds();
    // More folders than the cache holds at once, visited twice in turn.
    begin_output_run(state);
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < 300; ++i)
            ASSERT_EQ(write("d" + std::to_string(i % 150) + "/e" + std::to_string(i) + "/f" + std::to_string(round),
                            std::to_string(i * 10 + round)),
                      0);
    end_output_run(state);
    EXPECT_EQ(open_fds(), fds_before);
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < 300; i += 37)
            EXPECT_EQ(test::read_file(dir / ("out/d" + std::to_string(i % 150) + "/e" + std::to_string(i) + "/f"
                                              + std::to_string(round))),
                      bytes_of(std::to_string(i * 10 + round)));

    // Without a run nothing stays open either.
    ASSERT_EQ(write("x/y/z.txt", "z"), 0);
    std::string to = out;
    ASSERT_EQ(MakeEntryFolder(state, to, "x/new/deeper"), 0);
    EXPECT_TRUE(fs::is_directory(dir / "out/x/new/deeper"));
    EXPECT_EQ(open_fds(), fds_before);
}

TEST_F(OutputTest, PathHelpersKeepSpellingAndCurrentFolder)
{
    EXPECT_EQ(DetectPathSeparator(), "/");
    std::string path = "Some\\Dir/File.TXT";
    EXPECT_EQ(FolderOfPath(state, path), "Some/Dir/");
    EXPECT_EQ(path, "Some/Dir/File.TXT");
    std::string bare = "file.txt";
    EXPECT_EQ(FolderOfPath(state, bare), fs::current_path().string() + "/");

    const auto cwd = fs::current_path();
    // Paths given here are this system's own: a "\\" is part of a folder's name.
    EXPECT_TRUE(MakeFolderChain(state, (dir / "Chain/Of\\Folders").string()));
    EXPECT_TRUE(fs::is_directory(dir / "Chain" / "Of\\Folders"));
    EXPECT_FALSE(fs::exists(dir / "Chain" / "Of"));
    EXPECT_TRUE(MakeFolderChain(state, (dir / "Chain/More/Folders").string()));
    EXPECT_TRUE(fs::is_directory(dir / "Chain/More/Folders"));
    EXPECT_TRUE(MakeFolderChain(state, (dir / "Chain/More/Folders/").string())); // exists already
    test::write_file(dir / "afile", std::string("x"));
    EXPECT_FALSE(MakeFolderChain(state, (dir / "afile/below").string()));
    EXPECT_EQ(fs::current_path(), cwd);
}

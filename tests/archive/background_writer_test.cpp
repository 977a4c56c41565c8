// Guards the writer thread that puts small files on disk while the run
// decodes the next entry: every file must land whole, with its time and mode,
// the report must say what really happened to each (a file that could not be
// written is a write error, not "extracted"), and a hard link must find its
// target already on disk.
#include "formats/zip/zip_test_builder.h"
#include "support/Extraction.h"
#include "support/TarBuilder.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace velmora;
using namespace velmora::test;
namespace fs = std::filesystem;

namespace {

// An extraction as the program's window runs it: spaced updates, so small
// entries go to the writer thread.
struct SpacedExtraction : Extraction {
    explicit SpacedExtraction(const fs::path& archive) : Extraction(archive) { window.interval_ms = 25; }
};

} // namespace

TEST(BackgroundWriter, SmallEntriesLandWholeWithTheirTimesAndModes)
{
    TempDir dir;
    std::vector<ZipTestEntry> entries;
    std::string tar;
    for (int i = 0; i < 500; ++i) {
        const std::string name = "d" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".txt";
        const std::string data = std::string(static_cast<size_t>(i * 37 % 3000), static_cast<char>('a' + i % 26));
        entries.push_back({.name = name, .data = data, .external_attributes = (i % 2 ? 0100755u : 0100644u) << 16});
        TarMember m(name, data);
        m.mtime_field = tar_octal(1600000000 + i, 12);
        m.mode_field = i % 2 ? "0000755" : "0000644";
        tar += tar_member(m);
    }
    write_file(dir / "many.zip", build_zip(entries));
    write_file(dir / "many.tar", tar + tar_end_blocks);
    for (const char* archive : {"many.zip", "many.tar"}) {
        SpacedExtraction x(dir / archive);
        const fs::path out = dir / (std::string("out-") + archive);
        x.unpack(out);
        EXPECT_TRUE(x.window.messages.empty()) << archive;
        EXPECT_TRUE(x.report().all_extracted()) << archive;
        for (int i = 0; i < 500; ++i) {
            const auto& e = entries[static_cast<size_t>(i)];
            const fs::path p = out / e.name;
            ASSERT_EQ(file_text(p), e.data) << archive << " " << e.name;
            EXPECT_EQ((stat_of(p).st_mode & S_IXUSR) != 0, i % 2 == 1) << archive << " " << e.name;
            if (std::string(archive) == "many.tar")
                EXPECT_EQ(stat_of(p).st_mtime, 1600000000 + i) << e.name;
        }
        // No temporary file is left anywhere.
        for (const auto& f : fs::recursive_directory_iterator(out))
            EXPECT_EQ(f.path().filename().string().find(".velmora-"), std::string::npos) << f.path();
    }
}

// Each file waiting for the writer keeps its folder open: thousands of tiny
// entries must not use up the descriptors the process may hold.
TEST(BackgroundWriter, ThousandsOfTinyFilesStayWithinTheDescriptorLimit)
{
    TempDir dir;
    std::vector<ZipTestEntry> entries;
    for (int i = 0; i < 4000; ++i)
        entries.push_back({.name = "t" + std::to_string(i), .data = std::string(1, static_cast<char>('a' + i % 26))});
    write_file(dir / "tiny.zip", build_zip(entries));
    SpacedExtraction x(dir / "tiny.zip");

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 512);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    x.unpack(dir / "out");
    ::setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_TRUE(x.window.messages.empty()) << x.window.messages.size() << " boxes";
    EXPECT_TRUE(x.report().all_extracted());
    EXPECT_EQ(file_text(dir / "out" / "t3999"), std::string(1, static_cast<char>('a' + 3999 % 26)));
}

TEST(BackgroundWriter, FilesThatCannotBeWrittenAreReportedAsWriteErrors)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes into read-only folders";
    TempDir dir;
    write_file(dir / "a.zip", build_zip({{.name = "x.txt", .data = "x"}, {.name = "y.txt", .data = "y"}}));
    fs::create_directories(dir / "ro");
    fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    SpacedExtraction x(dir / "a.zip");
    x.unpack(dir / "ro");
    EXPECT_EQ(x.outcome(1), "failed:write-error");
    EXPECT_EQ(x.outcome(2), "failed:write-error");
    EXPECT_EQ(x.message_texts(), (std::vector<std::string>{"Error writing zip file", "Error writing zip file"}));
}

TEST(BackgroundWriter, ExistingFilesAndHardLinksFollowTheRulesOfTheRun)
{
    TempDir dir;
    write_file(dir / "t.tar", tar_member(TarMember("keep.txt", "new")) + tar_member(TarMember("target.txt", "shared"))
                                  + tar_member([] {
                                        TarMember m("alias.txt", "", '1');
                                        m.linkname = "target.txt";
                                        return m;
                                    }()) + tar_end_blocks);
    fs::create_directories(dir / "out");
    write_file(dir / "out" / "keep.txt", std::string("old"));
    SpacedExtraction x(dir / "t.tar");
    x.window.overwrite = false;
    x.unpack(dir / "out");
    EXPECT_EQ(file_text(dir / "out" / "keep.txt"), "old");
    EXPECT_EQ(x.outcome(1), "skipped:not-overwritten");
    EXPECT_EQ(file_text(dir / "out" / "alias.txt"), "shared");
    EXPECT_EQ(stat_of(dir / "out" / "alias.txt").st_ino, stat_of(dir / "out" / "target.txt").st_ino);
    EXPECT_EQ(x.outcome(3), "extracted");
}

// Guards what lies around an archive rather than in it: a FIFO, socket or
// device named like an archive must be refused at once (opening a FIFO waits
// for a writer for ever); an archive that vanished between listing and Start
// must give one box, not one per entry; a "\" in the output folder's own path
// is part of a Linux folder name; a folder the user may write but not list
// must work; and a hostile listing must not hold memory for entries it does
// not have.
#include "formats/zip/zip_test_builder.h"
#include "support/Extraction.h"
#include "support/TarBuilder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <malloc.h>

#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

using namespace velmora;
using namespace velmora::test;
namespace fs = std::filesystem;

namespace {

size_t heap_in_use()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

std::string small_gzip(const std::string& name)
{
    std::string out = {'\x1f', '\x8b', 8, 8, 0, 0, 0, 0, 0, 3};
    out += name;
    out += '\0';
    out += std::string("\x03\x00", 2); // an empty final fixed block
    out += std::string(8, '\0');
    return out;
}

} // namespace

TEST(ArchiveFiles, AFifoNamedLikeAnArchiveIsRefusedAtOnce)
{
    TempDir dir;
    const fs::path fifo = dir / "x.zip";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Listing on another thread: if it blocked, no writer would ever come.
    auto listed = std::async(std::launch::async, [&] {
        HeadlessWindow w;
        Cls_GetFileType files(w);
        const int16_t r = files.Get_Contents(fifo.string());
        return std::make_pair(r, files.state().PackFileType);
    });
    if (listed.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Unblock the reader so the test can end, then fail.
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
        FAIL() << "listing a FIFO blocked";
    }
    const auto [result, type] = listed.get();
    EXPECT_EQ(result, 0); // nothing could be read: no signature test either
    EXPECT_EQ(type, format_code::none);
    // A folder and a character device are refused the same way.
    HeadlessWindow w;
    Cls_GetFileType files(w);
    for (const char* path : {"/dev/null", "/dev/zero"}) {
        files.Get_Contents(path);
        EXPECT_EQ(files.state().PackFileType, format_code::none) << path;
    }
}

TEST(ArchiveFiles, AnArchiveGoneAtStartGivesOneBoxAndEveryEntryFails)
{
    struct Case {
        const char* name;
        std::string bytes;
    };
    std::vector<uint8_t> zip = build_zip({{.name = "a.txt", .data = "a"}, {.name = "b.txt", .data = "b"},
                                          {.name = "c.txt", .data = "c"}});
    const std::vector<Case> cases = {
        {"gone.zip", std::string(zip.begin(), zip.end())},
        {"gone.tar", tar_member(TarMember("a.txt", "a")) + tar_member(TarMember("b.txt", "b"))
                         + tar_member(TarMember("c.txt", "c")) + tar_end_blocks},
        {"gone.gz", small_gzip("a.txt")},
    };
    for (const Case& c : cases) {
        TempDir dir;
        write_file(dir / c.name, c.bytes);
        Extraction x(dir / c.name);
        ASSERT_GT(x.files.FileCount(), 0) << c.name;
        fs::remove(dir / c.name);
        x.unpack(dir / "out");
        EXPECT_EQ(x.window.messages.size(), 1u) << c.name;
        EXPECT_EQ(x.report().count(EntryOutcome::failed), x.files.FileCount()) << c.name;
        EXPECT_EQ(x.outcome(1), "failed:archive-unreadable") << c.name;
    }
}

TEST(OutputFolder, ABackslashInTheOutputFolderIsPartOfItsName)
{
    TempDir dir;
    write_file(dir / "a.zip", build_zip({{.name = "sub\\file.txt", .data = "x"}}));
    Extraction x(dir / "a.zip");
    x.unpack(dir / "od\\dir");
    // The entry name's "\" separates; the output folder's does not.
    EXPECT_EQ(file_text(dir / "od\\dir" / "sub" / "file.txt"), "x");
    EXPECT_FALSE(fs::exists(dir / "od"));
}

TEST(OutputFolder, AFolderTheUserMayWriteButNotListWorks)
{
    TempDir dir;
    // Everything the unprivileged child needs must be reachable by it.
    fs::permissions(dir.path(), fs::perms::all);
    write_file(dir / "a.zip", build_zip({{.name = "deep/file.txt", .data = "written"}, {.name = "top.txt", .data = "t"}}));
    fs::permissions(dir / "a.zip", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::create_directories(dir / "dropbox");
    fs::permissions(dir / "dropbox", static_cast<fs::perms>(0733));

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // As an ordinary user (root reads any folder whatever its mode).
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(3);
        Extraction x(dir / "a.zip");
        x.unpack(dir / "dropbox");
        ::_exit(x.report().all_extracted() && x.window.messages.empty() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(file_text(dir / "dropbox" / "deep" / "file.txt"), "written");
    EXPECT_EQ(file_text(dir / "dropbox" / "top.txt"), "t");
}

TEST(HostileListing, MemoryFollowsTheEntriesFoundNotTheHeadersCounted)
{
    // 200,000 empty local headers and then one central record, no end
    // record: the local walk counts 200,000, the directory holds one.
    std::vector<uint8_t> file;
    for (int i = 0; i < 200000; ++i) {
        put32(file, 0x04034B50);
        file.insert(file.end(), 26, 0);
    }
    const auto one = build_zip({{.name = "only.txt", .data = ""}});
    const size_t central = 30 + 8; // the builder's one local header and name
    file.insert(file.end(), one.begin() + static_cast<std::ptrdiff_t>(central), one.end() - 22);
    TempDir dir;
    write_file(dir / "hostile.zip", file);

    HeadlessWindow w;
    Cls_GetFileType files(w);
    const size_t before = heap_in_use();
    files.Get_Contents((dir / "hostile.zip").string());
    const size_t held = heap_in_use() - std::min(heap_in_use(), before);
    EXPECT_EQ(files.FileCount(), 1);
    EXPECT_EQ(files.FileName(1), "only.txt");
    EXPECT_LT(held, size_t{256} << 10) << "the listing holds " << held << " bytes for one entry";
}

// Guards against entries that write outside the output folder: "..", absolute
// names, drive letters, "\" separators, NUL bytes and symbolic links that
// already sit inside the output folder.
#include "archive/HeadlessWindow.h"
#include "archive/Mod_DiskIO.h"
#include "support/TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace velmora;
using velmora::test::TempDir;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

size_t entries_under(const fs::path& p)
{
    return static_cast<size_t>(std::distance(fs::recursive_directory_iterator(p), fs::recursive_directory_iterator{}));
}

struct ContainmentTest : ::testing::Test {
    HeadlessWindow window;
    ArchiveState state{window};
    TempDir dir;
    fs::path out = dir / "work/out";
    fs::path outside = dir / "outside";

    void SetUp() override
    {
        fs::create_directories(out);
        fs::create_directories(outside);
        test::write_file(outside / "victim.txt", std::string("untouched"));
    }

    int16_t write(const std::string& name, const std::string& text = "payload")
    {
        std::string to = out.string();
        const auto data = bytes_of(text);
        return WriteOutputFile(state, name, to, data, 0, 0);
    }
};

} // namespace

TEST(ContainedEntryPath, CleansOrRefuses)
{
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"a/b.txt", "a/b.txt"},
        {"./a/./b", "a/b"},
        {"a//b", "a/b"},
        {"a\\b\\c.txt", "a/b/c.txt"},
        {"/abs/x", "abs/x"},
        {"///abs", "abs"},
        {"C:\\x", "x"},
        {"c:x", "x"},
        {"\\\\server\\share\\f", "server/share/f"},
        {"/C:/D:/x", "x"},
        {"a/C:/b", "a/C:/b"}, // only a leading drive is a drive
        {"..foo/...", "..foo/..."},
        {"", ""},
        {"/", ""},
        {"C:", ""},
        {"../x", std::nullopt},
        {"a/../../x", std::nullopt},
        {"a/../b", std::nullopt},
        {"a\\..\\b", std::nullopt},
        {"..", std::nullopt},
        {"C:..\\x", std::nullopt},
        {"/..", std::nullopt},
        {std::string("a/..\0x", 6), std::nullopt},
    };
    for (const auto& [name, expected] : cases)
        EXPECT_EQ(contained_entry_path(name), expected) << "entry [" << name << "]";
}

TEST_F(ContainmentTest, TraversalNamesAreRefusedAndWriteNothing)
{
    for (const std::string name : {"../victim.txt", "../../outside/victim.txt", "a/../../x", "a\\..\\..\\x",
                                   "..\\outside\\victim.txt"}) {
        EXPECT_EQ(write(name), write_unsafe_path) << name;
        std::string to = out.string();
        EXPECT_EQ(MakeEntryFolder(state, to, name), write_unsafe_path) << name;
    }
    EXPECT_EQ(test::read_file(outside / "victim.txt"), bytes_of("untouched"));
    EXPECT_EQ(entries_under(dir / "work"), 1u); // only out itself
    EXPECT_EQ(entries_under(outside), 1u);
}

TEST_F(ContainmentTest, AbsoluteAndDriveNamesLandInsideTheOutputFolder)
{
    const std::string abs_name = (outside / "victim.txt").string(); // an absolute name of a real file
    EXPECT_EQ(write(abs_name, "inside"), 0);
    EXPECT_EQ(test::read_file(out / abs_name.substr(1)), bytes_of("inside"));
    EXPECT_EQ(write("C:\\Windows\\x.ini", "ini"), 0);
    EXPECT_EQ(test::read_file(out / "Windows/x.ini"), bytes_of("ini"));
    EXPECT_EQ(write("./a/./b", "ab"), 0);
    EXPECT_EQ(test::read_file(out / "a/b"), bytes_of("ab"));
    EXPECT_EQ(test::read_file(outside / "victim.txt"), bytes_of("untouched"));
}

TEST_F(ContainmentTest, SymbolicLinksInsideTheOutputFolderAreNotFollowedOut)
{
    fs::create_directory_symlink(outside, out / "linkdir");
    fs::create_symlink(outside / "victim.txt", out / "linkfile");
    fs::create_directories(out / "real");
    fs::create_directory_symlink(outside, out / "real/deeper");

    // Through a linked folder: refused as a failed write, nothing outside.
    EXPECT_EQ(write("linkdir/victim.txt", "attack"), write_failed);
    EXPECT_EQ(write("linkdir/new.txt", "attack"), write_failed);
    EXPECT_EQ(write("real/deeper/new.txt", "attack"), write_failed);
    std::string to = out.string();
    EXPECT_EQ(MakeEntryFolder(state, to, "linkdir/sub"), write_failed);
    // The same with the folders already cached by a run.
    begin_output_run(state);
    EXPECT_EQ(write("real/ok.txt", "ok"), 0);
    EXPECT_EQ(write("real/deeper/new.txt", "attack"), write_failed);
    end_output_run(state);

    // Onto a linked file with overwrite off: the existing name is kept as it is.
    window.overwrite = false;
    EXPECT_EQ(write("linkfile", "attack"), 0);
    EXPECT_TRUE(fs::is_symlink(out / "linkfile"));
    // With overwrite on the link itself is replaced, never written through.
    window.overwrite = true;
    EXPECT_EQ(write("linkfile", "replaced"), 0);
    EXPECT_FALSE(fs::is_symlink(out / "linkfile"));
    EXPECT_EQ(test::read_file(out / "linkfile"), bytes_of("replaced"));

    EXPECT_EQ(test::read_file(outside / "victim.txt"), bytes_of("untouched"));
    EXPECT_EQ(entries_under(outside), 1u);
    EXPECT_EQ(test::read_file(out / "real/ok.txt"), bytes_of("ok"));
}

TEST_F(ContainmentTest, OutputFolderGivenThroughALinkIsTheUsersChoice)
{
    // The output folder itself may be reached through a link (as /tmp often is).
    fs::create_directory_symlink(out, dir / "alias");
    std::string to = (dir / "alias").string();
    const auto data = bytes_of("via alias");
    EXPECT_EQ(WriteOutputFile(state, "f.txt", to, data, 0, 0), 0);
    EXPECT_EQ(test::read_file(out / "f.txt"), data);
    // A missing output folder is created with its chain.
    std::string fresh = (dir / "new/chain/out").string();
    EXPECT_EQ(MakeEntryFolder(state, fresh, ""), 0);
    EXPECT_TRUE(fs::is_directory(dir / "new/chain/out"));
}

TEST_F(ContainmentTest, OverlongNamesFailWithoutMakingFolders)
{
    // Thousands of nested folders would exhaust the walk; past PATH_MAX nothing is made.
    std::string deep;
    for (int i = 0; i < 3000; ++i)
        deep += "a/";
    EXPECT_EQ(write(deep + "f.txt"), write_failed);
    std::string to = out.string();
    EXPECT_EQ(MakeEntryFolder(state, to, deep), write_failed);
    EXPECT_EQ(entries_under(out), 0u);
    // A long but legal name still works.
    const std::string name(200, 'n');
    EXPECT_EQ(write("d/" + name, "long"), 0);
    EXPECT_EQ(test::read_file(out / "d" / name), bytes_of("long"));
}

// Guards the single compressed files (.xz, .lzma, .bz2, .zst, .Z and their
// tarball forms) as their own tools write them: the one member named by
// dropping the suffix (.tar for tarballs, whose tar is then listed), the size
// where the container states it, the archive's own time, the exact bytes back;
// cut-off or altered files give the size and CRC messages, write nothing and
// leave an existing file alone.
#include "archive/DateTime.h"
#include "support/Extraction.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <random>
#include <sys/stat.h>

namespace velmora {
namespace {

namespace fs = std::filesystem;

struct Tool {
    const char* program;  // must be installed
    const char* command;  // compresses stdin to stdout
    uint8_t code;         // PackFileType
    const char* method;   // the listing's method text
    bool states_size;     // the container states the uncompressed size
    bool cut_noticed;     // a file cut in half is always noticed
    bool altered_noticed; // so is a flipped bit (a check value covers the data)
};

const std::vector<Tool>& tools()
{
    static const std::vector<Tool> t = {
        {"xz", "xz -6 -c", format_code::xz, "XZ", true, true, true},
        {"xz", "xz --format=lzma -c", format_code::lzma, "LZMA", false, true, false},
        {"bzip2", "bzip2 -9 -c", format_code::bzip2, "BZip2", false, true, true},
        {"zstd", "zstd -q -19 -c", format_code::zstd, "Zstandard", false, true, true},
        {"compress", "compress -c", format_code::compress, "LZW", false, false, false},
    };
    return t;
}

// The suffixes of each format: the plain one and the tarball ones.
struct Suffix {
    uint8_t code;
    const char* suffix;
    bool tarball; // the member is name.tar
};

const std::vector<Suffix>& suffixes()
{
    static const std::vector<Suffix> s = {
        {format_code::xz, ".xz", false},       {format_code::xz, ".tar.xz", false},  {format_code::xz, ".txz", true},
        {format_code::lzma, ".lzma", false},   {format_code::lzma, ".tlz", true},    {format_code::bzip2, ".bz2", false},
        {format_code::bzip2, ".tbz", true},    {format_code::bzip2, ".TBZ2", true},  {format_code::zstd, ".zst", false},
        {format_code::zstd, ".tzst", true},    {format_code::compress, ".Z", false}, {format_code::compress, ".taz", true},
        {format_code::compress, ".tar.Z", false},
    };
    return s;
}

std::string sample(size_t lines)
{
    std::string text;
    std::mt19937 rng(7);
    for (size_t i = 0; i < lines; ++i)
        text += "line " + std::to_string(rng() % 5000) + " of a compressed file\n";
    return text;
}

bool have(const Tool& t) { return test::have_tool(t.program); }

// Compresses `from` with the tool's command into `to`.
void compress_file(const Tool& t, const fs::path& from, const fs::path& to)
{
    ASSERT_EQ(test::run_command(std::string(t.command) + " < " + test::shell_quote(from.string()) + " > "
                                + test::shell_quote(to.string())),
              0);
}

void set_mtime(const fs::path& p, time_t t)
{
    const timespec times[2] = {{t, 0}, {t, 0}};
    ::utimensat(AT_FDCWD, p.c_str(), times, 0);
}

TEST(CompressedFiles, EverySuffixListsAndExtractsTheMember)
{
    test::TempDir dir;
    const std::string text = sample(20000);
    test::write_file(dir / "plain", text);
    for (const Tool& t : tools()) {
        if (!have(t))
            continue;
        for (const Suffix& s : suffixes()) {
            if (s.code != t.code)
                continue;
            const std::string archive_name = std::string("data") + s.suffix;
            SCOPED_TRACE(archive_name);
            const fs::path archive = dir / archive_name;
            compress_file(t, dir / "plain", archive);
            set_mtime(archive, 1700000000);

            test::Extraction x(archive);
            EXPECT_EQ(x.loaded, 0);
            ASSERT_EQ(x.files.state().PackFileType, t.code);
            ASSERT_EQ(x.files.FileCount(), 1);
            const std::string member = s.tarball ? "data.tar" : std::string(archive_name).erase(archive_name.rfind('.'));
            EXPECT_EQ(x.files.FileName(1), member);
            EXPECT_EQ(x.files.Method(1), t.method);
            EXPECT_EQ(x.files.UnCompressed_Size(1), t.states_size ? static_cast<int64_t>(text.size()) : 0);
            EXPECT_EQ(x.files.Compressed_Size(1), static_cast<int64_t>(fs::file_size(archive)));
            EXPECT_EQ(x.files.FileDateTime(1), test::local_dos_time(1700000000));
            EXPECT_FALSE(x.files.IsDir(1));
            EXPECT_FALSE(x.files.Encrypted(1));
            EXPECT_TRUE(x.files.CanUnpack());
            EXPECT_EQ(x.files.FileName(2), "");

            const fs::path out = dir / ("out-" + archive_name);
            EXPECT_EQ(x.unpack(out), 0);
            EXPECT_EQ(x.message_texts(), std::vector<std::string>{});
            EXPECT_EQ(x.outcome(1), "extracted");
            EXPECT_EQ(test::file_text(out / member), text);
            EXPECT_EQ(test::mtime_of(out / member), 1700000000);
        }
    }
}

TEST(CompressedFiles, TarballsGiveATarThatListsAndExtracts)
{
    test::TempDir dir;
    fs::create_directories(dir / "src" / "pkg" / "doc");
    test::write_file(dir / "src" / "pkg" / "README", sample(300));
    test::write_file(dir / "src" / "pkg" / "doc" / "notes.txt", std::string("notes\n"));
    ASSERT_EQ(test::run_command("cd " + test::shell_quote((dir / "src").string()) + " && tar cf ../pkg.tar pkg"), 0);
    for (const Tool& t : tools()) {
        if (!have(t))
            continue;
        SCOPED_TRACE(t.command);
        const fs::path archive = dir / (std::string("pkg-") + std::to_string(t.code) + ".tar.x");
        compress_file(t, dir / "pkg.tar", archive);
        test::Extraction x(archive); // found by its magic number, whatever the name
        ASSERT_EQ(x.files.state().PackFileType, t.code);
        const std::string member = archive.filename().string() + ".out";
        ASSERT_EQ(x.files.FileName(1), member);
        const fs::path out = dir / ("out" + std::to_string(t.code));
        EXPECT_EQ(x.unpack(out), 0);
        EXPECT_EQ(test::read_file(out / member), test::read_file(dir / "pkg.tar"));

        // The extracted tar, named .tar, is an archive of its own.
        fs::rename(out / member, out / "pkg.tar");
        test::Extraction inner(out / "pkg.tar");
        ASSERT_EQ(inner.files.state().PackFileType, format_code::tar);
        EXPECT_EQ(inner.unpack(out / "tree"), 0);
        EXPECT_EQ(test::tree_of(out / "tree"), test::tree_of(dir / "src"));
    }
}

TEST(CompressedFiles, CutAndAlteredFilesGiveTheMessagesAndWriteNothing)
{
    test::TempDir dir;
    const std::string text = sample(20000);
    test::write_file(dir / "plain", text);
    const std::vector<std::string> both{"CRC calculation failed.", "Error in decompressed size."};
    for (const Tool& t : tools()) {
        if (!have(t))
            continue;
        SCOPED_TRACE(t.command);
        const fs::path whole = dir / "whole";
        compress_file(t, dir / "plain", whole);
        const std::vector<uint8_t> bytes = test::read_file(whole);
        struct Damage {
            const char* what;
            std::vector<uint8_t> bytes;
            bool noticed;
        };
        std::vector<uint8_t> altered = bytes;
        altered[altered.size() / 2] ^= 0x10;
        std::vector<Damage> damages = {
            {"header only", std::vector<uint8_t>(bytes.begin(), bytes.begin() + 2), true},
            {"half", std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(bytes.size() / 2)),
             t.cut_noticed},
            {"altered", altered, t.altered_noticed},
        };
        for (const Damage& d : damages) {
            SCOPED_TRACE(d.what);
            // The name carries the format where two bytes are too few for the magic.
            const std::string name = std::string("cut") + (t.code == format_code::xz        ? ".xz"
                                                           : t.code == format_code::lzma    ? ".lzma"
                                                           : t.code == format_code::bzip2   ? ".bz2"
                                                           : t.code == format_code::zstd    ? ".zst"
                                                                                            : ".Z");
            test::write_file(dir / name, d.bytes);
            test::Extraction x(dir / name);
            if (x.files.state().PackFileType == format_code::none) {
                // Too short to be taken for the format at all.
                EXPECT_EQ(x.loaded, -2);
                EXPECT_EQ(std::string(d.what), "header only");
                continue;
            }
            const fs::path out = dir / "out";
            fs::remove_all(out);
            fs::create_directories(out);
            test::write_file(out / "cut", std::string("the good file"));
            x.window.overwrite = true;
            x.unpack(out);
            if (!d.noticed)
                continue; // no check value: a damaged stream may decode
            EXPECT_EQ(x.message_texts(), both);
            EXPECT_EQ(x.outcome(1), "failed:damaged");
            EXPECT_EQ(test::file_text(out / "cut"), "the good file");
            EXPECT_EQ(test::tree_of(out), (std::map<std::string, std::string>{{"cut", "the good file"}}));
        }
    }
}

TEST(CompressedFiles, ConcatenatedStreamsAndXzSizeOfEveryStream)
{
    test::TempDir dir;
    const std::string a = sample(1000);
    const std::string b = sample(3000);
    test::write_file(dir / "a", a);
    test::write_file(dir / "b", b);
    for (const Tool& t : tools()) {
        if (!have(t) || t.code == format_code::lzma || t.code == format_code::compress)
            continue; // .lzma and .Z hold one stream
        SCOPED_TRACE(t.command);
        compress_file(t, dir / "a", dir / "a.part");
        compress_file(t, dir / "b", dir / "b.part");
        std::vector<uint8_t> both = test::read_file(dir / "a.part");
        const std::vector<uint8_t> second = test::read_file(dir / "b.part");
        both.insert(both.end(), second.begin(), second.end());
        if (t.code == format_code::xz)
            both.insert(both.end(), 8, 0); // stream padding
        test::write_file(dir / "ab.cat", both);
        test::Extraction x(dir / "ab.cat");
        ASSERT_EQ(x.files.state().PackFileType, t.code);
        EXPECT_EQ(x.files.UnCompressed_Size(1), t.states_size ? static_cast<int64_t>(a.size() + b.size()) : 0);
        EXPECT_EQ(x.unpack(dir / "out"), 0);
        EXPECT_EQ(test::file_text(dir / "out" / "ab.cat.out"), a + b);
        fs::remove_all(dir / "out");
    }
}

} // namespace
} // namespace velmora

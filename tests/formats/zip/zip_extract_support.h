// Helpers for the ZIP extraction tests: raw deflate streams made with zlib,
// on top of the shared extraction helpers.
#pragma once

#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"
#include "support/Extraction.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace velmora::test {

using ZipExtraction = Extraction;

// Writes bytes to dir/name and returns the path.
inline std::filesystem::path save_zip(const TempDir& dir, const std::string& name, const std::vector<uint8_t>& bytes)
{
    const auto p = dir / name;
    write_file(p, bytes);
    return p;
}

// A raw deflate stream (no zlib header) of text, as ZIP method 8 stores it.
inline std::string raw_deflate(const std::string& text, int level = 9)
{
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// The tree every tool packs: text, incompressible bytes, an empty file,
// nested and empty folders, a non-ASCII name, several permission sets. Times
// are whole even seconds, which DOS time holds exactly.
struct SourceTree {
    TempDir dir;
    std::filesystem::path root = dir / "src";

    SourceTree()
    {
        std::filesystem::create_directories(root / "docs" / "deep");
        std::filesystem::create_directories(root / "empty-folder");
        std::string text;
        for (int i = 0; i < 2000; ++i)
            text += "Line " + std::to_string(i) + ": the quick brown fox jumps over the lazy dog.\n";
        std::string noise(70000, '\0');
        std::mt19937 rng(1234);
        for (auto& c : noise)
            c = static_cast<char>(rng());
        add("readme.txt", text, 0644, 1600000000);
        add("docs/deep/noise.bin", noise, 0640, 1500000002);
        add("docs/empty.txt", "", 0600, 1400000004);
        add("run.sh", "#!/bin/sh\necho hi\n", 0755, 1300000006);
        add("docs/na\xc3\xafve caf\xc3\xa9.txt", "accented name\n", 0644, 1234567890);
    }

    void add(const std::string& rel, const std::string& data, mode_t mode, time_t mtime)
    {
        write_file(root / rel, data);
        ::chmod((root / rel).c_str(), mode);
        const timespec times[2] = {{mtime, 0}, {mtime, 0}};
        ::utimensat(AT_FDCWD, (root / rel).c_str(), times, 0);
    }

    // Runs a packing command inside the source folder.
    bool pack(const std::string& command) const
    {
        return run_command("cd " + shell_quote(root.string()) + " && " + command + " >/dev/null 2>&1") == 0;
    }

    // Every file and folder of the source must be in out, alike.
    void expect_extracted(const std::filesystem::path& out, bool check_modes) const
    {
        EXPECT_EQ(tree_of(out), tree_of(root));
        const mode_t mask = current_umask();
        for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
            if (!e.is_regular_file())
                continue;
            const std::filesystem::path rel = e.path().lexically_relative(root);
            SCOPED_TRACE(rel.string());
            const struct stat want = stat_of(e.path());
            const struct stat got = stat_of(out / rel);
            EXPECT_EQ(got.st_mtime, want.st_mtime);
            if (check_modes) {
                EXPECT_EQ(got.st_mode & 07777, (want.st_mode & 0777 & ~mask));
            }
        }
    }
};

// Extracts every entry of zip (answering the password prompt with password
// when one comes) and compares the result with the source tree: no message,
// one prompt exactly when a password is given.
inline void extract_and_compare(const SourceTree& src, const std::filesystem::path& zip, const std::string& password,
                                bool check_modes)
{
    ZipExtraction x(zip);
    ASSERT_GT(x.files.FileCount(), 0);
    x.window.input_answers = {password};
    const std::filesystem::path out = src.dir / ("out-" + zip.stem().string());
    EXPECT_EQ(x.unpack(out), 0);
    EXPECT_EQ(x.message_texts(), std::vector<std::string>{});
    EXPECT_EQ(x.window.questions.size(), password.empty() ? 0u : 1u);
    src.expect_extracted(out, check_modes);
}

} // namespace velmora::test

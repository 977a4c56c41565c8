// Helpers for the ZIP extraction tests: loading an archive through the
// dispatcher with a recording window, running UnPack with a selection, raw
// deflate streams made with zlib, and snapshots of what landed on disk.
#pragma once

#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace velmora::test {

// One loaded archive with the window the extraction talks to.
struct ZipExtraction {
    HeadlessWindow window;
    Cls_GetFileType files{window};

    explicit ZipExtraction(const std::filesystem::path& archive)
    {
        files.Get_Contents(archive.string());
        window.row_count = files.FileCount();
    }

    // UnPack with the listed entries selected (every entry when empty).
    int unpack(const std::filesystem::path& out, const std::vector<int32_t>& only = {})
    {
        Selection sel(static_cast<size_t>(files.FileCount()) + 1, false);
        for (int32_t k = 1; k <= files.FileCount(); ++k)
            sel[static_cast<size_t>(k)] = only.empty();
        for (const int32_t k : only)
            sel[static_cast<size_t>(k)] = true;
        std::string to = out.string();
        return files.UnPack(sel, to);
    }

    std::vector<std::string> message_texts() const
    {
        std::vector<std::string> out;
        for (const auto& m : window.messages)
            out.push_back(m.text);
        return out;
    }
};

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

// What a file tree holds: relative path -> contents ("/" appended for folders).
inline std::map<std::string, std::string> tree_of(const std::filesystem::path& root)
{
    std::map<std::string, std::string> out;
    if (!std::filesystem::exists(root))
        return out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        const std::string rel = e.path().lexically_relative(root).string();
        if (e.is_symlink())
            out[rel] = "->" + std::filesystem::read_symlink(e.path()).string();
        else if (e.is_directory())
            out[rel + "/"] = "";
        else {
            const auto bytes = read_file(e.path());
            out[rel] = std::string(bytes.begin(), bytes.end());
        }
    }
    return out;
}

inline std::string file_text(const std::filesystem::path& p)
{
    const auto bytes = read_file(p);
    return std::string(bytes.begin(), bytes.end());
}

inline struct stat stat_of(const std::filesystem::path& p)
{
    struct stat st{};
    ::lstat(p.c_str(), &st);
    return st;
}

inline mode_t current_umask()
{
    const mode_t m = ::umask(0);
    ::umask(m);
    return m;
}

} // namespace velmora::test

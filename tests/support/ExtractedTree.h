// A file tree as the extraction tests compare it with what a real tool
// extracted: each file's bytes, modification time and permission bits, each
// folder, each symbolic link's target; and a tool run inside a folder.
#pragma once

#include "support/TestSupport.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <sys/stat.h>

namespace velmora::test {

struct tree_item {
    std::string kind; // "file", "dir", "link"
    std::string content; // file bytes, or a link's target
    int64_t mtime = 0;
    uint32_t mode = 0; // rwx bits of a file

    bool operator==(const tree_item&) const = default;
};

// Relative path -> item. fold_case: names in lower case (lhasa writes the
// all-capitals names of MS-DOS archives in lower case).
inline std::map<std::string, tree_item> tree_items(const std::filesystem::path& root, bool fold_case = false)
{
    std::map<std::string, tree_item> out;
    if (!std::filesystem::exists(root))
        return out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        std::string rel = e.path().lexically_relative(root).string();
        if (fold_case)
            std::transform(rel.begin(), rel.end(), rel.begin(), [](unsigned char c) { return std::tolower(c); });
        tree_item item;
        struct stat st{};
        ::lstat(e.path().c_str(), &st);
        if (e.is_symlink()) {
            item.kind = "link";
            item.content = std::filesystem::read_symlink(e.path()).string();
        } else if (e.is_directory()) {
            item.kind = "dir";
        } else {
            item.kind = "file";
            const auto bytes = read_file(e.path());
            item.content.assign(bytes.begin(), bytes.end());
            item.mtime = static_cast<int64_t>(st.st_mtime);
            item.mode = st.st_mode & 0777;
        }
        out[rel] = std::move(item);
    }
    return out;
}

// Leaves out what one side cannot be compared on: the times (false) or the
// permission bits (false) of every file.
inline std::map<std::string, tree_item> without(std::map<std::string, tree_item> tree, bool times, bool modes)
{
    for (auto& [name, item] : tree) {
        if (!times)
            item.mtime = 0;
        if (!modes)
            item.mode = 0;
    }
    return tree;
}

// Runs `command` with `folder` as the working folder (made first); its
// output is dropped. The exit status.
inline int run_in(const std::filesystem::path& folder, const std::string& command)
{
    std::filesystem::create_directories(folder);
    return run_command("cd " + shell_quote(folder.string()) + " && " + command + " >/dev/null 2>&1");
}

inline std::ostream& operator<<(std::ostream& os, const tree_item& i)
{
    return os << "{" << i.kind << ", " << i.content.size() << " bytes, mtime " << i.mtime << ", mode 0" << std::oct
              << i.mode << std::dec << "}";
}

} // namespace velmora::test

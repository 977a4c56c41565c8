// Extraction of damaged archives (cut short, bytes overwritten) and the rules
// that hold whatever the damage: UnPack returns, every selected entry gets
// one outcome, a file reported extracted holds its original bytes, an entry
// that failed as damaged came with a message, and nothing is left on disk
// that no entry names (no temporary files).
#pragma once

#include "support/Extraction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace velmora::test {

// An entry name as it lands on disk: "\" read as a separator, leading
// separators dropped.
inline std::string landed_name(std::string name)
{
    std::replace(name.begin(), name.end(), '\\', '/');
    name.erase(0, name.find_first_not_of('/'));
    while (!name.empty() && name.back() == '/')
        name.pop_back();
    return name;
}

// Extracts `damaged` saved as work/damaged<ext> ("\.lzh" picks the LZH
// reader by name). originals: landed name -> bytes of the undamaged
// archive's files.
inline void expect_damage_contained(const std::vector<uint8_t>& damaged, const std::string& ext,
                                    const std::filesystem::path& work,
                                    const std::map<std::string, std::string>& originals)
{
    std::filesystem::remove_all(work);
    const auto out = work / "out";
    std::filesystem::create_directories(out);
    const auto archive = work / ("damaged" + ext);
    write_file(archive, damaged);
    Extraction x(archive);
    const int32_t n = x.files.FileCount();
    if (n <= 0)
        return;
    x.unpack(out);
    std::set<std::string> names;
    for (int32_t k = 1; k <= n; ++k) {
        const std::string name = landed_name(x.files.FileName(k));
        names.insert(name);
        const std::string outcome = x.outcome(k);
        EXPECT_NE(outcome, "pending") << name;
        if (outcome == "extracted" && !x.files.IsDir(k) && originals.count(name)
            && std::filesystem::is_regular_file(out / name)) {
            EXPECT_EQ(file_text(out / name), originals.at(name)) << name << " reported good with other bytes";
        }
        if (outcome.rfind("failed:damaged", 0) == 0) {
            EXPECT_FALSE(x.window.messages.empty()) << name << " failed without a message";
        }
    }
    for (const auto& e : std::filesystem::recursive_directory_iterator(out)) {
        if (!e.is_regular_file())
            continue;
        const std::string rel = e.path().lexically_relative(out).string();
        EXPECT_TRUE(names.count(rel)) << rel << " is no entry's file";
    }
}

// The damaged forms of an archive: cut at `cuts` points, and each of
// `positions` overwritten with 0x00, 0xFF and its bits inverted.
inline std::vector<std::vector<uint8_t>> damaged_forms(const std::vector<uint8_t>& good, size_t step)
{
    std::vector<std::vector<uint8_t>> out;
    for (size_t cut = 0; cut < good.size(); cut += std::max<size_t>(1, step / 3))
        out.emplace_back(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
    for (size_t at = 0; at < good.size(); at += step) {
        for (const int how : {0, 1, 2}) {
            std::vector<uint8_t> b = good;
            b[at] = how == 0 ? 0x00 : how == 1 ? 0xFF : static_cast<uint8_t>(~b[at]);
            if (b != good)
                out.push_back(std::move(b));
        }
    }
    return out;
}

} // namespace velmora::test

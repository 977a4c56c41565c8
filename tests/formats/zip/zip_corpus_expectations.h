// The shared corpus's ZIP files and what listing them must give: the peers'
// expected listings (<file>.expected.json), adjusted where this reader's rules
// legitimately differ from the peers (named, with the reason, below).
#pragma once

#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velmora::test {

// One listing as the window sees it, from the dispatcher or from archive-probe.
struct ZipListingEntry {
    std::string name, method;
    int64_t compressed_size = 0, uncompressed_size = 0;
    uint32_t crc = 0;
    bool encrypted = false, is_dir = false;
    std::string datetime, system_made_by, version_made_by, system_needed, version_needed, comment;
};

struct ZipListing {
    int result = 0;
    int type = 0;
    int32_t count = 0;
    std::string comment;
    std::vector<ZipListingEntry> entries;
};

// Archives this reader does not load, though (some) peers do.
struct NotLoaded {
    int result;      // the dispatcher's result
    const char* why;
};

inline const std::map<std::string, NotLoaded>& corpus_not_loaded()
{
    static const std::map<std::string, NotLoaded> table = {
        {"test_read_format_zip_encryption_header.zip", {0, "end record count 0 (directory encrypted)"}},
        {"test_read_format_zip_malformed1.zip", {0, "fuzzer file: no end record, walk meets no central header"}},
        {"test_read_format_zip_ppmd8_crash_1.zipx", {0, "fuzzer file: no end record, walk meets no central header"}},
    };
    return table;
}

// Entry fields where the reader's rules give another value than the peers.
struct EntryOverride {
    std::optional<bool> is_dir;
    std::optional<int64_t> compressed_size, uncompressed_size;
    const char* why;
};

inline const std::map<std::pair<std::string, int>, EntryOverride>& corpus_entry_overrides()
{
    static const std::map<std::pair<std::string, int>, EntryOverride> table = {
        {{"test_read_format_zip_msdos.zip", 2}, {false, {}, {}, "folder by DOS attribute only; no trailing /"}},
        {{"test_read_format_zip_msdos.zip", 5}, {false, {}, {}, "folder by DOS attribute only; no trailing /"}},
    };
    return table;
}

inline nlohmann::json read_json(const std::filesystem::path& p)
{
    std::ifstream in(p);
    return nlohmann::json::parse(in);
}

// Every ZIP of corpus/zip with its expected listing.
inline std::vector<std::filesystem::path> corpus_zip_archives()
{
    std::vector<std::filesystem::path> out;
    for (const auto& e : std::filesystem::directory_iterator(corpus_dir() / "zip")) {
        const std::string name = e.path().filename().string();
        const std::string suffix = ".expected.json";
        if (name.size() > suffix.size() && name.ends_with(suffix))
            out.push_back(e.path().parent_path() / name.substr(0, name.size() - suffix.size()));
    }
    std::sort(out.begin(), out.end());
    return out;
}

inline uint32_t parse_hex32(const std::string& s) { return static_cast<uint32_t>(std::stoul(s, nullptr, 16)); }

// A size as the members return it: 64-bit, Zip64 values included.
inline int64_t as_stored(uint64_t v) { return static_cast<int64_t>(v); }

// Compares a listing with the expected one of the archive (the JSON beside it).
inline void expect_matches_corpus(const ZipListing& got, const std::filesystem::path& archive)
{
    const std::string file = archive.filename().string();
    SCOPED_TRACE(file);
    const nlohmann::json want = read_json(archive.string() + ".expected.json");

    if (const auto it = corpus_not_loaded().find(file); it != corpus_not_loaded().end()) {
        SCOPED_TRACE(it->second.why);
        EXPECT_EQ(got.result, it->second.result);
        EXPECT_EQ(got.type, 0);
        EXPECT_EQ(got.count, 0);
        EXPECT_TRUE(got.entries.empty());
        return;
    }

    EXPECT_EQ(got.result, 0);
    EXPECT_EQ(got.type, 1);
    const auto& entries = want.at("entries");
    ASSERT_EQ(got.count, static_cast<int32_t>(entries.size()));
    ASSERT_EQ(got.entries.size(), entries.size());

    // The header reader's comment is the stored bytes; peers may turn CR LF into LF.
    std::string comment;
    if (want.contains("archive_comment") && want["archive_comment"].is_object()) {
        const auto& by_source = want["archive_comment"];
        for (const auto& [source, text] : by_source.items())
            if (text.is_string() && (source == "hdr" || !by_source.contains("hdr")))
                comment = text.get<std::string>();
    }
    EXPECT_EQ(got.comment, comment);

    for (size_t i = 0; i < entries.size(); ++i) {
        const auto& w = entries[i];
        const ZipListingEntry& g = got.entries[i];
        const int index = w.at("index").get<int>();
        SCOPED_TRACE("entry " + std::to_string(index));
        const auto ov = corpus_entry_overrides().find({file, index});
        const EntryOverride* o = ov != corpus_entry_overrides().end() ? &ov->second : nullptr;

        EXPECT_EQ(g.name, w.at("name").get<std::string>());
        EXPECT_EQ(g.uncompressed_size, o && o->uncompressed_size ? *o->uncompressed_size
                                                                  : as_stored(w.at("size").get<uint64_t>()));
        EXPECT_EQ(g.compressed_size, o && o->compressed_size ? *o->compressed_size
                                                              : as_stored(w.at("compressed_size").get<uint64_t>()));
        EXPECT_EQ(g.crc, parse_hex32(w.at("crc").get<std::string>()));
        EXPECT_EQ(g.encrypted, w.at("encrypted").get<bool>());
        EXPECT_EQ(g.is_dir, o && o->is_dir ? *o->is_dir : w.at("is_dir").get<bool>());
        if (w.contains("datetime")) {
            // DOS words that are no real date give 1 January 1601.
            const bool valid = !w.contains("dos_valid") || w["dos_valid"].get<bool>();
            EXPECT_EQ(g.datetime, valid ? w["datetime"].get<std::string>() : "1601-01-01 00:00:00");
        }
        // Method and host codes the corpus holds, by the stored code.
        static const std::map<int, std::string> method_text = {
            {0, "No Compression"}, {8, "Deflated"}, {12, "BZip2"}, {14, "LZMA"}, {98, "PPMd"}};
        static const std::map<int, std::string> host_text = {
            {0, "MS-DOS and OS/2 (FAT / VFAT / FAT32 file systems)"}, {3, "UNIX"}, {10, "Windows NTFS"},
            {11, "MVS (OS/390 - Z/OS)"}};
        if (w.contains("method_code") && method_text.contains(w["method_code"].get<int>())) {
            EXPECT_EQ(g.method, method_text.at(w["method_code"].get<int>()));
        }
        if (w.contains("host_os") && host_text.contains(w["host_os"].get<int>())) {
            EXPECT_EQ(g.system_made_by, host_text.at(w["host_os"].get<int>()));
        }
        if (w.contains("version_made")) {
            const int v = w["version_made"].get<int>();
            EXPECT_EQ(g.version_made_by, std::to_string(v / 10) + "." + std::to_string(v % 10));
        }
        if (w.contains("comment") && w["comment"].is_string()) {
            EXPECT_EQ(g.comment, w["comment"].get<std::string>());
        }
    }
}

} // namespace velmora::test

// Helpers of the ARJ and LZH tests: list an archive through the dispatcher as
// the window does, write byte fixtures, and read lsar's JSON listings.
#pragma once

#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"
#include "support/TestSupport.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velmora::test::arj_lzh {

struct ListedEntry {
    std::string name, method, comment, made_by, version_made, system_needed, version_needed;
    int32_t packed = 0, size = 0, crc = 0;
    bool encrypted = false, dir = false;
    DateTime date;
};

struct Listing {
    int16_t result = 0;
    uint8_t type = 0;
    int32_t count = 0;
    std::vector<ListedEntry> entries;
};

inline Listing list_archive(const std::filesystem::path& path)
{
    HeadlessWindow window;
    Cls_GetFileType files(window);
    Listing out;
    out.result = files.Get_Contents(path.string());
    out.type = files.state().PackFileType;
    out.count = files.FileCount();
    for (int32_t k = 1; k <= out.count; ++k) {
        ListedEntry e;
        e.name = files.FileName(k);
        e.method = files.Method(k);
        e.comment = files.CommentsFile(k);
        e.made_by = files.SystemMadeBy(k);
        e.version_made = files.VersionMadeBy(k);
        e.system_needed = files.SystemNeeded(k);
        e.version_needed = files.VersionNeeded(k);
        e.packed = files.Compressed_Size(k);
        e.size = files.UnCompressed_Size(k);
        e.crc = files.CRC32(k);
        e.encrypted = files.Encrypted(k);
        e.dir = files.IsDir(k);
        e.date = files.FileDateTime(k);
        out.entries.push_back(e);
    }
    return out;
}

inline Listing list_bytes(const TempDir& dir, const std::vector<uint8_t>& bytes, const std::string& name = "t.bin")
{
    write_file(dir / name, bytes);
    return list_archive(dir / name);
}

// Little-endian appenders for building headers.
inline void put8(std::vector<uint8_t>& b, uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
inline void put16(std::vector<uint8_t>& b, uint32_t v)
{
    put8(b, v);
    put8(b, v >> 8);
}
inline void put32(std::vector<uint8_t>& b, uint32_t v)
{
    put16(b, v);
    put16(b, v >> 16);
}
inline void put_text(std::vector<uint8_t>& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }

// lsar -j output: the entries array.
inline nlohmann::json lsar_entries(const std::string& json_text)
{
    return nlohmann::json::parse(json_text).at("lsarContents");
}

// "2021-03-04 05:06:08 +0000" (lsar run with TZ=UTC) to our date text.
inline std::string lsar_date(const nlohmann::json& e)
{
    return e.at("XADLastModificationDate").get<std::string>().substr(0, 19);
}

inline bool lsar_flag(const nlohmann::json& e, const char* key)
{
    return e.contains(key) && e.at(key).get<int>() != 0;
}

} // namespace velmora::test::arj_lzh

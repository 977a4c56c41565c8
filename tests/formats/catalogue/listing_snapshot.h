// Test helpers for the RAR, CAB and ARC listing tests: a little-endian byte
// builder for hand-made archives, and a snapshot of everything the dispatcher
// answers about a listed archive.
#pragma once

#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"
#include "support/TestSupport.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velmora::test {

struct Bytes {
    std::vector<uint8_t> b;

    Bytes& u8(unsigned v)
    {
        b.push_back(static_cast<uint8_t>(v));
        return *this;
    }
    Bytes& le16(unsigned v) { return u8(v & 0xFF).u8((v >> 8) & 0xFF); }
    Bytes& le32(uint32_t v) { return le16(v & 0xFFFF).le16(v >> 16); }
    Bytes& text(const std::string& s)
    {
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    Bytes& zeros(size_t n)
    {
        b.insert(b.end(), n, 0);
        return *this;
    }
    Bytes& append(const Bytes& other)
    {
        b.insert(b.end(), other.b.begin(), other.b.end());
        return *this;
    }
    size_t size() const { return b.size(); }
    void put_le16(size_t at, unsigned v)
    {
        b.at(at) = static_cast<uint8_t>(v & 0xFF);
        b.at(at + 1) = static_cast<uint8_t>((v >> 8) & 0xFF);
    }
};

struct EntrySnapshot {
    std::string name, method, comment, system_made_by, version_made_by, system_needed, version_needed;
    int64_t packed = 0, size = 0;
    int32_t crc = 0;
    bool encrypted = false, dir = false;
    DateTime when;
};

struct ListingSnapshot {
    int16_t result = 0;
    uint8_t type = 0;
    int32_t count = 0;
    std::string comment;
    std::vector<EntrySnapshot> entries; // entries[k - 1] is entry k
};

inline ListingSnapshot snapshot(Cls_GetFileType& files, const std::string& path)
{
    ListingSnapshot s;
    s.result = files.Get_Contents(path);
    s.type = files.state().PackFileType;
    s.count = files.FileCount();
    s.comment = files.CommentsPack();
    for (int32_t k = 1; k <= s.count; ++k) {
        EntrySnapshot e;
        e.name = files.FileName(k);
        e.method = files.Method(k);
        e.comment = files.CommentsFile(k);
        e.system_made_by = files.SystemMadeBy(k);
        e.version_made_by = files.VersionMadeBy(k);
        e.system_needed = files.SystemNeeded(k);
        e.version_needed = files.VersionNeeded(k);
        e.packed = files.Compressed_Size(k);
        e.size = files.UnCompressed_Size(k);
        e.crc = files.CRC32(k);
        e.encrypted = files.Encrypted(k);
        e.dir = files.IsDir(k);
        e.when = files.FileDateTime(k);
        s.entries.push_back(std::move(e));
    }
    return s;
}

// Lists a file through a fresh dispatcher.
inline ListingSnapshot list_file(const std::filesystem::path& path)
{
    HeadlessWindow window;
    Cls_GetFileType files(window);
    return snapshot(files, path.string());
}

// Writes the bytes under the given name in a temporary folder and lists them.
inline ListingSnapshot list_bytes(const TempDir& dir, const std::string& name, const std::vector<uint8_t>& bytes)
{
    write_file(dir / name, bytes);
    return list_file(dir / name);
}

// The same, the name after the bytes (a neutral one by default).
inline ListingSnapshot list_bytes(const TempDir& dir, const std::vector<uint8_t>& bytes, const std::string& name = "t.bin")
{
    return list_bytes(dir, name, bytes);
}

inline std::string slashes(std::string s)
{
    for (char& c : s)
        if (c == '\\')
            c = '/';
    return s;
}

} // namespace velmora::test

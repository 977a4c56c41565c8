// A minimal RAR 1.5-4.x block walker for decoder tests: finds the marker
// block (also after an SFX stub), walks the blocks by HEAD_SIZE and ADD_SIZE
// and returns each file header with where its packed data lies. Checks
// nothing beyond staying inside the file; the product's listing is Cls_Rar.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace velmora::test {

struct rar4_entry {
    std::string name;         // stored bytes (backslashes, code page or Unicode form as stored)
    uint16_t flags = 0;       // HEAD_FLAGS of the file header
    uint64_t pack_size = 0;
    uint64_t unp_size = 0;
    uint8_t host_os = 0;
    uint32_t crc = 0;
    uint32_t ftime = 0;
    uint8_t unp_ver = 0;
    uint8_t method = 0;       // '0'-'5'
    uint32_t attr = 0;
    uint64_t data_offset = 0; // of the packed data in the file

    bool split_before() const { return flags & 0x0001; }
    bool split_after() const { return flags & 0x0002; }
    bool encrypted() const { return flags & 0x0004; }
    bool solid() const { return flags & 0x0010; }
    bool is_dir() const { return (flags & 0x00E0) == 0x00E0; }
};

struct rar4_archive {
    bool found = false;
    uint16_t main_flags = 0;
    std::vector<rar4_entry> entries;
};

inline rar4_archive walk_rar4(const std::vector<uint8_t>& f)
{
    rar4_archive a;
    static const uint8_t marker[7] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
    size_t p = 0;
    while (p + 7 <= f.size() && std::memcmp(f.data() + p, marker, 7) != 0)
        ++p;
    if (p + 7 > f.size())
        return a;
    a.found = true;
    p += 7;
    auto le16 = [&](size_t o) { return static_cast<uint32_t>(f[o] | (f[o + 1] << 8)); };
    auto le32 = [&](size_t o) { return le16(o) | (le16(o + 2) << 16); };
    while (p + 7 <= f.size()) {
        const uint8_t type = f[p + 2];
        const uint16_t flags = static_cast<uint16_t>(le16(p + 3));
        const uint32_t head_size = le16(p + 5);
        if (head_size < 7 || p + head_size > f.size())
            break;
        uint64_t add_size = 0;
        if ((flags & 0x8000) || type == 0x74 || type == 0x7A) {
            if (head_size < 11)
                break;
            add_size = le32(p + 7);
        }
        if (type == 0x73)
            a.main_flags = flags;
        if (type == 0x74) {
            if (head_size < 32)
                break;
            rar4_entry e;
            e.flags = flags;
            e.pack_size = le32(p + 7);
            e.unp_size = le32(p + 11);
            e.host_os = f[p + 15];
            e.crc = le32(p + 16);
            e.ftime = le32(p + 20);
            e.unp_ver = f[p + 24];
            e.method = f[p + 25];
            const uint32_t name_size = le16(p + 26);
            e.attr = le32(p + 28);
            size_t q = p + 32;
            if (flags & 0x0100) {
                if (head_size < 40)
                    break;
                e.pack_size |= static_cast<uint64_t>(le32(q)) << 32;
                e.unp_size |= static_cast<uint64_t>(le32(q + 4)) << 32;
                q += 8;
            }
            if (q + name_size > p + head_size)
                break;
            e.name.assign(reinterpret_cast<const char*>(f.data() + q), name_size);
            e.data_offset = p + head_size;
            add_size = e.pack_size;
            if (e.data_offset + e.pack_size > f.size())
                break;
            a.entries.push_back(e);
        }
        if (type == 0x7B)
            break;
        p += head_size + add_size;
    }
    return a;
}

} // namespace velmora::test

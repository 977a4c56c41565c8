// A minimal RAR 1.5-4.x block walker for tests and benchmarks: finds the
// marker (also after an SFX stub), then lists file headers with where their
// packed data lies. Follows the RAR technote's block layout; bounds-checked,
// stops at the end block, a broken header or the end of the file. Archives
// with encrypted headers are not walked.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace velmora::test {

struct rar_entry {
    std::string name;         // as stored (the OEM part of a Unicode name)
    uint16_t flags = 0;       // HEAD_FLAGS of the file header
    uint8_t host_os = 0;
    uint8_t unp_ver = 0;      // version needed times ten (29: RAR 2.9-4.x)
    uint8_t method = 0;       // '0' stored .. '5' best
    uint32_t crc = 0;         // FILE_CRC
    uint64_t pack_size = 0;
    uint64_t unp_size = 0;
    uint64_t data_offset = 0; // packed data in the archive file
    std::array<uint8_t, 8> salt{};

    static constexpr uint16_t split_before = 0x0001;
    static constexpr uint16_t split_after = 0x0002;
    static constexpr uint16_t password = 0x0004;
    static constexpr uint16_t solid_flag = 0x0010; // continues the previous entry's stream
    static constexpr uint16_t salt_flag = 0x0400;

    bool is_dir() const { return (flags & 0x00E0) == 0x00E0; }
    bool solid() const { return (flags & solid_flag) != 0; }
    bool encrypted() const { return (flags & password) != 0; }
    bool stored() const { return method == '0'; }
};

struct rar_archive {
    bool ok = false;          // a marker was found and the walk ended cleanly
    uint16_t main_flags = 0;  // 0x0008: solid archive; 0x0080: headers encrypted
    std::vector<rar_entry> entries;
};

namespace rar_walker_detail {
inline uint32_t le(std::span<const uint8_t> b, size_t at, unsigned n)
{
    uint32_t v = 0;
    for (unsigned i = 0; i < n; ++i)
        v |= static_cast<uint32_t>(b[at + i]) << (8 * i);
    return v;
}
} // namespace rar_walker_detail

// Block header: HEAD_CRC(2) HEAD_TYPE(1) HEAD_FLAGS(2) HEAD_SIZE(2) [ADD_SIZE(4) with flag 0x8000]
// File header after it: PACK_SIZE(4) UNP_SIZE(4) HOST_OS(1) FILE_CRC(4) FTIME(4) UNP_VER(1) METHOD(1)
//   NAME_SIZE(2) ATTR(4) [HIGH_PACK_SIZE(4) HIGH_UNP_SIZE(4) with 0x0100] NAME [SALT(8) with 0x0400]
inline rar_archive walk_rar(std::span<const uint8_t> file)
{
    using rar_walker_detail::le;
    static constexpr uint8_t marker[7] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
    rar_archive a;
    size_t pos = 0;
    for (;; ++pos) {
        if (pos + 7 > file.size())
            return a;
        if (std::memcmp(file.data() + pos, marker, 7) == 0)
            break;
    }
    pos += 7;
    while (pos + 7 <= file.size()) {
        const uint8_t type = file[pos + 2];
        const uint16_t flags = static_cast<uint16_t>(le(file, pos + 3, 2));
        const uint16_t head_size = static_cast<uint16_t>(le(file, pos + 5, 2));
        if (head_size < 7 || pos + head_size > file.size())
            return a;
        uint64_t data_size = 0;
        if (type == 0x73) {
            a.main_flags = flags;
            if (flags & 0x0080)
                return a; // encrypted headers: nothing more can be read
        } else if (type == 0x74 || type == 0x7A) {
            if (head_size < 32)
                return a;
            const size_t f = pos + 7;
            rar_entry e;
            e.flags = flags;
            e.pack_size = le(file, f, 4);
            e.unp_size = le(file, f + 4, 4);
            e.host_os = file[f + 8];
            e.crc = le(file, f + 9, 4);
            e.unp_ver = file[f + 17];
            e.method = file[f + 18];
            const uint16_t name_size = static_cast<uint16_t>(le(file, f + 19, 2));
            size_t name_at = f + 25;
            if (flags & 0x0100) {
                if (name_at + 8 > pos + head_size)
                    return a;
                e.pack_size |= uint64_t{le(file, name_at, 4)} << 32;
                e.unp_size |= uint64_t{le(file, name_at + 4, 4)} << 32;
                name_at += 8;
            }
            if (name_at + name_size > pos + head_size)
                return a;
            std::string name(reinterpret_cast<const char*>(file.data() + name_at), name_size);
            if (const size_t zero = name.find('\0'); zero != std::string::npos)
                name.resize(zero);
            e.name = name;
            const size_t after_name = name_at + name_size;
            if ((flags & rar_entry::salt_flag) && after_name + 8 <= pos + head_size)
                std::memcpy(e.salt.data(), file.data() + after_name, 8);
            e.data_offset = pos + head_size;
            data_size = e.pack_size;
            if (e.data_offset + e.pack_size > file.size())
                return a;
            if (type == 0x74)
                a.entries.push_back(e);
        } else if (type == 0x7B) {
            a.ok = true;
            return a;
        } else if (flags & 0x8000) {
            if (head_size < 11)
                return a;
            data_size = le(file, pos + 7, 4);
        }
        pos += head_size + data_size;
    }
    a.ok = pos == file.size();
    return a;
}

// The packed bytes of an entry.
inline std::span<const uint8_t> rar_packed_data(std::span<const uint8_t> file, const rar_entry& e)
{
    return file.subspan(static_cast<size_t>(e.data_offset), static_cast<size_t>(e.pack_size));
}

} // namespace velmora::test

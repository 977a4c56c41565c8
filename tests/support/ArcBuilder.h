// ARC archives for tests: entry headers written byte by byte, a walk over an
// archive's headers, the CRC-16 ARC stores, and an encoder for the old
// crunching (methods 5 to 7) that no installed tool writes any more.
// Header-only, like the other builders of test archives.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace velmora::test {

// marker(1) method(1) name(13) packed size(4) date(2) time(2) crc16(2) size(4), then the packed bytes.
struct ArcEntry {
    uint8_t method = 0;
    std::string name;
    uint32_t packed_size = 0;
    uint16_t crc16 = 0;
    uint32_t size = 0;
    size_t data_offset = 0; // of the packed bytes in the archive
};

// CRC-16 as ARC stores it (reflected polynomial 0xA001, start 0).
inline uint16_t arc_crc16(const std::vector<uint8_t>& data)
{
    uint16_t crc = 0;
    for (const uint8_t b : data) {
        crc ^= b;
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

// One entry (header and packed bytes); an archive is entries followed by 0x1A 0x00.
inline std::vector<uint8_t> arc_entry(uint8_t method, const std::string& name, const std::vector<uint8_t>& packed,
                                      const std::vector<uint8_t>& original)
{
    std::vector<uint8_t> e = {0x1A, method};
    std::array<uint8_t, 13> field{};
    for (size_t i = 0; i < name.size() && i < 12; ++i)
        field[i] = static_cast<uint8_t>(name[i]);
    e.insert(e.end(), field.begin(), field.end());
    auto le = [&e](uint32_t v, int n) {
        for (int i = 0; i < n; ++i)
            e.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    le(static_cast<uint32_t>(packed.size()), 4);
    le(0x5021, 2); // 1 January 2020
    le(0x6000, 2); // 12:00:00
    le(arc_crc16(original), 2);
    le(static_cast<uint32_t>(original.size()), 4);
    e.insert(e.end(), packed.begin(), packed.end());
    return e;
}

inline std::vector<uint8_t> arc_archive(const std::vector<std::vector<uint8_t>>& entries)
{
    std::vector<uint8_t> a;
    for (const auto& e : entries)
        a.insert(a.end(), e.begin(), e.end());
    a.push_back(0x1A);
    a.push_back(0x00);
    return a;
}

// The entries up to the end mark, or as far as the headers lie inside the file.
inline std::vector<ArcEntry> arc_walk(const std::vector<uint8_t>& archive)
{
    std::vector<ArcEntry> entries;
    size_t pos = 0;
    auto le = [&archive](size_t at, int n) {
        uint32_t v = 0;
        for (int i = n; i-- > 0;)
            v = (v << 8) | archive[at + i];
        return v;
    };
    while (pos + 29 <= archive.size() && archive[pos] == 0x1A && archive[pos + 1] != 0) {
        ArcEntry e;
        e.method = archive[pos + 1];
        for (size_t i = 2; i < 15 && archive[pos + i] != 0; ++i)
            e.name.push_back(static_cast<char>(archive[pos + i]));
        e.packed_size = le(pos + 15, 4);
        e.crc16 = static_cast<uint16_t>(le(pos + 23, 2));
        e.size = le(pos + 25, 4);
        e.data_offset = pos + 29;
        if (e.data_offset + e.packed_size > archive.size())
            break;
        pos = e.data_offset + e.packed_size;
        entries.push_back(e);
    }
    return entries;
}

// ARC's run-length packing: runs of 3 to 255 bytes as byte 0x90 n, 0x90 as 0x90 0.
inline std::vector<uint8_t> arc_rle_pack(const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < data.size();) {
        const uint8_t b = data[i];
        size_t run = 1;
        while (i + run < data.size() && data[i + run] == b && run < 255)
            ++run;
        if (b == 0x90) {
            out.push_back(0x90); // 0x90 0 leaves the repeated byte alone: no runs of 0x90
            out.push_back(0);
            i += 1;
        } else if (run >= 3) {
            out.insert(out.end(), {b, 0x90, static_cast<uint8_t>(run)});
            i += run;
        } else {
            out.push_back(b);
            i += 1;
        }
    }
    return out;
}

// Old crunching of already run-length-packed (methods 6, 7) or raw (method 5)
// bytes: 12-bit codes, high bit first, the table slots chosen by the method's hash.
inline std::vector<uint8_t> arc_old_crunch(const std::vector<uint8_t>& data, bool fast_hash)
{
    constexpr unsigned size = 4096;
    constexpr unsigned none = 0xFFFF;
    struct slot {
        unsigned next = 0;
        bool used = false;
    };
    std::vector<slot> table(size);
    std::unordered_map<uint32_t, unsigned> code_of; // (parent << 8 | byte) -> slot
    unsigned free_slots = size;
    auto add = [&](unsigned parent, unsigned byte) {
        const unsigned key = (parent + byte) & 0xFFFF;
        unsigned index = 0;
        if (fast_hash) {
            index = (key * 15073u) % size;
        } else {
            const uint64_t k = key | 0x800;
            index = static_cast<unsigned>((k * k / 64) % size);
        }
        if (table[index].used) {
            while (table[index].next)
                index = table[index].next;
            unsigned next = (index + 101) % size;
            while (table[next].used)
                next = (next + 1) % size;
            table[index].next = next;
            index = next;
        }
        table[index].used = true;
        code_of[(parent << 8) | byte] = index;
        --free_slots;
    };
    for (unsigned b = 0; b < 256; ++b)
        add(none, b);

    std::vector<uint8_t> out;
    uint32_t bits = 0;
    unsigned nbits = 0;
    auto emit = [&](unsigned code) {
        bits = (bits << 12) | code;
        nbits += 12;
        while (nbits >= 8) {
            nbits -= 8;
            out.push_back(static_cast<uint8_t>(bits >> nbits));
        }
    };
    if (data.empty())
        return out;
    unsigned w = code_of.at((none << 8) | data[0]);
    for (size_t i = 1; i < data.size(); ++i) {
        const auto it = code_of.find((w << 8) | data[i]);
        if (it != code_of.end()) {
            w = it->second;
            continue;
        }
        emit(w);
        if (free_slots != 0)
            add(w, data[i]);
        w = code_of.at((none << 8) | data[i]);
    }
    emit(w);
    if (nbits > 0)
        out.push_back(static_cast<uint8_t>(bits << (8 - nbits)));
    return out;
}

// Methods 8 (max_bits 12, with the header byte) and 9 (max_bits 13): LZW as
// compress writes it, low bit first in groups of eight codes, with a clear
// code (the rest of its group padded out) after every `clear_every` codes
// when that is not 0. The caller packs method 8's input with arc_rle_pack.
inline std::vector<uint8_t> arc_lzw(const std::vector<uint8_t>& data, unsigned max_bits, unsigned clear_every)
{
    std::vector<uint8_t> out;
    if (max_bits == 12)
        out.push_back(12);
    if (data.empty())
        return out;
    const unsigned limit = 1u << max_bits;
    uint64_t bits = 0;
    unsigned nbits = 0;
    unsigned width = 9;
    unsigned in_group = 0; // codes written in the current group of eight
    size_t group_start = out.size();
    auto put_code = [&](unsigned code) {
        bits |= uint64_t{code} << nbits;
        nbits += width;
        while (nbits >= 8) {
            out.push_back(static_cast<uint8_t>(bits));
            bits >>= 8;
            nbits -= 8;
        }
        if (++in_group == 8) { // eight codes are `width` whole bytes
            in_group = 0;
            group_start = out.size();
        }
    };
    std::unordered_map<uint32_t, unsigned> dict;
    unsigned next_free = 257; // the decoder's next entry
    bool first_after_clear = true;
    unsigned since_clear = 0;
    unsigned w = data[0];
    for (size_t i = 1;; ++i) {
        if (i < data.size()) {
            const auto it = dict.find((w << 8) | data[i]);
            if (it != dict.end()) {
                w = it->second;
                continue;
            }
        }
        put_code(w);
        ++since_clear;
        // The decoder adds an entry for each code but the first after a
        // clear, and widens its codes when the next entry needs the bit.
        if (!first_after_clear && next_free < limit) {
            ++next_free;
            if (next_free == (1u << width) && width < max_bits)
                ++width;
        }
        first_after_clear = false;
        if (i >= data.size())
            break;
        if (clear_every != 0 && since_clear % clear_every == 0) {
            put_code(256);
            if (in_group != 0) { // pad the clear's group out to `width` bytes
                if (nbits > 0)
                    out.push_back(static_cast<uint8_t>(bits));
                bits = 0;
                nbits = 0;
                out.resize(group_start + width, 0);
                in_group = 0;
                group_start = out.size();
            }
            dict.clear();
            next_free = 257;
            width = 9;
            first_after_clear = true;
        } else if (next_free < limit) {
            dict[(w << 8) | data[i]] = next_free;
        }
        w = data[i];
    }
    if (nbits > 0)
        out.push_back(static_cast<uint8_t>(bits));
    return out;
}

} // namespace velmora::test

// Builds LZH archives byte by byte for the LZH tests: level-0 and level-1
// headers with a one-byte size, level-2 headers with extended headers.
#pragma once

#include "arj_lzh_listing.h"

namespace velmora::test::arj_lzh {

struct LzhExt {
    uint8_t type = 0;
    std::string data;
};

struct LzhEntry {
    uint8_t level = 0;
    std::string method = "lh5";
    uint32_t packed = 0, original = 0;
    uint32_t stamp = 0x526428C4;  // DOS words (levels 0, 1) or Unix time (level 2)
    std::string name = "f.txt";   // base header name (levels 0, 1)
    uint16_t crc = 0;
    std::vector<LzhExt> ext;      // extended headers (levels 1, 2)
};

struct LzhBytes {
    std::vector<uint8_t> bytes;
    // Where each header that a listing needs whole ends: the base header for
    // levels 0 and 1 (level 1's extended headers follow it), the whole header
    // for level 2.
    std::vector<size_t> header_ends;
};

inline void put_ext_chain(std::vector<uint8_t>& b, const std::vector<LzhExt>& ext)
{
    // Each header's size sits in front of it: in the base header for the
    // first, at the end of the one before for the others.
    for (const LzhExt& e : ext) {
        put16(b, static_cast<uint32_t>(e.data.size() + 3));
        put8(b, e.type);
        put_text(b, e.data);
    }
    put16(b, 0);
}

inline LzhBytes lzh_archive(const std::vector<LzhEntry>& entries, bool end_marker = true)
{
    LzhBytes out;
    auto& b = out.bytes;
    for (const LzhEntry& e : entries) {
        std::vector<uint8_t> h;
        put_text(h, "-" + e.method + "-");
        std::vector<uint8_t> ext;
        if (e.level == 1)
            for (const LzhExt& x : e.ext) {
                put8(ext, x.type);
                put_text(ext, x.data);
                put16(ext, 0);  // patched below: size of the next
            }
        if (e.level == 2) {
            put32(h, e.packed);
            put32(h, e.original);
            put32(h, e.stamp);
            put8(h, 0x20);
            put8(h, 2);
            put16(h, e.crc);
            put8(h, 'U');
            put_ext_chain(h, e.ext);
            const size_t size = h.size() + 2;
            put16(b, static_cast<uint32_t>(size));
        } else {
            // Level 1 counts its extended headers in the packed size.
            put32(h, e.packed + static_cast<uint32_t>(ext.size()));
            put32(h, e.original);
            put32(h, e.stamp);
            put8(h, 0x20);
            put8(h, e.level);
            put8(h, static_cast<uint32_t>(e.name.size()));
            put_text(h, e.name);
            put16(h, e.crc);
            if (e.level == 1) {
                put8(h, 'U');
                put16(h, e.ext.empty() ? 0 : static_cast<uint32_t>(e.ext[0].data.size() + 3));
                for (size_t i = 0, at = 0; i < e.ext.size(); ++i) {
                    at += e.ext[i].data.size() + 3;
                    const uint32_t next = i + 1 < e.ext.size() ? static_cast<uint32_t>(e.ext[i + 1].data.size() + 3) : 0;
                    ext[at - 2] = static_cast<uint8_t>(next);
                    ext[at - 1] = static_cast<uint8_t>(next >> 8);
                }
            }
            put8(b, static_cast<uint32_t>(h.size()));
            put8(b, 0);  // checksum, not checked
        }
        b.insert(b.end(), h.begin(), h.end());
        out.header_ends.push_back(b.size());
        b.insert(b.end(), ext.begin(), ext.end());
        if (e.packed < 0x10000)
            b.insert(b.end(), e.packed, 'x');
    }
    if (end_marker)
        put8(b, 0);
    return out;
}

} // namespace velmora::test::arj_lzh

// Builds ARJ archives byte by byte for the ARJ tests: a main header, local
// headers with chosen fields, and the end header.
#pragma once

#include "arj_lzh_listing.h"

namespace velmora::test::arj_lzh {

struct ArjLocal {
    uint8_t first_hdr_size = 30, version = 11, min_version = 1, host = 0, flags = 0, method = 1;
    uint32_t stamp = 0x526428C4;  // DOS words of 2021-03-04 05:06:08
    uint32_t packed = 0, original = 0, crc = 0;
    std::string name = "f.txt", comment;
    bool terminate_comment = true;
    std::vector<std::vector<uint8_t>> ext_headers;  // extended headers, each with its CRC; a zero size closes them
};

struct ArjBytes {
    std::vector<uint8_t> bytes;
    size_t main_end = 0;
    std::vector<size_t> header_ends;  // where each local header's data begins
};

inline ArjBytes arj_archive(const std::vector<ArjLocal>& entries, bool end_header = true)
{
    ArjBytes out;
    auto& b = out.bytes;
    std::vector<uint8_t> main = {30, 11, 1, 0, 0, 0, 2, 0};
    main.resize(30, 0);
    put_text(main, std::string("t.arj") + '\0' + '\0');
    put16(b, 0xEA60);
    put16(b, static_cast<uint32_t>(main.size()));
    b.insert(b.end(), main.begin(), main.end());
    put32(b, 0);
    put16(b, 0);
    out.main_end = b.size();

    for (const ArjLocal& e : entries) {
        std::vector<uint8_t> h = {e.first_hdr_size, e.version, e.min_version, e.host, e.flags, e.method, 0, 0};
        put32(h, e.stamp);
        put32(h, e.packed);
        put32(h, e.original);
        put32(h, e.crc);
        put16(h, 0);
        put16(h, 0x81A4);
        put16(h, 0);
        if (e.first_hdr_size >= 34)
            put32(h, 0x11223344);  // extended file position
        h.resize(std::max<size_t>(h.size(), e.first_hdr_size), 0x55);
        put_text(h, e.name + '\0' + e.comment);
        if (e.terminate_comment)
            put8(h, 0);
        put16(b, 0xEA60);
        put16(b, static_cast<uint32_t>(h.size()));
        b.insert(b.end(), h.begin(), h.end());
        if (!e.terminate_comment)
            continue;
        put32(b, 0);
        for (const auto& x : e.ext_headers) {
            put16(b, static_cast<uint32_t>(x.size()));
            b.insert(b.end(), x.begin(), x.end());
            put32(b, 0);
        }
        put16(b, 0);
        out.header_ends.push_back(b.size());
        if (e.packed < 0x10000)
            b.insert(b.end(), e.packed, 'x');
    }
    if (end_header) {
        put16(b, 0xEA60);
        put16(b, 0);
    }
    return out;
}

} // namespace velmora::test::arj_lzh

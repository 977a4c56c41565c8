// Minimal ZIP plumbing for codec tests: the entries of an archive (through the
// central directory) with their raw stored bytes, and a writer of archives
// whose entries carry streams made by a test encoder, so peers such as
// Info-ZIP unzip can check them. Not a reader: no ZIP64, no encryption.
#pragma once

#include "archive/ByteFields.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>
#include <zlib.h>

namespace velmora::test {

struct raw_zip_entry {
    std::string name;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint32_t crc = 0;
    uint32_t compressed_size = 0;
    uint32_t size = 0;
    std::vector<uint8_t> stored;   // the raw method data
};

// Central directory: sig(4) made(2) need(2) flags(2) method(2) time(2) date(2) crc(4) csize(4) usize(4)
//                    nlen(2) xlen(2) clen(2) disk(2) iattr(2) eattr(4) offset(4)
// Local header:      sig(4) need(2) flags(2) method(2) time(2) date(2) crc(4) csize(4) usize(4) nlen(2) xlen(2)
inline std::vector<raw_zip_entry> raw_zip_entries(std::span<const uint8_t> zip)
{
    std::vector<raw_zip_entry> out;
    if (zip.size() < 22)
        return out;
    size_t eocd = zip.size() - 22;
    while (eocd > 0 && field_le32(zip, eocd).value_or(0) != 0x06054B50u)
        --eocd;
    const uint16_t count = field_le16(zip, eocd + 10).value_or(0);
    size_t cd = field_le32(zip, eocd + 16).value_or(0);
    for (uint16_t i = 0; i < count; ++i) {
        if (field_le32(zip, cd).value_or(0) != 0x02014B50u)
            break;
        raw_zip_entry e;
        e.flags = field_le16(zip, cd + 8).value_or(0);
        e.method = field_le16(zip, cd + 10).value_or(0);
        e.crc = field_le32(zip, cd + 16).value_or(0);
        e.compressed_size = field_le32(zip, cd + 20).value_or(0);
        e.size = field_le32(zip, cd + 24).value_or(0);
        const uint16_t nlen = field_le16(zip, cd + 28).value_or(0);
        const size_t next = cd + 46 + nlen + field_le16(zip, cd + 30).value_or(0) + field_le16(zip, cd + 32).value_or(0);
        if (cd + 46 + nlen > zip.size())
            break;
        e.name.assign(reinterpret_cast<const char*>(zip.data() + cd + 46), nlen);
        const size_t local = field_le32(zip, cd + 42).value_or(0);
        const size_t data = local + 30 + field_le16(zip, local + 26).value_or(0) + field_le16(zip, local + 28).value_or(0);
        if (data <= zip.size() && zip.size() - data >= e.compressed_size)
            e.stored.assign(zip.begin() + static_cast<std::ptrdiff_t>(data),
                            zip.begin() + static_cast<std::ptrdiff_t>(data + e.compressed_size));
        out.push_back(std::move(e));
        cd = next;
    }
    return out;
}

inline uint32_t crc32_of(std::span<const uint8_t> data)
{
    return static_cast<uint32_t>(::crc32(0, data.data(), static_cast<uInt>(data.size())));
}

// Bytes against a tool's output captured as text (char may be signed).
inline bool same_bytes(std::span<const uint8_t> bytes, const std::string& text)
{
    return bytes.size() == text.size() &&
           std::equal(bytes.begin(), bytes.end(), text.begin(), [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
}

struct raw_zip_new_entry {
    std::string name;
    uint16_t method = 0;
    uint16_t flags = 0;
    std::vector<uint8_t> stored;   // method data as the test encoder made it
    std::vector<uint8_t> content;  // what it expands to (for CRC and size)
};

// One archive from the given entries: version 1.0, DOS host, a fixed date.
inline std::vector<uint8_t> make_raw_zip(const std::vector<raw_zip_new_entry>& entries)
{
    std::vector<uint8_t> zip, central;
    const auto put16 = [](std::vector<uint8_t>& v, unsigned x) {
        v.push_back(static_cast<uint8_t>(x));
        v.push_back(static_cast<uint8_t>(x >> 8));
    };
    const auto put32 = [&](std::vector<uint8_t>& v, uint32_t x) {
        put16(v, x & 0xFFFF);
        put16(v, x >> 16);
    };
    for (const auto& e : entries) {
        const uint32_t offset = static_cast<uint32_t>(zip.size());
        const uint32_t crc = crc32_of(e.content);
        put32(zip, 0x04034B50u);
        put16(zip, 10);
        put16(zip, e.flags);
        put16(zip, e.method);
        put16(zip, 0);        // time
        put16(zip, 0x5021);   // 2020-01-01
        put32(zip, crc);
        put32(zip, static_cast<uint32_t>(e.stored.size()));
        put32(zip, static_cast<uint32_t>(e.content.size()));
        put16(zip, static_cast<unsigned>(e.name.size()));
        put16(zip, 0);
        zip.insert(zip.end(), e.name.begin(), e.name.end());
        zip.insert(zip.end(), e.stored.begin(), e.stored.end());

        put32(central, 0x02014B50u);
        put16(central, 10);
        put16(central, 10);
        put16(central, e.flags);
        put16(central, e.method);
        put16(central, 0);
        put16(central, 0x5021);
        put32(central, crc);
        put32(central, static_cast<uint32_t>(e.stored.size()));
        put32(central, static_cast<uint32_t>(e.content.size()));
        put16(central, static_cast<unsigned>(e.name.size()));
        for (int i = 0; i < 4; ++i)
            put16(central, 0);   // extra, comment, disk, internal attributes
        put32(central, 0);
        put32(central, offset);
        central.insert(central.end(), e.name.begin(), e.name.end());
    }
    const uint32_t cd_offset = static_cast<uint32_t>(zip.size());
    zip.insert(zip.end(), central.begin(), central.end());
    put32(zip, 0x06054B50u);
    put16(zip, 0);
    put16(zip, 0);
    put16(zip, static_cast<unsigned>(entries.size()));
    put16(zip, static_cast<unsigned>(entries.size()));
    put32(zip, static_cast<uint32_t>(central.size()));
    put32(zip, cd_offset);
    put16(zip, 0);
    return zip;
}

} // namespace velmora::test

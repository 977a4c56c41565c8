// Builds small ZIP archives in memory for the reader tests: local headers with
// stored data, a central directory and an end record, with every field open to
// the test. Writes the layout of PKWARE APPNOTE 4.3.7, 4.3.12 and 4.3.16.
#pragma once

#include "archive/Cls_CRC32.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Tests name only the fields they care about in designated initializers; the
// rest keep their defaults on purpose.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif

namespace velmora::test {

struct ZipTestEntry {
    std::string name;
    std::string data;            // stored as is
    uint16_t made_by = 0x0314;   // UNIX, 2.0
    uint16_t needed = 0x0014;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint16_t time = 0x6B4F;      // 13:26:30
    uint16_t date = 0x5A21;      // 2025-01-01
    std::optional<uint32_t> crc; // CRC-32 of data when unset
    std::optional<uint32_t> compressed_size;
    std::optional<uint32_t> uncompressed_size;
    uint32_t external_attributes = 0x81A40000;
    std::string extra;           // central header extra field
    std::string comment;
    // Local header sizes as a writer with bit 3 leaves them: zero, with a
    // data descriptor after the data.
    bool data_descriptor = false;
};

struct ZipTestLayout {
    std::vector<uint32_t> local_offsets;
    uint32_t central_offset = 0;
    std::vector<uint32_t> central_record_offsets;
    uint32_t end_offset = 0;
};

struct ZipTestOptions {
    std::string archive_comment;
    std::optional<uint16_t> disk_entries;      // the count the end record gives
    std::optional<uint32_t> central_offset;    // the offset the end record gives
    std::string leading;                        // bytes before the first local header
    std::string between;                        // bytes after the last entry's data
};

inline void put16(std::vector<uint8_t>& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

inline void put32(std::vector<uint8_t>& out, uint32_t v)
{
    put16(out, static_cast<uint16_t>(v));
    put16(out, static_cast<uint16_t>(v >> 16));
}

inline void put_text(std::vector<uint8_t>& out, const std::string& s) { out.insert(out.end(), s.begin(), s.end()); }

inline uint32_t crc_of(const std::string& s)
{
    return crc32_update(0, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
}

inline std::vector<uint8_t> build_zip(const std::vector<ZipTestEntry>& entries, const ZipTestOptions& opt = {},
                                      ZipTestLayout* layout = nullptr)
{
    ZipTestLayout lay;
    std::vector<uint8_t> out;
    put_text(out, opt.leading);
    for (const ZipTestEntry& e : entries) {
        const uint32_t crc = e.crc.value_or(crc_of(e.data));
        const uint32_t csize = e.compressed_size.value_or(static_cast<uint32_t>(e.data.size()));
        const uint32_t usize = e.uncompressed_size.value_or(static_cast<uint32_t>(e.data.size()));
        lay.local_offsets.push_back(static_cast<uint32_t>(out.size()));
        put32(out, 0x04034B50);
        put16(out, e.needed);
        put16(out, e.flags);
        put16(out, e.method);
        put16(out, e.time);
        put16(out, e.date);
        put32(out, e.data_descriptor ? 0 : crc);
        put32(out, e.data_descriptor ? 0 : csize);
        put32(out, e.data_descriptor ? 0 : usize);
        put16(out, static_cast<uint16_t>(e.name.size()));
        put16(out, 0);
        put_text(out, e.name);
        put_text(out, e.data);
        if (e.data_descriptor) {
            put32(out, 0x08074B50);
            put32(out, crc);
            put32(out, csize);
            put32(out, usize);
        }
    }
    put_text(out, opt.between);
    lay.central_offset = static_cast<uint32_t>(out.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const ZipTestEntry& e = entries[i];
        lay.central_record_offsets.push_back(static_cast<uint32_t>(out.size()));
        put32(out, 0x02014B50);
        put16(out, e.made_by);
        put16(out, e.needed);
        put16(out, e.flags);
        put16(out, e.method);
        put16(out, e.time);
        put16(out, e.date);
        put32(out, e.crc.value_or(crc_of(e.data)));
        put32(out, e.compressed_size.value_or(static_cast<uint32_t>(e.data.size())));
        put32(out, e.uncompressed_size.value_or(static_cast<uint32_t>(e.data.size())));
        put16(out, static_cast<uint16_t>(e.name.size()));
        put16(out, static_cast<uint16_t>(e.extra.size()));
        put16(out, static_cast<uint16_t>(e.comment.size()));
        put16(out, 0);
        put16(out, 0);
        put32(out, e.external_attributes);
        put32(out, lay.local_offsets[i]);
        put_text(out, e.name);
        put_text(out, e.extra);
        put_text(out, e.comment);
    }
    lay.end_offset = static_cast<uint32_t>(out.size());
    const auto count = static_cast<uint16_t>(entries.size());
    put32(out, 0x06054B50);
    put16(out, 0);
    put16(out, 0);
    put16(out, opt.disk_entries.value_or(count));
    put16(out, count);
    put32(out, lay.end_offset - lay.central_offset);
    put32(out, opt.central_offset.value_or(lay.central_offset));
    put16(out, static_cast<uint16_t>(opt.archive_comment.size()));
    put_text(out, opt.archive_comment);
    if (layout)
        *layout = lay;
    return out;
}

// An Info-ZIP Unicode Path extra block (tag 0x7075, version 1) for a name
// whose stored bytes have CRC-32 name_crc.
inline std::string unicode_path_block(uint32_t name_crc, const std::string& utf8_name)
{
    std::vector<uint8_t> b;
    put16(b, 0x7075);
    put16(b, static_cast<uint16_t>(5 + utf8_name.size()));
    b.push_back(1);
    put32(b, name_crc);
    put_text(b, utf8_name);
    return std::string(b.begin(), b.end());
}

} // namespace velmora::test

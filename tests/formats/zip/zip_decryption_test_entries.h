// Test-only ZIP walker for the decryption tests: the central directory gives
// flags, method, DOS time, CRC and sizes (which entries with a data descriptor
// leave as zero in their local header), the local header gives where the
// stored bytes start. PKWARE APPNOTE 4.3.7, 4.3.12, 4.3.16. Small archives only.
#pragma once

#include "archive/ByteFields.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace velmora::test {

struct zip_test_entry {
    std::string name;
    uint16_t flags = 0, method = 0, dos_time = 0;
    uint32_t crc = 0, csize = 0, usize = 0;
    std::vector<uint8_t> stored;   // the entry's bytes as stored (encrypted)
};

// End of central directory: sig(4) disk(2) cd_disk(2) n_here(2) n(2) cd_size(4) cd_offset(4) clen(2)
// Central header: sig(4) made(2) need(2) flags(2) method(2) time(2) date(2) crc(4) csize(4) usize(4)
//                 nlen(2) xlen(2) clen(2) disk(2) iattr(2) eattr(4) offset(4)
// Local header:   sig(4) ver(2) flags(2) method(2) time(2) date(2) crc(4) csize(4) usize(4) nlen(2) xlen(2)
inline std::vector<zip_test_entry> zip_test_entries(const std::vector<uint8_t>& zip)
{
    std::vector<zip_test_entry> out;
    const std::span<const uint8_t> all(zip);
    if (zip.size() < 22)
        return out;
    size_t eocd = zip.size() - 22;
    while (eocd > 0 && field_le32(all, eocd).value_or(0) != 0x06054B50u)
        --eocd;
    const uint16_t count = field_le16(all, eocd + 10).value_or(0);
    size_t at = field_le32(all, eocd + 16).value_or(0);
    for (uint16_t i = 0; i < count; ++i) {
        if (field_le32(all, at).value_or(0) != 0x02014B50u)
            break;
        zip_test_entry e;
        e.flags = field_le16(all, at + 8).value_or(0);
        e.method = field_le16(all, at + 10).value_or(0);
        e.dos_time = field_le16(all, at + 12).value_or(0);
        e.crc = field_le32(all, at + 16).value_or(0);
        e.csize = field_le32(all, at + 20).value_or(0);
        e.usize = field_le32(all, at + 24).value_or(0);
        const uint16_t nlen = field_le16(all, at + 28).value_or(0);
        const uint16_t xlen = field_le16(all, at + 30).value_or(0);
        const uint16_t clen = field_le16(all, at + 32).value_or(0);
        const uint32_t local = field_le32(all, at + 42).value_or(0);
        if (at + 46 + nlen <= zip.size())
            e.name.assign(zip.begin() + static_cast<std::ptrdiff_t>(at + 46),
                          zip.begin() + static_cast<std::ptrdiff_t>(at + 46 + nlen));
        const size_t data = local + 30 + field_le16(all, local + 26).value_or(0) + field_le16(all, local + 28).value_or(0);
        if (data + e.csize <= zip.size())
            e.stored.assign(zip.begin() + static_cast<std::ptrdiff_t>(data),
                            zip.begin() + static_cast<std::ptrdiff_t>(data + e.csize));
        out.push_back(std::move(e));
        at += 46 + nlen + xlen + clen;
    }
    return out;
}

} // namespace velmora::test

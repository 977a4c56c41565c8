// Minimal LZH (header levels 0-3) and ARJ walkers for the decoder tests: each
// entry's method, the place and size of its stored data, its size and CRC.
// Only what the tests need; names are joined from the level-2 folder and
// name records, every separator ('\\', 0xFF) written '/'. A damaged
// archive ends the walk.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codecs/ArjDecoder.h"
#include "codecs/ArjGarble.h"
#include "codecs/ByteStream.h"
#include "codecs/LhaDecoder.h"
#include "StreamTestSupport.h"

namespace velmora::test {
// Its own inline namespace: other helper headers define types of the same
// names, and one test program may link both.
inline namespace lha_arj_archives {

struct decode_result {
    DecodeStatus status = DecodeStatus::ok;
    std::vector<uint8_t> bytes;
};

struct lzh_member {
    std::string name;
    std::string method; // "lh5"
    uint64_t data_offset = 0;
    uint64_t packed_size = 0;
    uint64_t size = 0;
    uint16_t crc16 = 0;
    int level = 0;
};

namespace detail {
inline uint32_t le16(std::span<const uint8_t> b, size_t at) { return b[at] | (b[at + 1] << 8); }
inline uint32_t le32(std::span<const uint8_t> b, size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t{b[at + 3]} << 24);
}
} // namespace detail

// Walks the headers from the start (or from the first "-l??-" id, for
// self-extracting files).
inline std::vector<lzh_member> list_lzh(std::span<const uint8_t> a)
{
    using detail::le16;
    using detail::le32;
    std::vector<lzh_member> out;
    size_t p = 0;
    while (p + 22 <= a.size() && !(a[p + 2] == '-' && a[p + 3] == 'l' && a[p + 6] == '-')) ++p;
    while (p + 22 <= a.size() && a[p] != 0) {
        lzh_member m;
        m.method.assign(reinterpret_cast<const char*>(&a[p + 3]), 3);
        m.packed_size = le32(a, p + 7);
        m.size = le32(a, p + 11);
        m.level = a[p + 20];
        std::string folder;
        size_t ext = 0, ext_size = 0, data = 0;
        if (m.level == 0 || m.level == 1) {
            const size_t hsize = a[p] + 2u;
            const size_t nlen = a[p + 21];
            if (p + 24 + nlen > a.size()) break;
            m.name.assign(reinterpret_cast<const char*>(&a[p + 22]), nlen);
            m.crc16 = static_cast<uint16_t>(le16(a, p + 22 + nlen));
            data = p + hsize;
            if (m.level == 1) {
                ext = data - 2;
                ext_size = le16(a, ext);
            }
        } else if (m.level == 2) {
            m.crc16 = static_cast<uint16_t>(le16(a, p + 21));
            data = p + le16(a, p);
            ext = p + 24;
            ext_size = le16(a, ext);
        } else if (m.level == 3) {
            m.crc16 = static_cast<uint16_t>(le16(a, p + 21));
            data = p + le32(a, p + 24);
            ext = p + 28;
            ext_size = le32(a, ext);
        } else {
            break;
        }
        // Extended headers: type, contents, size of the next one.
        const size_t size_field = m.level == 3 ? 4 : 2;
        size_t q = ext + size_field;
        while (ext != 0 && ext_size != 0) {
            if (ext_size < 1 + size_field || q + ext_size - size_field > a.size()) return out;
            const uint8_t type = a[q];
            const std::string body(reinterpret_cast<const char*>(&a[q + 1]), ext_size - 1 - size_field);
            if (type == 0x01) m.name = body;
            if (type == 0x02) {
                folder = body;
                for (char& c : folder)
                    if (static_cast<uint8_t>(c) == 0xFF) c = '/';
                if (!folder.empty() && folder.back() != '/') folder += '/';
            }
            const size_t next = q + ext_size - size_field;
            if (m.level == 1) {
                data += ext_size;
                m.packed_size -= ext_size;
            }
            ext_size = size_field == 4 ? le32(a, next) : le16(a, next);
            q = next + size_field;
            // LHa for OS-9 writes a level-2 header size 2 short of its
            // extended headers; the data follows the last of them.
            if (m.level == 2 && ext_size == 0) data = std::max(data, q);
        }
        m.name = folder + m.name;
        for (char& c : m.name)
            if (c == '\\' || static_cast<uint8_t>(c) == 0xFF) c = '/';
        m.data_offset = data;
        if (data + m.packed_size > a.size()) break;
        out.push_back(m);
        p = data + m.packed_size;
    }
    return out;
}

struct arj_member {
    std::string name;
    uint8_t method = 0;
    uint8_t flags = 0;
    uint8_t file_type = 0;
    uint8_t modifier = 0; // garble password modifier
    uint64_t data_offset = 0;
    uint64_t packed_size = 0;
    uint64_t size = 0;
    uint32_t crc32 = 0;
};

inline std::vector<arj_member> list_arj(std::span<const uint8_t> a)
{
    using detail::le16;
    using detail::le32;
    std::vector<arj_member> out;
    // Header: id 0x60 0xEA, basic size, the basic header, CRC-32, then
    // extended headers (size, data, CRC-32) up to a size of 0.
    auto skip_header = [&](size_t p, size_t& body, size_t& basic) -> size_t {
        if (p + 4 > a.size() || a[p] != 0x60 || a[p + 1] != 0xEA) return 0;
        basic = le16(a, p + 2);
        body = p + 4;
        if (basic == 0) return p + 4;
        size_t q = body + basic + 4;
        while (q + 2 <= a.size()) {
            const size_t e = le16(a, q);
            q += 2;
            if (e == 0) return q;
            q += e + 4;
        }
        return 0;
    };
    size_t body = 0, basic = 0;
    size_t p = skip_header(0, body, basic);
    while (p != 0) {
        const size_t next = skip_header(p, body, basic);
        if (next == 0 || basic == 0 || body + 30 > a.size()) break;
        arj_member m;
        const size_t first = a[body];
        m.flags = a[body + 4];
        m.method = a[body + 5];
        m.file_type = a[body + 6];
        m.modifier = a[body + 7];
        m.packed_size = le32(a, body + 12);
        m.size = le32(a, body + 16);
        m.crc32 = le32(a, body + 20);
        for (size_t q = body + first; q < body + basic && a[q] != 0; ++q) m.name += static_cast<char>(a[q]);
        m.data_offset = next;
        if (next + m.packed_size > a.size()) break;
        out.push_back(m);
        p = next + m.packed_size;
    }
    return out;
}

// Decodes one member's stored data, handed over `piece` bytes at a time.
inline decode_result decode_lzh_member(std::span<const uint8_t> archive, const lzh_member& m,
                                       size_t piece = SIZE_MAX)
{
    decode_result r;
    const auto method = lha_method_from_id(m.method);
    if (!method) {
        r.status = DecodeStatus::unsupported;
        return r;
    }
    chunked_source src(archive.subspan(m.data_offset, m.packed_size), piece);
    VectorSink sink(r.bytes);
    r.status = LhaDecoder(*method).decode(src, sink, m.size);
    return r;
}

// The same for ARJ; a garbled member is unscrambled with `password`.
inline decode_result decode_arj_member(std::span<const uint8_t> archive, const arj_member& m,
                                       std::string_view password = {}, size_t piece = SIZE_MAX)
{
    decode_result r;
    chunked_source src(archive.subspan(m.data_offset, m.packed_size), piece);
    const std::span<const uint8_t> pw(reinterpret_cast<const uint8_t*>(password.data()), password.size());
    ArjGarble garbled(src, (m.flags & 0x01) ? pw : std::span<const uint8_t>{}, m.modifier);
    VectorSink sink(r.bytes);
    r.status = ArjDecoder(m.method).decode(garbled, sink, m.size);
    return r;
}

} // namespace lha_arj_archives
} // namespace velmora::test

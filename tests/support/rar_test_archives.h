// Building blocks for hand-made RAR test data: a high-bit-first bit writer,
// complete canonical codes for a chosen set of symbols, RAR 1.5-4.x archive
// framing (marker, main header, file headers with their CRCs) so that a
// hand-made stream can be handed to unar as well as to our decoder, and RAR 5
// blocks (vints, header CRC-32, extra records).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/Cls_CRC32.h"

namespace velmora::test {

class msb_bit_writer {
public:
    void put(uint32_t value, unsigned n)
    {
        for (unsigned i = n; i-- > 0;) {
            cur_ = static_cast<uint8_t>((cur_ << 1) | ((value >> i) & 1));
            if (++nbits_ == 8) {
                bytes_.push_back(cur_);
                cur_ = 0;
                nbits_ = 0;
            }
        }
    }
    size_t bit_count() const { return bytes_.size() * 8 + nbits_; }
    // The bytes so far, a partial last byte padded with zero bits.
    std::vector<uint8_t> finish() const
    {
        std::vector<uint8_t> out = bytes_;
        if (nbits_)
            out.push_back(static_cast<uint8_t>(cur_ << (8 - nbits_)));
        return out;
    }

private:
    std::vector<uint8_t> bytes_;
    uint8_t cur_ = 0;
    unsigned nbits_ = 0;
};

// A complete prefix code over the symbols in `used` (at least two), the
// others unused: lengths k-1 and k as a balanced tree gives them.
inline std::vector<uint8_t> complete_lengths(const std::vector<unsigned>& used, unsigned num_symbols)
{
    std::vector<uint8_t> lens(num_symbols, 0);
    const size_t n = used.size();
    unsigned k = 1;
    while ((size_t{1} << k) < n)
        ++k;
    const size_t shorter = (size_t{1} << k) - n;  // these take length k - 1
    for (size_t i = 0; i < n; ++i)
        lens[used[i]] = static_cast<uint8_t>(i < shorter ? k - 1 : k);
    return lens;
}

// Canonical codes for code lengths, as the RAR decoders assign them: by
// length, then by symbol.
struct canonical_code {
    std::vector<uint8_t> lens;
    std::vector<uint32_t> codes;
    explicit canonical_code(std::vector<uint8_t> l) : lens(std::move(l)), codes(lens.size(), 0)
    {
        uint32_t code = 0;
        for (unsigned len = 1; len <= 15; ++len) {
            for (size_t s = 0; s < lens.size(); ++s)
                if (lens[s] == len)
                    codes[s] = code++;
            code <<= 1;
        }
    }
    void put(msb_bit_writer& w, unsigned sym) const { w.put(codes.at(sym), lens.at(sym)); }
};

// RAR 1.5-4.x framing. HEAD_CRC is the low half of the CRC-32 of the header
// from HEAD_TYPE on.
struct rar4_file_spec {
    std::string name;
    std::vector<uint8_t> packed;
    uint32_t unp_size = 0;
    uint32_t crc = 0;
    uint8_t unp_ver = 20;
    uint8_t method = '3';
    uint16_t flags = 0x0080;  // dictionary 1 MiB; add 0x0010 for solid
};

inline void put_le(std::vector<uint8_t>& v, uint64_t x, unsigned n)
{
    for (unsigned i = 0; i < n; ++i)
        v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

inline void seal_rar4_header(std::vector<uint8_t>& out, size_t start)
{
    const size_t size = out.size() - start;
    out[start + 5] = static_cast<uint8_t>(size);
    out[start + 6] = static_cast<uint8_t>(size >> 8);
    const uint32_t crc = crc32_update(0, std::span<const uint8_t>(out.data() + start + 2, size - 2));
    out[start] = static_cast<uint8_t>(crc);
    out[start + 1] = static_cast<uint8_t>(crc >> 8);
}

inline std::vector<uint8_t> make_rar4_archive(const std::vector<rar4_file_spec>& files, uint16_t main_flags = 0)
{
    std::vector<uint8_t> out = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
    size_t h = out.size();
    out.insert(out.end(), {0, 0, 0x73});
    put_le(out, main_flags, 2);
    put_le(out, 0, 2);
    put_le(out, 0, 6);
    seal_rar4_header(out, h);
    for (const auto& f : files) {
        h = out.size();
        out.insert(out.end(), {0, 0, 0x74});
        put_le(out, 0x8000u | f.flags, 2);
        put_le(out, 0, 2);
        put_le(out, f.packed.size(), 4);
        put_le(out, f.unp_size, 4);
        out.push_back(0);              // HOST_OS: MS-DOS
        put_le(out, f.crc, 4);
        put_le(out, 0x5A210000, 4);   // FTIME: 2025-01-01 00:00
        out.push_back(f.unp_ver);
        out.push_back(f.method);
        put_le(out, f.name.size(), 2);
        put_le(out, 0x20, 4);          // ATTR: archive
        out.insert(out.end(), f.name.begin(), f.name.end());
        seal_rar4_header(out, h);
        out.insert(out.end(), f.packed.begin(), f.packed.end());
    }
    h = out.size();
    out.insert(out.end(), {0, 0, 0x7B, 0x00, 0x40, 0, 0});
    seal_rar4_header(out, h);
    return out;
}

} // namespace velmora::test

namespace velmora::test {

// RAR 5 framing: vints, and blocks with their header CRC-32 and size field.
inline void put_vint(std::vector<uint8_t>& v, uint64_t x)
{
    do {
        uint8_t b = x & 0x7F;
        x >>= 7;
        if (x)
            b |= 0x80;
        v.push_back(b);
    } while (x);
}

inline std::vector<uint8_t> rar5_signature_bytes() { return {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00}; }

// A block: header CRC-32, size vint, type, flags (extra and data flags added
// as needed), extra size, data size, the type's fields, the extra area; then
// the data area.
inline std::vector<uint8_t> rar5_block(uint64_t type, uint64_t flags, const std::vector<uint8_t>& fields,
                                       const std::vector<uint8_t>& extra = {}, const std::vector<uint8_t>& data = {},
                                       bool data_flag = false)
{
    std::vector<uint8_t> body;
    put_vint(body, type);
    if (!extra.empty())
        flags |= 0x0001;
    if (!data.empty() || data_flag)
        flags |= 0x0002;
    put_vint(body, flags);
    if (flags & 0x0001)
        put_vint(body, extra.size());
    if (flags & 0x0002)
        put_vint(body, data.size());
    body.insert(body.end(), fields.begin(), fields.end());
    body.insert(body.end(), extra.begin(), extra.end());
    std::vector<uint8_t> covered;
    put_vint(covered, body.size());
    covered.insert(covered.end(), body.begin(), body.end());
    std::vector<uint8_t> out;
    put_le(out, crc32_update(0, covered), 4);
    out.insert(out.end(), covered.begin(), covered.end());
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// File or service header fields: file flags, unpacked size, attributes,
// [mtime], [crc], compression information, host OS, name.
struct rar5_file_fields {
    uint64_t file_flags = 0;
    uint64_t unpacked_size = 0;
    uint64_t attributes = 0x20;
    std::optional<uint32_t> mtime;
    std::optional<uint32_t> crc;
    uint64_t compression_info = 0;
    uint64_t host = 0;
    std::string name;

    std::vector<uint8_t> bytes() const
    {
        std::vector<uint8_t> f;
        put_vint(f, file_flags | (mtime ? 0x2 : 0) | (crc ? 0x4 : 0));
        put_vint(f, unpacked_size);
        put_vint(f, attributes);
        if (mtime)
            put_le(f, *mtime, 4);
        if (crc)
            put_le(f, *crc, 4);
        put_vint(f, compression_info);
        put_vint(f, host);
        put_vint(f, name.size());
        f.insert(f.end(), name.begin(), name.end());
        return f;
    }
};

// An extra record: size, type, data.
inline std::vector<uint8_t> rar5_extra_record(uint64_t type, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> t;
    put_vint(t, type);
    std::vector<uint8_t> out;
    put_vint(out, t.size() + data.size());
    out.insert(out.end(), t.begin(), t.end());
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

inline std::vector<uint8_t> rar5_main_block(uint64_t archive_flags = 0)
{
    std::vector<uint8_t> f;
    put_vint(f, archive_flags);
    return rar5_block(1, 0, f);
}

inline std::vector<uint8_t> rar5_end_block(uint64_t end_flags = 0)
{
    std::vector<uint8_t> f;
    put_vint(f, end_flags);
    return rar5_block(5, 0, f);
}

} // namespace velmora::test

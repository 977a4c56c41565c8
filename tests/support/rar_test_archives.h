// Building blocks for hand-made RAR test data: a high-bit-first bit writer,
// complete canonical codes for a chosen set of symbols, and RAR 1.5-4.x
// archive framing (marker, main header, file headers with their CRCs) so
// that a hand-made stream can be handed to unar as well as to our decoder.
#pragma once

#include <algorithm>
#include <cstdint>
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

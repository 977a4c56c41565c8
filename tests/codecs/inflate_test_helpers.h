// Test-only tools for the Inflate tests: a bit writer with the Huffman code
// helpers needed to hand-build Deflate and Deflate64 streams, zlib wrappers,
// a ZIP directory walker, and a plain model of the decoder's documented
// behaviour (one bit at a time, probe-by-length tables, byte-wise copies) to
// compare the fast decoder with on any input.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmora::test {

// ---- writing streams -------------------------------------------------------

class bit_writer {
public:
    // Fields are packed least significant bit first (RFC 1951, 3.1.1).
    void put_bits(uint32_t value, unsigned count)
    {
        for (unsigned i = 0; i < count; ++i) put_bit((value >> i) & 1);
    }
    // Huffman codes go most significant bit first.
    void put_code(uint32_t code, unsigned len)
    {
        for (unsigned i = len; i-- > 0;) put_bit((code >> i) & 1);
    }
    void align() { nbits_ = 0; }
    void put_byte(uint8_t b)
    {
        align();
        bytes_.push_back(b);
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    void put_bit(uint32_t bit)
    {
        if (nbits_ == 0) bytes_.push_back(0);
        bytes_.back() |= static_cast<uint8_t>(bit << nbits_);
        nbits_ = (nbits_ + 1) & 7;
    }
    std::vector<uint8_t> bytes_;
    unsigned nbits_ = 0;
};

// Canonical codes for a list of code lengths (RFC 1951, 3.2.2).
inline std::vector<uint32_t> canonical_codes(const std::vector<uint8_t>& lens)
{
    std::array<uint32_t, 17> count{}, next{};
    for (uint8_t l : lens) ++count[l];
    count[0] = 0;
    uint32_t code = 0;
    for (unsigned len = 1; len <= 16; ++len) {
        code = (code + count[len - 1]) << 1;
        next[len] = code;
    }
    std::vector<uint32_t> codes(lens.size());
    for (size_t s = 0; s < lens.size(); ++s)
        if (lens[s]) codes[s] = next[lens[s]]++;
    return codes;
}

inline std::vector<uint8_t> fixed_litlen_lens()
{
    std::vector<uint8_t> lens(288);
    std::fill(lens.begin(), lens.begin() + 144, 8);
    std::fill(lens.begin() + 144, lens.begin() + 256, 9);
    std::fill(lens.begin() + 256, lens.begin() + 280, 7);
    std::fill(lens.begin() + 280, lens.end(), 8);
    return lens;
}

// A Huffman code given by its lengths, for writing symbols.
struct huffman_code {
    std::vector<uint8_t> lens;
    std::vector<uint32_t> codes;
    explicit huffman_code(std::vector<uint8_t> l) : lens(std::move(l)), codes(canonical_codes(lens)) {}
    void put(bit_writer& w, unsigned sym) const { w.put_code(codes.at(sym), lens.at(sym)); }
};

inline const huffman_code& fixed_litlen()
{
    static const huffman_code c(fixed_litlen_lens());
    return c;
}
inline const huffman_code& fixed_dist()
{
    static const huffman_code c(std::vector<uint8_t>(32, 5));
    return c;
}

// One code-length instruction of a dynamic header: a symbol 0..18 and the
// value of its extra bits (16: 2 bits, 17: 3 bits, 18: 7 bits).
struct precode_op {
    unsigned sym;
    unsigned extra = 0;
};

// Writes HLIT, HDIST, HCLEN, the 19 code-length code lengths (in the RFC's
// order, all sent) and the given instructions, coded with a fixed complete
// code-length code (symbols 0..12 four bits, 13..18 five bits) unless one is given.
inline void put_dynamic_header(bit_writer& w, unsigned hlit, unsigned hdist, const std::vector<precode_op>& ops,
                               std::optional<std::vector<uint8_t>> precode_lens = std::nullopt, unsigned hclen = 19)
{
    static constexpr std::array<uint8_t, 19> order = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    std::vector<uint8_t> pl(19);
    if (precode_lens) {
        pl = *precode_lens;
    } else {
        for (unsigned s = 0; s < 19; ++s) pl[s] = s <= 12 ? 4 : 5;
    }
    w.put_bits(hlit - 257, 5);
    w.put_bits(hdist - 1, 5);
    w.put_bits(hclen - 4, 4);
    for (unsigned i = 0; i < hclen; ++i) w.put_bits(pl[order[i]], 3);
    const huffman_code pc(pl);
    for (const auto& op : ops) {
        pc.put(w, op.sym);
        if (op.sym == 16) w.put_bits(op.extra, 2);
        if (op.sym == 17) w.put_bits(op.extra, 3);
        if (op.sym == 18) w.put_bits(op.extra, 7);
    }
}

// Instructions that send the given lengths one by one.
inline std::vector<precode_op> literal_ops(const std::vector<uint8_t>& lens)
{
    std::vector<precode_op> ops;
    for (uint8_t l : lens) ops.push_back({l});
    return ops;
}

// ---- zlib ------------------------------------------------------------------

inline std::vector<uint8_t> zlib_deflate_raw(const std::vector<uint8_t>& in, int level, int strategy = Z_DEFAULT_STRATEGY,
                                             int mem_level = 8)
{
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, mem_level, strategy);
    std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>(in.size())) + 16);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// zlib's raw inflate; nullopt when it reports an error or needs more input.
inline std::optional<std::vector<uint8_t>> zlib_inflate_raw(const std::vector<uint8_t>& in, size_t max_out)
{
    z_stream z{};
    inflateInit2(&z, -15);
    std::vector<uint8_t> out(max_out + 1);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&z, Z_FINISH);
    out.resize(z.total_out);
    inflateEnd(&z);
    if (rc != Z_STREAM_END) return std::nullopt;
    return out;
}

// zlib's raw inflate of a stream that may be followed by other bytes: the
// output and how many input bytes the stream took, or nullopt when zlib
// reports an error or needs more input. A preset dictionary may be given.
struct zlib_result {
    std::vector<uint8_t> out;
    size_t consumed = 0;
};
inline std::optional<zlib_result> zlib_inflate_raw_ex(const std::vector<uint8_t>& in, size_t max_out,
                                                      const std::vector<uint8_t>& dictionary = {})
{
    z_stream z{};
    inflateInit2(&z, -15);
    if (!dictionary.empty()) inflateSetDictionary(&z, dictionary.data(), static_cast<uInt>(dictionary.size()));
    zlib_result r;
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    int rc = Z_OK;
    // The output grows as zlib fills it, up to max_out + 1 bytes.
    while (rc == Z_OK && r.out.size() <= max_out) {
        const size_t have = r.out.size();
        r.out.resize(std::min(max_out + 1, have + std::max<size_t>(have, 65536)));
        z.next_out = r.out.data() + have;
        z.avail_out = static_cast<uInt>(r.out.size() - have);
        rc = inflate(&z, Z_NO_FLUSH);
        r.out.resize(z.total_out);
        if (rc == Z_BUF_ERROR && z.avail_out != 0) break; // needs more input
        if (rc == Z_BUF_ERROR) rc = Z_OK;
    }
    r.consumed = z.total_in;
    inflateEnd(&z);
    if (rc != Z_STREAM_END || r.out.size() > max_out) return std::nullopt;
    return r;
}

// zlib's raw deflate with a preset dictionary.
inline std::vector<uint8_t> zlib_deflate_raw_with_dictionary(const std::vector<uint8_t>& in, int level,
                                                             const std::vector<uint8_t>& dictionary)
{
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    if (!dictionary.empty()) deflateSetDictionary(&z, dictionary.data(), static_cast<uInt>(dictionary.size()));
    std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>(in.size())) + 16);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// ---- ZIP -------------------------------------------------------------------

// Central directory header: sig(4) made(2) need(2) flags(2) method(2) time(2) date(2) crc(4) csize(4) usize(4)
//                           nlen(2) xlen(2) clen(2) disk(2) iattr(2) eattr(4) offset(4)
// Local file header: sig(4) ver(2) flags(2) method(2) time(2) date(2) crc(4) csize(4) usize(4) nlen(2) xlen(2)
struct zip_entry {
    std::string name;
    uint16_t method = 0;
    uint32_t crc = 0;
    uint32_t usize = 0;
    std::vector<uint8_t> data; // the stored bytes
};

// The entries listed in the central directory, with sizes taken from there
// (local headers may leave them to a data descriptor). Empty on damage.
inline std::vector<zip_entry> zip_entries(const std::vector<uint8_t>& zip)
{
    auto le16 = [&](size_t o) { return static_cast<uint32_t>(zip[o] | (zip[o + 1] << 8)); };
    auto le32 = [&](size_t o) { return le16(o) | (le16(o + 2) << 16); };
    std::vector<zip_entry> out;
    if (zip.size() < 22) return out;
    size_t eocd = zip.size() - 22;
    while (eocd > 0 && le32(eocd) != 0x06054b50) --eocd;
    if (le32(eocd) != 0x06054b50) return out;
    size_t at = le32(eocd + 16);
    for (uint32_t n = le16(eocd + 10); n > 0; --n) {
        if (at + 46 > zip.size() || le32(at) != 0x02014b50) return {};
        zip_entry e;
        e.method = static_cast<uint16_t>(le16(at + 10));
        e.crc = le32(at + 16);
        const uint32_t csize = le32(at + 20);
        e.usize = le32(at + 24);
        const size_t nlen = le16(at + 28), xlen = le16(at + 30), clen = le16(at + 32);
        const size_t local = le32(at + 42);
        e.name.assign(zip.begin() + static_cast<ptrdiff_t>(at + 46), zip.begin() + static_cast<ptrdiff_t>(at + 46 + nlen));
        if (local + 30 > zip.size()) return {};
        const size_t data_at = local + 30 + le16(local + 26) + le16(local + 28);
        if (data_at + csize > zip.size()) return {};
        e.data.assign(zip.begin() + static_cast<ptrdiff_t>(data_at), zip.begin() + static_cast<ptrdiff_t>(data_at + csize));
        out.push_back(std::move(e));
        at += 46 + nlen + xlen + clen;
    }
    return out;
}

// ---- model -----------------------------------------------------------------

// The decoder as documented, written for clarity: a bit buffer topped up a
// byte at a time, tables indexed by the bit-reversed code and probed length
// by length, copies one byte at a time into an output of OutLast + 1 bytes.
// One departure: a stream that runs out of input inside a block whose
// all-zero codeword is length symbol 286 or 287 would repeat that symbol for
// ever; that is a fault here, as in the decoder.
struct model_outcome {
    int32_t result = 0;
    bool fault = false;         // Data left unchanged
    bool table_failure = false; // with the "Error in tree creation" box
    std::vector<uint8_t> data;  // the handed-back bytes when !fault
    unsigned lengths_258 = 0;   // matches whose length before any Deflate64 extension was 258
};

class inflate_model {
public:
    inflate_model(const std::vector<uint8_t>& in, int32_t out_last, bool deflate64)
        : in_(in), out_last_(out_last < -1 ? -1 : out_last), d64_(deflate64), out_(static_cast<size_t>(out_last_ + 1))
    {
    }

    model_outcome run()
    {
        model_outcome r;
        const int status = blocks(r);
        r.result = result_;
        if (status == 1) {
            r.fault = true;
        } else if (status == 2) {
            r.fault = r.table_failure = true;
        } else {
            r.data.assign(out_.begin(), out_.begin() + outpos_);
        }
        return r;
    }

private:
    struct table {
        std::vector<int32_t> lengths, values;
        int min_len = 16, max_len = 0;
    };

    void need_bits(int n)
    {
        while (bitcount_ < n && inpos_ < static_cast<int64_t>(in_.size())) {
            bitbuf_ += static_cast<int64_t>(in_[static_cast<size_t>(inpos_++)]) << bitcount_;
            bitcount_ += 8;
        }
    }
    uint32_t get_bits(int n)
    {
        while (bitcount_ < n) {
            if (inpos_ >= static_cast<int64_t>(in_.size())) return 0;
            bitbuf_ += static_cast<int64_t>(in_[static_cast<size_t>(inpos_++)]) << bitcount_;
            bitcount_ += 8;
        }
        const auto v = static_cast<uint32_t>(bitbuf_ & ((int64_t{1} << n) - 1));
        bitbuf_ >>= n;
        bitcount_ -= n;
        return v;
    }
    // -1 when no length matches.
    int decode(const table& t)
    {
        need_bits(t.max_len);
        for (int j = t.min_len; j <= 16; ++j) {
            const int64_t i = bitbuf_ & ((int64_t{1} << j) - 1);
            if (i >= static_cast<int64_t>(t.lengths.size())) return -1;
            if (t.lengths[static_cast<size_t>(i)] == j) {
                bitbuf_ >>= j;
                bitcount_ -= j;
                return t.values[static_cast<size_t>(i)];
            }
        }
        return -1;
    }
    static int build(table& t, const std::vector<int>& lens, size_t first, size_t count)
    {
        std::array<int, 17> n{};
        t.min_len = 16;
        t.max_len = 0;
        for (size_t s = 0; s < count; ++s) {
            const int l = lens[first + s];
            ++n[l];
            if (l) {
                t.max_len = std::max(t.max_len, l);
                t.min_len = std::min(t.min_len, l);
            }
        }
        int left = 1;
        for (int len = 1; len <= t.max_len; ++len) {
            left = 2 * left - n[len];
            if (left < 0) return left;
        }
        t.lengths.assign(size_t{1} << t.max_len, 0);
        t.values.assign(size_t{1} << t.max_len, 0);
        std::array<int, 17> next{};
        n[0] = 0;
        int code = 0;
        for (int len = 1; len <= t.max_len; ++len) {
            code = (code + n[len - 1]) * 2;
            next[len] = code;
        }
        for (size_t s = 0; s < count; ++s) {
            const int l = lens[first + s];
            if (!l) continue;
            int c = next[l]++, r = 0;
            for (int k = 0; k < l; ++k) {
                r = r * 2 + (c & 1);
                c /= 2;
            }
            t.lengths[static_cast<size_t>(r)] = l;
            t.values[static_cast<size_t>(r)] = static_cast<int>(s);
        }
        return left;
    }
    int dynamic_tables()
    {
        static constexpr std::array<int, 19> order = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
        const int hlit = static_cast<int>(get_bits(5)) + 257;
        const int hdist = static_cast<int>(get_bits(5)) + 1;
        const int hclen = static_cast<int>(get_bits(4)) + 4;
        std::vector<int> cl(19, 0);
        for (int i = 0; i < hclen; ++i) cl[static_cast<size_t>(order[static_cast<size_t>(i)])] = static_cast<int>(get_bits(3));
        table clt;
        if (build(clt, cl, 0, 19) != 0) return -1;
        std::vector<int> lens(static_cast<size_t>(hlit + hdist), 0);
        int i = 0;
        while (i < hlit + hdist) {
            const int sym = decode(clt);
            if (sym < 0) return -100;
            if (sym < 16) {
                lens[static_cast<size_t>(i++)] = sym;
                continue;
            }
            int value = 0, repeat;
            if (sym == 16) {
                if (i == 0) return -5;
                value = lens[static_cast<size_t>(i - 1)];
                repeat = static_cast<int>(get_bits(2)) + 3;
            } else if (sym == 17) {
                repeat = static_cast<int>(get_bits(3)) + 3;
            } else {
                repeat = static_cast<int>(get_bits(7)) + 11;
            }
            if (i + repeat > hlit + hdist) return -6;
            for (int k = 0; k < repeat; ++k) lens[static_cast<size_t>(i++)] = value;
        }
        if (build(litlen_, lens, 0, static_cast<size_t>(hlit)) != 0) return -1;
        const int left = build(dist_, lens, static_cast<size_t>(hlit), static_cast<size_t>(hdist));
        // A distance code with no codeword, or a single one-bit codeword, is
        // valid (RFC 1951, 3.2.7); the unused code space decodes to a fault.
        const auto used = std::count_if(lens.begin() + hlit, lens.end(), [](int l) { return l != 0; });
        if (used == 0 || (used == 1 && dist_.max_len == 1))
            return 0;
        return left;
    }
    // 0 hand back, 1 fault, 2 table failure
    int blocks(model_outcome& r)
    {
        static constexpr std::array<int, 29> lbase = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
        static constexpr std::array<int, 29> lextra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
        const auto n = static_cast<int64_t>(in_.size());
        for (;;) {
            const uint32_t final_block = get_bits(1);
            const uint32_t type = get_bits(2);
            if (type == 0) {
                if (inpos_ + 4 > n - 1) {
                    result_ = -1;
                    return 0;
                }
                while (bitcount_ >= 8) {
                    --inpos_;
                    bitcount_ -= 8;
                }
                const auto at = static_cast<size_t>(inpos_);
                const int len = in_[at] | (in_[at + 1] << 8);
                const int nlen = in_[at + 2] | (in_[at + 3] << 8);
                inpos_ += 4;
                if (len != (~nlen & 0xFFFF)) result_ = -2;
                if (inpos_ + len - 1 > n - 1 || outpos_ + len - 1 > out_last_) {
                    result_ = -1;
                    return 0;
                }
                for (int k = 0; k < len; ++k) out_[static_cast<size_t>(outpos_++)] = in_[static_cast<size_t>(inpos_++)];
                bitbuf_ = 0;
                bitcount_ = 0;
            } else if (type == 3) {
                result_ = -1;
                return 0;
            } else {
                if (type == 1) {
                    std::vector<int> lens(288);
                    for (int s = 0; s < 288; ++s) lens[static_cast<size_t>(s)] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
                    build(litlen_, lens, 0, 288);
                    std::vector<int> dl(32, 5);
                    build(dist_, dl, 0, 32);
                } else if (dynamic_tables() != 0) {
                    return 2;
                }
                for (;;) {
                    const bool exhausted = inpos_ >= n && bitcount_ <= 0;
                    const int sym = decode(litlen_);
                    if (sym < 0) return 1;
                    if (sym < 256) {
                        if (outpos_ > out_last_) return 1;
                        out_[static_cast<size_t>(outpos_++)] = static_cast<uint8_t>(sym);
                        continue;
                    }
                    if (sym == 256) break;
                    if (exhausted && sym >= 286) return 1;
                    const int k = sym - 257;
                    int length = k < 29 ? lbase[static_cast<size_t>(k)] + static_cast<int>(get_bits(lextra[static_cast<size_t>(k)])) : 0;
                    if (length == 258) {
                        ++r.lengths_258;
                        if (d64_) length = static_cast<int>(get_bits(16)) + 3;
                    }
                    const int dsym = decode(dist_);
                    if (dsym < 0) return 1;
                    const int dextra = dsym < 4 ? 0 : dsym / 2 - 1;
                    const int dbase = dsym < 4 ? dsym + 1 : (2 + (dsym & 1)) * (1 << dextra) + 1;
                    const int dist = dbase + static_cast<int>(get_bits(dextra));
                    for (int c = 0; c < length; ++c) {
                        if (outpos_ - dist < 0 || outpos_ > out_last_) return 1;
                        out_[static_cast<size_t>(outpos_)] = out_[static_cast<size_t>(outpos_ - dist)];
                        ++outpos_;
                    }
                }
            }
            if (final_block) return 0;
        }
    }

    const std::vector<uint8_t>& in_;
    int64_t out_last_;
    bool d64_;
    std::vector<uint8_t> out_;
    int64_t outpos_ = 0;
    int64_t inpos_ = 0;
    int64_t bitbuf_ = 0;
    int bitcount_ = 0;
    int32_t result_ = 0;
    table litlen_, dist_;
};

inline model_outcome run_inflate_model(const std::vector<uint8_t>& in, int32_t out_last, bool deflate64)
{
    return inflate_model(in, out_last, deflate64).run();
}

} // namespace velmora::test

// Inflate and Deflate64 (RFC 1951; Deflate64 as PKWARE's method 9) in one
// decoder with a mode flag. Huffman codes decode through a primary table plus
// sub-tables; a fast loop with a 64-bit bit buffer refilled a word at a time
// runs while enough input and output remain, and an exact one-symbol-at-a-time
// path handles block headers and the ends of input and output.
#include "codecs/Mod_Inflate64.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

namespace velmora {
namespace {

// ---------------------------------------------------------------------------
// Decode table entries (32 bits)
//   literal:          bit 31, byte in bits 16-23, codeword length in bits 8-11 and 0-7
//   length, distance: base in bits 16-31, codeword length in bits 8-11, codeword
//                     length + extra bits (everything the symbol takes) in bits 0-7
//   sub-table link:   first entry of the sub-table in bits 16-31, its index bits in 8-11
//   flags in bits 12-15.
// Sub-table entries carry the whole codeword length and are consumed from the
// bit buffer as it was before the primary lookup, so a symbol is always taken
// in one step.
constexpr uint32_t entry_literal = 0x80000000u;
constexpr uint32_t entry_exceptional = 1u << 15; // end of block, sub-table link, or symbols 286/287
constexpr uint32_t entry_subtable = 1u << 14;
constexpr uint32_t entry_end_of_block = 1u << 13;
constexpr uint32_t entry_extend_258 = 1u << 12;  // Deflate64 symbol 284: a length of 258 reads 16 more bits

constexpr unsigned entry_codeword_len(uint32_t e) { return (e >> 8) & 0xF; }
constexpr unsigned entry_total_bits(uint32_t e) { return e & 0xFF; }

constexpr unsigned max_codeword_len = 15;
constexpr unsigned num_litlen_syms = 288;
constexpr unsigned num_dist_syms = 32;
constexpr unsigned num_precode_syms = 19;
constexpr unsigned litlen_table_bits = 11;
constexpr unsigned dist_table_bits = 8;
constexpr unsigned precode_table_bits = 7; // the longest code-length codeword, so no sub-tables

// Every sub-table serves at least one codeword longer than the primary index
// and has at most 2^(15 - index bits) entries.
constexpr size_t table_capacity(unsigned syms, unsigned bits)
{
    return (size_t{1} << bits) + size_t{syms} * (size_t{1} << (max_codeword_len - bits));
}
constexpr size_t litlen_capacity = table_capacity(num_litlen_syms, litlen_table_bits);
constexpr size_t dist_capacity = table_capacity(num_dist_syms, dist_table_bits);
static_assert(litlen_capacity < 0x8000, "sub-table starts must stay clear of the literal flag");
static_assert(dist_capacity < 0x10000);

// RFC 1951, 3.2.5: length symbols 257..285 and distance codes 0..29; distance
// codes 30 and 31 are Deflate64's and are accepted in both modes.
constexpr std::array<uint16_t, 29> length_base = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<uint8_t, 29> length_extra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<uint16_t, 32> dist_base = {1,    2,    3,    4,    5,    7,     9,     13,    17,    25,   33,
                                                49,   65,   97,   129,  193,  257,   385,   513,   769,   1025, 1537,
                                                2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
constexpr std::array<uint8_t, 32> dist_extra = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,  4,  4,  5,  5,  6,  6,
                                                7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};
static_assert(dist_base[31] + (1u << dist_extra[31]) - 1 == 65536, "Deflate64 window is 64 KiB");

// RFC 1951, 3.2.7: the order in which the code-length code lengths are sent.
constexpr std::array<uint8_t, num_precode_syms> precode_order = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                 11, 4,  12, 3, 13, 2, 14, 1, 15};

uint32_t litlen_entry(unsigned sym, unsigned cw, bool deflate64)
{
    const uint32_t len_bits = (cw << 8) | cw;
    if (sym < 256) return entry_literal | (sym << 16) | len_bits;
    if (sym == 256) return entry_exceptional | entry_end_of_block | len_bits;
    if (sym >= 286) return entry_exceptional | len_bits; // length 0: a distance is read, nothing copied
    unsigned base = length_base[sym - 257];
    unsigned extra = length_extra[sym - 257];
    uint32_t flags = 0;
    if (deflate64 && sym == 285) {
        base = 3; // 258 + 0 extra bits is always extended: 3 + 16 extra bits
        extra = 16;
    } else if (deflate64 && sym == 284) {
        flags = entry_extend_258; // 227 + 31 = 258 is extended as well
    }
    return (base << 16) | flags | (cw << 8) | (cw + extra);
}

uint32_t dist_entry(unsigned sym, unsigned cw) { return (uint32_t{dist_base[sym]} << 16) | (cw << 8) | (cw + dist_extra[sym]); }

uint32_t precode_entry(unsigned sym, unsigned cw) { return (sym << 16) | (cw << 8) | cw; }

unsigned reverse_bits(unsigned code, unsigned n)
{
    unsigned r = 0;
    for (unsigned i = 0; i < n; ++i) {
        r = (r << 1) | (code & 1);
        code >>= 1;
    }
    return r;
}

// Builds a decode table for the code lengths lens[0..num_syms-1]. Returns the
// code space left over: 0 for a complete code, negative when over-subscribed,
// positive when incomplete; the table is built only for a complete code.
template <typename MakeEntry>
int build_decode_table(uint32_t* table, const uint8_t* lens, unsigned num_syms, unsigned table_bits, unsigned& max_len,
                       MakeEntry make_entry)
{
    std::array<unsigned, max_codeword_len + 1> count{};
    for (unsigned s = 0; s < num_syms; ++s) ++count[lens[s]];
    int left = 1;
    for (unsigned len = 1; len <= max_codeword_len; ++len) {
        left = 2 * left - static_cast<int>(count[len]);
        if (left < 0) return left;
    }
    if (left != 0) return left;

    max_len = 0;
    std::array<unsigned, max_codeword_len + 1> next{};
    unsigned code = 0;
    count[0] = 0;
    for (unsigned len = 1; len <= max_codeword_len; ++len) {
        code = (code + count[len - 1]) << 1;
        next[len] = code;
        if (count[len]) max_len = len;
    }

    const unsigned primary_size = 1u << table_bits;
    std::array<uint8_t, 1u << litlen_table_bits> sub_bits{};
    std::array<uint16_t, num_litlen_syms> rev{};
    for (unsigned s = 0; s < num_syms; ++s) {
        const unsigned len = lens[s];
        if (len == 0) continue;
        rev[s] = static_cast<uint16_t>(reverse_bits(next[len]++, len));
        if (len <= table_bits) {
            const uint32_t e = make_entry(s, len);
            for (unsigned i = rev[s]; i < primary_size; i += 1u << len) table[i] = e;
        } else {
            uint8_t& b = sub_bits[rev[s] & (primary_size - 1)];
            b = std::max<uint8_t>(b, static_cast<uint8_t>(len - table_bits));
        }
    }
    if (max_len <= table_bits) return 0;

    size_t next_sub = primary_size;
    for (unsigned p = 0; p < primary_size; ++p) {
        if (sub_bits[p] == 0) continue;
        table[p] = entry_exceptional | entry_subtable | (static_cast<uint32_t>(next_sub) << 16) | (uint32_t{sub_bits[p]} << 8);
        next_sub += size_t{1} << sub_bits[p];
    }
    for (unsigned s = 0; s < num_syms; ++s) {
        const unsigned len = lens[s];
        if (len <= table_bits) continue;
        const uint32_t link = table[rev[s] & (primary_size - 1)];
        uint32_t* sub = table + (link >> 16);
        const unsigned size = 1u << entry_codeword_len(link);
        const uint32_t e = make_entry(s, len);
        for (unsigned i = rev[s] >> table_bits; i < size; i += 1u << (len - table_bits)) sub[i] = e;
    }
    return 0;
}

struct fixed_tables {
    std::array<uint32_t, 1u << litlen_table_bits> litlen{};
    std::array<uint32_t, 1u << dist_table_bits> dist{};
    unsigned litlen_max = 0;
    unsigned dist_max = 0;
};

// RFC 1951, 3.2.6, built once per mode and shared by every call.
fixed_tables make_fixed_tables(bool deflate64)
{
    fixed_tables t;
    std::array<uint8_t, num_litlen_syms> lens{};
    std::fill(lens.begin(), lens.begin() + 144, 8);
    std::fill(lens.begin() + 144, lens.begin() + 256, 9);
    std::fill(lens.begin() + 256, lens.begin() + 280, 7);
    std::fill(lens.begin() + 280, lens.end(), 8);
    build_decode_table(t.litlen.data(), lens.data(), num_litlen_syms, litlen_table_bits, t.litlen_max,
                       [deflate64](unsigned s, unsigned cw) { return litlen_entry(s, cw, deflate64); });
    lens.fill(5);
    build_decode_table(t.dist.data(), lens.data(), num_dist_syms, dist_table_bits, t.dist_max, dist_entry);
    return t;
}

const fixed_tables& get_fixed_tables(bool deflate64)
{
    static const fixed_tables deflate = make_fixed_tables(false);
    static const fixed_tables deflate64_tables = make_fixed_tables(true);
    return deflate64 ? deflate64_tables : deflate;
}

struct dynamic_tables {
    std::array<uint32_t, litlen_capacity> litlen;
    std::array<uint32_t, dist_capacity> dist;
    std::array<uint32_t, 1u << precode_table_bits> precode;
};

uint64_t load_le64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// Fast loop limits. One iteration takes at most four refills of 8 bytes read
// and at most 7 bytes taken each, and writes at most two literals and one
// match of 258 bytes, which copy_match may overrun up to 272 bytes.
constexpr size_t fast_input_margin = 40;
constexpr size_t fast_output_margin = 2 + 272;
constexpr unsigned max_dist_bits = max_codeword_len + 14; // codeword + extra bits of codes 30/31
constexpr unsigned refill_min_bits = 56;                  // a word refill leaves at least 56 bits
static_assert(max_codeword_len + 5 + max_dist_bits <= refill_min_bits, "one refill covers a Deflate length and distance");
static_assert(3 * max_codeword_len <= refill_min_bits, "one refill covers three literals");

enum class step { go_on, end_of_block, fault, slow_symbol, margin };

class inflater {
public:
    inflater(const std::vector<uint8_t>& input, int32_t out_last, bool deflate64)
        : in_(input.data()), in_size_(input.size()), in_bits_(uint64_t{input.size()} * 8),
          out_limit_(out_last < 0 ? 0 : static_cast<size_t>(out_last) + 1), deflate64_(deflate64)
    {
    }

    enum class outcome { hand_back, fault, table_failure };

    outcome run()
    {
        try {
            return decode_stream();
        } catch (const std::bad_alloc&) {
            return outcome::fault;
        }
    }

    int32_t result() const { return result_; }

    void hand_back(std::vector<uint8_t>& data)
    {
        out_.resize(out_pos_);
        if (out_.capacity() - out_pos_ > out_pos_ / 4 + 65536) out_.shrink_to_fit();
        data.swap(out_);
    }

private:
    // ---- exact bit reader -------------------------------------------------
    // Bits are read least significant first from bit position pos_. Bits past
    // the end of the input read as zeros when a symbol is decoded; an
    // extra-bits field that does not fit in the input reads as 0 and takes no
    // bits. demand_ is the furthest bit any read has looked at: the caller's
    // view of how much input was taken into the bit buffer, which decides
    // whether a stored block header fits.
    uint32_t peek(unsigned n) const
    {
        const uint64_t byte = pos_ >> 3;
        uint32_t v = 0;
        for (unsigned i = 0; i < 4 && byte + i < in_size_; ++i) v |= uint32_t{in_[byte + i]} << (8 * i);
        return (v >> (pos_ & 7)) & ((1u << n) - 1);
    }

    uint32_t get_bits(unsigned n)
    {
        demand_ = std::max(demand_, pos_ + n);
        if (pos_ + n > in_bits_) return 0;
        const uint32_t v = peek(n);
        pos_ += n;
        return v;
    }

    uint32_t decode_symbol(const uint32_t* table, unsigned table_bits, unsigned max_len)
    {
        demand_ = std::max(demand_, pos_ + max_len);
        const uint32_t bits = peek(max_codeword_len);
        uint32_t e = table[bits & ((1u << table_bits) - 1)];
        if (e & entry_subtable) e = table[(e >> 16) + ((bits >> table_bits) & ((1u << entry_codeword_len(e)) - 1))];
        pos_ += entry_codeword_len(e);
        return e;
    }

    // ---- output -----------------------------------------------------------
    // Memory follows the output actually produced, never past out_limit_.
    // Capacity is reserved ahead (untouched pages cost nothing), but the
    // vector's size, which std::vector zero-fills, grows a slice at a time
    // just ahead of the decoder, so the fill lands in cache lines that are
    // about to be written anyway.
    static constexpr size_t growth_slice = size_t{256} << 10;

    void grow(size_t needed)
    {
        const size_t size = std::min(out_limit_, std::max(needed, out_.size() + growth_slice));
        if (size > out_.capacity()) out_.reserve(std::min(out_limit_, std::max(size, out_.capacity() * 2)));
        out_.resize(size);
    }

    void ensure_room(size_t n)
    {
        if (out_.size() - out_pos_ < n) grow(out_pos_ + n);
    }

    // ---- blocks -----------------------------------------------------------
    outcome decode_stream()
    {
        // Room for a typical expansion to start with; more as output appears.
        out_.reserve(std::min(out_limit_, in_size_ * 8 + 65536));
        for (;;) {
            const uint32_t final_block = get_bits(1);
            const uint32_t type = get_bits(2);
            if (type == 0) {
                if (!stored_block()) return outcome::hand_back;
            } else if (type == 3) {
                result_ = inflate_incomplete;
                return outcome::hand_back;
            } else {
                dist_sparse_ = false;
                if (type == 1) {
                    const fixed_tables& f = get_fixed_tables(deflate64_);
                    litlen_ = f.litlen.data();
                    litlen_max_ = f.litlen_max;
                    dist_ = f.dist.data();
                    dist_max_ = f.dist_max;
                } else if (read_dynamic_tables() != 0) {
                    return outcome::table_failure;
                }
                if (!huffman_block()) return outcome::fault;
            }
            if (final_block) return outcome::hand_back;
        }
    }

    // Returns false when the call ends (result -1).
    bool stored_block()
    {
        // How far the bit buffer has reached into the input: the header must
        // have five bytes from there.
        const uint64_t taken = std::min<uint64_t>(in_size_, (std::max(demand_, pos_) + 7) / 8);
        if (taken + 5 > in_size_) {
            result_ = inflate_incomplete;
            return false;
        }
        const uint64_t at = (pos_ + 7) / 8; // whole bytes still buffered go back; the partial byte is dropped
        const uint32_t len = in_[at] | (uint32_t{in_[at + 1]} << 8);
        const uint32_t nlen = in_[at + 2] | (uint32_t{in_[at + 3]} << 8);
        if (len != (~nlen & 0xFFFF)) result_ = inflate_bad_stored_length;
        const uint64_t from = at + 4;
        if (from + len > in_size_ || out_pos_ + len > out_limit_) {
            result_ = inflate_incomplete;
            return false;
        }
        ensure_room(len);
        if (len) std::memcpy(out_.data() + out_pos_, in_ + from, len);
        out_pos_ += len;
        pos_ = (from + len) * 8;
        demand_ = pos_;
        return true;
    }

    // 0, or the failure value of a bad table (-1, -5, -6, or the distance
    // table's left-over code space).
    int read_dynamic_tables()
    {
        const unsigned hlit = get_bits(5) + 257;
        const unsigned hdist = get_bits(5) + 1;
        const unsigned hclen = get_bits(4) + 4;
        std::array<uint8_t, num_precode_syms> precode_lens{};
        for (unsigned i = 0; i < hclen; ++i) precode_lens[precode_order[i]] = static_cast<uint8_t>(get_bits(3));
        unsigned precode_max = 0;
        if (build_decode_table(tables_->precode.data(), precode_lens.data(), num_precode_syms, precode_table_bits, precode_max,
                               precode_entry) != 0)
            return -1;

        std::array<uint8_t, num_litlen_syms + num_dist_syms> lens{};
        const unsigned total = hlit + hdist;
        unsigned i = 0;
        while (i < total) {
            const unsigned sym = decode_symbol(tables_->precode.data(), precode_table_bits, precode_max) >> 16;
            if (sym < 16) {
                lens[i++] = static_cast<uint8_t>(sym);
                continue;
            }
            uint8_t value = 0;
            unsigned repeat;
            if (sym == 16) {
                if (i == 0) return -5;
                value = lens[i - 1];
                repeat = get_bits(2) + 3;
            } else if (sym == 17) {
                repeat = get_bits(3) + 3;
            } else {
                repeat = get_bits(7) + 11;
            }
            if (i + repeat > total) return -6;
            std::fill_n(lens.begin() + i, repeat, value);
            i += repeat;
        }
        if (build_decode_table(tables_->litlen.data(), lens.data(), hlit, litlen_table_bits, litlen_max_,
                               [this](unsigned s, unsigned cw) { return litlen_entry(s, cw, deflate64_); }) != 0)
            return -1;
        litlen_ = tables_->litlen.data();
        dist_ = tables_->dist.data();
        if (build_sparse_dist_table(lens.data() + hlit, hdist))
            return 0;
        return build_decode_table(tables_->dist.data(), lens.data() + hlit, hdist, dist_table_bits, dist_max_, dist_entry);
    }

    // RFC 1951, 3.2.7: a distance code may use no codeword at all (a block of
    // literals only) or a single one-bit codeword, leaving part of the code
    // space unused. Encoders write both (Go's compress/flate does), and zlib and
    // libdeflate read them. The unused space holds zero entries, which decode to
    // a fault; such blocks go through the exact path, which checks for them.
    bool build_sparse_dist_table(const uint8_t* lens, unsigned hdist)
    {
        unsigned used = 0;
        unsigned sym = 0;
        for (unsigned s = 0; s < hdist; ++s) {
            if (lens[s] != 0) {
                ++used;
                sym = s;
            }
        }
        if (used > 1 || (used == 1 && lens[sym] != 1))
            return false;
        std::fill_n(tables_->dist.data(), size_t{1} << dist_table_bits, 0u);
        if (used == 1) {
            for (size_t i = 0; i < (size_t{1} << dist_table_bits); i += 2)
                tables_->dist[i] = dist_entry(sym, 1);
        }
        dist_max_ = used;
        dist_sparse_ = true;
        return true;
    }

    // Decodes symbols up to the end of the block; false on a fault.
    bool huffman_block()
    {
        for (;;) {
            step s = step::margin;
            if (fast_loop_allowed()) s = deflate64_ ? fast_loop<true>() : fast_loop<false>();
            if (s == step::margin || s == step::slow_symbol) s = slow_symbol();
            if (s == step::end_of_block) return true;
            if (s == step::fault) return false;
        }
    }

    bool fast_loop_allowed()
    {
        if (dist_sparse_) return false;
        if ((pos_ >> 3) + fast_input_margin > in_size_) return false;
        if (out_.size() - out_pos_ >= fast_output_margin) return true;
        if (out_.size() == out_limit_) return false;
        grow(out_pos_ + fast_output_margin);
        return out_.size() - out_pos_ >= fast_output_margin;
    }

    // One literal/length symbol, exactly.
    step slow_symbol()
    {
        // With the input used up every further bit reads as 0, so the same
        // symbol would repeat for ever: only an end of block can still end
        // the stream without a fault.
        const bool exhausted = pos_ >= in_bits_;
        const uint32_t e = decode_symbol(litlen_, litlen_table_bits, litlen_max_);
        if (e & entry_literal) {
            if (exhausted || out_pos_ >= out_limit_) return step::fault;
            ensure_room(1);
            out_[out_pos_++] = static_cast<uint8_t>(e >> 16);
            return step::go_on;
        }
        if (e & entry_end_of_block) return step::end_of_block;
        if (exhausted) return step::fault;
        uint32_t length = (e >> 16) + get_bits(entry_total_bits(e) - entry_codeword_len(e));
        if ((e & entry_extend_258) && length == 258) length = get_bits(16) + 3;
        const uint32_t d = decode_symbol(dist_, dist_table_bits, dist_max_);
        if (d == 0) return step::fault; // unused space of a sparse distance code
        const uint32_t dist = (d >> 16) + get_bits(entry_total_bits(d) - entry_codeword_len(d));
        if (length == 0) return step::go_on;
        if (dist > out_pos_ || out_pos_ + length > out_limit_) return step::fault;
        ensure_room(length);
        uint8_t* out = out_.data() + out_pos_;
        for (uint32_t i = 0; i < length; ++i) out[i] = out[i - static_cast<ptrdiff_t>(dist)];
        out_pos_ += length;
        return step::go_on;
    }

    // A Deflate64 match longer than the fast loop's output margin.
    bool long_copy(uint32_t dist, uint32_t length)
    {
        if (out_pos_ + length > out_limit_) return false;
        ensure_room(length);
        uint8_t* out = out_.data() + out_pos_;
        // The bytes from dist back repeat with period dist, so any whole
        // number of periods back is as good a source; taking the furthest
        // that is already written keeps each memcpy free of overlap.
        size_t done = 0;
        while (done < length) {
            const size_t span = (done + dist) / dist * dist;
            const size_t n = std::min<size_t>(span, length - done);
            std::memcpy(out + done, out + done - span, n);
            done += n;
        }
        out_pos_ += length;
        return true;
    }

    // Copies a match of at most 258 bytes; may write up to 32 bytes, or the
    // length rounded up to 16, whichever is more. Most matches are short, so
    // the first 32 bytes go without a loop test.
    static void copy_match(uint8_t* out, uint32_t dist, uint32_t length)
    {
        uint8_t* dst = out;
        const uint8_t* src = out - dist;
        uint8_t* const end = out + length;
        if (dist >= 16) {
            // Each 16-byte load lies wholly before the bytes it is copied to
            // (or reads bytes the previous store has already written).
            std::memcpy(dst, src, 16);
            std::memcpy(dst + 16, src + 16, 16);
            if (length <= 32) return;
            dst += 32;
            src += 32;
            do {
                std::memcpy(dst, src, 16);
                dst += 16;
                src += 16;
            } while (dst < end);
        } else if (dist >= 8) {
            std::memcpy(dst, src, 8);
            std::memcpy(dst + 8, src + 8, 8);
            std::memcpy(dst + 16, src + 16, 8);
            std::memcpy(dst + 24, src + 24, 8);
            if (length <= 32) return;
            dst += 32;
            src += 32;
            do {
                std::memcpy(dst, src, 8);
                dst += 8;
                src += 8;
            } while (dst < end);
        } else if (dist == 1) {
            const uint64_t v = 0x0101010101010101ull * *src; // the byte in every lane
            std::memcpy(dst, &v, 8);
            std::memcpy(dst + 8, &v, 8);
            std::memcpy(dst + 16, &v, 8);
            std::memcpy(dst + 24, &v, 8);
            if (length <= 32) return;
            dst += 32;
            do {
                std::memcpy(dst, &v, 8);
                dst += 8;
            } while (dst < end);
        } else {
            do {
                *dst++ = *src++;
            } while (dst < end);
        }
    }

    template <bool Deflate64>
    step fast_loop()
    {
        const uint8_t* in_next = in_ + (pos_ >> 3);
        const uint8_t* const in_end = in_ + in_size_;
        uint8_t* out_begin = out_.data();
        uint8_t* out = out_begin + out_pos_;
        uint8_t* out_end = out_begin + out_.size();
        uint64_t bitbuf = 0;
        unsigned bitsleft = 0;
        const uint32_t* const ll = litlen_;
        const uint32_t* const dt = dist_;
        constexpr uint64_t ll_mask = (1u << litlen_table_bits) - 1;
        constexpr uint64_t dt_mask = (1u << dist_table_bits) - 1;

        // Word refill: the bits above bitsleft are either 0 or the very input
        // bits that belong there, so OR-ing a whole word in is harmless, and
        // only the bytes that fit whole are counted as taken.
        auto refill = [&] {
            bitbuf |= load_le64(in_next) << bitsleft;
            in_next += 7 - (bitsleft >> 3);
            bitsleft |= 56;
        };
        // Entries keep their bit counts in bits 0-5 (at most 31).
        auto consume = [&](uint32_t e) {
            bitbuf >>= (e & 63);
            bitsleft -= (e & 63);
        };
        auto extra_value = [&](uint64_t saved, uint32_t e) {
            return static_cast<uint32_t>((saved & ((uint64_t{1} << (e & 63)) - 1)) >> entry_codeword_len(e));
        };

        refill();
        bitbuf >>= pos_ & 7;
        bitsleft -= pos_ & 7;
        step status;
        // The next literal/length entry is looked up as soon as the bits for
        // it are known (before a match is copied), so the table load overlaps
        // other work.
        refill();
        uint32_t entry = ll[bitbuf & ll_mask];
        for (;;) {
            if (entry & entry_literal) {
                // Up to three literals per refill: 3 x 15 bits leave the 11
                // bits the next primary lookup needs.
                consume(entry);
                uint8_t lit = static_cast<uint8_t>(entry >> 16);
                entry = ll[bitbuf & ll_mask];
                *out++ = lit;
                if (entry & entry_literal) {
                    consume(entry);
                    lit = static_cast<uint8_t>(entry >> 16);
                    entry = ll[bitbuf & ll_mask];
                    *out++ = lit;
                    if (entry & entry_literal) {
                        consume(entry);
                        lit = static_cast<uint8_t>(entry >> 16);
                        entry = ll[bitbuf & ll_mask];
                        *out++ = lit;
                        refill();
                        goto next;
                    }
                }
                refill();
            }
            if (entry & entry_exceptional) {
                if (entry & entry_subtable) {
                    entry = ll[(entry >> 16) + ((bitbuf >> litlen_table_bits) & ((1u << entry_codeword_len(entry)) - 1))];
                    if (entry & entry_literal) {
                        consume(entry);
                        *out++ = static_cast<uint8_t>(entry >> 16);
                        refill();
                        entry = ll[bitbuf & ll_mask];
                        goto next;
                    }
                }
                if (entry & entry_exceptional) {
                    if (entry & entry_end_of_block) {
                        consume(entry);
                        status = step::end_of_block;
                    } else {
                        status = step::slow_symbol; // symbols 286/287, left for the exact path
                    }
                    break;
                }
            }
            {
                uint64_t saved = bitbuf;
                consume(entry);
                uint32_t length = (entry >> 16) + extra_value(saved, entry);
                if constexpr (Deflate64) {
                    if ((entry & entry_extend_258) && length == 258) {
                        length = static_cast<uint32_t>(bitbuf & 0xFFFF) + 3;
                        bitbuf >>= 16;
                        bitsleft -= 16;
                    }
                    if (bitsleft < max_dist_bits) refill();
                }
                uint32_t de = dt[bitbuf & dt_mask];
                if (de & entry_subtable)
                    de = dt[(de >> 16) + ((bitbuf >> dist_table_bits) & ((1u << entry_codeword_len(de)) - 1))];
                saved = bitbuf;
                consume(de);
                const uint32_t dist = (de >> 16) + extra_value(saved, de);
                if (dist > static_cast<size_t>(out - out_begin)) {
                    status = step::fault;
                    break;
                }
                refill();
                entry = ll[bitbuf & ll_mask];
                if (Deflate64 && length > 258) {
                    out_pos_ = static_cast<size_t>(out - out_begin);
                    if (!long_copy(dist, length)) {
                        status = step::fault;
                        break;
                    }
                    out_begin = out_.data();
                    out = out_begin + out_pos_;
                    out_end = out_begin + out_.size();
                    goto next;
                }
                copy_match(out, dist, length);
                out += length;
            }
        next:
            if (static_cast<size_t>(in_end - in_next) < fast_input_margin ||
                static_cast<size_t>(out_end - out) < fast_output_margin) {
                status = step::margin;
                break;
            }
        }
        pos_ = static_cast<uint64_t>(in_next - in_) * 8 - bitsleft;
        out_pos_ = static_cast<size_t>(out - out_begin);
        return status;
    }

    const uint8_t* in_;
    size_t in_size_;
    uint64_t in_bits_;
    uint64_t pos_ = 0;
    uint64_t demand_ = 0;

    std::vector<uint8_t> out_;
    size_t out_pos_ = 0;
    size_t out_limit_;

    bool deflate64_;
    int32_t result_ = inflate_ok;

    std::unique_ptr<dynamic_tables> tables_ = std::make_unique_for_overwrite<dynamic_tables>();
    const uint32_t* litlen_ = nullptr;
    const uint32_t* dist_ = nullptr;
    unsigned litlen_max_ = 0;
    unsigned dist_max_ = 0;
    bool dist_sparse_ = false;
};

} // namespace

int32_t Inflate(std::vector<uint8_t>& Data, int32_t OutLast, bool IsDeflate64, WindowServices* window)
{
    try {
        inflater decoder(Data, OutLast, IsDeflate64);
        const auto outcome = decoder.run();
        if (outcome == inflater::outcome::hand_back) {
            decoder.hand_back(Data);
        } else if (outcome == inflater::outcome::table_failure && window) {
            window->message_box("Error in tree creation (Static).", "Error", MessageIcon::information);
        }
        return decoder.result();
    } catch (const std::bad_alloc&) {
        return inflate_ok; // no memory for the decoder itself: Data left as given
    }
}

} // namespace velmora

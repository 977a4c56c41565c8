// Static-Huffman LZ77 decoding for LHA -lh4- to -lh7- and ARJ methods 1-3.
// A block: code count (16 bits), the code-length code (NT symbols, count in
// 5 bits), the literal/length code (NC symbols, count in 9 bits, its lengths
// coded with the code-length code), the offset code (NP symbols). Codes are
// canonical, decoded through a primary table plus sub-tables; a fast loop
// without input or output checks runs while 8 input bytes and a whole match
// of output room remain, and an exact loop handles block headers and ends.
#include "codecs/LhaStaticHuffman.h"

#include <algorithm>
#include <array>

#include "codecs/LzWindow.h"
#include "codecs/MsbBitReader.h"

namespace velmora {
namespace {

constexpr unsigned max_code_len = 16;
constexpr unsigned threshold = 3;                              // shortest copy
constexpr unsigned max_match = 256;                            // longest copy
constexpr unsigned num_c_syms = 256 + max_match + 1 - threshold; // NC: literals, then lengths 3..256
static_assert(num_c_syms == 510);
constexpr unsigned c_count_bits = 9;                           // CBIT
constexpr unsigned t_count_bits = 5;                           // TBIT
constexpr unsigned max_t_syms = (1u << t_count_bits) - 1;      // as many as the count field names (NT is 19)
constexpr unsigned max_p_syms = (1u << 5) - 1;
constexpr unsigned t_special_index = 3; // after the third code-length length: a 2-bit count of zeros

// ---------------------------------------------------------------------------
// Decode tables. Entry: symbol (or sub-table start) in bits 16-31, codeword
// length (or sub-table index bits) in bits 0-4, bit 7 marks a sub-table link.
// MSB-first canonical codes need no bit reversal: the top `bits` bits of the
// bit buffer index the primary table directly.
constexpr uint32_t entry_link = 0x80;

constexpr uint32_t make_entry(unsigned sym, unsigned len) { return (uint32_t{sym} << 16) | len; }

// Worst case: the primary table plus one sub-table of 2^(16 - bits) entries
// for every pair of codes longer than the primary index (a complete code puts
// at least two codes under each linked prefix).
constexpr size_t table_capacity(unsigned syms, unsigned primary_bits)
{
    return (size_t{1} << primary_bits) + size_t{syms / 2} * (size_t{1} << (max_code_len - primary_bits));
}

// One symbol's entry for the bits at the top of w: the primary entry, or
// the sub-table entry it links to (indexed by the bits after the primary's).
inline uint32_t lookup(const uint32_t* t, unsigned bits, uint64_t w)
{
    uint32_t e = t[w >> (64 - bits)];
    if (e & entry_link) e = t[(e >> 16) + ((w << bits) >> (64 - (e & 31)))];
    return e;
}

template <unsigned Syms, unsigned PrimaryBits>
struct huffman_table {
    static constexpr size_t capacity = table_capacity(Syms, PrimaryBits);
    static_assert(capacity < 0x10000, "sub-table starts fit in 16 bits");
    std::array<uint32_t, capacity> entries;
    unsigned bits = 1;

    // A code of one symbol and no bits (a count field of 0).
    void set_single(unsigned sym)
    {
        bits = 1;
        entries[0] = entries[1] = make_entry(sym, 0);
    }

    // Builds the table for lens[0..n). Only complete codes are accepted:
    // an over-subscribed or incomplete set is a damaged block (LHA's
    // make_table refuses both).
    bool build(const uint8_t* lens, unsigned n)
    {
        std::array<unsigned, max_code_len + 1> count{};
        for (unsigned s = 0; s < n; ++s) ++count[lens[s]];
        count[0] = 0;
        int left = 1;
        for (unsigned len = 1; len <= max_code_len; ++len) {
            left = 2 * left - static_cast<int>(count[len]);
            if (left < 0) return false;
        }
        if (left != 0) return false;

        unsigned max_len = max_code_len;
        while (count[max_len] == 0) --max_len;
        bits = std::min(max_len, PrimaryBits);

        // Symbols in canonical order: by length, then by symbol.
        std::array<unsigned, max_code_len + 2> offs{};
        for (unsigned len = 1; len <= max_code_len; ++len) offs[len + 1] = offs[len] + count[len];
        std::array<uint16_t, Syms> sorted;
        for (unsigned s = 0; s < n; ++s)
            if (lens[s]) sorted[offs[lens[s]]++] = static_cast<uint16_t>(s);

        std::array<unsigned, max_code_len + 1> remaining = count; // codes of each length not yet placed
        size_t next_sub = size_t{1} << bits;
        unsigned cur_prefix = ~0u;
        uint32_t* sub = nullptr;
        unsigned sub_bits = 0;
        unsigned code = 0;
        unsigned idx = 0;
        for (unsigned len = 1; len <= max_len; ++len, code <<= 1) {
            for (unsigned k = 0; k < count[len]; ++k, ++code, --remaining[len]) {
                const uint32_t e = make_entry(sorted[idx++], len);
                if (len <= bits) {
                    std::fill_n(entries.begin() + (size_t{code} << (bits - len)), size_t{1} << (bits - len), e);
                    continue;
                }
                const unsigned drop = len - bits;
                const unsigned prefix = code >> drop;
                if (prefix != cur_prefix) {
                    // Sub-table width (zlib's rule): grow until the codes
                    // still to come fill it.
                    unsigned sb = drop;
                    int room = 1 << sb;
                    while (bits + sb < max_len) {
                        room -= static_cast<int>(remaining[bits + sb]);
                        if (room <= 0) break;
                        ++sb;
                        room <<= 1;
                    }
                    entries[prefix] = (static_cast<uint32_t>(next_sub) << 16) | entry_link | sb;
                    sub = entries.data() + next_sub;
                    next_sub += size_t{1} << sb;
                    cur_prefix = prefix;
                    sub_bits = sb;
                }
                const unsigned low = code & ((1u << drop) - 1);
                std::fill_n(sub + (size_t{low} << (sub_bits - drop)), size_t{1} << (sub_bits - drop), e);
            }
        }
        return true;
    }

    // Decodes one symbol from the bit buffer (which holds at least 16 bits).
    unsigned decode(msb_bit_reader& in) const
    {
        const uint32_t e = lookup(entries.data(), bits, in.window());
        in.consume(e & 31);
        return e >> 16;
    }
};

using c_table = huffman_table<num_c_syms, 12>;
using pt_table = huffman_table<max_p_syms, 8>;
static_assert(max_t_syms <= max_p_syms);

// Fast loop margins: one symbol takes at most a 16-bit length code, a 16-bit
// offset code and 15 extra bits, within the 56 bits one refill guarantees;
// it writes at most a 256-byte copy that lz_copy_fast overruns by 7.
static_assert(3 * max_code_len <= msb_bit_reader::min_refill_bits);
constexpr size_t fast_output_margin = max_match + 8;
static_assert(fast_output_margin <= lz_window::slack);

class static_huffman_decoder {
public:
    static_huffman_decoder(const lha_static_params& p, ByteSource& in) : p_(p), in_(in) {}

    DecodeStatus run(ByteSink& sink, uint64_t out_size)
    {
        if (!in_.allocate() || !win_.allocate(p_.window, p_.history_of_spaces ? ' ' : 0))
            return DecodeStatus::no_memory;
        uint8_t* const base = win_.data();
        size_t pos = win_.pos();
        for (;;) {
            const uint64_t left = out_size - win_.total_at(pos);
            if (left == 0) break;
            if (pos >= win_.flush_point()) {
                win_.set_pos(pos);
                if (!win_.flush(sink)) return DecodeStatus::stopped;
                pos = win_.pos();
                continue;
            }
            const size_t stop = static_cast<size_t>(std::min<uint64_t>(win_.flush_point(), pos + left));
            if (stop - pos > fast_output_margin) {
                const DecodeStatus s = fast_loop(base, pos, stop - fast_output_margin);
                if (s != DecodeStatus::ok) return s;
                if (pos >= stop - fast_output_margin) continue;
            }
            // One symbol, exactly.
            if (block_remaining_ == 0) {
                const DecodeStatus s = read_block_header();
                if (s != DecodeStatus::ok) return s;
                continue;
            }
            in_.refill();
            const unsigned c = c_.decode(in_);
            --block_remaining_;
            if (c < 256) {
                if (in_.overrun()) return DecodeStatus::truncated;
                base[pos++] = static_cast<uint8_t>(c);
                continue;
            }
            size_t dist;
            const bool valid = decode_distance(dist);
            if (in_.overrun()) return DecodeStatus::truncated;
            if (!valid || dist > max_distance(pos)) return DecodeStatus::data_error;
            const size_t len = static_cast<size_t>(std::min<uint64_t>(c - (256 - threshold), left));
            lz_copy_exact(base + pos, dist, len);
            pos += len;
        }
        win_.set_pos(pos);
        return win_.flush(sink) ? DecodeStatus::ok : DecodeStatus::stopped;
    }

private:
    // Copies may reach the whole window when it starts full of spaces, and
    // only the bytes produced so far otherwise.
    uint64_t max_distance(size_t pos) const
    {
        if (p_.history_of_spaces) return p_.window;
        return std::min<uint64_t>(p_.window, win_.total_at(pos));
    }

    // The offset code gives the bit count of the distance minus one; the
    // bits below the leading 1 follow as extra bits. False for a symbol
    // beyond NP.
    bool decode_distance(size_t& dist)
    {
        const unsigned p = p_table_.decode(in_);
        if (p > p_.max_offset_symbol) return false;
        dist = (p <= 1) ? p + 1 : (size_t{1} << (p - 1)) + in_.peek(p - 1) + 1;
        if (p > 1) in_.consume(p - 1);
        return true;
    }

    // The fast loop: everything in locals, one refill per symbol, and a
    // second literal from the same refill when the first was one.
    DecodeStatus fast_loop(uint8_t* base, size_t& pos, size_t end)
    {
        msb_bit_reader::fast_bits b = in_.begin_fast();
        const uint32_t* const ct = c_.entries.data();
        const unsigned cbits = c_.bits;
        const uint32_t* const pt = p_table_.entries.data();
        const unsigned pbits = p_table_.bits;
        const unsigned max_p = p_.max_offset_symbol;
        // Copies may not reach before first_valid: the start of the buffer
        // when the window starts as spaces, else the first byte produced.
        const uint8_t* const first_valid = (p_.history_of_spaces || win_.flushed() >= win_.dict())
                                               ? base
                                               : base + win_.dict() - win_.flushed();
        uint32_t remaining = block_remaining_;
        uint8_t* out = base + pos;
        uint8_t* const out_end = base + end;
        DecodeStatus status = DecodeStatus::ok;
        while (out < out_end && remaining != 0 && b.can_refill()) {
            b.refill();
            uint32_t e = lookup(ct, cbits, b.buf);
            b.consume(e & 31);
            --remaining;
            unsigned c = e >> 16;
            if (c < 256) {
                *out++ = static_cast<uint8_t>(c);
                // 40 bits are left: enough for another literal/length code,
                // not for a whole copy; take it only if it is a literal.
                if (remaining == 0 || out >= out_end) continue;
                e = lookup(ct, cbits, b.buf);
                c = e >> 16;
                if (c >= 256) continue;
                b.consume(e & 31);
                --remaining;
                *out++ = static_cast<uint8_t>(c);
                continue;
            }
            const uint32_t pe = lookup(pt, pbits, b.buf);
            b.consume(pe & 31);
            const unsigned p = pe >> 16;
            if (p > max_p) {
                status = DecodeStatus::data_error;
                break;
            }
            size_t dist = p + 1;
            if (p > 1) {
                dist = (size_t{1} << (p - 1)) + b.peek(p - 1) + 1;
                b.consume(p - 1);
            }
            if (dist > p_.window || static_cast<size_t>(out - first_valid) < dist) {
                status = DecodeStatus::data_error;
                break;
            }
            const size_t len = c - (256 - threshold);
            lz_copy_fast(out, dist, len);
            out += len;
        }
        in_.end_fast(b);
        block_remaining_ = remaining;
        pos = static_cast<size_t>(out - base);
        return status;
    }

    // Lengths of the code-length code or the offset code: 3 bits, where 7
    // continues in unary (one more per 1 bit, up to a 0).
    DecodeStatus read_pt_lengths(pt_table& table, unsigned count_bits, unsigned special)
    {
        const unsigned n = in_.get(count_bits);
        if (n == 0) {
            table.set_single(in_.get(count_bits));
            return in_.overrun() ? DecodeStatus::truncated : DecodeStatus::ok;
        }
        std::array<uint8_t, max_p_syms> lens{};
        unsigned i = 0;
        while (i < n) {
            unsigned len = in_.get(3);
            if (len == 7) {
                while (in_.get_bit()) {
                    if (++len > max_code_len) return in_.overrun() ? DecodeStatus::truncated : DecodeStatus::data_error;
                }
            }
            lens[i++] = static_cast<uint8_t>(len);
            if (i == special) {
                // Up to three zero lengths, so the rarely used symbols 3..5
                // cost two bits together.
                for (unsigned z = in_.get(2); z > 0 && i < n; --z) lens[i++] = 0;
            }
        }
        if (in_.overrun()) return DecodeStatus::truncated;
        return table.build(lens.data(), n) ? DecodeStatus::ok : DecodeStatus::data_error;
    }

    // Lengths of the literal/length code, coded with the code-length code:
    // symbols 0..2 are runs of zero lengths (1, 3..18, 20..531), the others
    // the length plus 2.
    DecodeStatus read_c_lengths()
    {
        const unsigned n = in_.get(c_count_bits);
        if (n == 0) {
            const unsigned sym = in_.get(c_count_bits);
            if (in_.overrun()) return DecodeStatus::truncated;
            if (sym >= num_c_syms) return DecodeStatus::data_error;
            c_.set_single(sym);
            return DecodeStatus::ok;
        }
        if (n > num_c_syms) return DecodeStatus::data_error;
        std::array<uint8_t, num_c_syms> lens{};
        unsigned i = 0;
        while (i < n) {
            in_.refill();
            const unsigned t = t_table_.decode(in_);
            if (t <= 2) {
                const unsigned run = t == 0 ? 1 : t == 1 ? in_.get(4) + 3 : in_.get(c_count_bits) + 20;
                i += std::min(run, n - i); // lens[] is zero already
            } else {
                if (t - 2 > max_code_len) return DecodeStatus::data_error;
                lens[i++] = static_cast<uint8_t>(t - 2);
            }
            if (in_.overrun()) return DecodeStatus::truncated;
        }
        return c_.build(lens.data(), n) ? DecodeStatus::ok : DecodeStatus::data_error;
    }

    DecodeStatus read_block_header()
    {
        // A count of 0 names an empty block: the next header follows (as
        // lhasa reads it; the encoders never write one).
        block_remaining_ = in_.get(16);
        DecodeStatus s = read_pt_lengths(t_table_, t_count_bits, t_special_index);
        if (s == DecodeStatus::ok) s = read_c_lengths();
        if (s == DecodeStatus::ok) s = read_pt_lengths(p_table_, p_.offset_count_bits, 0);
        if (s == DecodeStatus::ok && in_.overrun()) s = DecodeStatus::truncated;
        return s;
    }

    const lha_static_params& p_;
    msb_bit_reader in_;
    lz_window win_;
    uint32_t block_remaining_ = 0;
    pt_table t_table_;
    c_table c_;
    pt_table p_table_;
};

} // namespace

DecodeStatus lha_static_huffman_decode(const lha_static_params& params, ByteSource& in, ByteSink& out,
                                       uint64_t out_size)
{
    if (out_size == 0) return DecodeStatus::ok;
    // The tables are large for the stack of a caller's thread; keep them on the heap.
    auto decoder = std::unique_ptr<static_huffman_decoder>(new (std::nothrow) static_huffman_decoder(params, in));
    if (!decoder) return DecodeStatus::no_memory;
    return decoder->run(out, out_size);
}

} // namespace velmora

// Huffman decode table construction for Inflate and Deflate64 (RFC 1951,
// 3.2.2): canonical codes from code lengths, written bit-reversed into a
// primary table indexed by the next input bits, with sub-tables for the
// codewords longer than the primary index.
#include "codecs/InflateTables.h"

#include <algorithm>
#include <cstring>

namespace velmora::inflate_tables {
namespace {

uint32_t litlen_entry(unsigned sym, unsigned cw)
{
    const uint32_t len_bits = (cw << 8) | cw;
    if (sym < 256) return entry_literal | (sym << 16) | len_bits;
    if (sym == 256) return entry_exceptional | entry_end_of_block | len_bits;
    if (sym >= 286) return entry_exceptional | len_bits; // length 0: a distance is read, nothing copied
    return (uint32_t{length_base[sym - 257]} << 16) | (cw << 8) | (cw + length_extra[sym - 257]);
}

uint32_t dist_entry(unsigned sym, unsigned cw) { return (uint32_t{dist_base[sym]} << 16) | (cw << 8) | (cw + dist_extra[sym]); }

uint32_t precode_entry(unsigned sym, unsigned cw) { return (sym << 16) | (cw << 8) | cw; }

// The 8-bit bit reversals, for turning MSB-first canonical codes into the
// LSB-first order the bits are read in.
constexpr std::array<uint8_t, 256> reversed_bytes = [] {
    std::array<uint8_t, 256> r{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned v = 0;
        for (unsigned k = 0; k < 8; ++k) v |= ((b >> k) & 1) << (7 - k);
        r[b] = static_cast<uint8_t>(v);
    }
    return r;
}();

// The low n bits of code (n <= 16), reversed.
unsigned reverse_bits(unsigned code, unsigned n)
{
    const unsigned r16 = (unsigned{reversed_bytes[code & 0xFF]} << 8) | reversed_bytes[(code >> 8) & 0xFF];
    return r16 >> (16 - n);
}

// Symbols go in canonical order (by length, then by symbol), each code one
// more than the last of its length. A codeword of length L <= table_bits
// fills every primary entry whose low L bits are its bits: the entries of
// all codewords up to length L are written into the first 2^L slots, which
// are then doubled (copied onto the next 2^L) before length L + 1. The
// longer codewords share their first table_bits bits in groups, one group
// per sub-table, found in code order; a sub-table is as large as the code
// space its group covers.
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

    max_len = max_codeword_len;
    while (count[max_len] == 0) --max_len;
    std::array<unsigned, max_codeword_len + 2> offset{};
    for (unsigned len = 1; len <= max_codeword_len; ++len) offset[len + 1] = offset[len] + count[len];
    std::array<uint16_t, num_litlen_syms> sorted;
    for (unsigned s = 0; s < num_syms; ++s)
        if (lens[s]) sorted[offset[lens[s]]++] = static_cast<uint16_t>(s);

    unsigned code = 0;
    size_t next = 0;
    size_t filled = 2; // slots [0, filled) hold the table for codewords up to len
    const unsigned primary_len = std::min(max_len, table_bits);
    for (unsigned len = 1; len <= primary_len; ++len) {
        if (len > 1) {
            std::memcpy(table + filled, table, filled * sizeof *table);
            filled *= 2;
        }
        for (unsigned k = 0; k < count[len]; ++k, ++code) table[reverse_bits(code, len)] = make_entry(sorted[next++], len);
        code <<= 1;
    }
    for (; filled < (size_t{1} << table_bits); filled *= 2) std::memcpy(table + filled, table, filled * sizeof *table);
    if (max_len <= table_bits) return 0;

    // code is now the first codeword of length table_bits + 1.
    std::array<unsigned, max_codeword_len + 1> remaining = count;
    size_t next_sub = size_t{1} << table_bits;
    unsigned group = ~0u;
    uint32_t* sub = nullptr;
    unsigned sub_bits = 0;
    for (unsigned len = table_bits + 1; len <= max_len; ++len) {
        for (unsigned k = 0; k < count[len]; ++k, ++code) {
            const unsigned tail = len - table_bits;
            if ((code >> tail) != group) {
                // A new group starts at a code whose tail bits are all zero;
                // its sub-table needs as many index bits as it takes for the
                // codewords left (from this length on) to fill its space.
                group = code >> tail;
                sub_bits = tail;
                unsigned used = remaining[len];
                while (used < (1u << sub_bits)) {
                    ++sub_bits;
                    used = 2 * used + remaining[table_bits + sub_bits];
                }
                table[reverse_bits(group, table_bits)] =
                    entry_exceptional | entry_subtable | (static_cast<uint32_t>(next_sub) << 16) | (sub_bits << 8);
                sub = table + next_sub;
                next_sub += size_t{1} << sub_bits;
            }
            const uint32_t e = make_entry(sorted[next++], len);
            for (unsigned i = reverse_bits(code, tail); i < (1u << sub_bits); i += 1u << tail) sub[i] = e;
            --remaining[len];
        }
        code <<= 1;
    }
    return 0;
}

fixed_tables make_fixed_tables()
{
    fixed_tables t;
    std::array<uint8_t, num_litlen_syms> lens{};
    std::fill(lens.begin(), lens.begin() + 144, 8);
    std::fill(lens.begin() + 144, lens.begin() + 256, 9);
    std::fill(lens.begin() + 256, lens.begin() + 280, 7);
    std::fill(lens.begin() + 280, lens.end(), 8);
    build_litlen_table(t.litlen.data(), lens.data(), num_litlen_syms, t.litlen_max);
    lens.fill(5);
    build_dist_table(t.dist.data(), lens.data(), num_dist_syms, t.dist_max);
    return t;
}

} // namespace

int build_litlen_table(uint32_t* table, const uint8_t* lens, unsigned num_syms, unsigned& max_len)
{
    return build_decode_table(table, lens, num_syms, litlen_table_bits, max_len, litlen_entry);
}

int build_dist_table(uint32_t* table, const uint8_t* lens, unsigned num_syms, unsigned& max_len)
{
    return build_decode_table(table, lens, num_syms, dist_table_bits, max_len, dist_entry);
}

int build_precode_table(uint32_t* table, const uint8_t* lens, unsigned& max_len)
{
    return build_decode_table(table, lens, num_precode_syms, precode_table_bits, max_len, precode_entry);
}

bool build_sparse_dist_table(uint32_t* table, const uint8_t* lens, unsigned num_syms, unsigned& max_len)
{
    unsigned used = 0;
    unsigned sym = 0;
    for (unsigned s = 0; s < num_syms; ++s) {
        if (lens[s] != 0) {
            ++used;
            sym = s;
        }
    }
    if (used > 1 || (used == 1 && lens[sym] != 1)) return false;
    std::fill_n(table, size_t{1} << dist_table_bits, 0u);
    if (used == 1) {
        // The codeword is "0": every even index.
        for (size_t i = 0; i < (size_t{1} << dist_table_bits); i += 2) table[i] = dist_entry(sym, 1);
    }
    max_len = used;
    return true;
}

const fixed_tables& get_fixed_tables()
{
    static const fixed_tables tables = make_fixed_tables();
    return tables;
}

} // namespace velmora::inflate_tables

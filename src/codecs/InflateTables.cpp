// Huffman decode table construction for Inflate and Deflate64 (RFC 1951,
// 3.2.2): canonical codes from code lengths, written bit-reversed into a
// primary table indexed by the next input bits, with sub-tables for the
// codewords longer than the primary index.
#include "codecs/InflateTables.h"

#include <algorithm>

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

unsigned reverse_bits(unsigned code, unsigned n)
{
    unsigned r = 0;
    for (unsigned i = 0; i < n; ++i) {
        r = (r << 1) | (code & 1);
        code >>= 1;
    }
    return r;
}

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

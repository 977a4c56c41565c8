// Huffman decode tables for Inflate and Deflate64 (RFC 1951, 3.2.2 and
// 3.2.5-3.2.7): the 32-bit entry layout the decoder reads, the length and
// distance bases, and the builder that turns code lengths into a primary
// table plus sub-tables. Deflate64's differences live in the decoder, not here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velmora::inflate_tables {

// ---------------------------------------------------------------------------
// Entries (32 bits)
//   literal:          bit 31, the byte in bits 16-23
//   length, distance: base in bits 16-31
//   sub-table link:   index of the sub-table's first entry in bits 16-31,
//                     its index bits in bits 8-11
//   every entry:      codeword length in bits 8-11 (flags clear), codeword
//                     length + extra bits in bits 0-7; flags in bits 12-15.
// A length or distance entry has no flags, so bits 8-15 are exactly the
// codeword length and an entry's low byte is everything the symbol takes:
// the fast loop shifts by those bytes directly. Sub-table entries carry the
// whole codeword length and are taken from the bit buffer as it was before
// the primary lookup, so a symbol is always consumed in one step.
inline constexpr uint32_t entry_literal = 0x80000000u;
inline constexpr uint32_t entry_exceptional = 1u << 15; // end of block, sub-table link, or symbols 286/287
inline constexpr uint32_t entry_subtable = 1u << 14;
inline constexpr uint32_t entry_end_of_block = 1u << 13;

constexpr unsigned entry_codeword_len(uint32_t e) { return (e >> 8) & 0xF; }
constexpr unsigned entry_total_bits(uint32_t e) { return e & 0xFF; }

inline constexpr unsigned max_codeword_len = 15;
inline constexpr unsigned num_litlen_syms = 288;
inline constexpr unsigned num_dist_syms = 32;
inline constexpr unsigned num_precode_syms = 19;
inline constexpr unsigned litlen_table_bits = 11;
inline constexpr unsigned dist_table_bits = 8;
inline constexpr unsigned precode_table_bits = 7; // the longest code-length codeword, so no sub-tables

// Every sub-table serves at least one codeword longer than the primary index
// and has at most 2^(15 - index bits) entries.
constexpr size_t table_capacity(unsigned syms, unsigned bits)
{
    return (size_t{1} << bits) + size_t{syms} * (size_t{1} << (max_codeword_len - bits));
}
inline constexpr size_t litlen_capacity = table_capacity(num_litlen_syms, litlen_table_bits);
inline constexpr size_t dist_capacity = table_capacity(num_dist_syms, dist_table_bits);
static_assert(litlen_capacity < 0x8000, "literal/length sub-table starts stay clear of the literal flag");
static_assert(dist_capacity < 0x10000, "distance sub-table starts fit in 16 bits");

// RFC 1951, 3.2.5: length symbols 257..285 and distance codes 0..29; distance
// codes 30 and 31 are Deflate64's and are accepted in both modes. Symbol 285
// is 258 with no extra bits in both modes: Deflate64 turns a length of 258
// into 3 + 16 more bits, in the decoder.
inline constexpr std::array<uint16_t, 29> length_base = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                         31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr std::array<uint8_t, 29> length_extra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                         2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr std::array<uint16_t, 32> dist_base = {1,    2,    3,    4,    5,    7,     9,     13,    17,    25,   33,
                                                       49,   65,   97,   129,  193,  257,   385,   513,   769,   1025, 1537,
                                                       2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
inline constexpr std::array<uint8_t, 32> dist_extra = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,  4,  4,  5,  5,  6,  6,
                                                       7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};
inline constexpr uint32_t deflate64_long_length = 258; // a length that reads 16 more bits in Deflate64
inline constexpr uint32_t max_distance = dist_base[31] + (1u << dist_extra[31]) - 1;
static_assert(max_distance == 65536, "Deflate64 window is 64 KiB");

// RFC 1951, 3.2.7: the order in which the code-length code lengths are sent.
inline constexpr std::array<uint8_t, num_precode_syms> precode_order = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                        11, 4,  12, 3, 13, 2, 14, 1, 15};

// Builders of the three kinds of table. Each returns the code space left
// over: 0 for a complete code, negative when over-subscribed, positive when
// incomplete; a table is built only for a complete code. max_len receives the
// longest codeword.
int build_litlen_table(uint32_t* table, const uint8_t* lens, unsigned num_syms, unsigned& max_len);
int build_dist_table(uint32_t* table, const uint8_t* lens, unsigned num_syms, unsigned& max_len);
int build_precode_table(uint32_t* table, const uint8_t* lens, unsigned& max_len);

// RFC 1951, 3.2.6: a distance code with no codeword at all (a block of
// literals only) or a single one-bit codeword leaves part of the code space
// unused, and encoders write both (Go's compress/flate does). For such a code
// the primary table is filled with the one codeword's entry at the indexes
// it owns and zeros elsewhere, which the exact path reads as a fault. Returns
// false (and builds nothing) for any other code. max_len receives 0 or 1.
bool build_sparse_dist_table(uint32_t* table, const uint8_t* lens, unsigned num_syms, unsigned& max_len);

// RFC 1951, 3.2.6, built once and shared by every decoder in both modes.
struct fixed_tables {
    std::array<uint32_t, 1u << litlen_table_bits> litlen{};
    std::array<uint32_t, 1u << dist_table_bits> dist{};
    unsigned litlen_max = 0;
    unsigned dist_max = 0;
};
const fixed_tables& get_fixed_tables();

} // namespace velmora::inflate_tables

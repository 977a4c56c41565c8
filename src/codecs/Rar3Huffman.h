// Canonical Huffman codes of RAR 2.9-4.x (MSB-first, codeword lengths 1-15,
// shorter codes numerically smaller, ties in symbol order). A table of the
// first quick_bits bits resolves short codes at once; longer ones are found by
// comparing the next 15 bits against each length's upper limit.
#pragma once

#include <array>
#include <cstdint>

#include "codecs/Rar3BitInput.h"

namespace velmora {

class Rar3Huffman {
public:
    static constexpr unsigned max_len = 15;
    static constexpr unsigned max_symbols = 299; // the main code is the largest
    static constexpr unsigned max_quick_bits = 10;

    // Builds the code for lens[0..num_symbols) (0 = symbol unused). False when
    // the lengths over-subscribe the code space; an incomplete code is
    // accepted, and its unused codewords decode as -1.
    bool build(const uint8_t* lens, unsigned num_symbols, unsigned quick_bits);

    // The next symbol, or -1 for bits that are no codeword. Needs 15 readable bits.
    int decode(Rar3BitInput& in) const
    {
        const uint32_t v = in.peek(max_len);
        const uint16_t e = quick_[v >> (max_len - quick_bits_)];
        if (e != 0) {
            in.skip(e >> 12);
            return e & 0x0FFF;
        }
        return decode_long(in, v);
    }

private:
    int decode_long(Rar3BitInput& in, uint32_t v) const;

    // quick_ entries: codeword length in bits 12-15, symbol in bits 0-11; 0 = look further.
    std::array<uint16_t, 1u << max_quick_bits> quick_{};
    unsigned quick_bits_ = 1;
    std::array<uint32_t, max_len + 1> limit_{};      // (first code + count) << (15 - len)
    std::array<uint32_t, max_len + 1> first_code_{}; // first codeword of each length
    std::array<uint16_t, max_len + 1> first_index_{};// its place in sorted_
    std::array<uint16_t, max_symbols> sorted_{};     // symbols by (length, symbol)
    static_assert(max_symbols < 0x1000, "symbols fit the 12-bit field of a quick entry");
};

} // namespace velmora

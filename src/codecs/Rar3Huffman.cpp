// Decode tables for the canonical codes of RAR 2.9-4.x.
#include "codecs/Rar3Huffman.h"

namespace velmora {

bool Rar3Huffman::build(const uint8_t* lens, unsigned num_symbols, unsigned quick_bits)
{
    std::array<unsigned, max_len + 1> count{};
    for (unsigned s = 0; s < num_symbols; ++s)
        ++count[lens[s] & 0x0F];
    count[0] = 0;

    // Code space check: each length-n codeword uses 2^(15-n) of 2^15.
    uint32_t used = 0;
    for (unsigned len = 1; len <= max_len; ++len)
        used += count[len] << (max_len - len);
    if (used > (1u << max_len))
        return false;

    uint32_t code = 0;
    unsigned index = 0;
    for (unsigned len = 1; len <= max_len; ++len) {
        first_code_[len] = code;
        first_index_[len] = static_cast<uint16_t>(index);
        code += count[len];
        limit_[len] = code << (max_len - len);
        index += count[len];
        code <<= 1;
    }

    std::array<uint16_t, max_len + 1> next = first_index_;
    for (unsigned s = 0; s < num_symbols; ++s) {
        const unsigned len = lens[s] & 0x0F;
        if (len != 0)
            sorted_[next[len]++] = static_cast<uint16_t>(s);
    }

    quick_bits_ = quick_bits;
    quick_.fill(0);
    for (unsigned len = 1; len <= quick_bits; ++len) {
        for (unsigned k = 0; k < count[len]; ++k) {
            const uint32_t cw = first_code_[len] + k;
            const uint16_t e = static_cast<uint16_t>((len << 12) | sorted_[first_index_[len] + k]);
            // Every quick index that starts with this codeword.
            const unsigned shift = quick_bits - len;
            const uint32_t first = cw << shift;
            for (uint32_t i = 0; i < (1u << shift); ++i)
                quick_[first + i] = e;
        }
    }
    return true;
}

int Rar3Huffman::decode_long(Rar3BitInput& in, uint32_t v) const
{
    for (unsigned len = quick_bits_ + 1; len <= max_len; ++len) {
        if (v < limit_[len]) {
            const uint32_t cw = v >> (max_len - len);
            in.skip(len);
            return sorted_[first_index_[len] + (cw - first_code_[len])];
        }
    }
    return -1;
}

} // namespace velmora

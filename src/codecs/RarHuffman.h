// Canonical prefix codes as RAR 2.0 and RAR 5.0 send them (and the fixed
// codes of RAR 1.5 written the same way): code lengths 1-15, codes handed out
// in order of length and then symbol, read high bit first. A code may be
// incomplete (unused bit patterns decode to an invalid symbol); an
// over-subscribed one is refused.
#pragma once

#include <array>
#include <cstdint>

#include "codecs/RarBitInput.h"

namespace velmora {

inline constexpr unsigned rar_max_code_length = 15;

// A decode table for up to MaxSymbols symbols. Codes of at most QuickBits bits
// resolve with one lookup; longer ones by comparing the next 16 bits with the
// upper limit of each length (`limit_`, left-aligned in 16 bits).
template <unsigned MaxSymbols, unsigned QuickBits>
class RarHuffman {
    static_assert(MaxSymbols <= 4096, "a quick entry keeps the symbol in 12 bits");
    static_assert(QuickBits >= 1 && QuickBits <= rar_max_code_length);

public:
    static constexpr unsigned invalid = 0xFFFF;

    // Builds from `count` code lengths (0 = unused). False for an
    // over-subscribed code, or a length over 15; the table is then empty.
    bool build(const uint8_t* lens, unsigned count)
    {
        num_ = 0;
        if (count > MaxSymbols)
            return false;
        std::array<unsigned, rar_max_code_length + 1> len_count{};
        for (unsigned s = 0; s < count; ++s) {
            if (lens[s] > rar_max_code_length)
                return false;
            ++len_count[lens[s]];
        }
        len_count[0] = 0;

        // limit_[n]: codes of length <= n, scaled to 16 bits; a complete code
        // reaches exactly 1 << 16 at the longest length.
        uint32_t used = 0;
        first_[0] = 0;
        limit_[0] = 0;
        for (unsigned n = 1; n <= rar_max_code_length; ++n) {
            used = (used << 1) + len_count[n];
            limit_[n] = used << (16 - n);
            first_[n] = static_cast<uint16_t>(first_[n - 1] + len_count[n - 1]);
        }
        if (limit_[rar_max_code_length] > (1u << 16))
            return false;

        std::array<uint16_t, rar_max_code_length + 1> next = first_;
        for (unsigned s = 0; s < count; ++s)
            if (lens[s])
                sorted_[next[lens[s]]++] = static_cast<uint16_t>(s);

        // Quick entries: symbol in bits 4-15, code length in bits 0-3; 0 marks
        // a pattern that needs more than QuickBits bits (or none at all).
        quick_.fill(0);
        for (unsigned n = 1; n <= QuickBits; ++n) {
            const uint32_t first_code = limit_[n - 1] >> (16 - QuickBits);
            const uint32_t end_code = limit_[n] >> (16 - QuickBits);
            const uint32_t per_code = 1u << (QuickBits - n);
            unsigned idx = first_[n];
            for (uint32_t q = first_code; q < end_code; q += per_code, ++idx) {
                const uint16_t e = static_cast<uint16_t>((sorted_[idx] << 4) | n);
                for (uint32_t k = 0; k < per_code; ++k)
                    quick_[q + k] = e;
            }
        }
        // Codes of up to QuickBits bits end below this 16-bit value.
        quick_limit_ = limit_[QuickBits];
        num_ = count;
        return true;
    }

    bool empty() const { return num_ == 0; }

    // Decodes one symbol; `invalid` for a pattern no code has. Reads at most
    // 15 bits and needs 2 bytes of input (or pad) at the position.
    unsigned decode(RarBitInput& in) const
    {
        const uint32_t v = in.peek16();
        if (v < quick_limit_) {
            const uint16_t e = quick_[v >> (16 - QuickBits)];
            in.skip(e & 15);
            return e >> 4;
        }
        unsigned n = QuickBits + 1;
        while (n <= rar_max_code_length && v >= limit_[n])
            ++n;
        if (n > rar_max_code_length) {
            in.skip(rar_max_code_length);
            return invalid;
        }
        in.skip(n);
        const unsigned idx = first_[n] + ((v - limit_[n - 1]) >> (16 - n));
        return sorted_[idx];
    }

private:
    std::array<uint16_t, 1u << QuickBits> quick_{};
    std::array<uint32_t, rar_max_code_length + 1> limit_{};
    std::array<uint16_t, rar_max_code_length + 1> first_{};
    std::array<uint16_t, MaxSymbols> sorted_{};
    uint32_t quick_limit_ = 0;
    unsigned num_ = 0;
};

} // namespace velmora

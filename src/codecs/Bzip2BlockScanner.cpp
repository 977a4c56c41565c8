// The scan looks at two bytes per byte position: a magic that starts at bit k
// (0-7) of byte i fills bytes i+1 and i+2 with fixed values for each k, so
// two table lookups rule out nearly every position, and the few left are
// checked exactly with one 64-bit load. Both magics are looked for at once.
#include "codecs/Bzip2BlockScanner.h"

#include <algorithm>
#include <array>

namespace velmora {

namespace {

using Scanner = Bzip2BlockScanner;

constexpr uint64_t magic_of(unsigned kind) { return kind == 0 ? Scanner::block_magic : Scanner::end_magic; }

// Bit kind * 8 + k of table[b] is set when byte i + 1 + byte_offset holds b
// for the magic `kind` starting at bit k of byte i: bits [8 + 8 * byte_offset
// - k, +8) of the magic, counted from its first (most significant) bit.
constexpr std::array<uint16_t, 256> make_filter(unsigned byte_offset)
{
    std::array<uint16_t, 256> table{};
    for (unsigned kind = 0; kind < 2; ++kind)
        for (unsigned k = 0; k < 8; ++k) {
            const unsigned first = 8 + 8 * byte_offset - k;
            const auto b = static_cast<uint8_t>(magic_of(kind) >> (Scanner::magic_bits - 8 - first));
            table[b] = static_cast<uint16_t>(table[b] | 1u << (kind * 8 + k));
        }
    return table;
}

constexpr std::array<uint16_t, 256> second_byte = make_filter(0);
constexpr std::array<uint16_t, 256> third_byte = make_filter(1);

// A cut is trusted only when libbz2 ends a block exactly at it; that holds
// because no magic can be read a few bits before another one: neither
// pattern's tail equals either one's head for shifts of 1 to 7 bits.
constexpr bool overlaps_within_a_byte(uint64_t first, uint64_t second)
{
    for (unsigned k = 1; k < 8; ++k) {
        const uint64_t tail = first & ((uint64_t{1} << (Scanner::magic_bits - k)) - 1);
        if (tail == second >> k) return true;
    }
    return false;
}
static_assert(!overlaps_within_a_byte(Scanner::block_magic, Scanner::block_magic) &&
              !overlaps_within_a_byte(Scanner::block_magic, Scanner::end_magic) &&
              !overlaps_within_a_byte(Scanner::end_magic, Scanner::block_magic) &&
              !overlaps_within_a_byte(Scanner::end_magic, Scanner::end_magic));

inline uint64_t load_be64(const uint8_t* p)
{
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}

} // namespace

bool Bzip2BlockScanner::find(const uint8_t* data, size_t size, uint64_t from_bit, uint64_t to_bit, Match& match,
                             uint64_t& resume_bit)
{
    uint64_t i = from_bit / 8;
    for (; i + 8 <= size && i * 8 < to_bit; ++i) {
        const unsigned candidates = second_byte[data[i + 1]] & third_byte[data[i + 2]];
        if (candidates == 0) continue;
        const uint64_t v = load_be64(data + i);
        for (unsigned k = 0; k < 8; ++k) {
            const uint64_t bit = i * 8 + k;
            if (bit < from_bit || bit >= to_bit) continue;
            const uint64_t at = (v << k) >> (64 - magic_bits);
            if ((candidates >> k & 1) && at == block_magic) {
                match = {bit, Kind::block};
                return true;
            }
            if ((candidates >> (8 + k) & 1) && at == end_magic) {
                match = {bit, Kind::end};
                return true;
            }
        }
    }
    resume_bit = std::max(from_bit, std::min(i * 8, to_bit));
    return false;
}

unsigned append_bits(std::vector<uint8_t>& out, const uint8_t* data, uint64_t from_bit, uint64_t n)
{
    const size_t whole = static_cast<size_t>(n / 8);
    const auto rest = static_cast<unsigned>(n % 8);
    const size_t at = out.size();
    out.resize(at + whole + (rest != 0));
    uint8_t* dst = out.data() + at;
    const uint8_t* src = data + from_bit / 8;
    const unsigned shift = from_bit % 8;
    if (shift == 0) {
        std::copy(src, src + whole + (rest != 0), dst);
    } else {
        // Each output byte is the low bits of one input byte and the high
        // bits of the next.
        for (size_t j = 0; j < whole + (rest != 0); ++j)
            dst[j] = static_cast<uint8_t>(src[j] << shift | src[j + 1] >> (8 - shift));
    }
    if (rest != 0) dst[whole] &= static_cast<uint8_t>(0xFF00 >> rest);
    return rest;
}

unsigned put_bits(std::vector<uint8_t>& out, unsigned used, uint64_t value, unsigned n)
{
    for (unsigned i = n; i-- > 0;) {
        if (used == 0) out.push_back(0);
        if (value >> i & 1) out.back() |= static_cast<uint8_t>(0x80 >> used);
        used = (used + 1) % 8;
    }
    return used;
}

} // namespace velmora

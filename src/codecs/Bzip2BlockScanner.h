// Finds the block boundaries of a bzip2 stream without decoding it: each
// block starts with the 48-bit magic 0x314159265359 and the stream ends with
// 0x177245385090 and the 32-bit combined CRC, at any bit position (bzip2's
// blocks are not byte-aligned). Also the bit helpers that cut a block out of
// the stream. A match is only a candidate: the pattern may occur inside
// compressed data, and the decoder checks every cut it makes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora {

class Bzip2BlockScanner {
public:
    static constexpr uint64_t block_magic = 0x314159265359;
    static constexpr uint64_t end_magic = 0x177245385090;
    static constexpr unsigned magic_bits = 48;

    enum class Kind : uint8_t { block, end };
    struct Match {
        uint64_t bit; // position of the magic's first bit in the buffer
        Kind kind;
    };

    // The first magic starting at a bit position in [from_bit, to_bit) of
    // data[0, size). Only positions whose byte has 7 more bytes after it are
    // looked at (the magic and, after the end magic, its CRC need them);
    // resume_bit tells where to go on once more data has come.
    static bool find(const uint8_t* data, size_t size, uint64_t from_bit, uint64_t to_bit, Match& match,
                     uint64_t& resume_bit);

    // The most bits a block of the given level (1-9, 100k units) can take:
    // its header, the symbol map, 32767 selectors of 6 bits, six tables of
    // 258 delta-coded lengths, and one 20-bit code per symbol, of which
    // there are at most one per byte of the block plus the end of block. A
    // candidate further away than this from the block's start is not its end.
    static constexpr uint64_t max_block_bits(unsigned level)
    {
        return 48 + 32 + 1 + 24 + 16 + 16 * 16 + 3 + 15 + 6 * uint64_t{32767} + 6 * (5 + 258 * 41) +
               20 * (uint64_t{100000} * level + 2);
    }
};

// n <= 57 bits from data at bit position bit, most significant bit first
// (bzip2 packs its bits so); the caller makes sure 8 bytes can be read there.
inline uint64_t read_bits_msb(const uint8_t* data, uint64_t bit, unsigned n)
{
    const uint8_t* p = data + bit / 8;
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return (v << (bit % 8)) >> (64 - n);
}

// Appends bits [from_bit, from_bit + n) of data to out, which ends on a byte
// boundary; returns the number of bits used in out's new last byte (0 when
// it is full). data must have one readable byte after the bits.
unsigned append_bits(std::vector<uint8_t>& out, const uint8_t* data, uint64_t from_bit, uint64_t n);

// Appends the n <= 57 low bits of value to out, whose last byte has `used`
// bits in it (the rest zero); returns the new count for the last byte.
unsigned put_bits(std::vector<uint8_t>& out, unsigned used, uint64_t value, unsigned n);

} // namespace velmora

// The made-up block is compressed by libbz2 itself and then lengthened by
// selectors that are never used: a bzip2 block stores how many selectors it
// has (15 bits) and each is a unary code, so every extra selector "0" adds
// one bit and the decoder ignores selectors past the last group of symbols.
#include "codecs/Bzip2ResumePrefix.h"

#include <bzlib.h>

#include <algorithm>
#include <array>
#include <bit>

#include "codecs/Bzip2BlockScanner.h"

namespace velmora {

namespace {

constexpr uint32_t crc_polynomial = 0x04C11DB7;

// The four bytes (big-endian) whose bzip2 CRC is crc. The CRC register goes
// through 32 steps of "shift left, add the polynomial when a 1 falls out"
// while a 32-bit word is xored into it; each step can be undone, because the
// polynomial is odd: the new low bit tells whether it was added.
std::array<uint8_t, 4> bytes_with_crc(uint32_t crc)
{
    uint32_t reg = ~crc;
    for (int i = 0; i < 32; ++i)
        reg = (reg & 1) ? ((reg ^ crc_polynomial) >> 1) | 0x80000000u : reg >> 1;
    const uint32_t word = reg ^ 0xFFFFFFFFu;
    return {static_cast<uint8_t>(word >> 24), static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 8),
            static_cast<uint8_t>(word)};
}

// Reads bits from a small buffer with 8 zero bytes after it.
struct bit_cursor {
    const uint8_t* data;
    uint64_t bit;
    uint64_t take(unsigned n)
    {
        const uint64_t v = read_bits_msb(data, bit, n);
        bit += n;
        return v;
    }
};

} // namespace

uint32_t Bzip2ResumePrefix::block_crc(const uint8_t* data, size_t size)
{
    uint32_t reg = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        reg ^= uint32_t{data[i]} << 24;
        for (int k = 0; k < 8; ++k) reg = (reg & 0x80000000u) ? (reg << 1) ^ crc_polynomial : reg << 1;
    }
    return ~reg;
}

bool Bzip2ResumePrefix::build(char level, uint32_t combined_crc, unsigned bit_in_byte, std::vector<uint8_t>& bytes)
{
    auto data = bytes_with_crc(combined_crc);
    // A 4-byte block takes well under 100 bytes; 8 zero bytes follow for the reader.
    std::array<uint8_t, 256 + 8> packed{};
    unsigned packed_size = 256;
    if (BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(packed.data()), &packed_size,
                                 reinterpret_cast<char*>(data.data()), 4, 1, 0, 0) != BZ_OK)
        return false;

    // Stream header(32) | block: magic(48) crc(32) randomised(1) origPtr(24)
    // inUse16(16) inUse(16 per bit of inUse16) nGroups(3) nSelectors(15) selectors...
    bit_cursor in{packed.data(), 32 + 48 + 32 + 1 + 24};
    const auto in_use16 = static_cast<unsigned>(in.take(16));
    in.bit += 16u * static_cast<unsigned>(std::popcount(in_use16));
    in.bit += 3;
    const uint64_t selectors_field = in.bit;
    const auto selectors = static_cast<unsigned>(in.take(15));
    for (unsigned i = 0; i < selectors && in.bit < uint64_t{packed_size} * 8; ++i)
        while (in.take(1) == 1 && in.bit < uint64_t{packed_size} * 8) {
        }
    const uint64_t selectors_end = in.bit;
    // The end-of-stream magic and CRC close the stream, then 0-7 bits of padding.
    uint64_t block_end = 0;
    for (unsigned pad = 0; pad < 8 && block_end == 0; ++pad) {
        const uint64_t at = uint64_t{packed_size} * 8 - pad - 80;
        if (read_bits_msb(packed.data(), at, 48) == Bzip2BlockScanner::end_magic) block_end = at;
    }
    if (block_end == 0 || read_bits_msb(packed.data(), 32, 48) != Bzip2BlockScanner::block_magic) return false;

    const auto extra = static_cast<unsigned>((bit_in_byte + 8 - (block_end - 32) % 8) % 8);
    bytes.assign({'B', 'Z', 'h', static_cast<uint8_t>(level)});
    unsigned used = append_bits(bytes, packed.data(), 32, selectors_field - 32);
    used = put_bits(bytes, used, selectors + extra, 15);
    const uint64_t after_field = selectors_field + 15;
    // The rest of the block goes through put_bits in pieces of up to 32
    // bits: it is short, and the prefix is made once per fallback.
    auto copy = [&](uint64_t from, uint64_t to) {
        for (uint64_t b = from; b < to;) {
            const auto n = static_cast<unsigned>(std::min<uint64_t>(32, to - b));
            used = put_bits(bytes, used, read_bits_msb(packed.data(), b, n), n);
            b += n;
        }
    };
    copy(after_field, selectors_end);
    used = put_bits(bytes, used, 0, extra);
    copy(selectors_end, block_end);
    return used == bit_in_byte;
}

} // namespace velmora

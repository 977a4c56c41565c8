// The start of a made-up bzip2 stream that lets libbz2 go on with a real
// stream from one of its blocks as if it had decoded the blocks before:
// "BZh" and the level, then one block of 4 bytes whose CRC is the combined
// CRC of those blocks (libbz2 folds block CRCs from 0, so after this block
// its running value is the real stream's), padded with unused selectors to a
// length in bits that ends where the real block starts within its byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora {

class Bzip2ResumePrefix {
public:
    // The bytes made up for the block: their output comes first and is dropped.
    static constexpr unsigned output_bytes = 4;

    // Fills bytes with the prefix for a stream of the given level ('1'-'9')
    // whose blocks so far have the given combined CRC, to be followed by a
    // block starting at bit `bit_in_byte` (0-7) of a byte: the prefix's last
    // byte holds that many bits of it, the rest of that byte comes from the
    // real stream. False when libbz2 fails (memory).
    static bool build(char level, uint32_t combined_crc, unsigned bit_in_byte, std::vector<uint8_t>& bytes);

    // bzip2's CRC-32 (polynomial 0x04C11DB7, most significant bit first) of data.
    static uint32_t block_crc(const uint8_t* data, size_t size);
};

} // namespace velmora

// ARC methods 8 ("crunched", dynamic LZW) and 9 ("squashed"): LZW as in Unix
// compress, codes of 9 bits growing to 12 (method 8) or 13 (method 9), low bit
// first, code 256 clearing the table. Method 8 opens with a byte holding the
// maximum code size (12) and goes through the run-length stage (ArcRle);
// method 9 has neither. No end mark: exactly the expected size is produced.
#pragma once

#include "codecs/ArcRle.h"
#include "codecs/ByteStream.h"

#include <array>
#include <cstdint>
#include <memory>

namespace velmora {

class ArcLzw {
public:
    static constexpr unsigned min_code_bits = 9;
    static constexpr unsigned crunch_code_bits = 12; // method 8
    static constexpr unsigned squash_code_bits = 13; // method 9
    static constexpr unsigned max_codes = 1u << squash_code_bits;
    static constexpr unsigned clear_code = 256;
    static constexpr unsigned first_free = 257;

    // method: 8 or 9.
    DecodeStatus decode(uint8_t method, ByteSource& in, ByteSink& out, uint64_t out_size);

private:
    DecodeStatus run(uint8_t method, ByteSource& in, ByteSink& out, uint64_t out_size);
    // Recent LZW output (before the run-length stage); strings that begin
    // no further back than this are copied from it.
    static constexpr size_t ring_size = size_t{1} << 20;

    void copy_from_ring(uint8_t* dst, uint64_t from, unsigned len);
    void walk_chain(uint8_t* dst, unsigned code, unsigned len);
    void copy_to_ring(uint64_t at, unsigned len);

    // String k (k >= 257) is string prefix_[k] followed by walk_suffix_[k];
    // first_[k] is its first byte, length_[k] its length, and where_[k] the
    // output position of its latest copy.
    std::array<uint16_t, max_codes> prefix_{};
    std::array<uint8_t, max_codes> walk_suffix_{};
    std::array<uint8_t, max_codes> first_{};
    std::array<uint16_t, max_codes> length_{};
    std::array<uint64_t, max_codes> where_{};
    std::array<uint8_t, max_codes + 1> string_{};
    std::unique_ptr<uint8_t[]> ring_;
    ArcRle rle_;
};

} // namespace velmora

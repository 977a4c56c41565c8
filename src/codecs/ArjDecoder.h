// Decoder of ARJ entries (Robert Jung's ARJ; the technote of ARJ 2.x/3.x):
// method 0 stored, methods 1 to 3 the static-Huffman LZ77 coder shared with
// LHA (26,624-byte window), method 4 ("fastest") LZ77 with unary-prefixed
// lengths and positions. Garbled entries are unscrambled first (ArjGarble).
// Memory: the window and the tables, whatever the entry's size.
#pragma once

#include <cstdint>

#include "codecs/ByteStream.h"

namespace velmora {

class ArjDecoder {
public:
    // PackMethod from the local header.
    explicit ArjDecoder(uint8_t method) : method_(method) {}

    static bool supported(uint8_t method) { return method <= 4; }

    // Produces exactly out_size bytes (the streams have no end marker).
    // `truncated` when the input ends first, `data_error` for a bad code
    // table or a copy from before the first byte or beyond the window,
    // `unsupported` for a method above 4.
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t out_size);

private:
    uint8_t method_;
};

} // namespace velmora

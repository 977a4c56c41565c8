// The LZSS coders of LArc (Kazuhiko Miki, 1988), also found in LHA archives:
// -lzs- (2 KiB window; a flag bit, then a literal byte or an 11-bit window
// position and a 4-bit length) and -lz5- (4 KiB window; a flag byte for eight
// items, then literal bytes or 12-bit positions with 4-bit lengths, as in
// Okumura's LZSS.C). Positions are absolute places in a ring buffer whose
// starting contents LArc fixes. Memory: the window, whatever the entry's size.
#pragma once

#include <cstdint>

#include "codecs/ByteStream.h"

namespace velmora {

enum class larc_method { lzs, lz5 };

// Decodes one entry of exactly out_size bytes (the stream has no end
// marker): `truncated` when the input ends first.
DecodeStatus larc_decode(larc_method method, ByteSource& in, ByteSink& out, uint64_t out_size);

} // namespace velmora

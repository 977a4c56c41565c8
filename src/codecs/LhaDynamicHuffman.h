// The -lh1- coder of LHarc 1.x (Yoshizaki's LZHUF): an adaptive Huffman
// code of 314 symbols (256 literals, copy lengths 3..60) kept in Okumura's
// sibling-ordered tree, and copy positions in a 4 KiB window coded with a
// fixed code for their top 6 bits and 6 plain bits below. Memory: the window
// and the tree, whatever the entry's size.
#pragma once

#include <cstdint>

#include "codecs/ByteStream.h"

namespace velmora {

// Decodes one -lh1- entry of exactly out_size bytes (the stream has no end
// marker): `truncated` when the input ends first.
DecodeStatus lha_lh1_decode(ByteSource& in, ByteSink& out, uint64_t out_size);

} // namespace velmora

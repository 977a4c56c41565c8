// Stored entries (LHA -lh0-/-lz4-, ARJ method 0): the input copied to the
// sink in pieces, exactly the expected size. Memory: one 64 KiB buffer.
#pragma once

#include <cstdint>

#include "codecs/ByteStream.h"

namespace velmora {

// Copies exactly out_size bytes; `truncated` when the input ends first.
DecodeStatus stored_copy(ByteSource& in, ByteSink& out, uint64_t out_size);

} // namespace velmora

// The "stored" method of every format (ZIP method 0, LHA -lh0-/-lz4-, ARJ
// method 0, TAR members): bytes copied from a source to a sink unchanged, in
// pieces the size of a buffer.
#pragma once

#include "codecs/ByteStream.h"

#include <algorithm>
#include <cstdint>
#include <span>

namespace velmora {

// Copies exactly `size` bytes through the caller's buffer; truncated when the
// source ends first.
inline DecodeStatus copy_stored(ByteSource& in, ByteSink& out, uint64_t size, std::span<uint8_t> buffer)
{
    while (size > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(size, buffer.size()));
        const size_t got = in.read(buffer.first(want));
        if (got == 0)
            return DecodeStatus::truncated;
        if (!out.write(buffer.first(got)))
            return DecodeStatus::stopped;
        size -= got;
    }
    return DecodeStatus::ok;
}

// The same through a 64 KiB buffer of its own.
DecodeStatus stored_copy(ByteSource& in, ByteSink& out, uint64_t out_size);

} // namespace velmora

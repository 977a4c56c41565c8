// Stored copy: reads into a buffer until it holds at least 16 KiB (or the
// entry's rest), so the sink sees pieces of a useful size even from a source
// that gives little at a time.
#include "codecs/StoredCopy.h"

#include <algorithm>
#include <memory>
#include <new>

namespace velmora {

DecodeStatus stored_copy(ByteSource& in, ByteSink& out, uint64_t out_size)
{
    constexpr size_t buffer_size = size_t{64} << 10;
    constexpr size_t min_piece = size_t{16} << 10;
    if (out_size == 0) return DecodeStatus::ok;
    const std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[buffer_size]);
    if (!buf) return DecodeStatus::no_memory;
    uint64_t left = out_size;
    while (left > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer_size, left));
        size_t have = 0;
        while (have < std::min(want, min_piece)) {
            const size_t got = in.read({buf.get() + have, want - have});
            if (got == 0) break;
            have += got;
        }
        if (have > 0 && !out.write({buf.get(), have})) return DecodeStatus::stopped;
        if (have < std::min(want, min_piece)) return DecodeStatus::truncated;
        left -= have;
    }
    return DecodeStatus::ok;
}

} // namespace velmora

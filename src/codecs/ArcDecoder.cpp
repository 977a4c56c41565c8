// ARC method selection; stored entries are copied in pieces.
#include "codecs/ArcDecoder.h"

#include "codecs/InputBuffer.h"
#include "codecs/OutputBuffer.h"

#include <new>

namespace velmora {
namespace {

DecodeStatus copy_stored(ByteSource& in, ByteSink& sink, uint64_t out_size)
try {
    InputBuffer input(in);
    OutputBuffer out(sink, out_size);
    while (!out.at_limit()) {
        const auto piece = input.peek();
        if (piece.empty())
            return out.finish(DecodeStatus::truncated);
        const size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), out_size - out.total()));
        if (!out.put(piece.first(n)))
            return DecodeStatus::stopped;
        input.skip(n);
    }
    return out.finish(DecodeStatus::ok);
} catch (const std::bad_alloc&) {
    return DecodeStatus::no_memory;
}

// Makes a decoder on first use: the LZW tables take some 40 KiB.
template <typename T>
T* lazily(std::unique_ptr<T>& p)
{
    if (!p) {
        try {
            p = std::make_unique<T>();
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    return p.get();
}

} // namespace

DecodeStatus ArcDecoder::decode(uint8_t method, ByteSource& in, ByteSink& out, uint64_t out_size)
{
    switch (method) {
    case 1:
    case 2:
        return copy_stored(in, out, out_size);
    case 3:
        return rle_.decode(in, out, out_size);
    case 4:
        if (auto* d = lazily(squeeze_))
            return d->decode(in, out, out_size);
        return DecodeStatus::no_memory;
    case 5:
    case 6:
    case 7:
        if (auto* d = lazily(crunch_))
            return d->decode(method, in, out, out_size);
        return DecodeStatus::no_memory;
    case 8:
    case 9:
        if (auto* d = lazily(lzw_))
            return d->decode(method, in, out, out_size);
        return DecodeStatus::no_memory;
    default:
        return DecodeStatus::unsupported;
    }
}

} // namespace velmora

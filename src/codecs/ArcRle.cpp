// ARC run-length expansion (method 3) over a streamed input.
#include "codecs/ArcRle.h"

#include "codecs/InputBuffer.h"

#include <new>

namespace velmora {

DecodeStatus ArcRle::run(ByteSource& in, ByteSink& sink, uint64_t out_size)
{
    reset(true);
    InputBuffer input(in);
    OutputBuffer out(sink, out_size);
    while (!out.at_limit()) {
        const auto piece = input.peek();
        if (piece.empty())
            return out.finish(DecodeStatus::truncated);
        // Stop taking input once the output is complete: the rest is padding.
        size_t used = 0;
        while (used < piece.size() && write(piece[used], out))
            ++used;
        input.skip(used);
        if (used < piece.size()) {
            if (out.sink_failed())
                return DecodeStatus::stopped;
            break; // the run that filled the output
        }
    }
    return out.finish(DecodeStatus::ok);
}

DecodeStatus ArcRle::decode(ByteSource& in, ByteSink& out, uint64_t out_size)
{
    try {
        return run(in, out, out_size);
    } catch (const std::bad_alloc&) {
        return DecodeStatus::no_memory;
    }
}

} // namespace velmora

// ARC squeeze decoding: walks the stored node table a bit at a time. A table
// that names a node it does not hold, or a leaf value above 256, is a data
// error; a table with no nodes is a stream that ends at once (as ARC reads it).
#include "codecs/ArcSqueeze.h"

#include "codecs/InputBuffer.h"
#include "codecs/OutputBuffer.h"

#include <new>

namespace velmora {

DecodeStatus ArcSqueeze::run(ByteSource& in, ByteSink& sink, uint64_t out_size)
{
    InputBuffer input(in);
    OutputBuffer out(sink, out_size);
    rle_.reset(true);

    auto read16 = [&input](int32_t& v) {
        const int lo = input.get();
        const int hi = input.get();
        v = static_cast<int16_t>(static_cast<uint16_t>(lo | (hi << 8)));
        return lo >= 0 && hi >= 0;
    };
    int32_t num_nodes = 0;
    if (!read16(num_nodes))
        return out.finish(DecodeStatus::truncated);
    if (num_nodes < 0 || num_nodes > static_cast<int32_t>(max_nodes))
        return out.finish(DecodeStatus::data_error);
    for (int32_t n = 0; n < num_nodes; ++n) {
        for (int bit = 0; bit < 2; ++bit) {
            int32_t v = 0;
            if (!read16(v))
                return out.finish(DecodeStatus::truncated);
            if (v >= num_nodes || v < -static_cast<int32_t>(num_values))
                return out.finish(DecodeStatus::data_error);
            child_[n][bit] = static_cast<int16_t>(v);
        }
    }
    if (num_nodes == 0)
        return DecodeStatus::ok;

    // ARC 5.21 leaves the end mark out when the output ends a stream (arc's
    // own expander stops at the end of the input), so the stream also ends
    // when out_size bytes are out. A walk that never reaches a leaf still
    // takes a bit per step, so it ends with the input.
    uint32_t bits = 0;
    unsigned nbits = 0;
    while (!out.at_limit()) {
        int node = 0;
        do {
            if (nbits == 0) {
                const int c = input.get();
                if (c < 0)
                    return out.finish(DecodeStatus::truncated);
                bits = static_cast<uint32_t>(c);
                nbits = 8;
            }
            node = child_[node][bits & 1];
            bits >>= 1;
            --nbits;
        } while (node >= 0);
        const unsigned value = static_cast<unsigned>(-(node + 1));
        if (value == end_of_stream)
            break;
        if (!rle_.write(static_cast<uint8_t>(value), out)) {
            if (out.sink_failed())
                return DecodeStatus::stopped;
            break; // a run that reaches past out_size is cut there
        }
    }
    return out.finish(DecodeStatus::ok);
}

DecodeStatus ArcSqueeze::decode(ByteSource& in, ByteSink& out, uint64_t out_size)
{
    try {
        return run(in, out, out_size);
    } catch (const std::bad_alloc&) {
        return DecodeStatus::no_memory;
    }
}

} // namespace velmora

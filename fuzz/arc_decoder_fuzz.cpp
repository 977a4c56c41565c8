// ARC decoders (methods 1 to 9, and 10 which must be refused). Input: method
// (1 + byte % 10), the entry size (18 bits), a piece size, then the packed
// bytes. The entry is decoded from one whole source and again from a source
// that gives a few bytes at a time into a sink that takes small writes: both
// must give the same status and bytes, never more than the entry size, and
// exactly the size when a method without an end mark ends ok. No library
// decodes ARC, so the second decoder is the same one fed differently.
#include "codecs/ArcDecoder.h"
#include "stream_fuzz_support.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

using namespace velmora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5)
        return 0;
    const auto method = static_cast<uint8_t>(1 + data[0] % 10);
    const uint64_t out_size = data[1] | (data[2] << 8) | ((data[3] & 0x03) << 16);
    const size_t piece = 1 + data[4] % 61;
    const std::span<const uint8_t> packed(data + 5, size - 5);

    static ArcDecoder whole_decoder; // kept between inputs, as a reader keeps it between entries
    std::vector<uint8_t> whole;
    VectorSink whole_sink(whole);
    SpanSource whole_source(packed);
    const DecodeStatus a = whole_decoder.decode(method, whole_source, whole_sink, out_size);

    static ArcDecoder trickle_decoder;
    std::vector<uint8_t> trickled;
    VectorSink trickle_sink(trickled);
    fuzz::chunked_source trickle_source(packed, piece);
    const DecodeStatus b = trickle_decoder.decode(method, trickle_source, trickle_sink, out_size);

    if (a != b || whole != trickled || whole.size() > out_size)
        abort();
    if (method > ArcDecoder::last_method && a != DecodeStatus::unsupported)
        abort();
    if (a == DecodeStatus::ok && method != 4 && whole.size() != out_size)
        abort();
    return 0;
}

// libFuzzer target for the RAR 5 decoder. Input: byte 0 flags (bit 0: RAR 7
// distance table; bit 1: size unknown; bit 2: two solid entries; bits 4-5:
// dictionary 128 KiB << n), bytes 1-3 the first entry's size (up to 1 MiB),
// byte 4 where the stream splits into the two entries, byte 5 the input
// piece size of the second run, then the stream. Each input is decoded whole
// and again in small pieces, each by its own decoder kept from input to
// input (as a reader keeps one); status and output must agree, and no output
// may pass the declared size.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codecs/Rar5Decoder.h"
#include "stream_fuzz_support.h"

namespace {

struct result {
    velmora::DecodeStatus status[2];
    std::vector<uint8_t> out[2];
};

result run(velmora::Rar5Decoder& dec, std::span<const uint8_t> stream, size_t split, bool two, bool extended,
           uint64_t dict, uint64_t size, size_t piece)
{
    result r{};
    const std::span<const uint8_t> parts[2] = {stream.first(two ? split : stream.size()),
                                               stream.subspan(two ? split : stream.size())};
    for (int i = 0; i < (two ? 2 : 1); ++i) {
        velmora::fuzz::chunked_source src(parts[i], piece);
        velmora::VectorSink sink(r.out[i], uint64_t{8} << 20);
        dec.set_dictionary(dict, extended);
        r.status[i] = dec.decode(src, sink, i == 0 ? size : velmora::Rar5Decoder::unknown_size, i == 1);
        if (size != velmora::Rar5Decoder::unknown_size && i == 0 && r.out[i].size() > size)
            std::abort();
        if (i == 0 && r.status[i] == velmora::DecodeStatus::ok && size != velmora::Rar5Decoder::unknown_size
            && r.out[i].size() != size)
            std::abort();
    }
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 6)
        return 0;
    const bool extended = data[0] & 1;
    const bool unknown = data[0] & 2;
    const bool two = data[0] & 4;
    const uint64_t dict = uint64_t{128 * 1024} << ((data[0] >> 4) & 3);
    const uint64_t out_size = unknown ? velmora::Rar5Decoder::unknown_size
                                      : (data[1] | (data[2] << 8) | (static_cast<uint64_t>(data[3] & 0x0F) << 16));
    const std::span<const uint8_t> stream(data + 6, size - 6);
    const size_t split = stream.size() * data[4] / 256;
    const size_t piece = 1 + data[5] % 37;

    static velmora::Rar5Decoder whole, pieces;
    const result a = run(whole, stream, split, two, extended, dict, out_size, SIZE_MAX);
    const result b = run(pieces, stream, split, two, extended, dict, out_size, piece);
    for (int i = 0; i < 2; ++i) {
        if (a.status[i] != b.status[i] || a.out[i] != b.out[i])
            std::abort();
    }
    return 0;
}

// libFuzzer target for the RAR 1.5 and RAR 2.0 decoders. Input: byte 0 picks
// the decoder (bit 0: RAR 2.0) and two solid entries (bit 1), bytes 1-3 the
// first entry's size (up to 1 MiB), byte 4 where the stream splits into the
// two entries and the second's size (its value times 64), byte 5 the input
// piece size of the second run, then the stream. Each input is decoded whole
// and again in small pieces, each by its own decoder kept from input to
// input; status and output must agree, no output may pass the size, and a
// clean end must give it all.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codecs/Rar15Decoder.h"
#include "codecs/Rar20Decoder.h"
#include "stream_fuzz_support.h"

namespace {

struct result {
    velmora::DecodeStatus status[2]{};
    std::vector<uint8_t> out[2];
};

template <typename Decoder>
result run(Decoder& dec, std::span<const uint8_t> stream, size_t split, bool two, const uint64_t sizes[2], size_t piece)
{
    result r;
    const std::span<const uint8_t> parts[2] = {stream.first(two ? split : stream.size()),
                                               stream.subspan(two ? split : stream.size())};
    for (int i = 0; i < (two ? 2 : 1); ++i) {
        velmora::fuzz::chunked_source src(parts[i], piece);
        velmora::VectorSink sink(r.out[i]);
        r.status[i] = dec.decode(src, sink, sizes[i], i == 1);
        if (r.out[i].size() > sizes[i])
            std::abort();
        if (r.status[i] == velmora::DecodeStatus::ok && r.out[i].size() != sizes[i])
            std::abort();
    }
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 6)
        return 0;
    const bool rar20 = data[0] & 1;
    const bool two = data[0] & 2;
    const uint64_t sizes[2] = {data[1] | (data[2] << 8) | (static_cast<uint64_t>(data[3] & 0x0F) << 16), uint64_t{data[4]} * 64};
    const std::span<const uint8_t> stream(data + 6, size - 6);
    const size_t split = stream.size() * data[4] / 256;
    const size_t piece = 1 + data[5] % 37;
    // Decoders kept from input to input, as a reader keeps one.
    static velmora::Rar15Decoder r15[2];
    static velmora::Rar20Decoder r20[2];
    const result a = rar20 ? run(r20[0], stream, split, two, sizes, SIZE_MAX) : run(r15[0], stream, split, two, sizes, SIZE_MAX);
    const result b = rar20 ? run(r20[1], stream, split, two, sizes, piece) : run(r15[1], stream, split, two, sizes, piece);
    for (int i = 0; i < 2; ++i) {
        if (a.status[i] != b.status[i] || a.out[i] != b.out[i])
            std::abort();
    }
    return 0;
}

// bzip2 decoder over libbz2, for .bz2/.tbz/.tbz2 files and ZIP method 12.
// A .bz2 file may hold several streams one after another (as pbzip2 and
// `cat a.bz2 b.bz2` make them); bzip2 -d reads them all and ignores bytes
// after the last one that do not start a stream. A ZIP entry holds one stream.
// Memory: libbz2's tables for 900k blocks (about 3.6 MiB) plus the buffers.
#pragma once

#include <cstdint>
#include <memory>

#include "codecs/ByteStream.h"

namespace velmora {

class Bzip2Decoder {
public:
    enum class Streams {
        concatenated, // every stream up to the end of input, as bzip2 -d reads a file
        single,       // the first stream only (ZIP method 12)
    };

    explicit Bzip2Decoder(Streams streams = Streams::concatenated);
    ~Bzip2Decoder();
    Bzip2Decoder(const Bzip2Decoder&) = delete;
    Bzip2Decoder& operator=(const Bzip2Decoder&) = delete;

    // ok at the end of the (last) stream; truncated when the input ends
    // inside one (or holds no stream at all); data_error for a bad block or
    // CRC, or input that is not bzip2; output_limit past out_limit bytes.
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t out_limit = UINT64_MAX);

private:
    struct State;
    std::unique_ptr<State> state_;
    Streams streams_;
};

} // namespace velmora

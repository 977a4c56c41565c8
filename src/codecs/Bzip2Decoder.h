// bzip2 decoder over libbz2, for .bz2/.tbz/.tbz2 files and ZIP method 12.
// A .bz2 file may hold several streams one after another (as pbzip2 and
// `cat a.bz2 b.bz2` make them); bzip2 -d reads them all and ignores bytes
// after the last one that do not start a stream. A ZIP entry holds one stream.
// A stream of several blocks is decoded block by block on up to four
// threads (Bzip2BlockDecoder); one block, or one core, goes through libbz2
// as a single stream. Memory: libbz2's tables for 900k blocks (about 3.6 MiB)
// per thread plus the buffers and a few blocks in flight.
#pragma once

#include <climits>
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

    // Threads beside the calling one for the blocks of a stream (at most 3;
    // 0: the calling thread decodes the blocks alone).
    static constexpr unsigned automatic = UINT_MAX;      // one per core, up to 3 (none on one core)
    static constexpr unsigned sequential = UINT_MAX - 1; // none: libbz2 takes each stream as a whole

    explicit Bzip2Decoder(Streams streams = Streams::concatenated, unsigned workers = automatic);
    ~Bzip2Decoder();
    Bzip2Decoder(const Bzip2Decoder&) = delete;
    Bzip2Decoder& operator=(const Bzip2Decoder&) = delete;

    // ok at the end of the (last) stream; truncated when the input ends
    // inside one (or holds no stream at all); data_error for a bad block or
    // CRC, or input that is not bzip2; output_limit past out_limit bytes.
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t out_limit = UINT64_MAX);

private:
    struct State;
    DecodeStatus decode_sequentially(ByteSource& in, ByteSink& out, uint64_t out_limit);

    std::unique_ptr<State> state_;
    Streams streams_;
    unsigned workers_;
};

} // namespace velmora

// bzip2 decoding with the blocks of a stream decoded side by side. The
// calling thread cuts the stream into blocks at their magics, each block is
// decoded by libbz2 as a stream of its own on a worker thread or the calling
// thread, and the output goes to the sink in stream order. Any cut libbz2
// does not confirm (damage, a magic inside compressed data, a cut input)
// sends the rest of the stream through libbz2 as one stream again, so the
// results are those of plain libbz2. Memory: a few blocks' input and output
// (4 MiB of output per block at most) and libbz2's tables per thread.
#pragma once

#include <cstdint>
#include <memory>

#include "codecs/ByteStream.h"

namespace velmora {

class Bzip2BlockDecoder {
public:
    // workers: threads beside the calling one (0: the calling thread decodes
    // the blocks itself, through the same cuts and checks).
    Bzip2BlockDecoder(bool single_stream, unsigned workers);
    ~Bzip2BlockDecoder();
    Bzip2BlockDecoder(const Bzip2BlockDecoder&) = delete;
    Bzip2BlockDecoder& operator=(const Bzip2BlockDecoder&) = delete;

    // As Bzip2Decoder::decode.
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t out_limit);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace velmora

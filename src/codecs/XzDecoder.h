// .xz decoder (the .xz file format 1.x: streams of blocks with LZMA2 and the
// BCJ/delta filters, CRC32/CRC64/SHA-256 checks) over liblzma, for .xz/.txz
// files and ZIP method 95. Streams carry their own end and check; memory is
// bounded by the dictionary the stream declares (at most memlimit).
#pragma once

#include <cstdint>

#include "codecs/ByteStream.h"
#include "codecs/LiblzmaStream.h"

namespace velmora {

class XzDecoder {
public:
    enum class Streams {
        concatenated, // every stream up to the end of input, with stream padding, as xz -d reads a file
        single,       // the first stream only; whatever follows it is not read
    };

    explicit XzDecoder(Streams streams = Streams::concatenated, uint64_t memlimit = LiblzmaStream::default_memlimit)
        : streams_(streams), memlimit_(memlimit)
    {
    }

    // ok at the end of the (last) stream; truncated when the input ends
    // inside one; data_error for damage, a failed check or bytes after the
    // last stream; output_limit when the streams would give more than
    // out_limit bytes (out_limit are handed over first).
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t out_limit = UINT64_MAX)
    {
        return stream_.decode_xz(in, out, out_limit, memlimit_, streams_ == Streams::concatenated);
    }

private:
    LiblzmaStream stream_;
    Streams streams_;
    uint64_t memlimit_;
};

} // namespace velmora

// .lzma (LZMA_Alone) decoder over liblzma, for .lzma/.tlz files: a 13-byte
// header (properties byte, dictionary size, uncompressed size or -1) and LZMA1
// data, ending after the stated size or at the end marker. No check value:
// damage can go unnoticed here and is caught by the caller's size and CRC.
#pragma once

#include <cstdint>

#include "codecs/ByteStream.h"
#include "codecs/LiblzmaStream.h"

namespace velmora {

class LzmaAloneDecoder {
public:
    explicit LzmaAloneDecoder(uint64_t memlimit = LiblzmaStream::default_memlimit) : memlimit_(memlimit) {}

    // ok at the end of the data; truncated when the input ends first;
    // data_error when bytes follow the end (xz -d refuses those too);
    // output_limit when it would give more than out_limit bytes.
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t out_limit = UINT64_MAX)
    {
        return stream_.decode_lzma_alone(in, out, out_limit, memlimit_);
    }

private:
    LiblzmaStream stream_;
    uint64_t memlimit_;
};

} // namespace velmora

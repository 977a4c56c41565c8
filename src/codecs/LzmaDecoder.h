// LZMA decoder for ZIP method 14 (PKWARE APPNOTE 5.8): a 4-byte header (LZMA
// SDK version major and minor, properties size 5), the 5 LZMA properties
// bytes, then raw LZMA1 data decoded by liblzma. The entry's flags bit 1 says
// whether the data ends with an end marker; otherwise it ends after the
// entry's uncompressed size.
#pragma once

#include <cstdint>

#include "codecs/ByteStream.h"
#include "codecs/LiblzmaStream.h"

namespace velmora {

class LzmaDecoder {
public:
    explicit LzmaDecoder(uint64_t memlimit = LiblzmaStream::default_memlimit) : memlimit_(memlimit) {}

    // Without the end marker: exactly `size` bytes (ok; a marker right after
    // them is accepted), truncated when the input ends before them,
    // data_error when a marker comes early or the data goes on past them.
    // With it: up to the marker (ok), `size` being the most output allowed
    // (output_limit past it); the caller compares the size it got.
    // A header that is not version/5/properties is a data_error.
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t size, bool end_marker);

private:
    LiblzmaStream stream_;
    uint64_t memlimit_;
};

} // namespace velmora

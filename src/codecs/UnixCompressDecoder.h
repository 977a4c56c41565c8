// Decoder for Unix compress (.Z/.taz): LZW with codes growing from 9 bits to
// the stream's maximum (9 to 16), block mode with the CLEAR code 256, codes
// packed least significant bit first in groups of eight, as ncompress 4.2
// writes and reads them. The stream ends with its input. Tables: 64 Ki
// entries of prefix, suffix and length (320 KiB), whatever the input.
#pragma once

#include <cstdint>
#include <memory>

#include "codecs/ByteStream.h"

namespace velmora {

class UnixCompressDecoder {
public:
    UnixCompressDecoder();
    ~UnixCompressDecoder();
    UnixCompressDecoder(const UnixCompressDecoder&) = delete;
    UnixCompressDecoder& operator=(const UnixCompressDecoder&) = delete;

    // ok when the input ends (a cut stream simply gives less: the format
    // has no end marker or check); truncated when the 3-byte header is cut;
    // data_error for a wrong magic number, a maximum code width under 9 or a
    // code that is not yet in the table; unsupported for widths over 16;
    // output_limit past out_limit bytes.
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t out_limit = UINT64_MAX);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace velmora

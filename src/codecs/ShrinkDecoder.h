// Unshrink: ZIP method 1 ("shrunk"), dynamic LZW with 9- to 13-bit codes and
// PKZIP's partial clearing, as in the PKWARE APPNOTE (section 5.1).
// Streaming: input through a ByteSource, output through a ByteSink in pieces;
// memory is the 8192-entry code table and the buffers, whatever the entry size.
#pragma once

#include "codecs/ByteStream.h"

#include <cstdint>
#include <memory>

namespace velmora {

class ShrinkDecoder {
public:
    ShrinkDecoder();
    ~ShrinkDecoder();
    ShrinkDecoder(const ShrinkDecoder&) = delete;
    ShrinkDecoder& operator=(const ShrinkDecoder&) = delete;

    // Decodes exactly out_size bytes (the stream has no end marker).
    // ok: out_size bytes written; truncated: the input ended first;
    // data_error: an undefined code, a bad control code, or a code size past 13
    // bits; stopped: the sink refused; no_memory: the buffers could not be had.
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t out_size) noexcept;

private:
    struct tables;
    DecodeStatus run(ByteSource& in, ByteSink& out, uint64_t out_size);

    std::unique_ptr<tables> tables_;
};

} // namespace velmora

// Explode: ZIP method 6 ("imploded"), a sliding dictionary of 4 or 8 KiB with
// two or three Shannon-Fano trees, as in the PKWARE APPNOTE (section 5.3).
// Streaming: input through a ByteSource, output through a ByteSink in pieces;
// memory is the dictionary, the code tables and the buffers.
#pragma once

#include "codecs/ByteStream.h"

#include <cstdint>
#include <memory>

namespace velmora {

class ImplodeDecoder {
public:
    // The entry's general purpose bit flag carries the method's settings.
    static constexpr uint16_t flag_8k_dictionary = 1u << 1;   // else 4 KiB
    static constexpr uint16_t flag_literal_tree = 1u << 2;    // three trees, else two

    ImplodeDecoder();
    ~ImplodeDecoder();
    ImplodeDecoder(const ImplodeDecoder&) = delete;
    ImplodeDecoder& operator=(const ImplodeDecoder&) = delete;

    // Decodes exactly out_size bytes (the stream has no end marker).
    // ok: out_size bytes written; truncated: the input ended first;
    // data_error: a tree description that does not make a complete code;
    // stopped: the sink refused; no_memory: the buffers could not be had.
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t out_size, uint16_t general_purpose_flags) noexcept;

private:
    struct state;
    DecodeStatus run(ByteSource& in, ByteSink& out, uint64_t out_size, uint16_t flags);

    std::unique_ptr<state> state_;
};

} // namespace velmora

// The liblzma decoding loop that the .xz, .lzma and ZIP LZMA decoders share:
// one lzma_stream kept between streams (liblzma reuses its allocations when
// the same kind of decoder starts again), input and output in large pieces.
// Internal to src/codecs; liblzma's types stay in the .cpp.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "codecs/ByteStream.h"

namespace velmora {

class LiblzmaStream {
public:
    static constexpr uint64_t unknown_size = UINT64_MAX;
    // The memory a stream may ask for: a 1.5 GiB dictionary (the largest xz
    // and 7-Zip write) plus liblzma's own tables. A header asking for more
    // is refused as unsupported instead of becoming an allocation.
    static constexpr uint64_t default_memlimit = (uint64_t{1536} + 64) << 20;

    LiblzmaStream();
    ~LiblzmaStream();
    LiblzmaStream(const LiblzmaStream&) = delete;
    LiblzmaStream& operator=(const LiblzmaStream&) = delete;

    // One .xz stream, or (concatenated) every stream and stream padding up
    // to the end of the input.
    DecodeStatus decode_xz(ByteSource& in, ByteSink& out, uint64_t out_limit, uint64_t memlimit, bool concatenated);
    // A .lzma file: the 13-byte header, then LZMA1 data.
    DecodeStatus decode_lzma_alone(ByteSource& in, ByteSink& out, uint64_t out_limit, uint64_t memlimit);
    // Raw LZMA1 data with its five properties bytes given apart. size is the
    // exact uncompressed size (no end marker expected), or unknown_size when
    // the data ends with the end marker.
    DecodeStatus decode_raw_lzma1(ByteSource& in, ByteSink& out, std::span<const uint8_t, 5> props, uint64_t size,
                                  uint64_t out_limit, uint64_t memlimit);

private:
    struct State;
    bool ensure_state() noexcept;
    // nothing_after: bytes after the end of the stream are an error.
    DecodeStatus start(ByteSource& in, ByteSink& out, uint64_t out_limit, int init_result, bool nothing_after = false);
    DecodeStatus run(ByteSource& in, ByteSink& out, uint64_t out_limit, bool nothing_after);
    std::unique_ptr<State> state_;
};

} // namespace velmora

// Zstandard decoder over libzstd (RFC 8878), for .zst/.tzst files and ZIP
// method 93: frames one after another, skippable frames passed over, content
// checksums checked when present. Like zstd -d without --long or --memory,
// frames that need a window over 128 MiB (window log 27) are refused as
// unsupported, which bounds the memory a hostile header can claim; so are
// frames of the formats before zstd 0.8 (2016).
#pragma once

#include <cstdint>
#include <memory>

#include "codecs/ByteStream.h"

namespace velmora {

class ZstdDecoder {
public:
    static constexpr unsigned default_window_log_max = 27;

    explicit ZstdDecoder(unsigned window_log_max = default_window_log_max);
    ~ZstdDecoder();
    ZstdDecoder(const ZstdDecoder&) = delete;
    ZstdDecoder& operator=(const ZstdDecoder&) = delete;

    // ok when the input ends at the end of a frame; truncated when it ends
    // inside one (or holds no frame); data_error for damage, a wrong checksum
    // or bytes that are not a frame; unsupported for a window too large;
    // output_limit past out_limit bytes.
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t out_limit = UINT64_MAX);

private:
    struct State;
    std::unique_ptr<State> state_;
    unsigned window_log_max_;
};

} // namespace velmora

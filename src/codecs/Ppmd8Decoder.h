// PPMd variant I revision 1 decoder for ZIP method 98 (PKWARE APPNOTE 5.10):
// the 2-byte parameter header, Shkarin's PPMd var.I model with its binary and
// SEE contexts, and the carry-less range decoder. Restore methods 0 (restart)
// and 1 (cut off); model memory 1..256 MiB as the header asks, kept between
// calls while the size stays the same. Streaming through ByteSource/ByteSink.
#pragma once

#include "codecs/ByteStream.h"

#include <cstdint>
#include <memory>

namespace velmora {

class Ppmd8Decoder {
public:
    // The ZIP parameter word (little-endian, first two bytes of the stream).
    struct parameters {
        unsigned order = 0;            // model order, 2..16
        uint32_t memory_mib = 0;       // 1..256
        unsigned restore_method = 0;   // 0 restart, 1 cut off, 2 freeze (not handled)
    };
    static parameters parse_parameters(uint16_t word)
    {
        return {(word & 0xFu) + 1, ((word >> 4) & 0xFFu) + 1, static_cast<unsigned>(word >> 12)};
    }

    // memory_limit_mib: header asking for more model memory than this are
    // refused with no_memory before anything is allocated (256 = no limit
    // beyond the format's own).
    explicit Ppmd8Decoder(uint32_t memory_limit_mib = 256);
    ~Ppmd8Decoder();
    Ppmd8Decoder(const Ppmd8Decoder&) = delete;
    Ppmd8Decoder& operator=(const Ppmd8Decoder&) = delete;

    // Decodes out_size bytes from a whole method-98 stream (header included).
    // ok: out_size bytes written; truncated: the input ended first;
    // data_error: a bad header, an impossible range-coder value, or the
    // stream's end marker before out_size bytes; unsupported: restore method 2;
    // no_memory: the model memory could not be had (or passes the limit);
    // stopped: the sink refused. The end marker 7-Zip writes after the data is
    // not read: the entry ends at out_size.
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t out_size) noexcept;

private:
    class model;
    std::unique_ptr<model> model_;
    uint32_t memory_limit_mib_;
};

} // namespace velmora

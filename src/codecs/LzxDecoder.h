// LZX as cabinets use it (the CAB SDK's LZX description, with the corrections
// later published in [MS-PATCH] LZX DELTA): windows of 2^15 to 2^21 bytes,
// verbatim, aligned-offset and uncompressed blocks, the repeated offsets
// R0-R2, and the E8 call translation with the size from the stream header.
// The decoder works on a folder one CFDATA block at a time: each block holds
// one frame (at most 32 KiB of output), all state carries from block to block,
// and reset() starts the next folder. Holds the window and its tables only.
#pragma once

#include "codecs/ByteStream.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace velmora {

class LzxDecoder {
public:
    static constexpr unsigned min_window_bits = 15;
    static constexpr unsigned max_window_bits = 21;
    static constexpr unsigned frame_size = 32768;

    LzxDecoder();
    ~LzxDecoder();
    LzxDecoder(const LzxDecoder&) = delete;
    LzxDecoder& operator=(const LzxDecoder&) = delete;

    // Starts a folder. window_bits comes from the folder's CompressType (bits
    // 8-12); outside 15..21 it is data_error. no_memory when the window cannot
    // be had.
    DecodeStatus reset(unsigned window_bits);

    // Decodes the next CFDATA block of the folder: `block` is its cbData
    // bytes, `out` receives exactly cbUncomp bytes (1 to 32768). Only the
    // folder's last block may be shorter than 32768; a block after a short one
    // is data_error. Bits the frame needs beyond the block make it truncated.
    // After any failure every further block fails until reset().
    DecodeStatus decode_block(std::span<const uint8_t> block, std::span<uint8_t> out);

    // Bytes of the last block the frame used, its last 16-bit word whole
    // (exact when it ended inside an uncompressed block). Fewer than cbData
    // means the block carries bytes past its frame, which LZX decoders that
    // read a folder as one stream would take for the next frame.
    size_t block_bytes_used() const;

private:
    struct state;
    std::unique_ptr<state> s_;
};

} // namespace velmora

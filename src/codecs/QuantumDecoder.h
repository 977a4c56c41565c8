// Quantum as cabinets use it (Microsoft's CAB format; the decoder description
// by Matthew Russotto): an adaptive arithmetic coder over seven models
// (selector, four literal ranges, three match kinds), windows of 2^10 to 2^21
// bytes, frames of 32 KiB. The models live for a folder; the coder restarts
// with every frame, and a frame is one CFDATA block. reset() starts a folder;
// decode_block() takes the folder's blocks in order. Holds the window only.
#pragma once

#include "codecs/ByteStream.h"

#include <cstdint>
#include <memory>
#include <span>

namespace velmora {

class QuantumDecoder {
public:
    static constexpr unsigned min_window_bits = 10;
    static constexpr unsigned max_window_bits = 21;
    static constexpr unsigned frame_size = 32768;

    QuantumDecoder();
    ~QuantumDecoder();
    QuantumDecoder(const QuantumDecoder&) = delete;
    QuantumDecoder& operator=(const QuantumDecoder&) = delete;

    // Starts a folder. window_bits comes from the folder's CompressType (bits
    // 8-12); outside 10..21 it is data_error.
    DecodeStatus reset(unsigned window_bits);

    // Decodes the folder's next CFDATA block (`block`: its cbData bytes) into
    // exactly out.size() bytes (cbUncomp, 1 to 32768; only the last block may
    // be short). A match may not cross from one 32 KiB frame into the next;
    // in a short (last) frame it is cut at the end. The coder may
    // look a few bytes past the block (read as the 0xFF block trailer and
    // zeros); a frame that needs more is truncated. After a failure every
    // further block fails until reset().
    DecodeStatus decode_block(std::span<const uint8_t> block, std::span<uint8_t> out);

private:
    struct state;
    std::unique_ptr<state> s_;
};

} // namespace velmora

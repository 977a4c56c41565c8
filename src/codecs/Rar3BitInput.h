// The packed input of one RAR 2.9-4.x entry: an MSB-first bit reader over a
// ByteSource, with its own buffer refilled in large pieces. The PPMd range
// decoder takes whole bytes from the same position (read_byte), so a stream
// can switch between LZ and PPMd blocks. Reads past the real end give zero
// bits and are remembered (overrun), so a short stream can be told apart.
#pragma once

#include <bit>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <memory>

#include "codecs/ByteStream.h"

namespace velmora {

class Rar3BitInput {
public:
    // The most one step of a decoder may read between two calls of ensure():
    // an LZ symbol with its length and distance takes under 8 bytes.
    static constexpr size_t step_margin = 32;

    Rar3BitInput();

    // Starts on a new source; false when the buffer cannot be allocated.
    bool reset(ByteSource& source);

    // Makes at least step_margin bytes readable at the current position
    // (real bytes, or zero padding after the end of the input). Cheap when
    // nothing needs to be read. False when the reader has read past the end.
    bool ensure()
    {
        if (pos_ < limit_)
            return true;
        return refill();
    }

    // The next n bits (0..32) without consuming them; valid after ensure().
    uint32_t peek(unsigned n) const { return static_cast<uint32_t>(uint64_t{peek32()} >> (32 - n)); }
    void skip(unsigned n)
    {
        bit_ += n;
        pos_ += bit_ >> 3;
        bit_ &= 7;
    }
    uint32_t bits(unsigned n)
    {
        const uint32_t v = peek(n);
        skip(n);
        return v;
    }

    void align_to_byte()
    {
        if (bit_ != 0) {
            bit_ = 0;
            ++pos_;
        }
    }

    // One whole byte at a byte-aligned position (for the range decoder).
    uint8_t read_byte()
    {
        if (pos_ < end_)
            return buffer_[pos_++];
        return read_byte_slow();
    }

    // True once more was consumed than the input holds.
    bool overrun() const { return byte_overrun_ || pos_ > end_ || (pos_ == end_ && bit_ != 0); }
    // True when every bit of the input has been consumed (or more).
    bool exhausted() const { return at_eof_ && pos_ >= end_; }
    // Bits of real input left from the current position (0 when overrun).
    uint64_t bits_left() const
    {
        if (!at_eof_)
            return UINT64_MAX;
        if (overrun())
            return 0;
        return (end_ - pos_) * 8 - bit_;
    }

private:
    static constexpr size_t buffer_size = 256 * 1024;
    static constexpr size_t padding = 64;
    static_assert(padding >= step_margin + 8, "a step may start at the end and read its bits");

    uint32_t peek32() const
    {
        // Big-endian load of 8 bytes (one load and a byte swap; the padding
        // keeps it inside the buffer): at least 57 valid bits after the shift.
        uint64_t v;
        std::memcpy(&v, buffer_.get() + pos_, sizeof v);
        if constexpr (std::endian::native == std::endian::little)
            v = __builtin_bswap64(v);
        return static_cast<uint32_t>((v << bit_) >> 32);
    }
    bool refill();
    uint8_t read_byte_slow();

    std::unique_ptr<uint8_t[]> buffer_;
    ByteSource* source_ = nullptr;
    size_t pos_ = 0;   // next byte
    unsigned bit_ = 0; // bits of buffer_[pos_] already consumed
    size_t end_ = 0;   // real bytes in the buffer
    size_t limit_ = 0; // ensure() refills when pos_ reaches this
    bool at_eof_ = false;
    bool byte_overrun_ = false;
};

} // namespace velmora

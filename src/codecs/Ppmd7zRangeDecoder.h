// The range decoder of 7-Zip's 7z PPMd method (the LZMA-style coder with a
// carry: a zero byte first, then 32-bit Code and Range, a byte shifted in
// whenever Range drops below 2^24). With Ppmd7Model it decodes 7z PPMd
// streams; ByteIn supplies the stream through uint8_t read_byte().
#pragma once

#include <cstdint>

namespace velmora {

template <typename ByteIn>
class Ppmd7zRangeDecoder {
public:
    explicit Ppmd7zRangeDecoder(ByteIn& in) : in_(&in) {}

    // Reads the five-byte start of the stream; false when it cannot be a 7z range-coded stream.
    bool init()
    {
        range_ = 0xFFFFFFFFu;
        code_ = 0;
        if (in_->read_byte() != 0)
            return false;
        for (int i = 0; i < 4; ++i)
            code_ = (code_ << 8) | in_->read_byte();
        return code_ < 0xFFFFFFFFu;
    }

    uint32_t range() const { return range_; }

    uint32_t threshold(uint32_t total)
    {
        range_ /= total;
        return code_ / range_;
    }

    void decode(uint32_t start, uint32_t size)
    {
        code_ -= start * range_;
        range_ *= size;
        normalize();
    }

    unsigned decode_bit(uint32_t size0)
    {
        const uint32_t bound = (range_ >> 14) * size0;
        unsigned bit = 0;
        if (code_ < bound) {
            range_ = bound;
        } else {
            code_ -= bound;
            range_ -= bound;
            bit = 1;
        }
        normalize();
        return bit;
    }

private:
    static constexpr uint32_t top = 1u << 24;

    void normalize()
    {
        while (range_ < top) {
            code_ = (code_ << 8) | in_->read_byte();
            range_ <<= 8;
        }
    }

    ByteIn* in_;
    uint32_t code_ = 0, range_ = 0xFFFFFFFFu;
};

} // namespace velmora

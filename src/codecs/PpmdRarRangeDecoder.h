// The range decoder RAR 2.9-4.x puts under PPMd variant H: Dmitry Subbotin's
// carryless range coder as PPMd var.H has it (32-bit Low and Range, a byte
// shifted in whenever the top byte of Low settles or Range drops below 2^15).
// ByteIn supplies the stream through uint8_t read_byte().
#pragma once

#include <cstdint>

namespace velmora {

template <typename ByteIn>
class PpmdRarRangeDecoder {
public:
    explicit PpmdRarRangeDecoder(ByteIn& in) : in_(&in) {}

    // Reads the first four bytes of a coded block.
    void init()
    {
        low_ = 0;
        range_ = 0xFFFFFFFFu;
        code_ = 0;
        for (int i = 0; i < 4; ++i)
            code_ = (code_ << 8) | in_->read_byte();
    }

    uint32_t range() const { return range_; }

    // The coded value scaled to 0..total-1; total must not exceed range().
    uint32_t threshold(uint32_t total)
    {
        range_ /= total;
        return code_ / range_;
    }

    void decode(uint32_t start, uint32_t size)
    {
        start *= range_;
        low_ += start;
        code_ -= start; // code_ is kept relative to low_
        range_ *= size;
        normalize();
    }

    // A binary decision with probability size0 / 2^14 for 0.
    unsigned decode_bit(uint32_t size0)
    {
        const uint32_t bound = (range_ >> bin_shift) * size0;
        if (code_ < bound) {
            range_ = bound;
            normalize();
            return 0;
        }
        low_ += bound;
        code_ -= bound;
        range_ = (range_ & ~((1u << bin_shift) - 1)) - bound;
        normalize();
        return 1;
    }

private:
    static constexpr uint32_t top = 1u << 24;
    static constexpr uint32_t bottom = 1u << 15;
    static constexpr unsigned bin_shift = 14;

    void normalize()
    {
        for (;;) {
            if ((low_ ^ (low_ + range_)) >= top) {
                if (range_ >= bottom)
                    break;
                // Carryless: cut Range back to the next multiple of 2^15 above Low.
                range_ = (0u - low_) & (bottom - 1);
            }
            code_ = (code_ << 8) | in_->read_byte();
            range_ <<= 8;
            low_ <<= 8;
        }
    }

    ByteIn* in_;
    uint32_t low_ = 0, code_ = 0, range_ = 0xFFFFFFFFu;
};

} // namespace velmora

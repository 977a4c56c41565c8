// Least-significant-bit-first bit input over a ByteSource, for the PKWARE
// methods that pack codes from bit 0 of each byte upwards (Shrink, Implode).
// Input is pulled in large pieces into a buffer of its own; past the end the
// reader supplies zero bits and counts them, so decoders can peek freely and
// ask overrun() whether a real bit was missing.
#pragma once

#include "codecs/ByteStream.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>

namespace velmora {

class LsbBitInput {
public:
    // After refill() at least this many bits are available (zero bits past the end).
    static constexpr unsigned guaranteed_bits = 56;

    explicit LsbBitInput(ByteSource& source, size_t buffer_size = size_t{64} << 10)
        : source_(source), buffer_(std::make_unique_for_overwrite<uint8_t[]>(buffer_size)), capacity_(buffer_size)
    {
    }

    // True when eight whole bytes are buffered, so refill() takes the word path.
    bool has_word() const { return end_ - next_ >= 8; }

    // Tops the bit buffer up to at least guaranteed_bits.
    void refill()
    {
        if (has_word()) [[likely]] {
            // Whole-word refill: OR in 8 bytes and count only the whole bytes
            // that fit. The bits above bitcount_ are the next byte's low bits;
            // the following refill ORs the same byte in at the same place.
            uint64_t word;
            std::memcpy(&word, next_, 8);
            static_assert(std::endian::native == std::endian::little, "word refill assumes a little-endian host");
            bitbuf_ |= word << bitcount_;
            next_ += (63 - bitcount_) >> 3;
            bitcount_ |= 56;
            return;
        }
        refill_slow();
    }

    // n <= 32; valid after refill() for up to guaranteed_bits in total.
    uint32_t peek(unsigned n) const { return static_cast<uint32_t>(bitbuf_ & ((uint64_t{1} << n) - 1)); }
    void consume(unsigned n)
    {
        bitbuf_ >>= n;
        bitcount_ -= n;
    }
    uint32_t take(unsigned n)
    {
        const uint32_t v = peek(n);
        consume(n);
        return v;
    }
    // Refills first when fewer than n bits are buffered.
    uint32_t bits(unsigned n)
    {
        if (bitcount_ < n)
            refill();
        return take(n);
    }

    // Some bit handed out lay past the end of the input.
    bool overrun() const { return padded_ > bitcount_; }

private:
    void refill_slow()
    {
        while (bitcount_ <= 56) {
            if (next_ == end_ && !fill_buffer()) {
                // Past the end: zero bits, counted so overrun() can tell.
                padded_ += 8;
                bitcount_ += 8;
                continue;
            }
            bitbuf_ |= static_cast<uint64_t>(*next_++) << bitcount_;
            bitcount_ += 8;
        }
    }

    bool fill_buffer()
    {
        if (at_end_)
            return false;
        const size_t n = source_.read({buffer_.get(), capacity_});
        if (n == 0) {
            at_end_ = true;
            return false;
        }
        next_ = buffer_.get();
        end_ = next_ + n;
        return true;
    }

    ByteSource& source_;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t capacity_;
    const uint8_t* next_ = nullptr;
    const uint8_t* end_ = nullptr;
    uint64_t bitbuf_ = 0;
    unsigned bitcount_ = 0;
    unsigned padded_ = 0;   // zero bits appended past the end (they sit at the top of bitbuf_)
    bool at_end_ = false;
};

} // namespace velmora

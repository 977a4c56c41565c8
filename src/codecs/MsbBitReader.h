// Most-significant-bit-first bit reader over a ByteSource, as the LHA, LArc
// and ARJ coders write their bits. The input is pulled in pieces into a
// 64 KiB buffer; a 64-bit bit buffer holds the next bits at its top.
// Past the end of the input it reads zero bits and counts them, so a decoder
// can tell a stream that ran out (overrun) from one that merely peeked ahead.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "codecs/ByteStream.h"

namespace velmora {

class msb_bit_reader {
public:
    static constexpr size_t buffer_size = size_t{64} << 10;
    // After refill() at least this many bits are buffered (zeros past the end).
    static constexpr unsigned min_refill_bits = 56;

    explicit msb_bit_reader(ByteSource& source) : source_(source) {}

    // False when the input buffer could not be allocated.
    bool allocate()
    {
        buf_.reset(new (std::nothrow) uint8_t[buffer_size]);
        next_ = end_ = buf_.get();
        return buf_ != nullptr;
    }

    // Input bytes buffered but not yet taken into the bit buffer.
    size_t bytes_buffered() const { return static_cast<size_t>(end_ - next_); }

    // Tops the bit buffer up to at least 56 bits, fetching input when fewer
    // than 8 buffered bytes remain.
    void refill()
    {
        if (bytes_buffered() < 8 && !eof_) top_up();
        if (bytes_buffered() >= 8) {
            refill_fast();
            return;
        }
        while (bitcount_ <= 56) {
            if (next_ < end_) {
                bitbuf_ |= uint64_t{*next_++} << (56 - bitcount_);
            } else {
                pad_bits_ += 8; // a zero byte past the end of the input
            }
            bitcount_ += 8;
        }
    }

    // The word refill: needs bytes_buffered() >= 8 (see fast_bits::refill).
    void refill_fast()
    {
        fast_bits b = begin_fast();
        b.refill();
        end_fast(b);
    }

    // The next n bits (1 <= n <= 32) without taking them; refill() first.
    uint32_t peek(unsigned n) const { return static_cast<uint32_t>(bitbuf_ >> (64 - n)); }
    // The whole bit buffer, next bit at the top.
    uint64_t window() const { return bitbuf_; }
    void consume(unsigned n)
    {
        bitbuf_ <<= n;
        bitcount_ -= n;
    }
    // Takes n bits (0 <= n <= 32), refilling as needed.
    uint32_t get(unsigned n)
    {
        if (n == 0) return 0;
        if (bitcount_ < n) refill();
        const uint32_t v = peek(n);
        consume(n);
        return v;
    }
    uint32_t get_bit()
    {
        if (bitcount_ == 0) refill();
        const uint32_t v = static_cast<uint32_t>(bitbuf_ >> 63);
        consume(1);
        return v;
    }
    unsigned bits_buffered() const { return bitcount_; }

    // The reader's state in plain values, for fast loops: kept in locals,
    // it stays in registers across the output writes (which may alias any
    // member through uint8_t*). refill() needs 8 input bytes at next.
    struct fast_bits {
        uint64_t buf;
        unsigned count;
        const uint8_t* next;
        const uint8_t* end;

        bool can_refill() const { return end - next >= 8; }
        // ORs in eight bytes below the buffered bits and counts only the
        // whole bytes that fit; the bits of a partly fitting byte are ORed
        // again, at the same place, by the next refill.
        void refill()
        {
            uint64_t word;
            std::memcpy(&word, next, 8);
            if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
            buf |= word >> count;
            next += (63 - count) >> 3;
            count |= 56;
        }
        uint32_t peek(unsigned n) const { return static_cast<uint32_t>(buf >> (64 - n)); }
        void consume(unsigned n)
        {
            buf <<= n;
            count -= n;
        }
    };
    fast_bits begin_fast() const { return {bitbuf_, bitcount_, next_, end_}; }
    void end_fast(const fast_bits& b)
    {
        bitbuf_ = b.buf;
        bitcount_ = b.count;
        next_ = b.next;
    }

    // True once a bit past the end of the input has been taken.
    bool overrun() const { return pad_bits_ > bitcount_; }

private:
    // Moves the few unread bytes to the front and reads until at least
    // eight are buffered or the source ends.
    void top_up()
    {
        const size_t left = bytes_buffered();
        std::memmove(buf_.get(), next_, left);
        next_ = buf_.get();
        end_ = next_ + left;
        while (bytes_buffered() < 8) {
            uint8_t* const free_start = buf_.get() + (end_ - buf_.get());
            const size_t got = source_.read({free_start, buf_.get() + buffer_size});
            if (got == 0) {
                eof_ = true;
                break;
            }
            end_ += got;
        }
    }

    ByteSource& source_;
    std::unique_ptr<uint8_t[]> buf_;
    const uint8_t* next_ = nullptr;
    const uint8_t* end_ = nullptr;
    uint64_t bitbuf_ = 0;
    unsigned bitcount_ = 0;
    unsigned pad_bits_ = 0; // zero bits appended after the end, counted from the bottom of the buffer
    bool eof_ = false;
};

} // namespace velmora

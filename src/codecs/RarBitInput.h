// High-bit-first bit reader shared by the RAR 1.5, 2.0 and 5.0 decoders (all
// three read their streams as 16-bit big-endian peeks). Input is pulled from a
// ByteSource in large pieces into an own buffer followed by a zero pad, so a
// decode step may read up to `lookahead` bytes past its position without a
// check; reading past the real end of input yields zero bits and shows up in
// overrun(), which the decoders test once per step.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "codecs/ByteStream.h"

namespace velmora {

class RarBitInput {
public:
    static constexpr size_t buffer_size = 128 * 1024;
    // The most one decode step reads (a RAR 5 filter record is the longest at
    // 76 bits; a match is at most 15 + 9 + 15 + 34 + 15 bits) with room to spare.
    static constexpr size_t lookahead = 32;
    // peek64() loads 8 bytes at the position, so the pad covers a step's
    // lookahead plus that load.
    static constexpr size_t pad = lookahead + 8;

    // Starts reading `source` from its first byte; any buffered input of a
    // previous source is dropped. False when the buffer cannot be allocated.
    bool start(ByteSource& source)
    {
        if (!buf_) {
            buf_.reset(new (std::nothrow) uint8_t[buffer_size + pad]);
            if (!buf_)
                return false;
        }
        src_ = &source;
        pos_ = 0;
        bit_ = 0;
        end_ = 0;
        base_ = 0;
        eof_ = false;
        std::memset(buf_.get(), 0, pad);
        refill();
        return true;
    }

    // True when fewer than `lookahead` bytes remain buffered and the source
    // may have more.
    bool low() const { return !eof_ && pos_ + lookahead > end_; }

    // Keeps the unread bytes and tops the buffer up from the source. After it,
    // at least `lookahead` bytes follow the position unless the source ended.
    void refill()
    {
        if (eof_ || pos_ > end_)
            return;
        const size_t keep = end_ - pos_;
        std::memmove(buf_.get(), buf_.get() + pos_, keep);
        base_ += pos_;
        pos_ = 0;
        end_ = keep;
        while (end_ < buffer_size) {
            const size_t n = src_->read(std::span<uint8_t>(buf_.get() + end_, buffer_size - end_));
            if (n == 0) {
                eof_ = true;
                break;
            }
            end_ += n;
        }
        std::memset(buf_.get() + end_, 0, pad);
    }

    // Refills when low; the check every slow-path step makes. Past the end
    // of the input the position is held at the start of the padding, so a
    // caller that reads on before testing overrun() stays inside the buffer.
    void ensure()
    {
        if (low())
            refill();
        else if (eof_ && pos_ > end_)
            pos_ = end_ + 1;
    }

    // The next 64 bits, first bit in bit 63.
    uint64_t peek64() const
    {
        const uint8_t* p = buf_.get() + pos_;
        uint64_t v;
        std::memcpy(&v, p, 8);
        if constexpr (std::endian::native == std::endian::little)
            v = __builtin_bswap64(v);
        return v << bit_;
    }
    // The next 16 bits as a number, first bit in bit 15.
    uint32_t peek16() const { return static_cast<uint32_t>(peek64() >> 48); }

    void skip(unsigned n)
    {
        n += bit_;
        pos_ += n >> 3;
        bit_ = n & 7;
    }
    // n (0 to 56) bits as a number, first bit most significant.
    uint64_t bits(unsigned n)
    {
        if (n == 0)
            return 0;
        const uint64_t v = peek64() >> (64 - n);
        skip(n);
        return v;
    }
    uint32_t bits32(unsigned n) { return static_cast<uint32_t>(bits(n)); }

    void align_to_byte()
    {
        if (bit_) {
            ++pos_;
            bit_ = 0;
        }
    }
    // Moves to an absolute byte offset of the source at or after the position
    // (RAR 5 blocks end at a byte given in their header). Bytes skipped over
    // need not be buffered yet.
    void seek_byte(uint64_t offset)
    {
        if (offset < base_)
            offset = base_;
        bit_ = 0;
        while (offset > base_ + end_ && !eof_) {
            pos_ = end_;
            refill();
        }
        pos_ = static_cast<size_t>(offset - base_);
        if (!eof_ && pos_ > end_)
            pos_ = end_;
    }

    // Source offset of the byte at the position.
    uint64_t byte_offset() const { return base_ + pos_; }
    // Source offset before which a decode step may start without a refill
    // or overrun check (its reads stay inside real input).
    uint64_t fast_end() const { return end_ > lookahead ? base_ + end_ - lookahead : base_; }

    // Bits read so far, counted from the first byte of the source.
    uint64_t bit_position() const { return (base_ + pos_) * 8 + bit_; }
    // Whole bytes of the source read so far (a partly read byte counts).
    uint64_t byte_position() const { return base_ + pos_ + (bit_ ? 1 : 0); }
    // Read past the end of the input: the bits taken were padding.
    bool overrun() const { return eof_ && (pos_ > end_ || (pos_ == end_ && bit_ != 0)); }
    // The source has ended and every byte of it was read.
    bool at_end() const { return eof_ && pos_ >= end_; }
    // Whole input bytes left after the position once the source has ended;
    // SIZE_MAX while it may still give more.
    size_t bytes_left() const
    {
        if (!eof_)
            return SIZE_MAX;
        const size_t used = pos_ + (bit_ ? 1 : 0);
        return used < end_ ? end_ - used : 0;
    }

private:
    ByteSource* src_ = nullptr;
    std::unique_ptr<uint8_t[]> buf_;
    size_t pos_ = 0;     // next byte in buf_
    unsigned bit_ = 0;   // bits of buf_[pos_] already taken (0-7)
    size_t end_ = 0;     // bytes of real input in buf_
    uint64_t base_ = 0;  // source offset of buf_[0]
    bool eof_ = false;   // the source has no more bytes
};

} // namespace velmora

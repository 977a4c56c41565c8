// The sliding window of the RAR LZ decoders (1.5, 2.0, 5.0). A linear buffer
// of `size` bytes plus slack: output is written straight in, a match may run
// into the slack, and once the write position passes `size` the caller hands
// the pending bytes out and wrap() moves the overrun to the front. The buffer
// is kept a guard's length longer than the longest distance, so the few bytes
// a chunked copy writes past a match are never bytes a later match may read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

namespace velmora {

class RarLzWindow {
public:
    // Longer than any match of the three formats (RAR 5: 4097 + 3) plus the
    // 16 bytes a chunked copy may write past its end.
    static constexpr size_t guard = 8192;
    static constexpr size_t max_match = 4100;
    static_assert(guard >= max_match + 16);

    // Makes room for `history` bytes of distance. With `keep`, the bytes
    // already in the window stay reachable (solid archives); the window only
    // grows then. False when the buffer cannot be allocated.
    bool prepare(size_t history, bool keep);

    // Forgets everything (a non-solid entry starts).
    void reset()
    {
        pos_ = 0;
        flushed_ = 0;
        filled_ = 0;
    }

    // Distances 1..max_distance() are valid at the write position.
    size_t max_distance() const
    {
        const size_t history = filled_ + (pos_ - flushed_);
        return history < capacity_ ? history : capacity_;
    }
    size_t capacity() const { return capacity_; }
    bool allocated() const { return buf_ != nullptr; }

    // The write position (index into data()); room for at least max_match
    // bytes follows it while pos() < size().
    size_t pos() const { return pos_; }
    size_t size() const { return size_; }
    uint8_t* data() { return buf_.get(); }
    void set_pos(size_t p) { pos_ = p; }

    void put(uint8_t b) { buf_[pos_++] = b; }

    // Copies `len` bytes from `dist` back (1 <= dist <= max_distance(),
    // len <= max_match); the caller checks both.
    void copy(size_t dist, size_t len)
    {
        uint8_t* const b = buf_.get();
        if (dist <= pos_) {
            uint8_t* dst = b + pos_;
            const uint8_t* src = dst - dist;
            pos_ += len;
            if (dist >= 16) {
                // Whole 16-byte pieces; the last one may write past the
                // match into bytes that are older than any valid distance.
                uint8_t* const end = dst + len;
                do {
                    std::memcpy(dst, src, 16);
                    dst += 16;
                    src += 16;
                } while (dst < end);
            } else {
                for (size_t i = 0; i < len; ++i)
                    dst[i] = src[i];
            }
            return;
        }
        // The source starts before the wrap point. The distance leaves at
        // least `guard` bytes between the position and `size`, so the
        // destination stays below `size`.
        size_t s = pos_ + size_ - dist;
        for (size_t i = 0; i < len; ++i) {
            b[pos_++] = b[s++];
            if (s == size_)
                s = 0;
        }
    }

    // Bytes written and not yet handed out.
    std::span<const uint8_t> pending() const { return {buf_.get() + flushed_, pos_ - flushed_}; }
    void mark_flushed()
    {
        filled_ += pos_ - flushed_;
        if (filled_ > capacity_)
            filled_ = capacity_;
        flushed_ = pos_;
    }
    // After the pending bytes were handed out: once past `size`, moves the
    // overrun to the front of the buffer.
    void wrap()
    {
        if (pos_ < size_)
            return;
        const size_t over = pos_ - size_;
        std::memmove(buf_.get(), buf_.get() + size_, over);
        pos_ = over;
        flushed_ = over;
    }

private:
    std::unique_ptr<uint8_t[]> buf_;
    size_t size_ = 0;      // wrap point: capacity_ + guard
    size_t capacity_ = 0;  // longest distance the buffer serves
    size_t pos_ = 0;
    size_t flushed_ = 0;
    size_t filled_ = 0;    // bytes of history before flushed_, at most capacity_
};

} // namespace velmora

// The output side of the LZ77 decoders: a flat buffer holding the window of
// past output followed by the bytes produced since the last flush. Copies
// read straight behind the write position, with no wrapping; when the
// pending bytes pass the flush point they go to the sink and the last
// window's worth slides to the front. Sized by the format's window, never by
// the entry's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "codecs/ByteStream.h"

namespace velmora {

class lz_window {
public:
    // Output collected between two flushes: pieces of this size reach the sink.
    static constexpr size_t flush_chunk = size_t{128} << 10;
    // Room past the flush point: one whole match of the longest kind (256
    // bytes) plus the overrun of the word copies.
    static constexpr size_t slack = 512;
    static_assert(flush_chunk <= (size_t{1} << 20), "the sink hears from us at least every MiB");

    // dict: the longest distance the format allows. The window before the
    // first byte holds `fill` (or the given history). False on no memory.
    bool allocate(size_t dict, uint8_t fill)
    {
        dict_ = dict;
        buf_.reset(new (std::nothrow) uint8_t[dict + flush_chunk + slack]);
        if (!buf_) return false;
        std::memset(buf_.get(), fill, dict);
        pos_ = dict;
        return true;
    }
    // Replaces the window before the first byte; history.size() == dict.
    void set_history(std::span<const uint8_t> history) { std::memcpy(buf_.get(), history.data(), dict_); }

    uint8_t* data() { return buf_.get(); }
    // Bytes in front of the write position that copies may read.
    size_t dict() const { return dict_; }
    size_t pos() const { return pos_; }
    void set_pos(size_t pos) { pos_ = pos; }
    size_t flush_point() const { return dict_ + flush_chunk; }
    // Output produced so far, flushed or not.
    uint64_t total() const { return total_at(pos_); }
    // Output already sent to the sink.
    uint64_t flushed() const { return flushed_; }
    // Output produced so far with the write position at pos.
    uint64_t total_at(size_t pos) const { return flushed_ + (pos - dict_); }

    // Sends the pending bytes to the sink and slides the window down.
    // False when the sink refused them.
    bool flush(ByteSink& sink)
    {
        const size_t pending = pos_ - dict_;
        if (pending == 0) return true;
        if (!sink.write({buf_.get() + dict_, pending})) return false;
        flushed_ += pending;
        std::memmove(buf_.get(), buf_.get() + pending, dict_);
        pos_ = dict_;
        return true;
    }

private:
    std::unique_ptr<uint8_t[]> buf_;
    size_t dict_ = 0;
    size_t pos_ = 0;
    uint64_t flushed_ = 0;
};

// Copies `length` bytes from `distance` back to out, byte by byte in effect
// (a distance shorter than the length repeats the pattern). Writes up to
// 7 bytes past out + length; the window's slack takes them.
inline void lz_copy_fast(uint8_t* out, size_t distance, size_t length)
{
    const uint8_t* from = out - distance;
    uint8_t* const end = out + length;
    if (distance >= 8) {
        // Eight bytes at a time: each word is read before the write that
        // could overlap it, since the gap is at least a word.
        do {
            uint64_t w;
            std::memcpy(&w, from, 8);
            std::memcpy(out, &w, 8);
            from += 8;
            out += 8;
        } while (out < end);
    } else if (distance == 1) {
        std::memset(out, *from, length);
    } else {
        do {
            *out++ = *from++;
        } while (out < end);
    }
}

// The exact copy for the slow loops: writes exactly `length` bytes.
inline void lz_copy_exact(uint8_t* out, size_t distance, size_t length)
{
    const uint8_t* from = out - distance;
    for (size_t i = 0; i < length; ++i) out[i] = from[i];
}

} // namespace velmora

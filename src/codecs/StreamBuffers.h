// The input and output buffers of the streaming decoders: input pulled from a
// ByteSource in large pieces, output gathered into large pieces for the
// ByteSink with the caller's output limit applied. Decoders own one of each
// and keep them from one stream to the next. Internal to src/codecs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>

#include "codecs/ByteStream.h"

namespace velmora {

// A buffer of n bytes, or null (and capacity 0) when memory is short.
inline std::unique_ptr<uint8_t[]> allocate_bytes(size_t n, size_t& capacity) noexcept
{
    try {
        auto p = std::make_unique_for_overwrite<uint8_t[]>(n);
        capacity = n;
        return p;
    } catch (const std::bad_alloc&) {
        capacity = 0;
        return nullptr;
    }
}

// Reads enough of the source to fill out, unless the input ends first;
// returns the number of bytes read.
inline size_t read_fully(ByteSource& in, std::span<uint8_t> out)
{
    size_t got = 0;
    while (got < out.size()) {
        const size_t n = in.read(out.subspan(got));
        if (n == 0) break;
        got += n;
    }
    return got;
}

class InputBuffer {
public:
    static constexpr size_t default_capacity = size_t{128} << 10;

    // Allocates the buffer once; false when memory is short.
    bool allocate(size_t capacity = default_capacity) noexcept
    {
        if (!buf_ || capacity_ != capacity) buf_ = allocate_bytes(capacity, capacity_);
        reset();
        return buf_ != nullptr;
    }

    // Forgets buffered input and the end of input (a new stream starts).
    void reset()
    {
        pos_ = end_ = 0;
        ended_ = false;
    }

    // When everything buffered has been used, reads the next piece. Returns
    // false once the source has ended and nothing is buffered.
    bool fill(ByteSource& in)
    {
        if (pos_ < end_) return true;
        pos_ = end_ = 0;
        if (!ended_) {
            end_ = in.read(std::span(buf_.get(), capacity_));
            ended_ = end_ == 0;
        }
        return end_ != 0;
    }

    // Keeps what is buffered and reads more after it, for a library that
    // takes nothing until it sees more at once. False when the source has
    // ended or the buffer is full.
    bool fill_more(ByteSource& in)
    {
        if (ended_) return false;
        if (pos_ > 0) {
            std::copy(buf_.get() + pos_, buf_.get() + end_, buf_.get());
            end_ -= pos_;
            pos_ = 0;
        }
        if (end_ == capacity_) return false;
        const size_t n = in.read(std::span(buf_.get() + end_, capacity_ - end_));
        ended_ = n == 0;
        end_ += n;
        return n != 0;
    }

    const uint8_t* data() const { return buf_.get() + pos_; }
    size_t available() const { return end_ - pos_; }
    void consume(size_t n) { pos_ += n; }
    // The source has reported its end (buffered bytes may remain).
    bool source_ended() const { return ended_; }
    bool exhausted() const { return ended_ && pos_ == end_; }

private:
    std::unique_ptr<uint8_t[]> buf_;
    size_t capacity_ = 0;
    size_t pos_ = 0;
    size_t end_ = 0;
    bool ended_ = false;
};

// Output gathered for the sink. The decoder writes into space(), reports the
// bytes with produced(), and calls flush() when the buffer is full or the
// stream has ended. Bytes past the limit are never handed to the sink.
class OutputBuffer {
public:
    static constexpr size_t default_capacity = size_t{256} << 10;
    static_assert(default_capacity >= (size_t{16} << 10) && default_capacity <= (size_t{1} << 20),
                  "sinks expect pieces of 16 KiB or more, and one at least every MiB");

    bool allocate(size_t capacity = default_capacity) noexcept
    {
        if (!buf_ || capacity_ != capacity) buf_ = allocate_bytes(capacity, capacity_);
        return buf_ != nullptr;
    }

    void start(uint64_t limit)
    {
        fill_ = 0;
        total_ = 0;
        limit_ = limit;
    }

    uint8_t* space() { return buf_.get() + fill_; }
    size_t space_size() const { return capacity_ - fill_; }
    size_t capacity() const { return capacity_; }
    bool full() const { return fill_ == capacity_; }
    void produced(size_t n)
    {
        fill_ += n;
        total_ += n;
    }

    // Bytes produced so far, handed over or not.
    uint64_t total() const { return total_; }
    bool over_limit() const { return total_ > limit_; }

    // Hands the buffered bytes (up to the limit) to the sink; false when the
    // sink refused them.
    bool flush(ByteSink& sink)
    {
        if (fill_ == 0) return true;
        const uint64_t before = total_ - fill_;
        const uint64_t allowed = before >= limit_ ? 0 : std::min<uint64_t>(fill_, limit_ - before);
        const bool ok = allowed == 0 || sink.write(std::span<const uint8_t>(buf_.get(), static_cast<size_t>(allowed)));
        fill_ = 0;
        return ok;
    }

    // The usual end of a decode: flush, then the status for the sink and the limit.
    DecodeStatus finish(ByteSink& sink, DecodeStatus status)
    {
        if (!flush(sink)) return DecodeStatus::stopped;
        return over_limit() ? DecodeStatus::output_limit : status;
    }

private:
    std::unique_ptr<uint8_t[]> buf_;
    size_t capacity_ = 0;
    size_t fill_ = 0;
    uint64_t total_ = 0;
    uint64_t limit_ = UINT64_MAX;
};

} // namespace velmora

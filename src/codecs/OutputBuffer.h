// Collects a decoder's output and hands it to a ByteSink in pieces of the
// buffer's size, never letting the total pass a limit. The byte-oriented
// decoders write through it one byte or one run at a time.
#pragma once

#include "codecs/ByteStream.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

namespace velmora {

class OutputBuffer {
public:
    static constexpr size_t default_piece = size_t{64} << 10;

    OutputBuffer(ByteSink& sink, uint64_t limit, size_t piece = default_piece)
        : sink_(sink), limit_(limit), buf_(std::make_unique_for_overwrite<uint8_t[]>(piece)), size_(piece)
    {
    }

    // False when the byte was not taken: the limit is reached or the sink refused.
    bool put(uint8_t b)
    {
        if (room_ == 0 && !make_room()) [[unlikely]]
            return false;
        buf_[n_++] = b;
        --room_;
        return true;
    }

    // Takes as much of data as the limit allows; false when not all of it fit.
    bool put(std::span<const uint8_t> data)
    {
        while (!data.empty()) {
            if (room_ == 0 && !make_room())
                return false;
            const size_t k = static_cast<size_t>(std::min<uint64_t>(room_, data.size()));
            std::memcpy(buf_.get() + n_, data.data(), k);
            n_ += k;
            room_ -= k;
            data = data.subspan(k);
        }
        return true;
    }

    // `count` copies of b, as far as the limit allows.
    bool put_run(uint8_t b, uint64_t count)
    {
        while (count > 0) {
            if (room_ == 0 && !make_room())
                return false;
            const size_t k = static_cast<size_t>(std::min<uint64_t>(room_, count));
            std::memset(buf_.get() + n_, b, k);
            n_ += k;
            room_ -= k;
            count -= k;
        }
        return true;
    }

    // Hands over what is buffered; false when the sink refused it.
    bool flush()
    {
        if (n_ != 0 && !failed_) {
            if (!sink_.write(std::span<const uint8_t>(buf_.get(), n_)))
                failed_ = true;
            flushed_ += n_;
        }
        n_ = 0;
        room_ = 0;
        return !failed_;
    }

    // Flushes and passes `status` on, or stopped when the sink refused the rest.
    DecodeStatus finish(DecodeStatus status) { return flush() ? status : DecodeStatus::stopped; }

    uint64_t total() const { return flushed_ + n_; }
    bool at_limit() const { return total() == limit_; }
    bool sink_failed() const { return failed_; }

    // The status of a stream whose decoder could not place a byte: the sink
    // refused one, or the output reached the limit.
    DecodeStatus refusal() const { return failed_ ? DecodeStatus::stopped : DecodeStatus::output_limit; }

private:
    // Flushes a full buffer and opens room up to the limit.
    bool make_room()
    {
        if (n_ == size_ && !flush())
            return false;
        if (failed_)
            return false;
        room_ = static_cast<size_t>(std::min<uint64_t>(size_ - n_, limit_ - total()));
        return room_ != 0;
    }

    ByteSink& sink_;
    uint64_t limit_;
    std::unique_ptr<uint8_t[]> buf_; // left uninitialised: only written bytes are handed on
    size_t size_;
    size_t n_ = 0;
    size_t room_ = 0; // bytes that may be added before make_room() runs again
    uint64_t flushed_ = 0;
    bool failed_ = false;
};

} // namespace velmora

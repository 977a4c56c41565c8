// A read-ahead buffer over a ByteSource for the byte-oriented decoders: pulls
// the input in large pieces and hands it out a byte or a span at a time.
// Holds one piece of input, never the whole stream.
#pragma once

#include "codecs/ByteStream.h"

#include <cstdint>
#include <memory>
#include <span>

namespace velmora {

class InputBuffer {
public:
    static constexpr size_t default_piece = size_t{128} << 10;

    explicit InputBuffer(ByteSource& source, size_t piece = default_piece)
        : source_(source), buf_(std::make_unique_for_overwrite<uint8_t[]>(piece)), size_(piece)
    {
    }

    // The next byte, or -1 once the source has ended.
    int get()
    {
        if (pos_ == end_ && !refill()) [[unlikely]]
            return -1;
        return buf_[pos_++];
    }

    // The bytes buffered now, refilling first when none are; empty at the end.
    std::span<const uint8_t> peek()
    {
        if (pos_ == end_)
            refill();
        return std::span<const uint8_t>(buf_.get() + pos_, end_ - pos_);
    }
    void skip(size_t n) { pos_ += n; }

private:
    bool refill()
    {
        if (ended_)
            return false;
        pos_ = 0;
        end_ = source_.read(std::span<uint8_t>(buf_.get(), size_));
        if (end_ == 0)
            ended_ = true;
        return end_ != 0;
    }

    ByteSource& source_;
    std::unique_ptr<uint8_t[]> buf_; // left uninitialised: every byte is read into before use
    size_t size_;
    size_t pos_ = 0;
    size_t end_ = 0;
    bool ended_ = false;
};

} // namespace velmora

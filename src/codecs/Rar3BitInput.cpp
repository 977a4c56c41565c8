// Buffer management of the RAR 2.9-4.x bit reader.
#include "codecs/Rar3BitInput.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace velmora {

Rar3BitInput::Rar3BitInput() = default;

bool Rar3BitInput::reset(ByteSource& source)
{
    if (!buffer_) {
        buffer_.reset(new (std::nothrow) uint8_t[buffer_size + padding]);
        if (!buffer_)
            return false;
    }
    source_ = &source;
    pos_ = end_ = limit_ = 0;
    bit_ = 0;
    at_eof_ = false;
    byte_overrun_ = false;
    std::memset(buffer_.get(), 0, padding);
    return true;
}

bool Rar3BitInput::refill()
{
    if (pos_ > end_)
        return false;
    if (!at_eof_) {
        // Keep the unread tail, then read until the buffer is full or the input ends.
        std::memmove(buffer_.get(), buffer_.get() + pos_, end_ - pos_);
        end_ -= pos_;
        pos_ = 0;
        while (end_ < buffer_size) {
            const size_t n = source_->read(std::span<uint8_t>(buffer_.get() + end_, buffer_size - end_));
            if (n == 0) {
                at_eof_ = true;
                break;
            }
            end_ += n;
        }
        std::memset(buffer_.get() + end_, 0, padding);
    }
    // Before the end, stop step_margin short of it so that a step never runs
    // into bytes not yet read; at the end the zero padding covers the step.
    // (Before the end the buffer is full, so pos_ is well below the limit.)
    limit_ = at_eof_ ? end_ : end_ - step_margin;
    return !overrun();
}

uint8_t Rar3BitInput::read_byte_slow()
{
    if (!at_eof_ && pos_ <= end_) {
        refill();
        if (pos_ < end_)
            return buffer_[pos_++];
    }
    byte_overrun_ = true;
    return 0;
}

} // namespace velmora

// Sources and sinks for decoder tests: input handed out a few bytes at a time,
// output taken in pieces and recorded, and a sink that refuses after a count.
#pragma once

#include "codecs/ByteStream.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace velmora::test {

// Gives at most `piece` bytes per read, and counts the reads.
class ChunkedSource final : public ByteSource {
public:
    ChunkedSource(std::span<const uint8_t> data, size_t piece) : data_(data), piece_(piece) {}
    size_t read(std::span<uint8_t> out) override
    {
        ++reads;
        const size_t n = std::min({out.size(), data_.size(), piece_});
        std::copy_n(data_.begin(), n, out.begin());
        data_ = data_.subspan(n);
        return n;
    }
    size_t remaining() const { return data_.size(); }
    size_t reads = 0;

private:
    std::span<const uint8_t> data_;
    size_t piece_;
};

// Keeps everything written, the size of every piece, and refuses the write
// that would take the total past `refuse_after` bytes.
class RecordingSink final : public ByteSink {
public:
    explicit RecordingSink(uint64_t refuse_after = UINT64_MAX) : refuse_after_(refuse_after) {}
    bool write(std::span<const uint8_t> data) override
    {
        if (data.size() > refuse_after_ - std::min<uint64_t>(refuse_after_, bytes.size()))
            return false;
        bytes.insert(bytes.end(), data.begin(), data.end());
        pieces.push_back(data.size());
        return true;
    }
    std::vector<uint8_t> bytes;
    std::vector<size_t> pieces;

private:
    uint64_t refuse_after_;
};

} // namespace velmora::test

// Sources and sinks for driving streaming decoders in tests: input handed
// out in pieces of a chosen size, a sink that records how it was written to
// and can refuse after a given number of bytes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "codecs/ByteStream.h"

namespace velmora::test {
// Its own inline namespace: other helper headers define types of the same
// names, and one test program may link both.
inline namespace byte_stream_helpers {

// Gives at most `piece` bytes per read (1 = byte by byte).
class PieceSource final : public ByteSource {
public:
    PieceSource(std::span<const uint8_t> data, size_t piece) : data_(data), piece_(piece ? piece : 1) {}
    size_t read(std::span<uint8_t> out) override
    {
        const size_t n = std::min({out.size(), data_.size(), piece_});
        std::copy_n(data_.begin(), n, out.begin());
        data_ = data_.subspan(n);
        ++reads;
        return n;
    }
    size_t reads = 0;

private:
    std::span<const uint8_t> data_;
    size_t piece_;
};

// Keeps what it is given; refuses the write that would take it past
// `refuse_after` bytes. Records the largest and smallest write.
class SizedRecordingSink final : public ByteSink {
public:
    explicit SizedRecordingSink(uint64_t refuse_after = UINT64_MAX) : refuse_after_(refuse_after) {}
    bool write(std::span<const uint8_t> data) override
    {
        if (data.size() > refuse_after_ - std::min<uint64_t>(refuse_after_, bytes.size()))
            return false;
        bytes.insert(bytes.end(), data.begin(), data.end());
        ++writes;
        largest = std::max(largest, data.size());
        if (!data.empty())
            smallest = std::min(smallest, data.size());
        return true;
    }
    std::vector<uint8_t> bytes;
    size_t writes = 0;
    size_t largest = 0;
    size_t smallest = SIZE_MAX;

private:
    uint64_t refuse_after_;
};

} // namespace byte_stream_helpers
} // namespace velmora::test

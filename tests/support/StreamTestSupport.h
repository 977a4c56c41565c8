// Sources and sinks for the streaming decoder tests and fuzz targets: a
// source that hands its bytes out in pieces of chosen sizes (down to one
// byte at a time), and a sink that records what it is given, piece by piece,
// and can refuse from a chosen byte on. The one copy of both: header-only,
// so the fuzz targets and benchmarks use them without the test library.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <span>
#include <vector>

#include "codecs/ByteStream.h"

namespace velmora::test {
// Its own inline namespace: other helper headers define types of the same
// names, and one test program may link both.
inline namespace stream_test_support {

// Gives out `data` in pieces whose sizes come from next_piece (at least 1
// byte, at most what the reader asked for). Counts the reads, and the reads
// made after it had already reported the end.
class chunked_source final : public ByteSource {
public:
    chunked_source(std::span<const uint8_t> data, std::function<size_t()> next_piece)
        : data_(data), next_piece_(std::move(next_piece))
    {
    }
    // Pieces of at most `piece` bytes each (0 or SIZE_MAX: all at once).
    chunked_source(std::span<const uint8_t> data, size_t piece)
        : chunked_source(data, [piece] { return piece == 0 ? SIZE_MAX : piece; })
    {
    }
    // Pieces of 1 to max_piece bytes, drawn from a seeded generator; 1 is
    // drawn a quarter of the time.
    static chunked_source random(std::span<const uint8_t> data, uint32_t seed, size_t max_piece)
    {
        auto rng = std::make_shared<std::mt19937>(seed);
        return chunked_source(data, [rng, max_piece] {
            return (*rng)() % 4 == 0 ? size_t{1} : 1 + (*rng)() % std::max<size_t>(max_piece, 1);
        });
    }
    static chunked_source bytewise(std::span<const uint8_t> data)
    {
        return chunked_source(data, [] { return size_t{1}; });
    }

    size_t read(std::span<uint8_t> out) override
    {
        ++reads;
        if (data_.empty()) {
            ++reads_after_end;
            return 0;
        }
        const size_t n = std::min({out.size(), data_.size(), std::max<size_t>(next_piece_(), 1)});
        std::copy_n(data_.begin(), n, out.begin());
        data_ = data_.subspan(n);
        return n;
    }
    size_t remaining() const { return data_.size(); }

    size_t reads = 0;
    size_t reads_after_end = 0;

private:
    std::span<const uint8_t> data_;
    std::function<size_t()> next_piece_;
};

// Keeps every byte it accepts and the size of every piece. From the write
// that would take it past refuse_at bytes on, it refuses (keeping nothing of
// that write) and counts the writes it was still offered.
class recording_sink final : public ByteSink {
public:
    explicit recording_sink(uint64_t refuse_at = UINT64_MAX) : refuse_at_(refuse_at) {}
    bool write(std::span<const uint8_t> piece) override
    {
        if (refused) {
            ++writes_after_refusal;
            return false;
        }
        if (bytes.size() + piece.size() > refuse_at_) {
            refused = true;
            return false;
        }
        bytes.insert(bytes.end(), piece.begin(), piece.end());
        pieces.push_back(piece.size());
        return true;
    }

    std::vector<uint8_t> bytes;
    std::vector<size_t> pieces;
    bool refused = false;
    size_t writes_after_refusal = 0;

    size_t writes() const { return pieces.size(); }
    size_t largest() const { return pieces.empty() ? 0 : *std::max_element(pieces.begin(), pieces.end()); }
    // The smallest piece but the last (which may be the stream's tail).
    size_t smallest_but_last() const
    {
        return pieces.size() < 2 ? SIZE_MAX : *std::min_element(pieces.begin(), pieces.end() - 1);
    }
    size_t empty_writes() const { return static_cast<size_t>(std::count(pieces.begin(), pieces.end(), size_t{0})); }

private:
    uint64_t refuse_at_;
};

} // namespace stream_test_support
} // namespace velmora::test

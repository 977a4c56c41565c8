// Shared pieces of the streaming decoders' fuzz targets: sources that hand
// out the input in pieces (of one size, or of sizes drawn from a seed), and
// one decode run's result, so a target can decode the same input twice with
// different cuts and compare.
#pragma once

#include "../tests/support/StreamTestSupport.h"
#include "codecs/ByteStream.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

namespace velmora::fuzz {

using test::chunked_source;
using test::recording_sink;

// A source whose piece sizes cycle through a small pattern drawn from `seed`
// (1 to 4096 bytes, a quarter of them 1 to 7), so that every decoder sees
// its input cut at odd places.
inline chunked_source pieces_source(std::span<const uint8_t> data, uint32_t seed)
{
    return chunked_source(data, [state = seed | 1]() mutable {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return (state & 3) == 0 ? size_t{1 + state % 7} : size_t{1 + state % 4096};
    });
}

struct Run {
    DecodeStatus status;
    std::vector<uint8_t> out;
};

template <typename Decode>
Run run_whole(std::span<const uint8_t> input, uint64_t limit, Decode&& decode)
{
    Run r;
    SpanSource in(input);
    VectorSink sink(r.out);
    r.status = decode(in, sink, limit);
    return r;
}

template <typename Decode>
Run run_in_pieces(std::span<const uint8_t> input, uint64_t limit, uint32_t seed, Decode&& decode)
{
    Run r;
    chunked_source in = pieces_source(input, seed);
    VectorSink sink(r.out);
    r.status = decode(in, sink, limit);
    return r;
}

// The same input must give the same status and output however it is cut.
inline void expect_same(const Run& a, const Run& b)
{
    if (a.status != b.status || a.out != b.out) std::abort();
}

// For the library decoders: the same status, and the same output when it is
// ok. Before an error the output may stop at different places (a library
// hands out a block it has decoded before it finds the frame's check wrong,
// or checks a frame it holds whole first), but never differs.
inline void expect_consistent(const Run& a, const Run& b)
{
    if (a.status != b.status) std::abort();
    if (a.status == DecodeStatus::ok && a.out != b.out) std::abort();
    const size_t n = std::min(a.out.size(), b.out.size());
    if (!std::equal(a.out.begin(), a.out.begin() + static_cast<ptrdiff_t>(n), b.out.begin())) std::abort();
}

inline void expect(bool condition)
{
    if (!condition) std::abort();
}

} // namespace velmora::fuzz

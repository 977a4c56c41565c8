// ARC method 4, "squeezed": a Huffman code stored as a node table (a 16-bit
// node count, then two 16-bit children per node: a node number, or -(value + 1)
// for a leaf), bits taken from the low end of each byte, value 256 ending the
// stream; the values then go through the run-length stage (ArcRle).
// The node table is the only state besides the buffers.
#pragma once

#include "codecs/ArcRle.h"
#include "codecs/ByteStream.h"

#include <array>
#include <cstdint>

namespace velmora {

class ArcSqueeze {
public:
    // The tree holds at most one node per value pair: 257 values (256 bytes and
    // the end mark) need 256 inner nodes.
    static constexpr unsigned num_values = 257;
    static constexpr unsigned max_nodes = num_values - 1;
    static constexpr unsigned end_of_stream = 256;

    // Decodes up to the end mark or out_size bytes, whichever comes first: an
    // end mark before out_size bytes is ok (the caller compares sizes).
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t out_size);

private:
    DecodeStatus run(ByteSource& in, ByteSink& out, uint64_t out_size);
    // child[n][bit]: >= 0 the next node, < 0 a leaf -(value + 1).
    std::array<std::array<int16_t, 2>, max_nodes> child_{};
    ArcRle rle_;
};

} // namespace velmora

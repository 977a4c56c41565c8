// Unreduce: expands ZIP entries stored with the "reduced" methods 2 to 5
// (reduction factors 1 to 4): probabilistic follower sets, then the DLE
// run-length / back-reference stage, as in the PKWARE APPNOTE (section 5.2).
// Whole entry in memory, on the stream decoder UnreduceDecoder; the output
// never grows beyond the expected size.
#pragma once

#include <cstdint>
#include <vector>

namespace velmora {

// Data: the compressed bytes on entry, the OutLast + 1 expanded bytes on
// return (unchanged when decoding stopped on a fault). Method: the ZIP method
// 2..5. OutLast: expected size minus 1 (-1 gives an empty result at once).
// Returns 0, or -1 after a fault when a follower set declared more than 32
// members. Input that ends early reads as zero bits; bytes before the first
// output byte read as zeros (PKZIP codes runs as copies from a zeroed window).
int16_t Unreduce(std::vector<uint8_t>& Data, int16_t Method, int32_t OutLast);

} // namespace velmora

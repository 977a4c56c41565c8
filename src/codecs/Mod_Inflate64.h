// Inflate for ZIP methods 8 (Deflate, RFC 1951) and 9 (Deflate64: length
// symbol 285 = 3 + 16 extra bits, distance codes 30 and 31, 64 KiB window),
// for an entry held whole in memory: the stream decoder (InflateDecoder)
// under its whole-entry rules, decoding straight into the returned array.
// Streams and outputs of 2 GiB or more are outside what this handles.
#pragma once

#include <cstdint>
#include <vector>

#include "archive/WindowServices.h"

namespace velmora {

// Results of Inflate.
inline constexpr int32_t inflate_ok = 0;               // every block up to the final one decoded
inline constexpr int32_t inflate_bad_stored_length = -2; // a stored block's LEN and NLEN disagreed
inline constexpr int32_t inflate_incomplete = -1;       // block type 3, or a stored block short of input or output

// Decodes the stream in Data into at most OutLast + 1 bytes. On a normal end
// or result -1, Data becomes exactly the bytes produced; on a fault (a bad
// Huffman table, a distance before the first byte, more output than OutLast
// + 1 bytes) Data is left as given and the result is the status reached so
// far. A bad table also shows "Error in tree creation (Static)." through
// window when one is given.
int32_t Inflate(std::vector<uint8_t>& Data, int32_t OutLast, bool IsDeflate64, WindowServices* window = nullptr);

} // namespace velmora

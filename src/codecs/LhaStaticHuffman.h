// The static-Huffman LZ77 coder of LHA -lh4- to -lh7- and of ARJ methods 1
// to 3 (Okumura's ar002 lineage): blocks of a code count, a code-length
// code, the literal/length code and the offset-bit-count code, read most
// significant bit first. One decoder; the parameters carry the differences.
// Memory: the window and the tables, whatever the entry's size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codecs/ByteStream.h"

namespace velmora {

struct lha_static_params {
    size_t window;                // the longest distance a copy may reach
    unsigned offset_count_bits;   // width of the offset code's count field (NP's bits)
    unsigned max_offset_symbol;   // the largest offset-bit-count symbol (NP - 1)
    bool history_of_spaces;       // LHA: the window starts full of spaces; ARJ: nothing before the first byte
};

// LHA: window 2^dicbit, NP = dicbit + 1 symbols, count field 4 bits for
// -lh4-/-lh5- and 5 bits for -lh6-/-lh7-.
constexpr lha_static_params lha_static_params_for(unsigned dicbit)
{
    return {size_t{1} << dicbit, dicbit <= 13 ? 4u : 5u, dicbit, true};
}
// ARJ methods 1 to 3: DICSIZ 26624 with NP = 17 (the offset code of a
// 64 KiB window), count field 5 bits.
inline constexpr lha_static_params arj_static_params = {26624, 5, 16, false};

// Decodes one entry of exactly out_size bytes. The stream has no end
// marker: input that ends before out_size bytes is `truncated`; a bad code
// table or a copy from beyond the window is `data_error`.
DecodeStatus lha_static_huffman_decode(const lha_static_params& params, ByteSource& in, ByteSink& out,
                                       uint64_t out_size);

} // namespace velmora

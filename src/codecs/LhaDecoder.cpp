// Method dispatch for LHA entries: each family lives in its own file pair
// (StoredCopy, LhaDynamicHuffman, LhaStaticHuffman, LArcDecoder).
#include "codecs/LhaDecoder.h"

#include <array>
#include <utility>

#include "codecs/LArcDecoder.h"
#include "codecs/LhaDynamicHuffman.h"
#include "codecs/LhaStaticHuffman.h"
#include "codecs/StoredCopy.h"

namespace velmora {

std::optional<lha_method> lha_method_from_id(std::string_view id)
{
    if (id.size() == 5 && id.front() == '-' && id.back() == '-') id = id.substr(1, 3);
    static constexpr std::array<std::pair<std::string_view, lha_method>, 10> ids = {{
        {"lh0", lha_method::lh0}, {"lhd", lha_method::lhd}, {"lh1", lha_method::lh1}, {"lh4", lha_method::lh4},
        {"lh5", lha_method::lh5}, {"lh6", lha_method::lh6}, {"lh7", lha_method::lh7}, {"lzs", lha_method::lzs},
        {"lz4", lha_method::lz4}, {"lz5", lha_method::lz5},
    }};
    for (const auto& [name, method] : ids)
        if (name == id) return method;
    return std::nullopt;
}

DecodeStatus LhaDecoder::decode(ByteSource& in, ByteSink& out, uint64_t out_size)
{
    // The static-Huffman methods differ in their window (dicbit) only.
    static constexpr lha_static_params lh4 = lha_static_params_for(12);
    static constexpr lha_static_params lh5 = lha_static_params_for(13);
    static constexpr lha_static_params lh6 = lha_static_params_for(15);
    static constexpr lha_static_params lh7 = lha_static_params_for(16);
    switch (method_) {
    case lha_method::lh0:
    case lha_method::lz4: return stored_copy(in, out, out_size);
    case lha_method::lhd: return out_size == 0 ? DecodeStatus::ok : DecodeStatus::data_error;
    case lha_method::lh1: return lha_lh1_decode(in, out, out_size);
    case lha_method::lh4: return lha_static_huffman_decode(lh4, in, out, out_size);
    case lha_method::lh5: return lha_static_huffman_decode(lh5, in, out, out_size);
    case lha_method::lh6: return lha_static_huffman_decode(lh6, in, out, out_size);
    case lha_method::lh7: return lha_static_huffman_decode(lh7, in, out, out_size);
    case lha_method::lzs: return larc_decode(larc_method::lzs, in, out, out_size);
    case lha_method::lz5: return larc_decode(larc_method::lz5, in, out, out_size);
    }
    return DecodeStatus::unsupported;
}

} // namespace velmora

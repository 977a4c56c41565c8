// Decoder of LHA/LZH entries by their method id: -lh0- and -lz4- stored,
// -lhd- (a folder, no data), -lh1- (LZHUF adaptive Huffman), -lh4- to -lh7-
// (static Huffman, 4 to 64 KiB windows), -lzs- and -lz5- (LArc). The
// -lh2-/-lh3- experiments of LHarc 2 and the PMarc methods are not handled.
// Memory: the method's window and tables, whatever the entry's size.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "codecs/ByteStream.h"

namespace velmora {

enum class lha_method { lh0, lhd, lh1, lh4, lh5, lh6, lh7, lzs, lz4, lz5 };

// The method named by a header's id, "lh5" or "-lh5-" (letter case as
// stored); none for the methods not handled.
std::optional<lha_method> lha_method_from_id(std::string_view id);

class LhaDecoder {
public:
    explicit LhaDecoder(lha_method method) : method_(method) {}

    // Produces exactly out_size bytes (these streams have no end marker):
    // `truncated` when the input ends first, `data_error` for a bad code
    // table or a copy from beyond the window. -lhd- entries produce nothing
    // (out_size should be 0; more is `data_error`).
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t out_size);

private:
    lha_method method_;
};

} // namespace velmora

// Expands one ARC entry by its method byte: 1 and 2 stored, 3 packed
// (run-length), 4 squeezed, 5 to 7 old crunching, 8 dynamic crunching, 9
// squashing (ARC 5.21 and its technical notes). Later methods (10 and up, from
// PKPAK/PAK and other ARC successors) are `unsupported`. Keeps the decoders'
// tables between entries; no state carries from one entry to the next.
#pragma once

#include "codecs/ArcCrunch.h"
#include "codecs/ArcLzw.h"
#include "codecs/ArcRle.h"
#include "codecs/ArcSqueeze.h"
#include "codecs/ByteStream.h"

#include <cstdint>
#include <memory>

namespace velmora {

class ArcDecoder {
public:
    static constexpr uint8_t last_method = 9;

    static bool is_supported(uint8_t method) { return method >= 1 && method <= last_method; }

    // Reads the entry's packed bytes from in and writes its expansion to out.
    // out_size is the entry's original size: every method produces exactly
    // that many bytes and then stops reading, except that a squeezed stream
    // (method 4) may end earlier at its end mark, which is ok: the caller
    // compares sizes and CRCs.
    DecodeStatus decode(uint8_t method, ByteSource& in, ByteSink& out, uint64_t out_size);

private:
    ArcRle rle_;
    std::unique_ptr<ArcSqueeze> squeeze_;
    std::unique_ptr<ArcCrunch> crunch_;
    std::unique_ptr<ArcLzw> lzw_;
};

} // namespace velmora

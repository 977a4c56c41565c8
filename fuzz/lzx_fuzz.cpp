// LZX decoder against libmspack on the same folder. Input: window bits
// (15 + byte % 7), block count (1 + byte % 4), the last block's cbUncomp (2
// bytes), then blocks as a 2-byte length and bytes, the last taking the rest.
// Every block but the last is a full 32 KiB frame. Outputs must agree wherever
// both decoders accept the folder, up to the first block with bytes past its
// frame (libmspack reads a folder as one stream and would take them for the
// next frame).
#include "codecs/LzxDecoder.h"
#include "mspack_reference.h"

#include <cstdlib>
#include <vector>

using namespace velmora;
using velmora::fuzz::mspack_extract;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const unsigned window_bits = 15 + data[0] % 7;
    const unsigned count = 1 + data[1] % 4;
    const auto last = static_cast<uint16_t>(1 + (data[2] | (data[3] << 8)) % 32768);
    std::vector<std::span<const uint8_t>> blocks;
    std::vector<uint16_t> uncompressed;
    size_t pos = 4;
    for (unsigned k = 0; k < count; ++k) {
        size_t len = size - pos;
        if (k + 1 < count) {
            if (size - pos < 2)
                break;
            len = std::min<size_t>(data[pos] | (data[pos + 1] << 8), size - pos - 2);
            pos += 2;
        }
        blocks.emplace_back(data + pos, len);
        pos += len;
        uncompressed.push_back(k + 1 < count ? 32768 : last);
    }
    if (blocks.empty() || uncompressed.back() != last)
        return 0;

    static LzxDecoder lzx; // kept between inputs, as a reader keeps it between folders
    if (lzx.reset(window_bits) != DecodeStatus::ok)
        abort();
    std::vector<uint8_t> mine;
    size_t comparable = 0; // bytes of `mine` the reference must match
    bool all_ok = true, in_step = true;
    for (size_t k = 0; k < blocks.size(); ++k) {
        std::vector<uint8_t> out(uncompressed[k]);
        const DecodeStatus st = lzx.decode_block(blocks[k], out);
        if (st != DecodeStatus::ok) {
            all_ok = false;
            // A failed decoder refuses the rest of the folder.
            std::vector<uint8_t> more(1);
            if (lzx.decode_block(blocks[k], more) != DecodeStatus::data_error)
                abort();
            break;
        }
        mine.insert(mine.end(), out.begin(), out.end());
        if (in_step)
            comparable = mine.size();
        if (lzx.block_bytes_used() < blocks[k].size())
            in_step = false;
    }
    std::vector<uint8_t> reference;
    const uint16_t type = static_cast<uint16_t>(3 | (window_bits << 8));
    if (mspack_extract(type, blocks, uncompressed, reference) && reference.size() >= comparable) {
        if (!std::equal(mine.begin(), mine.begin() + static_cast<long>(comparable), reference.begin()))
            abort();
        (void)all_ok;
    }
    return 0;
}

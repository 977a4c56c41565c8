// Quantum decoder against libmspack on a one-block folder. Input: window
// bits (10 + byte % 12), cbUncomp (1 + 2 bytes % 32768), then the block.
// Where both accept the block their outputs must be equal; a failed decoder
// must refuse further blocks until reset.
#include "codecs/QuantumDecoder.h"
#include "mspack_reference.h"

#include <cstdlib>
#include <vector>

using namespace velmora;
using velmora::fuzz::mspack_extract;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const unsigned window_bits = 10 + data[0] % 12;
    const auto out_size = static_cast<uint16_t>(1 + (data[1] | (data[2] << 8)) % 32768);
    const std::span<const uint8_t> block(data + 3, size - 3);

    static QuantumDecoder quantum; // kept between inputs, as a reader keeps it between folders
    if (quantum.reset(window_bits) != DecodeStatus::ok)
        abort();
    std::vector<uint8_t> mine(out_size);
    const DecodeStatus st = quantum.decode_block(block, mine);
    if (st != DecodeStatus::ok) {
        std::vector<uint8_t> more(1);
        if (quantum.decode_block(block, more) != DecodeStatus::data_error)
            abort();
        return 0;
    }
    std::vector<uint8_t> reference;
    const uint16_t type = static_cast<uint16_t>(2 | (window_bits << 8));
    if (mspack_extract(type, {block}, {out_size}, reference) && reference != mine)
        abort();
    return 0;
}

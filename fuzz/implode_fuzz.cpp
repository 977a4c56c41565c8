// libFuzzer target for the Implode decoder. Input: byte 0 the general purpose
// flags (bits 1 and 2 used), bytes 1..2 the expected size (below 16 KiB), the
// rest the imploded stream. Checks: never more output than expected, exactly
// that much on ok; the same status and bytes when the input arrives in 1-byte
// and 7-byte pieces; a smaller expected size gives a prefix; and agreement
// with the plain reference decoder (bit-by-bit canonical decoding) on
// whether the stream decodes and to what.
#include "../tests/codecs/legacy_zip_test_codecs.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

using namespace velmora;
using namespace velmora::test;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const uint16_t flags = data[0] & 6;
    const uint64_t out_size = data[1] | ((data[2] & 0x3F) << 8);
    const std::span<const uint8_t> stream(data + 3, size - 3);

    const auto whole = decode_zip_method(6, flags, stream, out_size);
    if (whole.out.size() > out_size || (whole.status == DecodeStatus::ok && whole.out.size() != out_size))
        std::abort();
    for (const size_t piece : {size_t{1}, size_t{7}}) {
        const auto r = decode_zip_method(6, flags, stream, out_size, piece);
        if (r.status != whole.status || r.out != whole.out)
            std::abort();
    }
    const auto half = decode_zip_method(6, flags, stream, out_size / 2);
    if (whole.status == DecodeStatus::ok &&
        (half.status != DecodeStatus::ok || !std::equal(half.out.begin(), half.out.end(), whole.out.begin())))
        std::abort();

    std::vector<uint8_t> ref;
    const bool ref_ok = implode_reference_decode(stream, out_size, flags, ref);
    if (ref_ok != (whole.status == DecodeStatus::ok) || (ref_ok && ref != whole.out))
        std::abort();
    return 0;
}

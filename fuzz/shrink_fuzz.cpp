// libFuzzer target for the Shrink decoder. Input: bytes 0..1 the expected
// size (below 16 KiB), the rest the shrunk stream. Checks: never more output
// than expected, exactly that much on ok; the same status and bytes when the
// input arrives in 1-byte and 7-byte pieces; a smaller expected size gives a
// prefix; whatever we accept, the plain reference decoder (stack walk) accepts
// with the same bytes, and input that ran out fails there too.
#include "../tests/codecs/legacy_zip_test_codecs.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

using namespace velmora;
using namespace velmora::test;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const uint64_t out_size = data[0] | ((data[1] & 0x3F) << 8);
    const std::span<const uint8_t> stream(data + 2, size - 2);

    const auto whole = decode_zip_method(1, 0, stream, out_size);
    if (whole.out.size() > out_size || (whole.status == DecodeStatus::ok && whole.out.size() != out_size))
        std::abort();
    for (const size_t piece : {size_t{1}, size_t{7}}) {
        const auto r = decode_zip_method(1, 0, stream, out_size, piece);
        if (r.status != whole.status || r.out != whole.out)
            std::abort();
    }
    const auto half = decode_zip_method(1, 0, stream, out_size / 2);
    if (whole.status == DecodeStatus::ok &&
        (half.status != DecodeStatus::ok || !std::equal(half.out.begin(), half.out.end(), whole.out.begin())))
        std::abort();

    std::vector<uint8_t> ref;
    const bool ref_ok = shrink_reference_decode(stream, out_size, ref);
    if (whole.status == DecodeStatus::ok && (!ref_ok || ref != whole.out))
        std::abort();
    // The reference may follow an orphaned prefix chain that we refuse
    // (data_error); running out of input must fail in both.
    if (whole.status == DecodeStatus::truncated && ref_ok)
        std::abort();
    return 0;
}

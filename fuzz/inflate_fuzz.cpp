// libFuzzer target for Inflate in both modes. Input: byte 0 picks the mode
// (bit 0) and how the expected size is chosen (bit 1: far more than any
// stream here makes; bit 2: up to 64 KiB, else up to 4 KiB), bytes 1-2 give
// that size plus 1, byte 3 is unused, the rest is the stream. Results and output are checked against the plain model
// of the decoder kept with the tests.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "../tests/codecs/inflate_test_helpers.h"
#include "codecs/Mod_Inflate64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) return 0;
    const bool deflate64 = data[0] & 1;
    const unsigned size_mask = (data[0] & 4) ? 0xFFFF : 0x0FFF;
    int32_t out_last = static_cast<int32_t>((data[1] | (data[2] << 8)) & size_mask) - 1;
    if (data[0] & 2) out_last = 0x7FFFFFFE; // a declared size far beyond anything produced
    const std::vector<uint8_t> stream(data + 4, data + size);

    std::vector<uint8_t> out = stream;
    const int32_t result = velmora::Inflate(out, out_last, deflate64);
    if (result != 0 && result != -1 && result != -2) std::abort();
    if (out.size() > static_cast<uint64_t>(out_last) + 1 && out != stream) std::abort();

    if (!(data[0] & 2)) {
        const auto m = velmora::test::run_inflate_model(stream, out_last, deflate64);
        if (m.result != result) std::abort();
        if (m.fault ? out != stream : out != m.data) std::abort();
    }
    return 0;
}

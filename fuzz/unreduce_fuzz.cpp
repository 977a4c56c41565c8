// libFuzzer target for Unreduce. Input: byte 0 picks the method (2..5), bytes
// 1..2 the expected size (below 64 KiB so runs stay quick), byte 3 is
// ignored, the rest is the reduced stream. The output must have exactly
// the expected size and match the plain step-by-step expander; any
// difference, crash or sanitizer report is a finding.
#include "../tests/codecs/reduce_test_codec.h"
#include "codecs/Mod_Reduce.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const int method = 2 + data[0] % 4;
    const int32_t out_last = static_cast<int32_t>(data[1] | (data[2] << 8)) - 1;
    const std::vector<uint8_t> stream(data + 4, data + size);

    std::vector<uint8_t> out = stream;
    const int16_t status = velmora::Unreduce(out, static_cast<int16_t>(method), out_last);
    if (status != 0 || out.size() != static_cast<size_t>(out_last + 1))
        std::abort();
    if (out != velmora::test::reference_unreduce(stream, method, out_last))
        std::abort();
    return 0;
}

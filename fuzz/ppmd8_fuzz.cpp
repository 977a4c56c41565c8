// libFuzzer target for the PPMd var.I decoder. Input: bytes 0..1 the expected
// size (below 4 KiB), the rest a method-98 stream whose memory field is
// forced to 1 MiB (order and restore method are the input's). No second
// PPMd decoder exists to compare with, so the checks are: never more output
// than expected, exactly that much on ok; the same status and bytes when the
// input arrives a byte at a time; a smaller expected size gives a
// prefix of the output. One decoder object serves every run, so a model
// left over from an earlier stream would show as a difference.
#include "../tests/codecs/legacy_zip_test_codecs.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

using namespace velmora;
using namespace velmora::test;

namespace {

// One decoder for every run: its 1 MiB model stays mapped, and each decode
// must start afresh whatever the previous one left.
Ppmd8Decoder& decoder()
{
    static Ppmd8Decoder d(1);
    return d;
}

decode_result run(std::span<const uint8_t> stream, uint64_t out_size, size_t piece)
{
    decode_result r;
    chunked_source in(stream, piece);
    VectorSink sink(r.out);
    r.status = decoder().decode(in, sink, out_size);
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const uint64_t out_size = data[0] | ((data[1] & 0x0F) << 8);
    std::vector<uint8_t> stream(data + 2, data + size);
    stream[0] &= 0x0F;   // memory field (bits 4..11) = 0: 1 MiB
    stream[1] &= 0xF0;

    const auto whole = run(stream, out_size, SIZE_MAX);
    if (whole.out.size() > out_size || (whole.status == DecodeStatus::ok && whole.out.size() != out_size))
        std::abort();
    if (whole.status == DecodeStatus::no_memory)
        std::abort();   // 1 MiB is always had
    if (const auto r = run(stream, out_size, 1); r.status != whole.status || r.out != whole.out)
        std::abort();
    const auto half = run(stream, out_size / 2, SIZE_MAX);
    const size_t common = std::min(half.out.size(), whole.out.size());
    if (!std::equal(half.out.begin(), half.out.begin() + static_cast<std::ptrdiff_t>(common), whole.out.begin()))
        std::abort();
    if (whole.status == DecodeStatus::ok && half.status != DecodeStatus::ok)
        std::abort();
    return 0;
}

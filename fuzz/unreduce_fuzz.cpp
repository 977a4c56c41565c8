// libFuzzer target for Unreduce and its stream decoder. Input: byte 0 picks
// the method (2..5), bytes 1..2 the expected size (below 64 KiB so runs stay
// quick), byte 3 how the stream decoder is fed (piece sizes, and bit 7: a
// sink that refuses part-way), the rest is the reduced stream. The output
// must have exactly the expected size and match the plain step-by-step
// expander, and the stream decoder fed in pieces must give the same bytes;
// any difference, crash or sanitizer report is a finding.
#include "../tests/codecs/reduce_test_codec.h"
#include "../tests/support/StreamTestSupport.h"
#include "codecs/Mod_Reduce.h"
#include "codecs/UnreduceDecoder.h"

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
    const uint8_t how = data[3];
    const std::vector<uint8_t> stream(data + 4, data + size);

    std::vector<uint8_t> out = stream;
    const int16_t status = velmora::Unreduce(out, static_cast<int16_t>(method), out_last);
    if (status != 0 || out.size() != static_cast<size_t>(out_last + 1))
        std::abort();
    if (out != velmora::test::reference_unreduce(stream, method, out_last))
        std::abort();

    static constexpr size_t max_piece[4] = {1, 7, 300, 70000};
    uint32_t state = how * 2654435761u + 1;
    const size_t limit = max_piece[how & 3];
    velmora::test::chunked_source src(stream, [&state, limit] {
        state = state * 1103515245u + 12345u;
        return 1 + (state >> 8) % limit;
    });
    const uint64_t refuse_at = (how & 0x80) ? (static_cast<uint64_t>(how & 0x7C) << 8) + (stream.size() & 0xFF) : UINT64_MAX;
    velmora::test::recording_sink sink(refuse_at);
    velmora::UnreduceDecoder decoder(method);
    const velmora::DecodeStatus s = decoder.decode(src, sink, out.size());
    if (sink.writes_after_refusal != 0 || !std::equal(sink.bytes.begin(), sink.bytes.end(), out.begin()))
        std::abort();
    if (sink.refused ? s != velmora::DecodeStatus::stopped : (s != velmora::DecodeStatus::ok || sink.bytes.size() != out.size()))
        std::abort();
    return 0;
}

// libFuzzer target for Bzip2Decoder. Byte 0 seeds the input's cuts; the rest
// is the input. One stream (ZIP method 12) is compared with libbz2's
// one-shot BZ2_bzBuffToBuffDecompress: the same verdict and output, and
// output_limit exactly when that output is larger than the limit. Every
// stream of a file must begin with what the first stream gives, and cutting
// the input differently must change nothing. The block-parallel decoder (one
// worker thread or none, by byte 0) must give exactly the status and bytes
// of libbz2 over the whole stream, for one stream and for a whole file.
#include "codecs/Bzip2Decoder.h"
#include "stream_fuzz_support.h"

#include <bzlib.h>

using namespace velmora;
using namespace velmora::fuzz;

namespace {
constexpr uint64_t limit = 8u << 20;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const std::span<const uint8_t> input(data + 1, size - 1);
    using Streams = Bzip2Decoder::Streams;
    static Bzip2Decoder single_with_worker(Streams::single, 1), single_alone(Streams::single, 0);
    static Bzip2Decoder all_with_worker(Streams::concatenated, 1), all_alone(Streams::concatenated, 0);
    static Bzip2Decoder single_sequential(Streams::single, Bzip2Decoder::sequential);
    static Bzip2Decoder all_sequential(Streams::concatenated, Bzip2Decoder::sequential);
    // Starting a thread costs more than decoding most inputs: one input in
    // eight decodes with a worker, the others on the calling thread alone
    // (the same cuts, checks and order).
    Bzip2Decoder& single = (data[0] & 7) == 2 ? single_with_worker : single_alone;
    Bzip2Decoder& all = (data[0] & 7) == 4 ? all_with_worker : all_alone;
    auto decode_single = [&](ByteSource& in, ByteSink& out, uint64_t lim) { return single.decode(in, out, lim); };
    auto decode_all = [&](ByteSource& in, ByteSink& out, uint64_t lim) { return all.decode(in, out, lim); };

    const Run one = run_whole(input, limit, decode_single);
    expect_consistent(one, run_in_pieces(input, limit, data[0] * 977u, decode_single));
    const Run every = run_whole(input, limit, decode_all);
    // Every stream starts a new libbz2 state with its large tables; the
    // second cut of the whole file is run for half of the inputs only.
    if (data[0] & 1) expect_consistent(every, run_in_pieces(input, limit, data[0] * 131u + 7, decode_all));
    expect(every.out.size() >= one.out.size() && std::equal(one.out.begin(), one.out.end(), every.out.begin()));
    expect_same(one, run_whole(input, limit, [](ByteSource& in, ByteSink& out, uint64_t lim) {
                    return single_sequential.decode(in, out, lim);
                }));
    expect_same(every, run_whole(input, limit, [](ByteSource& in, ByteSink& out, uint64_t lim) {
                    return all_sequential.decode(in, out, lim);
                }));

    // A limit from byte 0, which falls inside or between small blocks.
    const uint64_t small_limit = uint64_t{data[0]} * 517;
    expect_same(run_whole(input, small_limit, decode_single),
                run_whole(input, small_limit, [](ByteSource& in, ByteSink& out, uint64_t lim) {
                    return single_sequential.decode(in, out, lim);
                }));

    static std::vector<uint8_t> ref;
    ref.resize(limit + 1);
    auto ref_size = static_cast<unsigned>(ref.size());
    const int r = BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(ref.data()), &ref_size,
                                             const_cast<char*>(reinterpret_cast<const char*>(input.data())),
                                             static_cast<unsigned>(input.size()), 0, 0);
    if (r == BZ_OUTBUFF_FULL) {
        expect(one.status == DecodeStatus::output_limit && one.out.size() == limit);
        expect(std::equal(one.out.begin(), one.out.end(), ref.begin()));
        return 0;
    }
    expect((one.status == DecodeStatus::ok) == (r == BZ_OK));
    if (r == BZ_OK) {
        ref.resize(ref_size);
        expect(one.out == ref);
    }
    return 0;
}

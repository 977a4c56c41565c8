// libFuzzer target for ZstdDecoder. Byte 0 seeds the input's cuts; the rest
// is the input, compared with libzstd's one-shot ZSTD_decompressDCtx: the
// same verdict and output, output_limit exactly when that output is larger
// than the limit; a frame whose window is over the allowance may only be
// refused as unsupported. Cutting the input differently must not change the
// verdict or the output.
#include "codecs/ZstdDecoder.h"
#include "stream_fuzz_support.h"

#include <zstd.h>
#include <zstd_errors.h>

using namespace velmora;
using namespace velmora::fuzz;

namespace {
constexpr uint64_t limit = 8u << 20;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const std::span<const uint8_t> input(data + 1, size - 1);
    static ZstdDecoder decoder;
    auto decode = [](ByteSource& in, ByteSink& out, uint64_t lim) { return decoder.decode(in, out, lim); };
    const Run ours = run_whole(input, limit, decode);
    expect_consistent(ours, run_in_pieces(input, limit, data[0] * 6151u + 3, decode));

    static ZSTD_DCtx* dctx = ZSTD_createDCtx();
    static std::vector<uint8_t> ref(limit + 1);
    const size_t r = ZSTD_decompressDCtx(dctx, ref.data(), ref.size(), input.data(), input.size());
    if (ours.status == DecodeStatus::unsupported) return 0; // a window over 128 MiB, which one-shot decoding needs not
    if (ZSTD_isError(r) && ZSTD_getErrorCode(r) == ZSTD_error_dstSize_tooSmall) {
        expect(ours.status == DecodeStatus::output_limit && ours.out.size() == limit);
        return 0;
    }
    // An empty input is no frame for the streaming decoder (zstd -d refuses
    // it); the one-shot call takes it as nothing to do.
    if (input.empty()) {
        expect(ours.status == DecodeStatus::truncated);
        return 0;
    }
    expect((ours.status == DecodeStatus::ok) == !ZSTD_isError(r));
    if (!ZSTD_isError(r)) expect(ours.out.size() == r && std::equal(ours.out.begin(), ours.out.end(), ref.begin()));
    return 0;
}

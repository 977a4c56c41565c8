// libFuzzer target for ZstdDecoder. Byte 0 seeds the input's cuts; the rest
// is the input, compared with libzstd's streaming call over all of it at
// once (the same verdict and output, output_limit exactly when the output is
// larger than the limit) and, where it is accepted, with the one-shot
// ZSTD_decompressDCtx. A frame whose window is over the allowance, or from
// before zstd 0.8, may only be refused as unsupported. Cutting the input differently must not change the
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

    if (ours.status == DecodeStatus::unsupported) return 0; // a window over 128 MiB, or a pre-0.8 frame
    // An empty input is no frame for the streaming decoder (zstd -d refuses
    // it); the one-shot call takes it as nothing to do.
    if (input.empty()) {
        expect(ours.status == DecodeStatus::truncated);
        return 0;
    }
    // libzstd's streaming call given all of the input at once.
    static ZSTD_DCtx* dctx = ZSTD_createDCtx();
    static std::vector<uint8_t> ref(limit + 1);
    ZSTD_DCtx_reset(dctx, ZSTD_reset_session_and_parameters);
    ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, ZstdDecoder::default_window_log_max);
    ZSTD_inBuffer zin{input.data(), input.size(), 0};
    ZSTD_outBuffer zout{ref.data(), ref.size(), 0};
    bool ok = false;
    for (;;) {
        const size_t before_in = zin.pos, before_out = zout.pos;
        const size_t s = ZSTD_decompressStream(dctx, &zout, &zin);
        if (ZSTD_isError(s) || zout.pos == zout.size) break;
        if (s == 0 && zin.pos == zin.size) {
            ok = true;
            break;
        }
        if (zin.pos == before_in && zout.pos == before_out) break;
    }
    if (zout.pos > limit) {
        expect(ours.status == DecodeStatus::output_limit && ours.out.size() == limit);
    } else {
        expect((ours.status == DecodeStatus::ok) == ok);
        if (ok) expect(ours.out.size() == zout.pos);
    }
    if (ours.status == DecodeStatus::ok || ours.status == DecodeStatus::output_limit)
        expect(std::equal(ours.out.begin(), ours.out.end(), ref.begin()));

    // What the streaming decoder accepts, the one-shot call accepts with the
    // same output. (Not the other way round: the one-shot call lets a block
    // be larger than the frame's window.)
    if (ours.status == DecodeStatus::ok) {
        ZSTD_DCtx_reset(dctx, ZSTD_reset_session_and_parameters);
        const size_t r = ZSTD_decompressDCtx(dctx, ref.data(), ref.size(), input.data(), input.size());
        expect(!ZSTD_isError(r) && r == ours.out.size());
        expect(std::equal(ours.out.begin(), ours.out.end(), ref.begin()));
    }
    return 0;
}

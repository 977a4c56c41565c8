// libzstd behind ZstdDecoder: ZSTD_decompressStream() runs frame after frame
// on one context; its result is 0 exactly when a frame has been decoded and
// flushed whole, which tells a clean end of input from a cut frame.
#include "codecs/ZstdDecoder.h"

#include <new>

#include <zstd.h>
#include <zstd_errors.h>

#include "codecs/StreamBuffers.h"

namespace velmora {
namespace {

// The one place where libzstd's errors become ours.
DecodeStatus status_of_error(size_t r)
{
    switch (ZSTD_getErrorCode(r)) {
    case ZSTD_error_memory_allocation: return DecodeStatus::no_memory;
    case ZSTD_error_frameParameter_windowTooLarge:
    case ZSTD_error_frameParameter_unsupported:
    case ZSTD_error_version_unsupported:
    case ZSTD_error_dictionary_wrong: // a frame made with a dictionary we do not have
        return DecodeStatus::unsupported;
    default: return DecodeStatus::data_error;
    }
}

} // namespace

struct ZstdDecoder::State {
    ZSTD_DCtx* dctx = ZSTD_createDCtx();
    InputBuffer in;
    OutputBuffer out;
    ~State() { ZSTD_freeDCtx(dctx); }
};

ZstdDecoder::ZstdDecoder(unsigned window_log_max) : window_log_max_(window_log_max) {}
ZstdDecoder::~ZstdDecoder() = default;

DecodeStatus ZstdDecoder::decode(ByteSource& source, ByteSink& sink, uint64_t out_limit)
{
    if (!state_) {
        try {
            state_ = std::make_unique<State>();
        } catch (const std::bad_alloc&) {
            return DecodeStatus::no_memory;
        }
    }
    State& st = *state_;
    if (st.dctx == nullptr || !st.in.allocate() || !st.out.allocate()) return DecodeStatus::no_memory;
    if (ZSTD_isError(ZSTD_DCtx_reset(st.dctx, ZSTD_reset_session_and_parameters)) ||
        ZSTD_isError(ZSTD_DCtx_setParameter(st.dctx, ZSTD_d_windowLogMax, static_cast<int>(window_log_max_))))
        return DecodeStatus::no_memory;
    InputBuffer& in = st.in;
    OutputBuffer& out = st.out;
    out.start(out_limit);
    bool frame_open = false; // a frame has begun and is not yet complete
    bool any_input = false;
    for (;;) {
        in.fill(source);
        ZSTD_inBuffer zin{in.data(), in.available(), 0};
        ZSTD_outBuffer zout{out.space(), out.space_size(), 0};
        if (zin.size == 0 && !frame_open) // the input ended between frames
            return out.finish(sink, !any_input ? DecodeStatus::truncated : DecodeStatus::ok);
        const size_t r = ZSTD_decompressStream(st.dctx, &zout, &zin);
        in.consume(zin.pos);
        out.produced(zout.pos);
        if (ZSTD_isError(r)) return out.finish(sink, status_of_error(r));
        if (out.over_limit()) return out.finish(sink, DecodeStatus::output_limit);
        frame_open = r != 0;
        any_input = any_input || zin.pos > 0;
        if (frame_open && zin.pos == 0 && zout.pos == 0 && in.exhausted())
            return out.finish(sink, DecodeStatus::truncated);
        if (out.full() && !out.flush(sink)) return DecodeStatus::stopped;
    }
}

} // namespace velmora

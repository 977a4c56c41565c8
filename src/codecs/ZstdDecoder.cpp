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

// Frames of the formats before zstd 0.8 (magic numbers 0xFD2FB522 to
// 0xFD2FB527, zstd 0.2 to 0.7). libzstd's decoders for them answer
// differently depending on how the input is cut, so they are refused; files
// written before 2016 are all this concerns.
bool is_legacy_frame(InputBuffer& in, ByteSource& source)
{
    while (in.available() < 4 && in.fill_more(source)) {
    }
    if (in.available() < 4) return false;
    const uint8_t* p = in.data();
    const uint32_t magic = p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24;
    return magic >= 0xFD2FB522 && magic <= 0xFD2FB527;
}

// The content size a frame header declares (ZSTD_CONTENTSIZE_UNKNOWN when
// it declares none, or when the header is cut or damaged: the decoder then
// reports that itself). A header is at most 18 bytes.
unsigned long long declared_size(InputBuffer& in, ByteSource& source)
{
    constexpr size_t header_max = 18;
    while (in.available() < header_max && in.fill_more(source)) {
    }
    const unsigned long long size = ZSTD_getFrameContentSize(in.data(), in.available());
    return size == ZSTD_CONTENTSIZE_ERROR ? ZSTD_CONTENTSIZE_UNKNOWN : size;
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
    // The size the open frame's header declares, and what it has given so
    // far: libzstd's streaming call takes a frame whose blocks end short of
    // that size as complete when the input comes in pieces.
    unsigned long long frame_size = ZSTD_CONTENTSIZE_UNKNOWN;
    uint64_t frame_out = 0;
    for (;;) {
        in.fill(source);
        ZSTD_inBuffer zin{in.data(), in.available(), 0};
        ZSTD_outBuffer zout{out.space(), out.space_size(), 0};
        if (zin.size == 0 && !frame_open) // the input ended between frames
            return out.finish(sink, !any_input ? DecodeStatus::truncated : DecodeStatus::ok);
        if (!frame_open) {
            if (is_legacy_frame(in, source)) return out.finish(sink, DecodeStatus::unsupported);
            frame_size = declared_size(in, source);
            frame_out = 0;
        }
        zin = {in.data(), in.available(), 0};
        const size_t r = ZSTD_decompressStream(st.dctx, &zout, &zin);
        in.consume(zin.pos);
        out.produced(zout.pos);
        if (ZSTD_isError(r)) return out.finish(sink, status_of_error(r));
        if (out.over_limit()) return out.finish(sink, DecodeStatus::output_limit);
        frame_out += zout.pos;
        frame_open = r != 0;
        if (!frame_open && frame_size != ZSTD_CONTENTSIZE_UNKNOWN && frame_out != frame_size)
            return out.finish(sink, DecodeStatus::data_error);
        any_input = any_input || zin.pos > 0;
        if (zin.pos == 0 && zout.pos == 0) {
            // A standstill: the decoder of the old (v0.5-0.7) frames waits for
            // a whole block before it takes anything, so it gets more input at
            // once; when there is none, the frame was cut.
            if (in.fill_more(source)) continue;
            return out.finish(sink, in.source_ended() ? DecodeStatus::truncated : DecodeStatus::data_error);
        }
        if (out.full() && !out.flush(sink)) return DecodeStatus::stopped;
    }
}

} // namespace velmora

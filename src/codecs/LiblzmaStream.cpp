// liblzma behind LiblzmaStream. lzma_code() is driven with LZMA_RUN while the
// source has more to give and with LZMA_FINISH after its end, so that liblzma
// itself tells a complete stream (LZMA_STREAM_END) from a cut one
// (LZMA_BUF_ERROR).
#include "codecs/LiblzmaStream.h"

#include <algorithm>
#include <cstring>

#include <lzma.h>

#include "codecs/StreamBuffers.h"

namespace velmora {
namespace {

// The one place where liblzma's results become ours.
DecodeStatus status_of(lzma_ret r)
{
    switch (r) {
    case LZMA_OK:
    case LZMA_STREAM_END: return DecodeStatus::ok;
    case LZMA_BUF_ERROR: return DecodeStatus::truncated; // no progress possible: the input ended early
    case LZMA_MEM_ERROR: return DecodeStatus::no_memory;
    case LZMA_MEMLIMIT_ERROR:                            // needs a bigger dictionary than we allow
    case LZMA_OPTIONS_ERROR:                             // a filter, check or lc/lp/pb liblzma does not know
        return DecodeStatus::unsupported;
    default: return DecodeStatus::data_error;            // LZMA_FORMAT_ERROR, LZMA_DATA_ERROR, ...
    }
}

} // namespace

struct LiblzmaStream::State {
    lzma_stream strm = LZMA_STREAM_INIT;
    InputBuffer in;
    OutputBuffer out;
    ~State() { lzma_end(&strm); }
};

LiblzmaStream::LiblzmaStream() = default;
LiblzmaStream::~LiblzmaStream() = default;

bool LiblzmaStream::ensure_state() noexcept
{
    if (!state_) {
        try {
            state_ = std::make_unique<State>();
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    return state_->in.allocate() && state_->out.allocate();
}

DecodeStatus LiblzmaStream::decode_xz(ByteSource& in, ByteSink& out, uint64_t out_limit, uint64_t memlimit,
                                      bool concatenated)
{
    if (!ensure_state()) return DecodeStatus::no_memory;
    const lzma_ret r = lzma_stream_decoder(&state_->strm, memlimit, concatenated ? LZMA_CONCATENATED : 0);
    return start(in, out, out_limit, r);
}

DecodeStatus LiblzmaStream::decode_lzma_alone(ByteSource& in, ByteSink& out, uint64_t out_limit, uint64_t memlimit)
{
    if (!ensure_state()) return DecodeStatus::no_memory;
    // xz -d takes nothing after the end of a .lzma stream either.
    return start(in, out, out_limit, lzma_alone_decoder(&state_->strm, memlimit), true);
}

DecodeStatus LiblzmaStream::decode_raw_lzma1(ByteSource& in, ByteSink& out, std::span<const uint8_t, 5> props,
                                             uint64_t size, uint64_t out_limit, uint64_t memlimit)
{
    if (!ensure_state()) return DecodeStatus::no_memory;
    // props[0] = (pb * 5 + lp) * 9 + lc; props[1..4] = dictionary size, little-endian.
    if (props[0] >= 9 * 5 * 5) return DecodeStatus::data_error;
    lzma_options_lzma opt;
    std::memset(&opt, 0, sizeof opt);
    opt.lc = props[0] % 9;
    opt.lp = props[0] / 9 % 5;
    opt.pb = props[0] / 45;
    opt.dict_size = uint32_t{props[1]} | uint32_t{props[2]} << 8 | uint32_t{props[3]} << 16 | uint32_t{props[4]} << 24;
    // No match reaches further back than the output so far, so a window
    // larger than the whole output (or than the output allowed) is never
    // needed; this keeps a header's 4 GiB from becoming an allocation.
    const uint64_t most_output = size != unknown_size ? size : out_limit;
    if (most_output < opt.dict_size) opt.dict_size = static_cast<uint32_t>(std::max<uint64_t>(most_output, LZMA_DICT_SIZE_MIN));

    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
    if (size != unknown_size) {
        // LZMA1EXT decodes exactly `size` bytes and checks that the data ends
        // there; with ALLOW_EOPM an end marker may follow (some writers put
        // one without setting the ZIP flag), but one before that is an error.
        filters[0].id = LZMA_FILTER_LZMA1EXT;
        opt.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
        lzma_set_ext_size(opt, size);
    }
    if (lzma_raw_decoder_memusage(filters) > memlimit) return DecodeStatus::unsupported;
    return start(in, out, out_limit, lzma_raw_decoder(&state_->strm, filters));
}

DecodeStatus LiblzmaStream::start(ByteSource& in, ByteSink& out, uint64_t out_limit, int init_result,
                                  bool nothing_after)
{
    if (init_result != LZMA_OK) return status_of(static_cast<lzma_ret>(init_result));
    return run(in, out, out_limit, nothing_after);
}

DecodeStatus LiblzmaStream::run(ByteSource& source, ByteSink& sink, uint64_t out_limit, bool nothing_after)
{
    lzma_stream& s = state_->strm;
    InputBuffer& in = state_->in;
    OutputBuffer& out = state_->out;
    out.start(out_limit);
    for (;;) {
        in.fill(source);
        s.next_in = in.data();
        s.avail_in = in.available();
        s.next_out = out.space();
        s.avail_out = out.space_size();
        const lzma_ret r = lzma_code(&s, in.source_ended() ? LZMA_FINISH : LZMA_RUN);
        const size_t used = in.available() - s.avail_in;
        const size_t made = out.space_size() - s.avail_out;
        in.consume(used);
        out.produced(made);

        if (out.over_limit()) return out.finish(sink, DecodeStatus::output_limit);
        if (r == LZMA_STREAM_END) {
            const bool more = nothing_after && in.fill(source);
            return out.finish(sink, more ? DecodeStatus::data_error : DecodeStatus::ok);
        }
        // LZMA_OK with no progress after the end of input comes once before
        // LZMA_BUF_ERROR; treat it as the cut it is rather than calling again.
        if (r == LZMA_OK && used == 0 && made == 0 && in.exhausted())
            return out.finish(sink, DecodeStatus::truncated);
        if (r != LZMA_OK && r != LZMA_NO_CHECK && r != LZMA_UNSUPPORTED_CHECK && r != LZMA_GET_CHECK)
            return out.finish(sink, status_of(r));
        // With input and room liblzma moves or says why not; a standstill
        // anyway gets more input at once, and must not become an endless loop.
        if (used == 0 && made == 0 && !in.fill_more(source))
            return out.finish(sink, in.source_ended() ? DecodeStatus::truncated : DecodeStatus::data_error);
        if (out.full() && !out.flush(sink)) return DecodeStatus::stopped;
    }
}

} // namespace velmora

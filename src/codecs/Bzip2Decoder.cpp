// libbz2 behind Bzip2Decoder, through its low-level BZ2_bzDecompress
// interface (the BZFILE one wants a FILE*). After each stream's end the
// decoder is set up afresh for the next one; what libbz2 turns down as "not
// a bzip2 header" after the first stream is trailing garbage, as for bzip2 -d.
// Unless asked for this whole-stream path (or on one core), decode() hands
// the input to Bzip2BlockDecoder, whose results are the same.
#include "codecs/Bzip2Decoder.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <thread>

#include <bzlib.h>

#include "codecs/Bzip2BlockDecoder.h"
#include "codecs/StreamBuffers.h"

namespace velmora {

namespace {

unsigned automatic_workers()
{
    const unsigned cores = std::thread::hardware_concurrency();
    return cores <= 1 ? Bzip2Decoder::sequential : std::min(cores, 4u) - 1;
}

} // namespace

struct Bzip2Decoder::State {
    std::unique_ptr<Bzip2BlockDecoder> blocks; // made on first use
    bz_stream strm{};
    bool open = false;
    InputBuffer in;
    OutputBuffer out;

    ~State() { close(); }
    bool reopen()
    {
        close();
        std::memset(&strm, 0, sizeof strm);
        open = BZ2_bzDecompressInit(&strm, 0, 0) == BZ_OK;
        return open;
    }
    void close()
    {
        if (open) BZ2_bzDecompressEnd(&strm);
        open = false;
    }
};

Bzip2Decoder::Bzip2Decoder(Streams streams, unsigned workers)
    : streams_(streams),
      workers_(workers == automatic ? automatic_workers() : workers == sequential ? sequential : std::min(workers, 3u))
{
}
Bzip2Decoder::~Bzip2Decoder() = default;

DecodeStatus Bzip2Decoder::decode(ByteSource& source, ByteSink& sink, uint64_t out_limit)
{
    if (!state_) {
        try {
            state_ = std::make_unique<State>();
        } catch (const std::bad_alloc&) {
            return DecodeStatus::no_memory;
        }
    }
    if (workers_ == sequential) return decode_sequentially(source, sink, out_limit);
    if (!state_->blocks) {
        try {
            state_->blocks = std::make_unique<Bzip2BlockDecoder>(streams_ == Streams::single, workers_);
        } catch (const std::bad_alloc&) {
            return DecodeStatus::no_memory;
        }
    }
    return state_->blocks->decode(source, sink, out_limit);
}

// libbz2 over the whole stream, as it was before the blocks were split: the
// reference the block decoder's results are compared with.
DecodeStatus Bzip2Decoder::decode_sequentially(ByteSource& source, ByteSink& sink, uint64_t out_limit)
{
    State& st = *state_;
    if (!st.in.allocate() || !st.out.allocate() || !st.reopen()) return DecodeStatus::no_memory;
    InputBuffer& in = st.in;
    OutputBuffer& out = st.out;
    out.start(out_limit);
    bool first_stream = true;
    for (;;) {
        in.fill(source);
        // libbz2 counts in unsigned int; the buffers are far smaller.
        static_assert(InputBuffer::default_capacity <= UINT_MAX && OutputBuffer::default_capacity <= UINT_MAX);
        st.strm.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(in.data()));
        st.strm.avail_in = static_cast<unsigned>(in.available());
        st.strm.next_out = reinterpret_cast<char*>(out.space());
        st.strm.avail_out = static_cast<unsigned>(out.space_size());
        const int r = BZ2_bzDecompress(&st.strm);
        const size_t used = in.available() - st.strm.avail_in;
        const size_t made = out.space_size() - st.strm.avail_out;
        in.consume(used);
        out.produced(made);

        if (out.over_limit()) return out.finish(sink, DecodeStatus::output_limit);
        switch (r) {
        case BZ_OK:
            // libbz2 wants more input; with input and room it always moves,
            // but a standstill anyway gets more at once, or ends the decode.
            if (used == 0 && made == 0 && !in.fill_more(source))
                return out.finish(sink, in.source_ended() ? DecodeStatus::truncated : DecodeStatus::data_error);
            break;
        case BZ_STREAM_END:
            if (streams_ == Streams::single || !in.fill(source)) return out.finish(sink, DecodeStatus::ok);
            if (!st.reopen()) return out.finish(sink, DecodeStatus::no_memory);
            first_stream = false;
            break;
        case BZ_DATA_ERROR_MAGIC:
            return out.finish(sink, first_stream ? DecodeStatus::data_error : DecodeStatus::ok);
        case BZ_MEM_ERROR: return out.finish(sink, DecodeStatus::no_memory);
        default: return out.finish(sink, DecodeStatus::data_error); // BZ_DATA_ERROR: a bad block or CRC
        }
        if (out.full() && !out.flush(sink)) return DecodeStatus::stopped;
    }
}

} // namespace velmora

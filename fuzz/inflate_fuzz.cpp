// libFuzzer target for Inflate and the stream decoder in both modes. Input:
// byte 0 picks the mode (bit 0) and how the expected size is chosen (bit 1:
// far more than the stream makes; bit 2: up to 64 KiB, else up to 4 KiB),
// bytes 1-2 give that size plus 1, byte 3 how the stream decoder is fed
// (piece sizes, and bit 7: a sink that refuses part-way), the rest is the
// stream. Checked: Inflate against the plain model of the decoder kept with
// the tests; the stream decoder, fed in pieces, against the same decode into
// one buffer; and under RFC 1951 rules against zlib wherever zlib takes the
// stream (same bytes, same end of stream).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "../tests/codecs/inflate_test_helpers.h"
#include "../tests/support/StreamTestSupport.h"
#include "codecs/InflateDecoder.h"
#include "codecs/Mod_Inflate64.h"

namespace {

void check(bool ok)
{
    if (!ok) std::abort();
}

velmora::test::chunked_source make_source(std::span<const uint8_t> stream, uint8_t how)
{
    static constexpr size_t max_piece[4] = {1, 7, 300, 70000};
    uint32_t state = how * 2654435761u + 1;
    const size_t limit = max_piece[how & 3];
    return velmora::test::chunked_source(stream, [state, limit]() mutable {
        state = state * 1103515245u + 12345u;
        return 1 + (state >> 8) % limit;
    });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace velmora;
    if (size < 4) return 0;
    const bool deflate64 = data[0] & 1;
    const unsigned size_mask = (data[0] & 4) ? 0xFFFF : 0x0FFF;
    int32_t out_last = static_cast<int32_t>((data[1] | (data[2] << 8)) & size_mask) - 1;
    // A declared size far beyond anything produced; for large inputs (which
    // may be bombs of a thousand times their size) it stays at 16 MiB.
    if (data[0] & 2) out_last = size <= 4096 ? 0x7FFFFFFE : (16 << 20) - 1;
    const uint8_t how = data[3];
    const std::vector<uint8_t> stream(data + 4, data + size);

    std::vector<uint8_t> out = stream;
    const int32_t result = Inflate(out, out_last, deflate64);
    check(result == 0 || result == -1 || result == -2);
    check(out.size() <= static_cast<uint64_t>(out_last) + 1 || out == stream);

    if (!(data[0] & 2)) {
        const auto m = test::run_inflate_model(stream, out_last, deflate64);
        check(m.result == result);
        check(m.fault ? out == stream : out == m.data);
    }

    // Decoders are kept from run to run, as readers keep theirs from entry
    // to entry; every decode must start afresh.
    static InflateDecoder whole_entry_decoders[2][2] = {
        {InflateDecoder(false, inflate_rules::whole_entry), InflateDecoder(false, inflate_rules::whole_entry)},
        {InflateDecoder(true, inflate_rules::whole_entry), InflateDecoder(true, inflate_rules::whole_entry)}};
    static InflateDecoder rfc1951_decoder(false, inflate_rules::rfc1951);

    // The stream decoder in pieces against the same rules into one buffer.
    const uint64_t limit = static_cast<uint64_t>(out_last) + 1;
    InflateDecoder& whole = whole_entry_decoders[deflate64][0];
    std::vector<uint8_t> expected;
    const DecodeStatus ws = whole.decode(stream, expected, limit);
    const uint64_t refuse_at = (how & 0x80) ? (static_cast<uint64_t>(how & 0x7C) << 12) + (stream.size() & 0xFFF) : UINT64_MAX;
    {
        InflateDecoder& d = whole_entry_decoders[deflate64][1];
        auto src = make_source(stream, how);
        test::recording_sink sink(refuse_at);
        const DecodeStatus s = d.decode(src, sink, limit);
        check(sink.writes_after_refusal == 0 && src.reads_after_end <= 1);
        check(sink.bytes.size() <= expected.size() && std::equal(sink.bytes.begin(), sink.bytes.end(), expected.begin()));
        if (sink.refused) {
            check(s == DecodeStatus::stopped);
        } else {
            check(s == ws && d.fault() == whole.fault() && sink.bytes.size() == expected.size());
            if (s == DecodeStatus::ok) check(d.total_in() == whole.total_in());
        }
    }

    // RFC 1951 rules against zlib (Deflate only): where zlib finds a whole
    // stream, the decoder gives the same bytes and ends where zlib ends. It
    // refuses more than zlib only where the program always has: incomplete
    // codes other than a distance code's.
    if (!deflate64) {
        constexpr size_t zlib_limit = 1 << 22;
        const auto z = test::zlib_inflate_raw_ex(stream, zlib_limit);
        InflateDecoder& d = rfc1951_decoder;
        auto src = make_source(stream, how);
        test::recording_sink sink;
        const DecodeStatus s = d.decode(src, sink, zlib_limit + 1);
        if (z) {
            if (s != DecodeStatus::ok) {
                check(s == DecodeStatus::data_error && d.fault() == inflate_fault::bad_table);
            } else {
                check(sink.bytes == z->out);
                check(d.total_in() == z->consumed);
            }
        }
    }
    return 0;
}

// libFuzzer target for the liblzma-backed decoders. Byte 0 picks the decoder:
// 0 .xz (every stream), 1 .lzma, 2 ZIP LZMA with an end marker, 3 ZIP LZMA
// without (bytes 1-3: the entry's size, at most 8 MiB); the rest is the input.
// Each runs whole and in odd pieces (the same result) and is compared with
// liblzma's one-shot decoding of the same bytes: the same verdict, the same
// output, and output_limit exactly when the one-shot result is larger.
#include "codecs/LzmaAloneDecoder.h"
#include "codecs/LzmaDecoder.h"
#include "codecs/XzDecoder.h"
#include "stream_fuzz_support.h"

#include <lzma.h>

#include <cstring>

using namespace velmora;
using namespace velmora::fuzz;

namespace {

constexpr uint64_t memlimit = 64u << 20; // keeps hostile dictionaries cheap
constexpr uint64_t limit = 8u << 20;

struct Reference {
    bool ok;
    std::span<const uint8_t> out; // limit + 1 bytes at most
};

// Runs a liblzma decoder over the whole input in one call, with LZMA_FINISH.
Reference one_shot(lzma_stream& s, std::span<const uint8_t> in)
{
    static std::vector<uint8_t> buf(limit + 1);
    Reference r;
    r.out = buf;
    s.next_in = in.data();
    s.avail_in = in.size();
    s.next_out = buf.data();
    s.avail_out = r.out.size();
    lzma_ret ret = LZMA_OK;
    for (int i = 0; i < 3 && ret == LZMA_OK; ++i) ret = lzma_code(&s, LZMA_FINISH);
    r.out = r.out.first(r.out.size() - s.avail_out);
    r.ok = ret == LZMA_STREAM_END;
    lzma_end(&s);
    return r;
}

void compare(const Run& ours, const Reference& ref)
{
    if (ref.out.size() > limit) {
        expect(ours.status == DecodeStatus::output_limit);
        expect(std::equal(ours.out.begin(), ours.out.end(), ref.out.begin()) && ours.out.size() == limit);
        return;
    }
    if (ours.status == DecodeStatus::unsupported || ours.status == DecodeStatus::no_memory) return;
    expect((ours.status == DecodeStatus::ok) == ref.ok);
    if (ref.ok) expect(std::equal(ours.out.begin(), ours.out.end(), ref.out.begin(), ref.out.end()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) return 0;
    const unsigned mode = data[0] % 4;
    const uint64_t entry_size = std::min<uint64_t>(data[1] | data[2] << 8 | data[3] << 16, limit);
    const std::span<const uint8_t> input(data + 4, size - 4);
    lzma_stream s = LZMA_STREAM_INIT;

    if (mode == 0) {
        static XzDecoder xz(XzDecoder::Streams::concatenated, memlimit);
        auto decode = [&](ByteSource& in, ByteSink& out, uint64_t lim) { return xz.decode(in, out, lim); };
        const Run whole = run_whole(input, limit, decode);
        expect_consistent(whole, run_in_pieces(input, limit, data[1] | data[2] << 8, decode));
        if (lzma_stream_decoder(&s, memlimit, LZMA_CONCATENATED) != LZMA_OK) std::abort();
        compare(whole, one_shot(s, input));
    } else if (mode == 1) {
        static LzmaAloneDecoder alone(memlimit);
        auto decode = [&](ByteSource& in, ByteSink& out, uint64_t lim) { return alone.decode(in, out, lim); };
        const Run whole = run_whole(input, limit, decode);
        expect_consistent(whole, run_in_pieces(input, limit, data[1] | data[2] << 8, decode));
        if (lzma_alone_decoder(&s, memlimit) != LZMA_OK) std::abort();
        Reference ref = one_shot(s, input);
        // The one-shot run stops at the end of the stream; bytes after it
        // are refused by the streaming decoder, as by xz.
        if (ref.ok && s.total_in < input.size()) ref.ok = false;
        compare(whole, ref);
    } else {
        const bool eos = mode == 2;
        static LzmaDecoder zip_lzma(memlimit);
        auto decode = [&](ByteSource& in, ByteSink& out, uint64_t) { return zip_lzma.decode(in, out, entry_size, eos); };
        const Run whole = run_whole(input, limit, decode);
        expect_consistent(whole, run_in_pieces(input, limit, data[1] | data[2] << 8, decode));
        expect(whole.out.size() <= entry_size);
        if (input.size() < 9 || (input[2] | input[3] << 8) != 5 || input[4] >= 225) {
            expect(whole.status != DecodeStatus::ok);
            return 0;
        }
        lzma_options_lzma opt;
        std::memset(&opt, 0, sizeof opt);
        opt.lc = input[4] % 9;
        opt.lp = input[4] / 9 % 5;
        opt.pb = input[4] / 45;
        // No distance reaches past the output, so the dictionary is held to
        // the most output there can be, as the decoder does.
        const uint32_t declared = input[5] | input[6] << 8 | input[7] << 16 | uint32_t{input[8]} << 24;
        opt.dict_size = static_cast<uint32_t>(std::max<uint64_t>(std::min<uint64_t>(declared, entry_size), 4096));
        lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
        if (!eos) {
            filters[0].id = LZMA_FILTER_LZMA1EXT;
            opt.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
            lzma_set_ext_size(opt, entry_size);
        }
        if (lzma_raw_decoder(&s, filters) != LZMA_OK) {
            expect(whole.status != DecodeStatus::ok);
            return 0;
        }
        Reference ref = one_shot(s, input.subspan(9));
        if (eos && ref.out.size() > entry_size) {
            expect(whole.status == DecodeStatus::output_limit && whole.out.size() == entry_size);
            expect(std::equal(whole.out.begin(), whole.out.end(), ref.out.begin()));
            return 0;
        }
        compare(whole, ref);
    }
    return 0;
}

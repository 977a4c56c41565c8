// libFuzzer target for the LHA decoders. Input: byte 0 picks the method
// (low 3 bits: -lh0-, -lh1-, -lh4-, -lh5-, -lh6-, -lh7-, -lzs-, -lz5-) and
// the input piece size (high 5 bits, 1..32 bytes); bytes 1..2 the expected
// size in units of 4 bytes (up to 256 KiB: past a flush of the window); the
// rest is the stream, any length. Decoding
// with whole-buffer reads and with small pieces must agree; output never
// passes the expected size and "ok" means exactly that size; and when we
// decode a stream, lhasa's decoder (liblhasa, built in when found) must give
// the same bytes, as far as it gets.
#include "../tests/support/LhaArjArchives.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#ifdef VELMORA_FUZZ_WITH_LHASA
extern "C" {
#include <lha_decoder.h>
}
#endif

using namespace velmora;

namespace {

struct method_row {
    lha_method method;
    const char* lhasa_name;
};
constexpr std::array<method_row, 8> methods = {{{lha_method::lh0, "-lh0-"},
                                                 {lha_method::lh1, "-lh1-"},
                                                 {lha_method::lh4, "-lh4-"},
                                                 {lha_method::lh5, "-lh5-"},
                                                 {lha_method::lh6, "-lh6-"},
                                                 {lha_method::lh7, "-lh7-"},
                                                 {lha_method::lzs, "-lzs-"},
                                                 {lha_method::lz5, "-lz5-"}}};

test::decode_result decode(lha_method m, std::span<const uint8_t> stream, uint64_t size, size_t piece)
{
    test::decode_result r;
    test::chunked_source src(stream, piece);
    VectorSink sink(r.bytes);
    r.status = LhaDecoder(m).decode(src, sink, size);
    return r;
}

#ifdef VELMORA_FUZZ_WITH_LHASA
struct lhasa_input {
    std::span<const uint8_t> rest;
};

size_t lhasa_read(void* buf, size_t len, void* user)
{
    auto* in = static_cast<lhasa_input*>(user);
    const size_t n = std::min(len, in->rest.size());
    std::copy_n(in->rest.begin(), n, static_cast<uint8_t*>(buf));
    in->rest = in->rest.subspan(n);
    return n;
}

std::vector<uint8_t> lhasa_decode(const char* name, std::span<const uint8_t> stream, uint64_t size)
{
    std::vector<uint8_t> out;
    LHADecoderType* type = lha_decoder_for_name(const_cast<char*>(name));
    if (!type) std::abort();
    lhasa_input in{stream};
    LHADecoder* d = lha_decoder_new(type, lhasa_read, &in, size);
    if (!d) std::abort();
    std::array<uint8_t, 65536> buf;
    for (;;) {
        const size_t n = lha_decoder_read(d, buf.data(), buf.size());
        if (n == 0) break;
        out.insert(out.end(), buf.begin(), buf.begin() + n);
    }
    lha_decoder_free(d);
    return out;
}
#endif

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3) return 0;
    const method_row& row = methods[data[0] & 7];
    const size_t piece = 1 + (data[0] >> 3);
    const uint64_t out_size = uint64_t{static_cast<uint32_t>(data[1] | (data[2] << 8))} * 4;
    const std::span<const uint8_t> stream(data + 3, size - 3);

    const test::decode_result whole = decode(row.method, stream, out_size, SIZE_MAX);
    if (whole.bytes.size() > out_size) std::abort();
    if (whole.status == DecodeStatus::ok && whole.bytes.size() != out_size) std::abort();
    const test::decode_result pieces = decode(row.method, stream, out_size, piece);
    if (pieces.status != whole.status || pieces.bytes != whole.bytes) std::abort();

#ifdef VELMORA_FUZZ_WITH_LHASA
    if (whole.status == DecodeStatus::ok) {
        const std::vector<uint8_t> theirs = lhasa_decode(row.lhasa_name, stream, out_size);
        // lhasa stops a little early where its reader wants bits past the
        // end; what it gives must be ours.
        if (theirs.size() > whole.bytes.size() || !std::equal(theirs.begin(), theirs.end(), whole.bytes.begin()))
            std::abort();
    }
#endif
    return 0;
}

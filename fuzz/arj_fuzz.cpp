// libFuzzer target for the ARJ decoders. Input: byte 0 picks the method (low
// 2 bits + 1: methods 1 to 4), whether the stream is garbled with a fixed
// password (bit 2) and the input piece size (high 5 bits); bytes 1..2 the
// expected size in units of 4 bytes; the rest is the stream. Whole-buffer
// and small-piece decoding must agree, a garbled copy unscrambled on the fly
// must decode alike, "ok" means exactly the expected size; and for methods
// 1 to 3 lhasa's -lh6- decoder (the same coder; liblhasa, when found) must
// give the same bytes where we decode.
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

test::decode_result decode(uint8_t method, std::span<const uint8_t> stream, uint64_t size, size_t piece,
                           std::span<const uint8_t> password = {}, uint8_t modifier = 0)
{
    test::decode_result r;
    test::chunked_source src(stream, piece);
    ArjGarble garbled(src, password, modifier);
    VectorSink sink(r.bytes);
    r.status = ArjDecoder(method).decode(garbled, sink, size);
    return r;
}

#ifdef VELMORA_FUZZ_WITH_LHASA
size_t lhasa_read(void* buf, size_t len, void* user)
{
    auto* rest = static_cast<std::span<const uint8_t>*>(user);
    const size_t n = std::min(len, rest->size());
    std::copy_n(rest->begin(), n, static_cast<uint8_t*>(buf));
    *rest = rest->subspan(n);
    return n;
}
#endif

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3) return 0;
    const uint8_t method = static_cast<uint8_t>(1 + (data[0] & 3));
    const bool garble = (data[0] & 4) != 0;
    const size_t piece = 1 + (data[0] >> 3);
    const uint64_t out_size = uint64_t{static_cast<uint32_t>(data[1] | (data[2] << 8))} * 4;
    const std::span<const uint8_t> stream(data + 3, size - 3);

    const test::decode_result whole = decode(method, stream, out_size, SIZE_MAX);
    if (whole.bytes.size() > out_size) std::abort();
    if (whole.status == DecodeStatus::ok && whole.bytes.size() != out_size) std::abort();
    const test::decode_result pieces = decode(method, stream, out_size, piece);
    if (pieces.status != whole.status || pieces.bytes != whole.bytes) std::abort();

    if (garble) {
        static constexpr std::array<uint8_t, 5> password = {'s', 'T', 'e', 'w', 0xE9};
        std::vector<uint8_t> scrambled(stream.begin(), stream.end());
        test::chunked_source none({}, 1);
        ArjGarble(none, password, data[1]).unscramble(scrambled); // the same XOR scrambles
        const test::decode_result g = decode(method, scrambled, out_size, piece, password, data[1]);
        if (g.status != whole.status || g.bytes != whole.bytes) std::abort();
    }

#ifdef VELMORA_FUZZ_WITH_LHASA
    if (whole.status == DecodeStatus::ok && method <= 3) {
        std::span<const uint8_t> rest = stream;
        LHADecoder* d = lha_decoder_new(lha_decoder_for_name(const_cast<char*>("-lh6-")), lhasa_read, &rest, out_size);
        if (!d) std::abort();
        std::vector<uint8_t> theirs;
        std::array<uint8_t, 65536> buf;
        for (size_t n; (n = lha_decoder_read(d, buf.data(), buf.size())) != 0;)
            theirs.insert(theirs.end(), buf.begin(), buf.begin() + n);
        lha_decoder_free(d);
        if (theirs.size() > whole.bytes.size() || !std::equal(theirs.begin(), theirs.end(), whole.bytes.begin()))
            std::abort();
    }
#endif
    return 0;
}

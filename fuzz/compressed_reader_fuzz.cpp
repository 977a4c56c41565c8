// Fuzzes the reader of single compressed files (any bytes, listed and
// extracted; the .lzma name lets headers without a magic number through) and
// checks the size an .xz file's indexes state against liblzma decoding the
// same bytes: where both accept the input, they must agree.
#include "codecs/XzIndex.h"
#include "extract_fuzz_harness.h"

#include <lzma.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The output of a whole .xz input decoded by liblzma (all streams, padding
// allowed); false when liblzma refuses it.
bool liblzma_size(const uint8_t* data, size_t size, uint64_t& total)
{
    lzma_stream s = LZMA_STREAM_INIT;
    if (lzma_stream_decoder(&s, uint64_t{256} << 20, LZMA_CONCATENATED) != LZMA_OK)
        return false;
    std::vector<uint8_t> out(1 << 16);
    s.next_in = data;
    s.avail_in = size;
    lzma_ret r = LZMA_OK;
    total = 0;
    while (r == LZMA_OK) {
        s.next_out = out.data();
        s.avail_out = out.size();
        r = lzma_code(&s, LZMA_FINISH);
        total += out.size() - s.avail_out;
        if (total > (uint64_t{64} << 20))
            break; // a bomb: not worth the time
    }
    lzma_end(&s);
    return r == LZMA_STREAM_END;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    velmora::fuzz::list_and_extract(data, size, "compressed", ".lzma");

    const auto stated = velmora::xz_uncompressed_size(
        [&](uint64_t at, std::span<uint8_t> out) -> size_t {
            if (at >= size)
                return 0;
            const size_t n = std::min<size_t>(out.size(), size - static_cast<size_t>(at));
            std::memcpy(out.data(), data + at, n);
            return n;
        },
        size);
    uint64_t decoded = 0;
    if (stated && liblzma_size(data, size, decoded) && decoded != *stated)
        std::abort();
    return 0;
}

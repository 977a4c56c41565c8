// -lzs- and -lz5- decoding. Positions name a slot of the ring buffer, which
// starts writing at N - 17 (-lzs-) or N - 18 (-lz5-); a copy from slot s at
// write slot r is a copy from distance (r - s) mod N, N for 0. The flat
// window holds the ring's starting contents as history before the first byte.
#include "codecs/LArcDecoder.h"

#include <algorithm>
#include <array>

#include "codecs/LzWindow.h"
#include "codecs/MsbBitReader.h"

namespace velmora {
namespace {

struct larc_params {
    unsigned ring_size;
    unsigned start;      // the first write slot
    unsigned threshold;  // length of a copy whose length field is 0
};
constexpr larc_params lzs_params = {2048, 2048 - 17, 2};
constexpr larc_params lz5_params = {4096, 4096 - 18, 3};

// LArc's starting ring for -lz5-: 13 copies of every byte value, the values
// ascending, then descending, 128 zeros, 110 spaces, and 18 zeros where
// writing begins.
constexpr std::array<uint8_t, 4096> make_lz5_ring()
{
    std::array<uint8_t, 4096> r{};
    size_t p = 0;
    for (unsigned v = 0; v < 256; ++v)
        for (unsigned k = 0; k < 13; ++k) r[p++] = static_cast<uint8_t>(v);
    for (unsigned v = 0; v < 256; ++v) r[p++] = static_cast<uint8_t>(v);
    for (unsigned v = 0; v < 256; ++v) r[p++] = static_cast<uint8_t>(255 - v);
    for (unsigned k = 0; k < 128; ++k) r[p++] = 0;
    for (unsigned k = 0; k < 110; ++k) r[p++] = ' ';
    return r; // the last 18 stay 0
}
constexpr std::array<uint8_t, 4096> lz5_ring = make_lz5_ring();
static_assert(13 * 256 + 256 + 256 + 128 + 110 + 18 == lz5_ring.size());

class larc_decoder {
public:
    larc_decoder(larc_method method, ByteSource& in)
        : method_(method), p_(method == larc_method::lzs ? lzs_params : lz5_params), in_(in)
    {
    }

    DecodeStatus run(ByteSink& sink, uint64_t out_size)
    {
        if (!in_.allocate() || !win_.allocate(p_.ring_size, ' ')) return DecodeStatus::no_memory;
        if (method_ == larc_method::lz5) {
            // History byte k (distance N - k) is ring slot (start - N + k) mod N.
            std::array<uint8_t, 4096> history;
            for (unsigned k = 0; k < history.size(); ++k) history[k] = lz5_ring[(p_.start + k) % p_.ring_size];
            win_.set_history(history);
        }
        uint8_t* const base = win_.data();
        size_t pos = win_.pos();
        unsigned flags = 0; // -lz5-: the flag byte's remaining bits, above a marker bit
        for (;;) {
            const uint64_t left = out_size - win_.total_at(pos);
            if (left == 0) break;
            if (pos >= win_.flush_point()) {
                win_.set_pos(pos);
                if (!win_.flush(sink)) return DecodeStatus::stopped;
                pos = win_.pos();
            }
            in_.refill();
            bool literal;
            if (method_ == larc_method::lzs) {
                literal = in_.get_bit() != 0;
            } else {
                if (flags <= 1) flags = in_.get(8) | 0x100; // the marker bit tells when eight are used up
                literal = (flags & 1) != 0;
                flags >>= 1;
            }
            if (literal) {
                base[pos++] = static_cast<uint8_t>(in_.get(8));
                if (in_.overrun()) return DecodeStatus::truncated;
                continue;
            }
            unsigned slot, len;
            if (method_ == larc_method::lzs) {
                slot = in_.get(11);
                len = in_.get(4) + p_.threshold;
            } else {
                const unsigned lo = in_.get(8);
                const unsigned hi = in_.get(8);
                slot = ((hi & 0xF0) << 4) | lo;
                len = (hi & 0x0F) + p_.threshold;
            }
            if (in_.overrun()) return DecodeStatus::truncated;
            const unsigned write_slot = static_cast<unsigned>((p_.start + win_.total_at(pos)) % p_.ring_size);
            size_t dist = (write_slot - slot) & (p_.ring_size - 1);
            if (dist == 0) dist = p_.ring_size;
            const size_t n = static_cast<size_t>(std::min<uint64_t>(len, left));
            lz_copy_fast(base + pos, dist, n);
            pos += n;
        }
        win_.set_pos(pos);
        return win_.flush(sink) ? DecodeStatus::ok : DecodeStatus::stopped;
    }

private:
    larc_method method_;
    const larc_params& p_;
    msb_bit_reader in_;
    lz_window win_;
};

} // namespace

DecodeStatus larc_decode(larc_method method, ByteSource& in, ByteSink& out, uint64_t out_size)
{
    if (out_size == 0) return DecodeStatus::ok;
    larc_decoder decoder(method, in);
    return decoder.run(out, out_size);
}

} // namespace velmora

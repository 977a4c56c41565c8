// ARJ methods 0-4. Method 4 codes each item as a length field, 0 for a
// literal (8 bits follow) or n for a copy of n + 2 bytes, and a copy's
// position as a distance - 1: both are "unary-prefixed" numbers, where k
// leading 1 bits (up to a 0 or a limit) select a range base and a k-bit field
// (lengths start at width 0, positions at width 9).
#include "codecs/ArjDecoder.h"

#include <algorithm>
#include <memory>
#include <new>

#include "codecs/LhaStaticHuffman.h"
#include "codecs/LzWindow.h"
#include "codecs/MsbBitReader.h"
#include "codecs/StoredCopy.h"

namespace velmora {
namespace {

constexpr size_t arj_window = 26624; // DICSIZ
constexpr unsigned arj_threshold = 3;

// Lengths: widths 0..7 (STRTL, STOPL); positions: widths 9..13 (STRTP, STOPP).
constexpr unsigned len_first_width = 0, len_last_width = 7;
constexpr unsigned pos_first_width = 9, pos_last_width = 13;

// Longest copy: the length field reaches (2^7 - 1) + (2^7 - 1), plus 2;
// it must fit the window's slack.
constexpr unsigned fastest_max_match = (1u << len_last_width) - 1 + (1u << len_last_width) - 1 + arj_threshold - 1;
static_assert(fastest_max_match + 8 <= lz_window::slack);

// Reads the unary prefix (at most last - first 1 bits), then a field of the
// width it reached; the value is the sum of the skipped ranges plus the field.
unsigned read_unary_prefixed(msb_bit_reader& in, unsigned first, unsigned last)
{
    unsigned base = 0;
    unsigned width = first;
    while (width < last && in.get_bit()) {
        base += 1u << width;
        ++width;
    }
    return base + in.get(width);
}

DecodeStatus decode_fastest(ByteSource& source, ByteSink& sink, uint64_t out_size)
{
    msb_bit_reader in(source);
    lz_window win;
    if (!in.allocate() || !win.allocate(arj_window, 0)) return DecodeStatus::no_memory;
    uint8_t* const base = win.data();
    size_t pos = win.pos();
    for (;;) {
        const uint64_t left = out_size - win.total_at(pos);
        if (left == 0) break;
        if (pos >= win.flush_point()) {
            win.set_pos(pos);
            if (!win.flush(sink)) return DecodeStatus::stopped;
            pos = win.pos();
        }
        in.refill();
        const unsigned n = read_unary_prefixed(in, len_first_width, len_last_width);
        if (n == 0) {
            base[pos++] = static_cast<uint8_t>(in.get(8));
            if (in.overrun()) return DecodeStatus::truncated;
            continue;
        }
        const size_t dist = read_unary_prefixed(in, pos_first_width, pos_last_width) + 1;
        if (in.overrun()) return DecodeStatus::truncated;
        if (dist > win.total_at(pos)) return DecodeStatus::data_error; // before the first byte
        const size_t len = static_cast<size_t>(std::min<uint64_t>(n + arj_threshold - 1, left));
        lz_copy_fast(base + pos, dist, len);
        pos += len;
    }
    win.set_pos(pos);
    return win.flush(sink) ? DecodeStatus::ok : DecodeStatus::stopped;
}

} // namespace

DecodeStatus ArjDecoder::decode(ByteSource& in, ByteSink& out, uint64_t out_size)
{
    switch (method_) {
    case 0: return stored_copy(in, out, out_size);
    case 1:
    case 2:
    case 3: return lha_static_huffman_decode(arj_static_params, in, out, out_size);
    case 4: return out_size == 0 ? DecodeStatus::ok : decode_fastest(in, out, out_size);
    default: return DecodeStatus::unsupported;
    }
}

} // namespace velmora

// ARJ methods 0-4. Method 4 codes each item as a length field, 0 for a
// literal (8 bits follow) or n for a copy of n + 2 bytes, and a copy's
// position as a distance - 1: both are "unary-prefixed" numbers, where k
// leading 1 bits (up to a 0 or a limit) select a range base and a k-bit field
// (lengths start at width 0, positions at width 9).
#include "codecs/ArjDecoder.h"

#include <algorithm>
#include <bit>
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

// The same on a local bit buffer with at least 32 bits in it: the prefix
// is the run of leading 1 bits, cut at last - first.
inline unsigned take_unary_prefixed(msb_bit_reader::fast_bits& b, unsigned first, unsigned last)
{
    const unsigned limit = last - first;
    unsigned ones = static_cast<unsigned>(std::countl_one(b.buf));
    if (ones >= limit) {
        ones = limit;
        b.consume(limit);
    } else {
        b.consume(ones + 1);
    }
    // base: 2^first + ... + 2^(first + ones - 1)
    const unsigned base = ((1u << ones) - 1) << first;
    const unsigned width = first + ones;
    if (width == 0) return base;
    const unsigned field = b.peek(width);
    b.consume(width);
    return base + field;
}

// One item takes at most 7 + 7 prefix and length bits and 4 + 13 for the
// position, or 1 + 8 for a literal.
static_assert((len_last_width - len_first_width) + len_last_width + (pos_last_width - pos_first_width) +
                  pos_last_width <= msb_bit_reader::min_refill_bits);
constexpr size_t fastest_margin = fastest_max_match + 8;

// Items while 8 input bytes and a whole copy of room remain.
DecodeStatus fastest_loop(msb_bit_reader& in, uint8_t* base, size_t& pos, size_t end, const uint8_t* first_valid)
{
    msb_bit_reader::fast_bits b = in.begin_fast();
    uint8_t* out = base + pos;
    uint8_t* const out_end = base + end;
    DecodeStatus status = DecodeStatus::ok;
    while (out < out_end && b.can_refill()) {
        b.refill();
        const unsigned n = take_unary_prefixed(b, len_first_width, len_last_width);
        if (n == 0) {
            *out++ = static_cast<uint8_t>(b.peek(8));
            b.consume(8);
            continue;
        }
        const size_t dist = take_unary_prefixed(b, pos_first_width, pos_last_width) + 1;
        if (static_cast<size_t>(out - first_valid) < dist) {
            status = DecodeStatus::data_error;
            break;
        }
        const size_t len = n + arj_threshold - 1;
        lz_copy_fast(out, dist, len);
        out += len;
    }
    in.end_fast(b);
    pos = static_cast<size_t>(out - base);
    return status;
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
        const size_t stop = static_cast<size_t>(std::min<uint64_t>(win.flush_point(), pos + left));
        if (stop - pos > fastest_margin) {
            const uint8_t* const first_valid =
                win.flushed() >= win.dict() ? base : base + win.dict() - win.flushed();
            const DecodeStatus s = fastest_loop(in, base, pos, stop - fastest_margin, first_valid);
            if (s != DecodeStatus::ok) return s;
            if (pos >= stop - fastest_margin) continue;
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

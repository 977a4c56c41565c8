// Explode (PKWARE APPNOTE 5.3). The stream opens with the tree descriptions
// (literal tree if present, then length, then distance), then a bit stream of
// flag 1 + literal, or flag 0 + low distance bits + distance code + length
// code [+ 8 extra length bits]. Copies reaching before the first byte read
// zeros, as PKZIP's zeroed dictionary gives. A fast loop with one refill per
// symbol runs while enough input and output room remain.
#include "codecs/ImplodeDecoder.h"

#include "codecs/LsbBitInput.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <memory>
#include <span>

namespace velmora {
namespace {

constexpr unsigned max_code_length = 16;   // 4-bit length field, stored minus one
constexpr unsigned num_literal_syms = 256;
constexpr unsigned num_length_syms = 64;
constexpr unsigned num_distance_syms = 64;
constexpr unsigned length_extra_symbol = 63;   // takes 8 more bits of length
constexpr unsigned length_extra_bits = 8;
constexpr unsigned longest_match = length_extra_symbol + 255 + 3;
constexpr size_t dictionary_size = size_t{8} << 10;   // the larger of the two; 4 KiB streams use part of it

// One symbol takes at most flag + 7 low distance bits + two codes + 8 extra
// bits, so one refill covers it.
static_assert(1 + 7 + 2 * max_code_length + length_extra_bits <= LsbBitInput::guaranteed_bits);
// The largest distance, (63 << 7 | 127) + 1, stays inside the dictionary.
static_assert(((num_distance_syms - 1) << 7 | 127) + 1 == dictionary_size);

// Output: the dictionary (zeros at the start), then room for this much
// output before it goes to the sink and the dictionary slides down.
constexpr size_t out_chunk = size_t{256} << 10;

// A Shannon-Fano code as PKZIP writes it: the code for a length table is the
// canonical one (shorter codes first, symbols in order within a length) with
// every bit inverted, sent first bit first. Codes up to root_bits long decode
// in one table lookup; longer ones walk the canonical counts.
class shannon_fano_code {
public:
    static constexpr unsigned root_bits = 11;

    // lengths: one per symbol, 1..16. False when they do not make a complete
    // prefix code (PKZIP's trees always do).
    bool build(std::span<const uint8_t> lengths)
    {
        count_.fill(0);
        for (const uint8_t len : lengths)
            ++count_[len];
        // Kraft sum in units of 2^-16: exactly 2^16 for a complete code.
        uint32_t kraft = 0;
        for (unsigned len = 1; len <= max_code_length; ++len)
            kraft += static_cast<uint32_t>(count_[len]) << (max_code_length - len);
        if (kraft != (1u << max_code_length))
            return false;

        std::array<uint16_t, max_code_length + 2> offset{};
        for (unsigned len = 1; len <= max_code_length; ++len)
            offset[len + 1] = static_cast<uint16_t>(offset[len] + count_[len]);
        for (unsigned sym = 0; sym < lengths.size(); ++sym)
            sorted_[offset[lengths[sym]]++] = static_cast<uint8_t>(sym);

        // Walk the symbols in canonical order, handing out codes.
        root_.fill(0);
        uint32_t code = 0;
        unsigned index = 0;
        for (unsigned len = 1; len <= max_code_length; ++len, code <<= 1) {
            for (unsigned k = 0; k < count_[len]; ++k, ++code, ++index) {
                if (len > root_bits)
                    continue;
                // Inverted, then reversed: the code's first bit is the
                // first bit read, which is bit 0 of a peek.
                const uint32_t sent = ~code & ((1u << len) - 1);
                uint32_t r = 0;
                for (unsigned b = 0; b < len; ++b)
                    r |= ((sent >> b) & 1u) << (len - 1 - b);
                const uint16_t entry = static_cast<uint16_t>(sorted_[index] << 8 | len);
                for (uint32_t i = r; i < root_.size(); i += 1u << len)
                    root_[i] = entry;
            }
        }
        return true;
    }

    // Needs max_code_length bits buffered (zero bits past the end are fine).
    unsigned decode(LsbBitInput& in) const
    {
        const uint16_t entry = root_[in.peek(root_bits)];
        if (entry != 0) [[likely]] {
            in.consume(entry & 0xFF);
            return entry >> 8;
        }
        return decode_long(in);
    }

private:
    // Canonical decoding one bit at a time: `first` is the first code of the
    // current length, `index` the position of its symbol in sorted_.
    unsigned decode_long(LsbBitInput& in) const
    {
        const uint32_t window = in.peek(max_code_length);
        uint32_t code = 0, first = 0;
        unsigned index = 0;
        for (unsigned len = 1; len <= max_code_length; ++len) {
            code |= ((window >> (len - 1)) & 1u) ^ 1u;
            const uint32_t n = count_[len];
            if (code - first < n) {
                in.consume(len);
                return sorted_[index + (code - first)];
            }
            index += n;
            first = (first + n) << 1;
            code <<= 1;
        }
        return 0;   // unreachable for a complete code
    }

    std::array<uint16_t, 1u << root_bits> root_{};   // symbol << 8 | length; 0 = longer than root_bits
    std::array<uint16_t, max_code_length + 1> count_{};
    std::array<uint8_t, num_literal_syms> sorted_{};
};

// Tree description: a byte holding the number of bytes that follow minus one;
// each byte then gives a code length minus one (low 4 bits) for a run of
// symbols (high 4 bits, minus one), from symbol 0 upwards.
bool read_tree(LsbBitInput& in, unsigned num_syms, shannon_fano_code& code)
{
    std::array<uint8_t, num_literal_syms> lengths{};
    const unsigned entries = in.bits(8) + 1;
    unsigned sym = 0;
    for (unsigned i = 0; i < entries; ++i) {
        const unsigned b = in.bits(8);
        const unsigned len = (b & 0xF) + 1;
        const unsigned run = (b >> 4) + 1;
        if (run > num_syms - sym)
            return false;
        std::fill_n(lengths.begin() + sym, run, static_cast<uint8_t>(len));
        sym += run;
    }
    return !in.overrun() && sym == num_syms && code.build({lengths.data(), num_syms});
}

} // namespace

struct ImplodeDecoder::state {
    shannon_fano_code literal, length, distance;
};

ImplodeDecoder::ImplodeDecoder() = default;
ImplodeDecoder::~ImplodeDecoder() = default;

DecodeStatus ImplodeDecoder::decode(ByteSource& in, ByteSink& out, uint64_t out_size,
                                    uint16_t general_purpose_flags) noexcept
{
    try {
        return run(in, out, out_size, general_purpose_flags);
    } catch (const std::bad_alloc&) {
        return DecodeStatus::no_memory;
    }
}

DecodeStatus ImplodeDecoder::run(ByteSource& in, ByteSink& out, uint64_t out_size, uint16_t flags)
{
    if (!state_)
        state_ = std::make_unique<state>();
    state& st = *state_;
    LsbBitInput bits(in);
    if (out_size == 0)
        return DecodeStatus::ok;   // PKZIP stores no trees for an empty entry

    const bool literal_tree = (flags & flag_literal_tree) != 0;
    const unsigned low_distance_bits = (flags & flag_8k_dictionary) ? 7 : 6;
    const unsigned min_match = literal_tree ? 3 : 2;

    if (literal_tree && !read_tree(bits, num_literal_syms, st.literal))
        return bits.overrun() ? DecodeStatus::truncated : DecodeStatus::data_error;
    if (!read_tree(bits, num_length_syms, st.length) || !read_tree(bits, num_distance_syms, st.distance))
        return bits.overrun() ? DecodeStatus::truncated : DecodeStatus::data_error;

    // The dictionary starts zeroed; slack past the end lets the fast loop
    // skip per-byte room checks. Small entries get a small chunk.
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(out_chunk, out_size));
    const auto buffer = std::make_unique_for_overwrite<uint8_t[]>(dictionary_size + chunk + longest_match);
    uint8_t* const base = buffer.get();
    std::memset(base, 0, dictionary_size);
    uint8_t* const limit = base + dictionary_size + chunk;   // no symbol starts at or past this
    uint8_t* pos = base + dictionary_size;
    uint8_t* flushed = pos;
    uint64_t remaining = out_size;

    // Hands the new bytes to the sink and moves the last dictionary_size
    // bytes to the front.
    const auto slide = [&] {
        if (pos != flushed && !out.write({flushed, static_cast<size_t>(pos - flushed)}))
            return false;
        std::memmove(base, pos - dictionary_size, dictionary_size);
        pos = flushed = base + dictionary_size;
        return true;
    };

    const auto copy = [](uint8_t* to, size_t distance, size_t len) {
        const uint8_t* from = to - distance;
        if (distance >= len) {
            std::memcpy(to, from, len);
        } else if (distance == 1) {
            std::memset(to, *from, len);
        } else {
            for (size_t i = 0; i < len; ++i)
                to[i] = from[i];
        }
    };

    for (;;) {
        // Fast loop: eight input bytes buffered, room for the longest match,
        // and at least that much still to produce.
        while (bits.has_word() && pos < limit && remaining > longest_match) {
            bits.refill();
            if (bits.take(1)) {
                *pos++ = static_cast<uint8_t>(literal_tree ? st.literal.decode(bits) : bits.take(8));
                --remaining;
                continue;
            }
            const uint32_t low = bits.take(low_distance_bits);
            const size_t distance = ((st.distance.decode(bits) << low_distance_bits) | low) + 1;
            size_t len = st.length.decode(bits);
            if (len == length_extra_symbol)
                len += bits.take(length_extra_bits);
            len += min_match;
            copy(pos, distance, len);
            pos += len;
            remaining -= len;
        }
        if (remaining == 0)
            break;
        if (pos >= limit) {
            if (!slide())
                return DecodeStatus::stopped;
            continue;
        }

        // Careful path: one symbol, each bit checked against the end of input,
        // the copy cut at the expected size.
        bits.refill();
        if (bits.take(1)) {
            const unsigned lit = literal_tree ? st.literal.decode(bits) : bits.take(8);
            if (bits.overrun())
                return DecodeStatus::truncated;
            *pos++ = static_cast<uint8_t>(lit);
            --remaining;
            continue;
        }
        const uint32_t low = bits.take(low_distance_bits);
        const size_t distance = ((st.distance.decode(bits) << low_distance_bits) | low) + 1;
        size_t len = st.length.decode(bits);
        if (len == length_extra_symbol)
            len += bits.take(length_extra_bits);
        len += min_match;
        if (bits.overrun())
            return DecodeStatus::truncated;
        len = static_cast<size_t>(std::min<uint64_t>(len, remaining));
        copy(pos, distance, len);
        pos += len;
        remaining -= len;
    }
    if (pos != flushed && !out.write({flushed, static_cast<size_t>(pos - flushed)}))
        return DecodeStatus::stopped;
    return DecodeStatus::ok;
}

} // namespace velmora

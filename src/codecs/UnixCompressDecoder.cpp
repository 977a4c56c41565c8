// Unix compress (LZW) decoding. Layout of a .Z stream: magic 1F 9D, a flags
// byte (bits 0-4: the largest code width, bit 7: block mode), then the codes.
//
// Two habits of compress shape the reader. Codes are written in groups of
// eight, and when the code width grows, or after a CLEAR code, the rest of the
// current group is skipped: the next code starts where the ninth code of the
// old width would have started. And the table entry that the first code
// after a CLEAR would add lands on the CLEAR code's own slot 256 (never
// reachable), so that codes after a CLEAR are checked against 256, not 257.
#include "codecs/UnixCompressDecoder.h"

#include <algorithm>
#include <array>
#include <new>

#include "codecs/StreamBuffers.h"

namespace velmora {
namespace {

constexpr uint8_t magic_0 = 0x1F;
constexpr uint8_t magic_1 = 0x9D;
constexpr uint8_t flag_block_mode = 0x80;
constexpr uint8_t flag_max_bits = 0x1F;
constexpr unsigned init_bits = 9;
constexpr unsigned max_bits = 16;
constexpr unsigned code_clear = 256;
constexpr unsigned first_free_block_mode = 257; // first table entry after the literals and CLEAR
constexpr size_t table_size = size_t{1} << max_bits;
constexpr unsigned group_codes = 8;             // codes per group; a group is code width bytes long

// A string grows by one byte per new entry, and a table holds at most
// 2^16 - 256 of them, so the longest string (plus the extra byte of the
// "KwKwK" case) is bounded:
constexpr size_t longest_string = table_size - 256 + 2;
static_assert(longest_string <= UINT16_MAX, "string lengths are kept in 16 bits");
static_assert(OutputBuffer::default_capacity >= 2 * longest_string,
              "the output buffer must hold a whole string with room to spare");

// Codes, least significant bit first, from an InputBuffer refilled as needed.
class CodeReader {
public:
    CodeReader(InputBuffer& in, ByteSource& source) : in_(in), source_(source) {}

    // Makes at least n (<= 16) bits available; false when the input ends first.
    bool need(unsigned n)
    {
        while (count_ < n) {
            if (!in_.fill(source_)) return false;
            // At most 56 bits held, so every shift below stays under 64.
            const size_t k = std::min<size_t>(in_.available(), (56 - count_) / 8);
            const uint8_t* p = in_.data();
            for (size_t i = 0; i < k; ++i) {
                bits_ |= uint64_t{p[i]} << count_;
                count_ += 8;
            }
            in_.consume(k);
        }
        return true;
    }

    unsigned take(unsigned n)
    {
        const auto v = static_cast<unsigned>(bits_ & ((uint64_t{1} << n) - 1));
        bits_ >>= n;
        count_ -= n;
        return v;
    }

    // Skips n bits; false when the input ends first.
    bool skip(unsigned n)
    {
        while (n > 0) {
            if (!need(std::min(n, 8u))) return false;
            const unsigned k = std::min(n, count_);
            bits_ >>= k;
            count_ -= k;
            n -= k;
        }
        return true;
    }

private:
    InputBuffer& in_;
    ByteSource& source_;
    uint64_t bits_ = 0;
    unsigned count_ = 0;
};

} // namespace

struct UnixCompressDecoder::State {
    std::array<uint16_t, table_size> prefix;
    std::array<uint8_t, table_size> suffix;
    std::array<uint16_t, table_size> length;
    InputBuffer in;
    OutputBuffer out;
};

UnixCompressDecoder::UnixCompressDecoder() = default;
UnixCompressDecoder::~UnixCompressDecoder() = default;

DecodeStatus UnixCompressDecoder::decode(ByteSource& source, ByteSink& sink, uint64_t out_limit)
{
    if (!state_) {
        try {
            state_ = std::make_unique<State>();
        } catch (const std::bad_alloc&) {
            return DecodeStatus::no_memory;
        }
    }
    State& st = *state_;
    if (!st.in.allocate() || !st.out.allocate()) return DecodeStatus::no_memory;
    OutputBuffer& out = st.out;
    out.start(out_limit);
    CodeReader reader(st.in, source);

    std::array<unsigned, 3> header{};
    for (unsigned& b : header) {
        if (!reader.need(8)) return DecodeStatus::truncated;
        b = reader.take(8);
    }
    if (header[0] != magic_0 || header[1] != magic_1) return DecodeStatus::data_error;
    const unsigned maxbits = header[2] & flag_max_bits;
    const bool block_mode = (header[2] & flag_block_mode) != 0;
    if (maxbits > max_bits) return DecodeStatus::unsupported;
    if (maxbits < init_bits) return DecodeStatus::data_error;

    for (unsigned c = 0; c < 256; ++c) {
        st.suffix[c] = static_cast<uint8_t>(c);
        st.length[c] = 1;
    }
    const uint32_t maxmaxcode = uint32_t{1} << maxbits; // entries end here
    unsigned n_bits = init_bits;
    uint32_t maxcode = (uint32_t{1} << n_bits) - 1;     // the width grows once free_ent passes this
    uint32_t free_ent = block_mode ? first_free_block_mode : 256;
    unsigned group_pos = 0; // codes read at this width, modulo the group
    int32_t oldcode = -1;
    uint8_t finchar = 0;

    // The rest of the current group is padding.
    auto skip_group_rest = [&] {
        const unsigned rest = group_pos == 0 ? 0 : group_codes - group_pos;
        group_pos = 0;
        return reader.skip(rest * n_bits);
    };

    for (;;) {
        if (free_ent > maxcode) {
            if (!skip_group_rest()) break;
            ++n_bits;
            // As compress has it: the last width's limit is the table's end.
            // (With a maximum of 9 this widens once more, to 10, and stays.)
            maxcode = n_bits == maxbits ? maxmaxcode : (uint32_t{1} << n_bits) - 1;
            continue;
        }
        if (!reader.need(n_bits)) break; // the end of the input ends the stream
        const unsigned code = reader.take(n_bits);
        group_pos = (group_pos + 1) % group_codes;

        if (oldcode == -1) {
            if (code >= 256) return out.finish(sink, DecodeStatus::data_error);
            oldcode = static_cast<int32_t>(code);
            finchar = static_cast<uint8_t>(code);
            *out.space() = finchar;
            out.produced(1);
            if (out.over_limit()) return out.finish(sink, DecodeStatus::output_limit);
            continue;
        }
        if (code == code_clear && block_mode) {
            if (!skip_group_rest()) break;
            free_ent = 256; // the next code's new entry is the unused slot 256
            n_bits = init_bits;
            maxcode = (uint32_t{1} << n_bits) - 1;
            continue;
        }

        if (out.space_size() < longest_string && !out.flush(sink)) return DecodeStatus::stopped;
        uint8_t* dst = out.space();
        unsigned c = code;
        size_t len;
        if (code >= free_ent) {
            if (code > free_ent) return out.finish(sink, DecodeStatus::data_error);
            // KwKwK: the entry being defined is the previous string plus its own first byte.
            c = static_cast<unsigned>(oldcode);
            len = size_t{st.length[c]} + 1;
            dst[len - 1] = finchar;
        } else {
            len = st.length[c];
        }
        // The string is its prefix chain walked backwards; its length is
        // known, so it is written in place from the end.
        uint8_t* p = dst + st.length[c] - 1;
        while (c >= 256) {
            *p-- = st.suffix[c];
            c = st.prefix[c];
        }
        *p = static_cast<uint8_t>(c);
        finchar = static_cast<uint8_t>(c);
        out.produced(len);
        if (out.over_limit()) return out.finish(sink, DecodeStatus::output_limit);

        if (free_ent < maxmaxcode) {
            st.prefix[free_ent] = static_cast<uint16_t>(oldcode);
            st.suffix[free_ent] = finchar;
            st.length[free_ent] = static_cast<uint16_t>(st.length[oldcode] + 1);
            ++free_ent;
        }
        oldcode = static_cast<int32_t>(code);
    }
    return out.finish(sink, DecodeStatus::ok);
}

} // namespace velmora

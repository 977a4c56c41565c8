// Dynamic LZW of ARC methods 8 and 9. Every string in the table is a stretch
// of the output already produced (a string and the byte after it), so it is
// copied from a ring of recent output while it is there, and built by walking
// its prefix chain only when it is not. Codes are read as compress reads them:
// in groups of eight codes of one size, and a clear code drops the rest of its
// group (the encoder pads it out), so the count of codes read since the last
// clear decides how much to skip. Size changes always fall on a group boundary:
// 256 codes of 9 bits, 512 of 10 bits and so on fill whole groups.
#include "codecs/ArcLzw.h"

#include "codecs/InputBuffer.h"
#include "codecs/OutputBuffer.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace velmora {

// The source lies at least max_codes bytes behind the write position, so a
// forward copy never reads what it writes.
void ArcLzw::copy_from_ring(uint8_t* dst, uint64_t from, unsigned len)
{
    const size_t at = static_cast<size_t>(from % ring_size);
    const uint8_t* src = ring_.get() + at;
    if (at + len <= ring_size && len <= 16) {
        for (unsigned i = 0; i < len; ++i)
            dst[i] = src[i];
        return;
    }
    const size_t first = std::min<size_t>(len, ring_size - at);
    std::memcpy(dst, src, first);
    std::memcpy(dst + first, ring_.get(), len - first);
}

void ArcLzw::walk_chain(uint8_t* dst, unsigned code, unsigned len)
{
    for (unsigned i = len; i-- > 0;) {
        dst[i] = walk_suffix_[code];
        code = prefix_[code];
    }
}

void ArcLzw::copy_to_ring(uint64_t at_pos, unsigned len)
{
    const size_t at = static_cast<size_t>(at_pos % ring_size);
    const size_t first = std::min<size_t>(len, ring_size - at);
    std::memcpy(ring_.get() + at, string_.data(), first);
    std::memcpy(ring_.get(), string_.data() + first, len - first);
}

DecodeStatus ArcLzw::run(uint8_t method, ByteSource& in, ByteSink& sink, uint64_t out_size)
{
    if (method != 8 && method != 9)
        return DecodeStatus::unsupported;
    const unsigned max_bits = method == 8 ? crunch_code_bits : squash_code_bits;
    const unsigned table_limit = 1u << max_bits;
    rle_.reset(method == 8);

    InputBuffer input(in);
    OutputBuffer out(sink, out_size);
    if (out_size == 0)
        return DecodeStatus::ok;
    if (method == 8) {
        const int header = input.get();
        if (header < 0)
            return out.finish(DecodeStatus::truncated);
        if (header != static_cast<int>(crunch_code_bits))
            return out.finish(DecodeStatus::data_error);
    }
    for (unsigned b = 0; b < 256; ++b) {
        first_[b] = walk_suffix_[b] = static_cast<uint8_t>(b);
        length_[b] = 1;
    }

    uint64_t bits = 0;
    unsigned nbits = 0;
    unsigned code_bits = min_code_bits;
    unsigned next_free = first_free;
    unsigned codes_since_clear = 0;
    int prev = -1; // the previous code; -1 right after a clear
    uint64_t produced = 0;     // LZW output so far (before the run-length stage)
    uint64_t last_emitted = 0; // where the previous code's string went
    if (!ring_)
        ring_ = std::make_unique_for_overwrite<uint8_t[]>(ring_size);

    // The low `n` bits of the stream, n <= 13; false at the end of input.
    auto read_bits = [&](unsigned n, unsigned& v) {
        while (nbits < n) {
            // As many whole bytes as the 64-bit buffer takes.
            const auto piece = input.peek();
            if (piece.empty())
                return false;
            const size_t take = std::min<size_t>(piece.size(), (64 - nbits) / 8);
            for (size_t i = 0; i < take; ++i) {
                bits |= uint64_t{piece[i]} << nbits;
                nbits += 8;
            }
            input.skip(take);
        }
        v = static_cast<unsigned>(bits & ((1u << n) - 1));
        bits >>= n;
        nbits -= n;
        return true;
    };

    while (!out.at_limit()) {
        unsigned code = 0;
        if (!read_bits(code_bits, code))
            return out.finish(DecodeStatus::truncated);
        ++codes_since_clear;
        if (code == clear_code) {
            // Skip the rest of the group, at the size the clear came in.
            for (unsigned left = (8 - codes_since_clear % 8) % 8; left > 0; --left) {
                unsigned skipped = 0;
                if (!read_bits(code_bits, skipped))
                    return out.finish(DecodeStatus::truncated);
            }
            codes_since_clear = 0;
            code_bits = min_code_bits;
            next_free = first_free;
            prev = -1;
            continue;
        }

        // The string goes straight into the ring where it is output, unless
        // it would wrap there; then it is built in string_ and copied in.
        const size_t at = static_cast<size_t>(produced % ring_size);
        uint8_t* const direct = at + max_codes + 1 <= ring_size ? ring_.get() + at : nullptr;
        uint8_t* const dst = direct ? direct : string_.data();
        unsigned len = 0;
        if (prev < 0) {
            if (code >= 256)
                return out.finish(DecodeStatus::data_error);
            dst[0] = static_cast<uint8_t>(code);
            len = 1;
        } else {
            if (code > next_free || (code == next_free && next_free >= table_limit))
                return out.finish(DecodeStatus::data_error);
            // KwKwK: the code being defined is the previous string plus its
            // own first byte.
            const bool pending = code == next_free;
            const unsigned s = pending ? static_cast<unsigned>(prev) : code;
            len = length_[s];
            if (s < 256)
                dst[0] = static_cast<uint8_t>(s);
            else if (produced - where_[s] <= ring_size - max_codes)
                copy_from_ring(dst, where_[s], len);
            else
                walk_chain(dst, s, len);
            if (pending)
                dst[len++] = first_[s];
            if (next_free < table_limit) {
                // The new string is the previous one and the byte after it,
                // so it also lies in the output where the previous one went.
                prefix_[next_free] = static_cast<uint16_t>(prev);
                first_[next_free] = first_[prev];
                length_[next_free] = static_cast<uint16_t>(length_[prev] + 1);
                where_[next_free] = last_emitted;
                walk_suffix_[next_free] = dst[0];
                ++next_free;
                if (next_free == (1u << code_bits) && code_bits < max_bits)
                    ++code_bits;
            }
        }
        // The latest copy of a string is the likeliest to be in the ring.
        where_[code] = produced;
        last_emitted = produced;
        if (!direct)
            copy_to_ring(produced, len);
        produced += len;
        const std::span<const uint8_t> string(dst, len);
        prev = static_cast<int>(code);
        if (!rle_.write(string, out)) {
            if (out.sink_failed())
                return DecodeStatus::stopped;
            break;
        }
    }
    return out.finish(DecodeStatus::ok);
}

DecodeStatus ArcLzw::decode(uint8_t method, ByteSource& in, ByteSink& out, uint64_t out_size)
{
    try {
        return run(method, in, out, out_size);
    } catch (const std::bad_alloc&) {
        return DecodeStatus::no_memory;
    }
}

} // namespace velmora

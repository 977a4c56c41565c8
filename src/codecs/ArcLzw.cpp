// Dynamic LZW of ARC methods 8 and 9. Codes are read as compress reads them: in
// groups of eight codes of one size, and a clear code drops the rest of its
// group (the encoder pads it out), so the count of codes read since the last
// clear decides how much to skip. Size changes always fall on a group boundary:
// 256 codes of 9 bits, 512 of 10 bits and so on fill whole groups.
#include "codecs/ArcLzw.h"

#include "codecs/InputBuffer.h"
#include "codecs/OutputBuffer.h"

#include <new>

namespace velmora {

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
        first_[b] = suffix_[b] = static_cast<uint8_t>(b);
        length_[b] = 1;
    }

    uint32_t bits = 0;
    unsigned nbits = 0;
    unsigned code_bits = min_code_bits;
    unsigned next_free = first_free;
    unsigned codes_since_clear = 0;
    int prev = -1; // the previous code; -1 right after a clear

    // The low `n` bits of the stream, n <= 13; false at the end of input.
    auto read_bits = [&](unsigned n, unsigned& v) {
        while (nbits < n) {
            const int c = input.get();
            if (c < 0)
                return false;
            bits |= static_cast<uint32_t>(c) << nbits;
            nbits += 8;
        }
        v = bits & ((1u << n) - 1);
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

        unsigned len = 0;
        if (prev < 0) {
            if (code >= 256)
                return out.finish(DecodeStatus::data_error);
            string_[0] = static_cast<uint8_t>(code);
            len = 1;
        } else {
            if (code > next_free || (code == next_free && next_free >= table_limit))
                return out.finish(DecodeStatus::data_error);
            // KwKwK: the code being defined is the previous string plus its
            // own first byte.
            const bool pending = code == next_free;
            const unsigned s = pending ? static_cast<unsigned>(prev) : code;
            len = length_[s];
            unsigned k = s;
            for (unsigned i = len; i-- > 0;) {
                string_[i] = suffix_[k];
                k = prefix_[k];
            }
            if (pending)
                string_[len++] = first_[s];
            if (next_free < table_limit) {
                prefix_[next_free] = static_cast<uint16_t>(prev);
                suffix_[next_free] = string_[0];
                first_[next_free] = first_[prev];
                length_[next_free] = static_cast<uint16_t>(length_[prev] + 1);
                ++next_free;
                if (next_free == (1u << code_bits) && code_bits < max_bits)
                    ++code_bits;
            }
        }
        prev = static_cast<int>(code);
        if (!rle_.write(std::span<const uint8_t>(string_.data(), len), out)) {
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

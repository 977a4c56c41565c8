// Unshrink (PKWARE APPNOTE 5.1). Codes 0-255 are literals, 256 is the control
// code (sub-code 1: one bit more per code, up to 13; sub-code 2: partial
// clear), 257-8191 name strings that are an earlier string plus one byte. Each
// string is written straight into the output buffer from its last byte back to
// its first, using the string length kept per code.
#include "codecs/ShrinkDecoder.h"

#include "codecs/LsbBitInput.h"

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <span>

namespace velmora {
namespace {

constexpr unsigned min_code_bits = 9;
constexpr unsigned max_code_bits = 13;
constexpr unsigned control_code = 256;
constexpr unsigned first_free_code = 257;
constexpr unsigned num_codes = 1u << max_code_bits;
constexpr unsigned subcode_grow = 1;
constexpr unsigned subcode_partial_clear = 2;

// Every code above 256 adds one byte to another string, so no string is
// longer than one literal plus every other code.
constexpr unsigned max_string_length = num_codes - first_free_code + 1;
static_assert(max_string_length == 7936);

constexpr uint16_t unused = 0xFFFF;   // parent of a free code

// The output buffer holds this much before it goes to the sink; a string is
// started only with max_string_length bytes free.
constexpr size_t out_buffer_size = size_t{256} << 10;
static_assert(out_buffer_size >= 16 * max_string_length);

} // namespace

// The code table: for codes 257 and up, the string's prefix code, its last
// byte and its length (0 marks a length past max_string_length, which no
// valid stream reaches).
struct ShrinkDecoder::tables {
    std::array<uint16_t, num_codes> parent;
    std::array<uint8_t, num_codes> suffix;
    std::array<uint16_t, num_codes> length;
    std::array<uint8_t, num_codes> has_child;   // scratch for the partial clear

    void reset()
    {
        for (unsigned c = 0; c < 256; ++c) {
            parent[c] = unused;   // never read: literals end every walk
            suffix[c] = static_cast<uint8_t>(c);
            length[c] = 1;
        }
        std::fill(parent.begin() + 256, parent.end(), unused);
        std::fill(length.begin() + 256, length.end(), uint16_t{0});
    }

    // Frees every code that is no other code's prefix (the leaves of the
    // string tree). New codes then go to the lowest free code from 257 on.
    void partial_clear()
    {
        std::fill(has_child.begin(), has_child.end(), uint8_t{0});
        for (unsigned c = first_free_code; c < num_codes; ++c) {
            if (parent[c] != unused)
                has_child[parent[c]] = 1;
        }
        for (unsigned c = first_free_code; c < num_codes; ++c) {
            if (!has_child[c])
                parent[c] = unused;
        }
    }

    // Writes the string of `code` ending at out[length - 1]. Walks the prefix
    // chain exactly `length` steps, so a chain through a freed or re-used code
    // (a stream that refers to a string it orphaned) is caught rather than
    // followed. Returns the string's first byte, or -1.
    int write_string(unsigned code, uint8_t* out) const
    {
        unsigned n = length[code];
        unsigned c = code;
        while (c >= 256) {
            if (n <= 1 || c == unused)
                return -1;
            out[--n] = suffix[c];
            c = parent[c];
        }
        if (n != 1)
            return -1;
        out[0] = static_cast<uint8_t>(c);
        return static_cast<int>(c);
    }
};

ShrinkDecoder::ShrinkDecoder() = default;
ShrinkDecoder::~ShrinkDecoder() = default;

DecodeStatus ShrinkDecoder::decode(ByteSource& in, ByteSink& out, uint64_t out_size) noexcept
{
    try {
        return run(in, out, out_size);
    } catch (const std::bad_alloc&) {
        return DecodeStatus::no_memory;
    }
}

DecodeStatus ShrinkDecoder::run(ByteSource& in, ByteSink& out, uint64_t out_size)
{
    if (!tables_)
        tables_ = std::make_unique<tables>();
    tables& t = *tables_;
    t.reset();

    LsbBitInput bits(in);
    // Small entries get a small buffer; one string always fits.
    const size_t buffer_size = static_cast<size_t>(std::min<uint64_t>(out_buffer_size, out_size + max_string_length));
    const auto buffer_memory = std::make_unique_for_overwrite<uint8_t[]>(buffer_size);
    const std::span<uint8_t> buffer(buffer_memory.get(), buffer_size);
    size_t pos = 0;
    uint64_t remaining = out_size;

    const auto flush = [&] {
        const bool ok = pos == 0 || out.write({buffer.data(), pos});
        pos = 0;
        return ok;
    };

    unsigned code_bits = min_code_bits;
    unsigned next_code = first_free_code;   // where the search for a free code starts
    int previous = -1;                      // the code before this one; none at the start
    uint8_t previous_first = 0;             // first byte of its string

    while (remaining != 0) {
        unsigned code = bits.bits(code_bits);
        if (bits.overrun())
            return DecodeStatus::truncated;

        if (code == control_code) {
            const unsigned sub = bits.bits(code_bits);
            if (bits.overrun())
                return DecodeStatus::truncated;
            if (sub == subcode_grow && code_bits < max_code_bits) {
                ++code_bits;
            } else if (sub == subcode_partial_clear) {
                t.partial_clear();
                next_code = first_free_code;
            } else {
                return DecodeStatus::data_error;
            }
            continue;
        }

        // The new code (previous string + first byte of this one) is entered
        // before this code is read, so a code that names the entry being made
        // (the KwKwK case: its string is the previous one plus the previous
        // one's first byte) finds it. Its last byte is set once this string's
        // first byte is known; until then it holds previous_first, which is
        // exactly right for that case.
        int added = -1;
        if (previous >= 0 && next_code < num_codes) {
            while (next_code < num_codes && t.parent[next_code] != unused)
                ++next_code;
            if (next_code < num_codes) {
                const unsigned len = t.length[previous];
                t.parent[next_code] = static_cast<uint16_t>(previous);
                t.suffix[next_code] = previous_first;
                t.length[next_code] = static_cast<uint16_t>(len != 0 && len < max_string_length ? len + 1 : 0);
                added = static_cast<int>(next_code++);
            }
        }

        if (code >= 256 && t.parent[code] == unused)
            return DecodeStatus::data_error;
        const unsigned len = t.length[code];
        if (buffer.size() - pos < max_string_length && !flush())
            return DecodeStatus::stopped;
        const int first = t.write_string(code, buffer.data() + pos);
        if (first < 0)
            return DecodeStatus::data_error;
        if (added >= 0)
            t.suffix[static_cast<unsigned>(added)] = static_cast<uint8_t>(first);
        previous = static_cast<int>(code);
        previous_first = static_cast<uint8_t>(first);

        // The last string may run past the expected size; the rest is dropped.
        const size_t used = static_cast<size_t>(std::min<uint64_t>(len, remaining));
        pos += used;
        remaining -= used;
    }
    return flush() ? DecodeStatus::ok : DecodeStatus::stopped;
}

} // namespace velmora

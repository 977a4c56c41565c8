// LZX decoding for cabinet folders. Bits come most significant first from
// 16-bit little-endian words; Huffman codes are canonical with lengths sent as
// deltas through a 20-symbol pretree and kept from block to block. Huffman
// tables are a primary table plus sub-tables, so a symbol is taken in one step.
// Matches never cross a frame, so the window is written a frame at a time and
// copied out; the E8 translation is undone on the copy.
#include "codecs/LzxDecoder.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace velmora {
namespace {

constexpr unsigned num_chars = 256;
constexpr unsigned num_primary_lengths = 7; // length headers 0..6 are the length; 7 reads the length tree
constexpr unsigned min_match = 2;
constexpr unsigned max_match = 257;
constexpr unsigned pretree_syms = 20;
constexpr unsigned aligned_syms = 8;
constexpr unsigned length_syms = 249;
constexpr unsigned max_position_slots = 50; // 2 MiB window
constexpr unsigned max_main_syms = num_chars + 8 * max_position_slots;
constexpr unsigned max_code_len = 16;
static_assert(num_primary_lengths + (length_syms - 1) + min_match == max_match, "the length tree reaches 257");

constexpr unsigned block_verbatim = 1;
constexpr unsigned block_aligned = 2;
constexpr unsigned block_uncompressed = 3;

// Position slots per window size 2^15 .. 2^21: the first slot whose base
// reaches the window size.
constexpr std::array<uint8_t, 7> position_slots = {30, 32, 34, 36, 38, 42, 50};

// extra_bits[s] = 0 for s < 4, s / 2 - 1 up to 17, then 17; base[s] = base[s - 1] + 2^extra[s - 1].
struct slot_tables {
    std::array<uint8_t, max_position_slots> extra{};
    std::array<uint32_t, max_position_slots> base{};
    constexpr slot_tables()
    {
        for (unsigned s = 0; s < max_position_slots; ++s) {
            extra[s] = static_cast<uint8_t>(s < 4 ? 0 : std::min(s / 2 - 1, 17u));
            base[s] = s == 0 ? 0 : base[s - 1] + (1u << extra[s - 1]);
        }
    }
};
constexpr slot_tables slots;
static_assert(slots.base[30] == 32768 && slots.base[36] == 262144 && slots.base[50 - 1] + (1u << 17) == 2097152,
              "the last slot of each window size ends at the window size");

// ---------------------------------------------------------------------------
// Huffman decode tables. Entry: symbol in bits 0-15, code length in 16-20;
// a sub-table link has bit 31 set, the sub-table's first entry in bits 0-15
// and its index bits in bits 16-20. Sub-table entries hold the whole length.
constexpr uint32_t entry_link = 1u << 31;

// Every sub-table serves at least one code longer than the primary index and
// has at most 2^(16 - index bits) entries.
constexpr size_t table_capacity(unsigned syms, unsigned bits)
{
    return (size_t{1} << bits) + size_t{syms} * (size_t{1} << (max_code_len - bits));
}

constexpr unsigned main_table_bits = 11;
constexpr unsigned length_table_bits = 10;
constexpr unsigned aligned_table_bits = 7; // aligned lengths are 3-bit: no sub-tables
constexpr unsigned pretree_table_bits = 8;
static_assert(table_capacity(max_main_syms, main_table_bits) < 0x10000, "sub-table starts fit 16 bits");

// Builds the table for lens[0..n-1]. Returns false unless the code is
// complete; `empty` (all lengths zero) is accepted only when allow_empty.
bool build_table(const uint8_t* lens, unsigned n, unsigned table_bits, uint32_t* table, bool allow_empty, bool& empty)
{
    std::array<unsigned, max_code_len + 1> count{};
    for (unsigned s = 0; s < n; ++s)
        ++count[lens[s]];
    empty = count[0] == n;
    if (empty)
        return allow_empty;
    // Kraft sum in units of 2^-16: a complete code fills the space exactly.
    uint32_t space = 0;
    for (unsigned len = 1; len <= max_code_len; ++len)
        space += count[len] << (max_code_len - len);
    if (space != (1u << max_code_len))
        return false;

    // Canonical codes: next[len] is the first code of that length.
    std::array<uint32_t, max_code_len + 1> next{};
    uint32_t code = 0;
    for (unsigned len = 1; len <= max_code_len; ++len) {
        next[len] = code;
        code = (code + count[len]) << 1;
    }

    const uint32_t primary = 1u << table_bits;
    std::array<uint8_t, 1u << main_table_bits> sub_bits{};
    std::vector<uint32_t> codes(n);
    for (unsigned s = 0; s < n; ++s) {
        const unsigned len = lens[s];
        if (len == 0)
            continue;
        codes[s] = next[len]++;
        if (len <= table_bits) {
            const uint32_t first = codes[s] << (table_bits - len);
            const uint32_t e = s | (len << 16);
            std::fill_n(table + first, size_t{1} << (table_bits - len), e);
        } else {
            uint8_t& b = sub_bits[codes[s] >> (len - table_bits)];
            b = std::max<uint8_t>(b, static_cast<uint8_t>(len - table_bits));
        }
    }
    uint32_t next_sub = primary;
    for (uint32_t p = 0; p < primary && table_bits < max_code_len; ++p) {
        if (sub_bits[p] == 0)
            continue;
        table[p] = entry_link | next_sub | (uint32_t{sub_bits[p]} << 16);
        next_sub += 1u << sub_bits[p];
    }
    for (unsigned s = 0; s < n; ++s) {
        const unsigned len = lens[s];
        if (len <= table_bits)
            continue;
        const uint32_t link = table[codes[s] >> (len - table_bits)];
        const unsigned bits = (link >> 16) & 0x1F;
        const unsigned tail = len - table_bits;
        const uint32_t index = (codes[s] & ((1u << tail) - 1)) << (bits - tail);
        std::fill_n(table + (link & 0xFFFF) + index, size_t{1} << (bits - tail), s | (len << 16));
    }
    return true;
}

// Most-significant-bit-first reader over one CFDATA block, 16-bit
// little-endian words. Reads past the end give zero bits and are counted;
// whether the frame really used them is checked when it ends.
class bit_reader {
public:
    void start(std::span<const uint8_t> data)
    {
        data_ = data;
        pos_ = 0;
        buf_ = 0;
        count_ = 0;
    }

    void ensure(unsigned n)
    {
        if (count_ < n) [[unlikely]]
            refill();
    }
    uint32_t peek(unsigned n) const { return static_cast<uint32_t>(buf_ >> (64 - n)); }
    void consume(unsigned n)
    {
        buf_ <<= n;
        count_ -= n;
    }
    // n <= 17 (the widest extra-bits field)
    uint32_t read(unsigned n)
    {
        if (n == 0)
            return 0;
        ensure(n);
        const uint32_t v = peek(n);
        consume(n);
        return v;
    }

    // Bytes taken so far: whole 16-bit words in bit mode, exact in byte mode.
    size_t bytes_used(bool byte_mode) const
    {
        const uint64_t bits = consumed_bits();
        return static_cast<size_t>(byte_mode ? bits / 8 : (bits + 15) / 16 * 2);
    }
    // Bits taken from the block so far, counting zero bits past its end.
    uint64_t consumed_bits() const { return uint64_t{pos_} * 8 - count_; }
    bool overran() const { return consumed_bits() > uint64_t{data_.size()} * 8; }

    // The uncompressed block's switch to bytes: 1 to 16 bits of padding take
    // the stream to a 16-bit boundary, and the buffered words are given back.
    void align_to_bytes()
    {
        const unsigned drop = count_ % 16 != 0 ? count_ % 16 : 16;
        ensure(drop);
        consume(drop);
        pos_ -= count_ / 8;
        buf_ = 0;
        count_ = 0;
    }
    // Byte-wise access in the uncompressed block (the bit buffer is empty).
    int byte()
    {
        const size_t p = pos_++;
        return p < data_.size() ? data_[p] : -1;
    }
    size_t bytes_left() const { return pos_ < data_.size() ? data_.size() - pos_ : 0; }
    std::span<const uint8_t> bytes(size_t n)
    {
        const size_t start = std::min(pos_, data_.size());
        const size_t k = std::min(n, data_.size() - start);
        pos_ += n;
        return data_.subspan(start, k);
    }

private:
    void refill()
    {
        while (count_ <= 48) {
            uint32_t w = 0;
            if (pos_ + 1 < data_.size()) [[likely]]
                w = data_[pos_] | (uint32_t{data_[pos_ + 1]} << 8);
            else if (pos_ < data_.size())
                w = data_[pos_];
            pos_ += 2;
            buf_ |= uint64_t{w} << (48 - count_);
            count_ += 16;
        }
    }

    std::span<const uint8_t> data_;
    size_t pos_ = 0;
    uint64_t buf_ = 0; // next bits at the top
    unsigned count_ = 0;
};

} // namespace

struct LzxDecoder::state {
    std::vector<uint8_t> window;
    uint32_t window_size = 0;
    uint32_t window_pos = 0;
    uint32_t frame_start = 0;
    unsigned main_syms = 0;
    uint64_t total = 0; // bytes of the folder decoded so far
    uint32_t frames = 0;
    bool header_read = false;
    int32_t e8_file_size = 0;
    bool failed = true;
    bool finished = false; // a short frame was the folder's last

    unsigned block_type = 0;
    uint32_t block_length = 0;
    uint32_t block_remaining = 0;
    uint32_t R0 = 1, R1 = 1, R2 = 1;

    // Lengths carry from block to block as the base of the next deltas. A
    // pretree run may not pass the end of its range.
    std::array<uint8_t, max_main_syms> main_lens{};
    std::array<uint8_t, length_syms> length_lens{};
    std::array<uint8_t, aligned_syms> aligned_lens{};
    std::array<uint8_t, pretree_syms> pretree_lens{};
    bool length_empty = true;
    bool pad_pending = false; // an odd uncompressed block's pad byte opens the next CFDATA block
    size_t block_bytes_used = 0;

    std::array<uint32_t, table_capacity(max_main_syms, main_table_bits)> main_table{};
    std::array<uint32_t, table_capacity(length_syms, length_table_bits)> length_table{};
    std::array<uint32_t, 1u << aligned_table_bits> aligned_table{};
    std::array<uint32_t, table_capacity(pretree_syms, pretree_table_bits)> pretree_table{};

    bit_reader in;

    template <unsigned TableBits>
    unsigned decode(const uint32_t* table)
    {
        in.ensure(max_code_len);
        uint32_t e = table[in.peek(TableBits)];
        if (e & entry_link) {
            const unsigned bits = (e >> 16) & 0x1F;
            e = table[(e & 0xFFFF) + ((in.peek(TableBits + bits)) & ((1u << bits) - 1))];
        }
        in.consume((e >> 16) & 0x1F);
        return e & 0xFFFF;
    }

    bool read_lengths(uint8_t* lens, unsigned first, unsigned last);
    DecodeStatus read_block_header();
    DecodeStatus decode_run(uint32_t run_end, uint32_t frame_end);
    void undo_e8(std::span<uint8_t> out) const;
};

// Pretree codes: 0-16 subtract from the previous length (mod 17), 17 and 18
// are runs of zeros (4 + 4 bits, 20 + 5 bits), 19 a run of 4 + 1 bits of one
// pretree-coded delta.
bool LzxDecoder::state::read_lengths(uint8_t* lens, unsigned first, unsigned last)
{
    for (unsigned i = 0; i < pretree_syms; ++i)
        pretree_lens[i] = static_cast<uint8_t>(in.read(4));
    bool empty = false;
    if (!build_table(pretree_lens.data(), pretree_syms, pretree_table_bits, pretree_table.data(), false, empty))
        return false;
    for (unsigned x = first; x < last;) {
        const unsigned code = decode<pretree_table_bits>(pretree_table.data());
        unsigned run = 1;
        int value = 0;
        if (code == 17) {
            run = 4 + in.read(4);
        } else if (code == 18) {
            run = 20 + in.read(5);
        } else if (code == 19) {
            run = 4 + in.read(1);
            const unsigned delta = decode<pretree_table_bits>(pretree_table.data());
            if (delta > 16)
                return false;
            value = (lens[x] + 17 - static_cast<int>(delta)) % 17;
        } else {
            value = (lens[x] + 17 - static_cast<int>(code)) % 17;
        }
        if (run > last - x)
            return false;
        std::fill_n(lens + x, run, static_cast<uint8_t>(value));
        x += run;
    }
    return true;
}

DecodeStatus LzxDecoder::state::read_block_header()
{
    if (pad_pending) {
        in.bytes(1);
        pad_pending = false;
    }
    block_type = in.read(3);
    const uint32_t high = in.read(16);
    block_length = (high << 8) | in.read(8);
    block_remaining = block_length;
    bool empty = false;
    switch (block_type) {
    case block_aligned:
        for (unsigned i = 0; i < aligned_syms; ++i)
            aligned_lens[i] = static_cast<uint8_t>(in.read(3));
        if (!build_table(aligned_lens.data(), aligned_syms, aligned_table_bits, aligned_table.data(), false, empty))
            return DecodeStatus::data_error;
        [[fallthrough]];
    case block_verbatim:
        if (!read_lengths(main_lens.data(), 0, num_chars) || !read_lengths(main_lens.data(), num_chars, main_syms))
            return DecodeStatus::data_error;
        if (!build_table(main_lens.data(), main_syms, main_table_bits, main_table.data(), false, empty))
            return DecodeStatus::data_error;
        // Blocks without matches may send an empty length tree.
        if (!read_lengths(length_lens.data(), 0, length_syms) ||
            !build_table(length_lens.data(), length_syms, length_table_bits, length_table.data(), true, length_empty))
            return DecodeStatus::data_error;
        return DecodeStatus::ok;
    case block_uncompressed: {
        in.align_to_bytes();
        uint32_t r[3] = {};
        for (auto& v : r) {
            for (int k = 0; k < 4; ++k) {
                const int b = in.byte();
                v |= static_cast<uint32_t>(b < 0 ? 0 : b) << (8 * k);
            }
        }
        R0 = r[0];
        R1 = r[1];
        R2 = r[2];
        return DecodeStatus::ok;
    }
    default:
        return DecodeStatus::data_error;
    }
}

// Decodes symbols until window_pos reaches run_end (a match may go past it,
// but not past frame_end).
DecodeStatus LzxDecoder::state::decode_run(uint32_t run_end, uint32_t frame_end)
{
    uint8_t* const w = window.data();
    uint32_t pos = window_pos;
    const bool aligned = block_type == block_aligned;
    while (pos < run_end) {
        const unsigned sym = decode<main_table_bits>(main_table.data());
        if (sym < num_chars) {
            w[pos++] = static_cast<uint8_t>(sym);
            continue;
        }
        const unsigned header = sym - num_chars;
        unsigned length = header & 7;
        if (length == num_primary_lengths) {
            if (length_empty)
                return DecodeStatus::data_error;
            length += decode<length_table_bits>(length_table.data());
        }
        length += min_match;
        const unsigned slot = header >> 3;
        uint32_t offset = 0;
        if (slot == 0) {
            offset = R0;
        } else if (slot == 1) {
            offset = R1;
            R1 = R0;
            R0 = offset;
        } else if (slot == 2) {
            offset = R2;
            R2 = R0;
            R0 = offset;
        } else {
            const unsigned extra = slots.extra[slot];
            offset = slots.base[slot] - 2;
            if (aligned && extra >= 3) {
                // The low three bits come from the aligned-offset tree.
                offset += in.read(extra - 3) << 3;
                offset += decode<aligned_table_bits>(aligned_table.data());
            } else {
                offset += in.read(extra);
            }
            R2 = R1;
            R1 = R0;
            R0 = offset;
        }
        if (length > frame_end - pos)
            return DecodeStatus::data_error; // matches stay inside their frame
        if (offset == 0 || offset > window_size || offset > total + (pos - frame_start))
            return DecodeStatus::data_error; // before the start of the folder
        uint32_t src = pos >= offset ? pos - offset : pos + window_size - offset;
        if (offset >= 8 && src + length <= window_size) {
            // Eight bytes at a time: each load comes before its store, and a
            // source at least 8 back (or ahead, in the wrapped history) is
            // never one of the bytes being stored.
            uint8_t* d = w + pos;
            const uint8_t* s = w + src;
            unsigned k = 0;
            for (; k + 8 <= length; k += 8) {
                uint64_t v;
                std::memcpy(&v, s + k, 8);
                std::memcpy(d + k, &v, 8);
            }
            for (; k < length; ++k)
                d[k] = s[k];
        } else {
            for (unsigned k = 0; k < length; ++k) {
                w[pos + k] = w[src];
                if (++src == window_size)
                    src = 0;
            }
        }
        pos += length;
    }
    const uint32_t produced = pos - window_pos;
    window_pos = pos;
    if (produced > block_remaining)
        return DecodeStatus::data_error; // the last match ran past its block
    block_remaining -= produced;
    return DecodeStatus::ok;
}

// The compressor turned the 32-bit operand of each E8 byte (a call) from a
// relative into an absolute address; turn it back. Bytes in the last 10 of a
// frame are left alone, and so is every frame after the first 32768.
void LzxDecoder::state::undo_e8(std::span<uint8_t> out) const
{
    if (e8_file_size == 0 || frames >= 32768 || out.size() <= 10)
        return;
    uint8_t* p = out.data();
    uint8_t* const end = p + out.size() - 10;
    int32_t cur = static_cast<int32_t>(total);
    while (p < end) {
        uint8_t* e8 = static_cast<uint8_t*>(std::memchr(p, 0xE8, static_cast<size_t>(end - p)));
        if (!e8)
            break;
        cur += static_cast<int32_t>(e8 - p);
        const int32_t abs = static_cast<int32_t>(static_cast<uint32_t>(e8[1]) | (static_cast<uint32_t>(e8[2]) << 8) |
                                                 (static_cast<uint32_t>(e8[3]) << 16) |
                                                 (static_cast<uint32_t>(e8[4]) << 24));
        if (abs >= -cur && abs < e8_file_size) {
            const int32_t rel = abs >= 0 ? abs - cur : abs + e8_file_size;
            for (int k = 0; k < 4; ++k)
                e8[1 + k] = static_cast<uint8_t>(static_cast<uint32_t>(rel) >> (8 * k));
        }
        p = e8 + 5;
        cur += 5;
    }
}

size_t LzxDecoder::block_bytes_used() const { return s_ ? s_->block_bytes_used : 0; }

LzxDecoder::LzxDecoder() = default;
LzxDecoder::~LzxDecoder() = default;

DecodeStatus LzxDecoder::reset(unsigned window_bits)
{
    try {
        if (!s_)
            s_ = std::make_unique<state>();
        state& s = *s_;
        s.failed = true;
        if (window_bits < min_window_bits || window_bits > max_window_bits)
            return DecodeStatus::data_error;
        s.window_size = 1u << window_bits;
        s.window.resize(s.window_size);
        s.main_syms = num_chars + 8 * position_slots[window_bits - min_window_bits];
        s.window_pos = 0;
        s.total = 0;
        s.frames = 0;
        s.header_read = false;
        s.e8_file_size = 0;
        s.finished = false;
        s.block_type = 0;
        s.block_length = 0;
        s.block_remaining = 0;
        s.pad_pending = false;
        s.R0 = s.R1 = s.R2 = 1;
        s.main_lens.fill(0);
        s.length_lens.fill(0);
        s.length_empty = true;
        s.failed = false;
        return DecodeStatus::ok;
    } catch (const std::bad_alloc&) {
        return DecodeStatus::no_memory;
    }
}

DecodeStatus LzxDecoder::decode_block(std::span<const uint8_t> block, std::span<uint8_t> out)
{
    if (!s_ || s_->failed)
        return DecodeStatus::data_error;
    state& s = *s_;
    if (out.empty())
        return DecodeStatus::ok;
    s.failed = true; // until this frame is through
    if (out.size() > frame_size || s.finished)
        return DecodeStatus::data_error;
    s.in.start(block);

    if (!s.header_read) {
        // 1 bit: translation on; then the translation size, high word first.
        if (s.in.read(1)) {
            const uint32_t high = s.in.read(16);
            s.e8_file_size = static_cast<int32_t>((high << 16) | s.in.read(16));
        }
        s.header_read = true;
    }

    const uint32_t frame_start = s.frame_start = s.window_pos;
    const uint32_t frame_end = frame_start + static_cast<uint32_t>(out.size());
    while (s.window_pos < frame_end) {
        if (s.block_remaining == 0) {
            if (const auto st = s.read_block_header(); st != DecodeStatus::ok)
                return s.in.overran() ? DecodeStatus::truncated : st;
            continue; // a block may be empty
        }
        const uint32_t run_end = s.window_pos + std::min(s.block_remaining, frame_end - s.window_pos);
        if (s.block_type == block_uncompressed) {
            const uint32_t n = run_end - s.window_pos;
            const auto raw = s.in.bytes(n);
            if (raw.size() < n)
                return DecodeStatus::truncated;
            std::memcpy(s.window.data() + s.window_pos, raw.data(), n);
            s.window_pos += n;
            s.block_remaining -= n;
            // An uncompressed block of odd length is followed by a byte of
            // padding: here, or at the start of the next CFDATA block when
            // the block ended with this one.
            if (s.block_remaining == 0 && (s.block_length & 1)) {
                if (s.in.bytes_left() > 0)
                    s.in.bytes(1);
                else
                    s.pad_pending = true;
            }
            continue;
        }
        if (const auto st = s.decode_run(run_end, frame_end); st != DecodeStatus::ok)
            return s.in.overran() ? DecodeStatus::truncated : st;
    }
    if (s.in.overran())
        return DecodeStatus::truncated;

    s.block_bytes_used = s.in.bytes_used(s.block_type == block_uncompressed && s.block_remaining > 0);
    std::memcpy(out.data(), s.window.data() + frame_start, out.size());
    s.undo_e8(out);
    s.total += out.size();
    ++s.frames;
    if (s.window_pos == s.window_size)
        s.window_pos = 0;
    s.finished = out.size() < frame_size;
    s.failed = false;
    return DecodeStatus::ok;
}

} // namespace velmora

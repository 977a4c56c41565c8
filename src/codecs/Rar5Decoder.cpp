// RAR 5.0 / 7.0 decoding, from rarlab's format notes and the decoders of
// libarchive, 7-Zip and XADMaster. A block header (flags, check byte, 1-3
// size bytes) gives the block's length to the bit; a table header inside it
// sends 20 level-code lengths and then every code length through that code.
// Symbols: 0-255 literals, 256 a filter record, 257 the last match again,
// 258-261 one of four repeat distances, 262-305 a length slot followed by a
// distance slot. Filters are queued by start offset and applied to the output
// as it leaves the window.
#include "codecs/Rar5Decoder.h"

#include <algorithm>
#include <cstring>

namespace velmora {
namespace {

constexpr size_t flush_step = 256 * 1024;
constexpr unsigned num_levels = 20;
constexpr uint32_t max_filter_size = 1u << 22;  // larger filter blocks are not written by RAR
constexpr size_t max_pending_filters = 8192;

enum filter_type : uint8_t { filter_delta = 0, filter_e8 = 1, filter_e8e9 = 2, filter_arm = 3 };

// Length slots: 0-7 are lengths 0-7; from 8 on four slots per power of two,
// with slot / 4 - 1 extra bits. The caller adds 2.
inline uint32_t slot_to_length(RarBitInput& in, unsigned slot)
{
    if (slot < 8)
        return slot;
    const unsigned extra = slot / 4 - 1;
    return ((4u | (slot & 3)) << extra) + in.bits32(extra);
}
static_assert(((4u | 3) << (43 / 4 - 1)) + (1u << (43 / 4 - 1)) - 1 + 2 + 3 == RarLzWindow::max_match,
              "the longest match: slot 43 with all extra bits set, plus the far-distance bonus of 3");

inline uint32_t load_le32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void store_le32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

} // namespace

DecodeStatus Rar5Decoder::read_tables()
{
    tables_ready_ = false;

    // Level-code lengths: 4 bits each; 15 is followed by 4 more bits, 0 for a
    // length of 15 itself, else a run of that many plus two zero lengths.
    std::array<uint8_t, num_levels> level_lens{};
    for (unsigned i = 0; i < num_levels;) {
        in_.ensure();
        if (in_.overrun())
            return DecodeStatus::truncated;
        const uint8_t len = static_cast<uint8_t>(in_.bits(4));
        if (len == 15) {
            const unsigned zeros = in_.bits32(4);
            if (zeros != 0) {
                for (unsigned k = 0; k < zeros + 2 && i < num_levels; ++k)
                    level_lens[i++] = 0;
                continue;
            }
        }
        level_lens[i++] = len;
    }
    RarHuffman<num_levels, 7> level;
    if (!level.build(level_lens.data(), num_levels))
        return in_.overrun() ? DecodeStatus::truncated : DecodeStatus::data_error;

    const unsigned num_dist = extended_ ? num_dist_v7 : num_dist_v5;
    const unsigned total = num_main + num_dist + num_align + num_len;
    std::array<uint8_t, num_main + num_dist_v7 + num_align + num_len> lens{};
    for (unsigned i = 0; i < total;) {
        in_.ensure();
        const unsigned sym = level.decode(in_);
        if (in_.overrun())
            return DecodeStatus::truncated;
        if (sym < 16) {
            lens[i++] = static_cast<uint8_t>(sym);
        } else if (sym < num_levels) {
            // 16/18: 3-10 times, 17/19: 11-138 times; the previous length
            // (16, 17) or zero (18, 19).
            const unsigned run = (sym & 1) ? 11 + in_.bits32(7) : 3 + in_.bits32(3);
            if (sym < 18 && i == 0)
                return DecodeStatus::data_error;
            const uint8_t v = sym < 18 ? lens[i - 1] : 0;
            const unsigned end = std::min(total, i + run);
            while (i < end)
                lens[i++] = v;
        } else {
            return in_.overrun() ? DecodeStatus::truncated : DecodeStatus::data_error;
        }
    }
    if (in_.overrun())
        return DecodeStatus::truncated;

    const uint8_t* p = lens.data();
    if (!main_.build(p, num_main) || !dist_.build(p + num_main, num_dist)
        || !len_.build(p + num_main + num_dist + num_align, num_len))
        return DecodeStatus::data_error;
    // A code of sixteen 4-bit lengths reads like 4 plain bits; RAR sends
    // that when the low distance bits have no skew.
    const uint8_t* align = p + num_main + num_dist;
    use_align_ = std::any_of(align, align + num_align, [](uint8_t l) { return l != 4; });
    if (use_align_ && !align_.build(align, num_align))
        return DecodeStatus::data_error;
    tables_ready_ = true;
    return DecodeStatus::ok;
}

DecodeStatus Rar5Decoder::read_block_header()
{
    in_.seek_byte(next_header_);
    in_.ensure();
    if (in_.at_end())
        return DecodeStatus::truncated;
    const uint32_t flags = in_.bits32(8);
    const uint32_t check = in_.bits32(8);
    const unsigned size_bytes = ((flags >> 3) & 3) + 1;
    if (size_bytes == 4)
        return DecodeStatus::data_error;
    uint32_t size = 0;
    uint32_t sum = 0x5A ^ flags;
    for (unsigned i = 0; i < size_bytes; ++i) {
        const uint32_t b = in_.bits32(8);
        size |= b << (8 * i);
        sum ^= b;
    }
    if (in_.overrun())
        return DecodeStatus::truncated;
    if ((sum & 0xFF) != check)
        return DecodeStatus::data_error;

    // The block's bits end inside its last byte: (flags & 7) + 1 of its bits
    // are used.
    const uint64_t data_start = next_header_ + 2 + size_bytes;
    block_end_bit_ = size ? (data_start + size - 1) * 8 + (flags & 7) + 1 : data_start * 8;
    next_header_ = data_start + size;
    last_block_ = (flags & 0x40) != 0;
    ++stats_.blocks;
    stats_.tables += (flags & 0x80) != 0;

    if (flags & 0x80) {
        const DecodeStatus s = read_tables();
        if (s != DecodeStatus::ok)
            return s;
        if (in_.bit_position() > ((block_end_bit_ + 7) & ~uint64_t{7}))
            return DecodeStatus::data_error;
    } else if (!tables_ready_ && block_end_bit_ > data_start * 8) {
        return DecodeStatus::data_error;
    }
    return DecodeStatus::ok;
}

// A filter record: start (relative to the current position) and size, each
// as 2 bits of byte count and 1-4 bytes; 3 bits of type; DELTA adds 5 bits of
// channel count.
DecodeStatus Rar5Decoder::add_filter()
{
    auto read_number = [this] {
        const unsigned n = in_.bits32(2) + 1;
        uint32_t v = 0;
        for (unsigned i = 0; i < n; ++i)
            v |= in_.bits32(8) << (8 * i);
        return v;
    };
    const uint32_t block_start = read_number();
    const uint32_t size = read_number();
    const uint8_t type = static_cast<uint8_t>(in_.bits32(3));
    const uint8_t channels = type == filter_delta ? static_cast<uint8_t>(in_.bits32(5) + 1) : 0;
    if (in_.overrun())
        return DecodeStatus::truncated;
    if (type > filter_arm)
        return DecodeStatus::unsupported;
    if (size == 0)
        return DecodeStatus::ok;
    if (size > max_filter_size)
        return DecodeStatus::data_error;
    const uint64_t start = decoded_ + (win_.pos() - round_start_) + block_start;
    if (start < filter_end_ || filters_.size() >= max_pending_filters)
        return DecodeStatus::data_error;
    filters_.push_back({start, size, type, channels});
    filter_end_ = start + size;
    return DecodeStatus::ok;
}

[[gnu::always_inline]] inline DecodeStatus Rar5Decoder::symbol()
{
    const unsigned sym = main_.decode(in_);
    if (sym < 256) {
        win_.put(static_cast<uint8_t>(sym));
        return DecodeStatus::ok;
    }
    uint64_t dist;
    uint32_t len;
    if (sym >= 262) {
        if (sym >= num_main)
            return DecodeStatus::data_error;
        len = slot_to_length(in_, sym - 262) + 2;
        const unsigned slot = dist_.decode(in_);
        if (slot >= num_dist_v7)
            return DecodeStatus::data_error;
        if (slot < 4) {
            dist = slot + 1;
        } else {
            // Slot 2n+2 and 2n+3 hold distances (2 or 3) << n plus n bits;
            // from n = 4 the low four bits come through the align code,
            // and far distances make matches longer.
            const unsigned extra = slot / 2 - 1;
            dist = uint64_t{2 | (slot & 1)} << extra;
            if (extra >= 4) {
                if (extra > 4)
                    dist += in_.bits(extra - 4) << 4;
                const unsigned low = use_align_ ? align_.decode(in_) : in_.bits32(4);
                if (low >= num_align)
                    return DecodeStatus::data_error;
                dist += low;
                len += (extra >= 7) + (extra >= 12) + (extra >= 17);
            } else {
                dist += in_.bits(extra);
            }
            ++dist;
        }
        reps_[3] = reps_[2];
        reps_[2] = reps_[1];
        reps_[1] = reps_[0];
        reps_[0] = dist;
        last_len_ = len;
    } else if (sym == 256) {
        return add_filter();
    } else if (sym == 257) {
        if (last_len_ == 0)
            return DecodeStatus::ok;
        dist = reps_[0];
        len = last_len_;
    } else {
        const unsigned k = sym - 258;
        dist = reps_[k];
        for (unsigned j = k; j > 0; --j)
            reps_[j] = reps_[j - 1];
        reps_[0] = dist;
        const unsigned slot = len_.decode(in_);
        if (slot >= num_len)
            return DecodeStatus::data_error;
        len = slot_to_length(in_, slot) + 2;
        last_len_ = len;
    }
    if (dist == 0 || dist > dictionary_limit_ || dist > win_.max_distance())
        return DecodeStatus::data_error;
    win_.copy(static_cast<size_t>(dist), len);
    return DecodeStatus::ok;
}

// Decodes until the window reaches round_end or the block's bits are used.
DecodeStatus Rar5Decoder::decode_symbols(size_t round_end)
{
    const uint64_t padded_end = (block_end_bit_ + 7) & ~uint64_t{7};
    for (;;) {
        if (win_.pos() >= round_end)
            return DecodeStatus::ok;
        if (in_.low())
            in_.refill();
        // Far from the block's end and from the end of buffered input no
        // symbol can cross either: no checks per symbol there. 16 bytes hold
        // the longest symbol (a filter record, 76 bits; a match, 88).
        const uint64_t block_end_byte = block_end_bit_ >> 3;
        const uint64_t fast_end = std::min(in_.fast_end(), block_end_byte > 16 ? block_end_byte - 16 : 0);
        if (in_.byte_offset() < fast_end) {
            do {
                const DecodeStatus s = symbol();
                if (s != DecodeStatus::ok)
                    return s;
            } while (win_.pos() < round_end && in_.byte_offset() < fast_end);
            continue;
        }
        if (in_.bit_position() >= block_end_bit_)
            return DecodeStatus::ok;
        const DecodeStatus s = symbol();
        if (in_.overrun())
            return DecodeStatus::truncated;
        if (s != DecodeStatus::ok)
            return s;
        // A symbol may use the spare bits of the block's last byte, not more.
        if (in_.bit_position() > padded_end)
            return DecodeStatus::data_error;
    }
}

void Rar5Decoder::run_filter(const filter& f)
{
    uint8_t* const b = filter_buf_.data();
    const uint32_t size = f.size;
    switch (f.type) {
    case filter_delta: {
        // Channel c holds bytes c, c + n, c + 2n, ... stored one channel
        // after the other as differences.
        filter_out_.resize(size);
        size_t src = 0;
        for (unsigned c = 0; c < f.channels; ++c) {
            uint8_t prev = 0;
            for (size_t i = c; i < size; i += f.channels) {
                prev = static_cast<uint8_t>(prev - b[src++]);
                filter_out_[i] = prev;
            }
        }
        return;
    }
    case filter_e8:
    case filter_e8e9: {
        // x86 CALL (E8) and JMP (E9) operands were made absolute within a
        // 16 MiB file window; make them relative again.
        constexpr uint32_t file_size = 1u << 24;
        const bool e9 = f.type == filter_e8e9;
        for (uint32_t i = 0; i + 4 < size;) {
            const uint8_t op = b[i++];
            if (op != 0xE8 && !(e9 && op == 0xE9))
                continue;
            const uint32_t offset = static_cast<uint32_t>((f.start + i) & (file_size - 1));
            const uint32_t addr = load_le32(b + i);
            if (addr & 0x80000000u) {
                if (((addr + offset) & 0x80000000u) == 0)
                    store_le32(b + i, addr + file_size);
            } else if ((addr - file_size) & 0x80000000u) {
                store_le32(b + i, addr - offset);
            }
            i += 4;
        }
        return;
    }
    case filter_arm: {
        // ARM BL instructions (top byte EB) carry a word offset made
        // absolute; subtract the instruction's word position.
        for (uint32_t i = 0; i + 3 < size; i += 4) {
            if (b[i + 3] != 0xEB)
                continue;
            uint32_t offset = load_le32(b + i) & 0x00FFFFFF;
            offset -= static_cast<uint32_t>((f.start + i) / 4);
            store_le32(b + i, (offset & 0x00FFFFFF) | 0xEB000000u);
        }
        return;
    }
    default:
        return;
    }
}

// To the sink in pieces of at most 1 MiB (a filter block may be 4 MiB), never
// past the entry's size.
DecodeStatus Rar5Decoder::write_out(ByteSink& out, std::span<const uint8_t> data)
{
    constexpr size_t max_piece = 1u << 20;
    const bool over = out_size_ != unknown_size && data.size() > out_size_ - written_;
    if (over)
        data = data.first(static_cast<size_t>(out_size_ - written_));
    while (!data.empty()) {
        const size_t n = std::min(data.size(), max_piece);
        if (!out.write(data.first(n)))
            return DecodeStatus::stopped;
        written_ += n;
        data = data.subspan(n);
    }
    return over ? DecodeStatus::output_limit : DecodeStatus::ok;
}

// Hands window bytes (the entry's bytes from emitted_ on) to the sink, or to
// the filter whose range they fall in.
DecodeStatus Rar5Decoder::emit(ByteSink& out, std::span<const uint8_t> data)
{
    while (!data.empty()) {
        if (filter_active_) {
            const filter f = filters_.front();
            const size_t take = std::min<size_t>(data.size(), f.size - filter_fill_);
            std::memcpy(filter_buf_.data() + filter_fill_, data.data(), take);
            filter_fill_ += take;
            emitted_ += take;
            data = data.subspan(take);
            if (filter_fill_ < f.size)
                continue;
            filters_.pop_front();
            filter_active_ = false;
            run_filter(f);
            ++stats_.filters[f.type];
            const uint8_t* result = f.type == filter_delta ? filter_out_.data() : filter_buf_.data();
            const DecodeStatus s = write_out(out, std::span<const uint8_t>(result, f.size));
            if (s != DecodeStatus::ok)
                return s;
            continue;
        }
        if (!filters_.empty() && filters_.front().start < emitted_ + data.size()) {
            const size_t direct = static_cast<size_t>(filters_.front().start - emitted_);
            const DecodeStatus s = write_out(out, data.first(direct));
            if (s != DecodeStatus::ok)
                return s;
            emitted_ += direct;
            data = data.subspan(direct);
            filter_buf_.resize(filters_.front().size);
            filter_fill_ = 0;
            filter_active_ = true;
            continue;
        }
        emitted_ += data.size();
        return write_out(out, data);
    }
    return DecodeStatus::ok;
}

DecodeStatus Rar5Decoder::run(ByteSink& out)
{
    DecodeStatus s = read_block_header();
    if (s != DecodeStatus::ok)
        return s;
    bool finished = false;
    while (!finished) {
        round_start_ = win_.pos();
        const size_t round_end = std::min(win_.size(), round_start_ + flush_step);
        while (win_.pos() < round_end) {
            s = decode_symbols(round_end);
            if (s != DecodeStatus::ok)
                return s;
            if (in_.bit_position() >= block_end_bit_) {
                if (last_block_) {
                    finished = true;
                    break;
                }
                s = read_block_header();
                if (s != DecodeStatus::ok)
                    return s;
            }
        }
        decoded_ += win_.pos() - round_start_;
        s = emit(out, win_.pending());
        if (s != DecodeStatus::ok)
            return s;
        win_.mark_flushed();
        win_.wrap();
    }
    // A filter still collecting its bytes ran past the end of the stream.
    if (filter_active_)
        return DecodeStatus::data_error;
    if (out_size_ != unknown_size && written_ != out_size_)
        return DecodeStatus::data_error;
    return DecodeStatus::ok;
}

DecodeStatus Rar5Decoder::decode(ByteSource& in, ByteSink& out, uint64_t out_size, bool solid_continue)
{
    if (solid_continue && !ready_)
        return DecodeStatus::data_error;
    ready_ = false;
    if (dictionary_ > max_dictionary)
        return DecodeStatus::unsupported;
    // A solid entry that declares a smaller dictionary still reaches as far
    // as the entries before it could.
    dictionary_limit_ = solid_continue ? std::max(dictionary_limit_, dictionary_) : dictionary_;

    // The window needs no more history than the entry (and, when solid, the
    // entries before it) can fill.
    const uint64_t limit = dictionary_limit_;
    uint64_t history = limit;
    if (out_size != unknown_size) {
        const uint64_t before = solid_continue ? win_.max_distance() : 0;
        history = std::min(limit, before + std::min<uint64_t>(out_size, limit));
        // Grown windows at least double, so that a run of ever larger
        // entries does not allocate (and fault in) a new one each time.
        if (history > win_.capacity())
            history = std::max<uint64_t>(history, std::min<uint64_t>(limit, 2 * uint64_t{win_.capacity()}));
    }
    if (!win_.prepare(static_cast<size_t>(history), solid_continue) || !in_.start(in))
        return DecodeStatus::no_memory;
    if (!solid_continue) {
        reps_.fill(0);
        last_len_ = 0;
        tables_ready_ = false;
    }
    stats_ = {};
    out_size_ = out_size;
    decoded_ = emitted_ = written_ = 0;
    filters_.clear();
    filter_end_ = 0;
    filter_fill_ = 0;
    filter_active_ = false;
    next_header_ = 0;
    block_end_bit_ = 0;
    last_block_ = false;

    if (in_.at_end()) {
        // An empty entry has no stream at all.
        ready_ = out_size == 0;
        return ready_ ? DecodeStatus::ok : DecodeStatus::truncated;
    }
    const DecodeStatus s = run(out);
    ready_ = s == DecodeStatus::ok;
    return s;
}

} // namespace velmora

// RAR 2.9-4.x decoder: block headers, the LZ and PPMd block decoders, the
// filter records and the output path through the filters.
//
// Stream layout (RAR technote; libarchive's and The Unarchiver's readers):
// every block starts on a byte boundary with one bit for PPMd (1) or LZ (0).
//   LZ:   keep-old-lengths bit, 20 precode lengths (4 bits; 15 then a 4-bit
//         count n>0 means n+2 zeros), then 404 code lengths through the
//         precode: 0-15 add to the old length mod 16, 16/17 repeat the last
//         length 3+3 bits / 11+7 bits times, 18/19 the same for zeros.
//         Main symbols: 0-255 literal, 256 end of block, 257 filter, 258
//         repeat the last match, 259-262 old distance 0-3 with a new length,
//         263-270 length 2 at a short distance, 271-298 a length slot
//         followed by a distance symbol.
//   PPMd: 7 flag bits (0x20: new model, with a memory size byte; 0x40: new
//         escape byte; 0x1F: order), then the range coder. The escape
//         symbol introduces 0 new block, 2 end of entry, 3 filter,
//         4 match (3 distance bytes, 1 length byte), 5 run of the last byte.
// A filter record names a program (by number; new programs carry their
// bytecode), the block it applies to, and the VM registers it starts with.
#include "codecs/Rar3Decoder.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace velmora {

namespace {

constexpr uint8_t length_bases[28] = {0,  1,  2,  3,  4,  5,  6,  7,  8,   10,  12,  14,  16,  20,
                                      24, 28, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224};
constexpr uint8_t length_bits[28] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};

constexpr uint8_t dist_bits[60] = {0,  0,  0,  0,  1,  1,  2,  2,  3,  3,  4,  4,  5,  5,  6,  6,  7,  7,  8,  8,
                                   9,  9,  10, 10, 11, 11, 12, 12, 13, 13, 14, 14, 15, 15, 16, 16, 16, 16, 16, 16,
                                   16, 16, 16, 16, 16, 16, 16, 16, 18, 18, 18, 18, 18, 18, 18, 18, 18, 18, 18, 18};

// Each distance slot starts where the one before ends.
constexpr std::array<uint32_t, 60> make_dist_bases()
{
    std::array<uint32_t, 60> b{};
    for (unsigned i = 1; i < 60; ++i)
        b[i] = b[i - 1] + (1u << dist_bits[i - 1]);
    return b;
}
constexpr std::array<uint32_t, 60> dist_bases = make_dist_bases();
static_assert(dist_bases[59] + (1u << dist_bits[59]) == 1u << 22, "the last slot ends at the 4 MiB window");

// Distance slots from 10 on send their low 4 bits through the low-distance code.
constexpr unsigned first_low_dist_slot = 10;
constexpr unsigned low_dist_bits = 4;
constexpr unsigned low_dist_repeat = 16; // low-distance symbol: the last low bits, 16 times
static_assert(dist_bits[first_low_dist_slot] == low_dist_bits);

constexpr uint8_t short_bases[8] = {0, 4, 8, 16, 32, 64, 128, 192};
constexpr uint8_t short_bits[8] = {2, 2, 3, 4, 5, 6, 6, 6};

// Symbols of the main code.
constexpr int sym_end_of_block = 256;
constexpr int sym_filter = 257;
constexpr int sym_repeat_last = 258;
constexpr int sym_old_dist = 259;
constexpr int sym_short_dist = 263;
constexpr int sym_length = 271;

// PPMd escape codes.
constexpr int ppm_new_block = 0;
constexpr int ppm_end_of_entry = 2;
constexpr int ppm_filter = 3;
constexpr int ppm_match = 4;
constexpr int ppm_run = 5;

constexpr unsigned precode_symbols = 20;
constexpr unsigned max_filter_programs = 1024;
constexpr size_t max_pending_filters = 8192;
constexpr uint32_t vm_global_user_size = 0x2000 - 0x40; // user part of the VM's global data
constexpr uint32_t vm_code_size_limit = 0x10000;

// MSB-first reader over a filter record's bytes; reading past the end is
// remembered and yields zeros.
class record_reader {
public:
    record_reader(const uint8_t* data, uint32_t size) : data_(data), size_bits_(uint64_t{size} * 8) {}
    uint32_t bits(unsigned n)
    {
        uint32_t v = 0;
        for (unsigned i = 0; i < n; ++i) {
            unsigned b = 0;
            if (pos_ < size_bits_)
                b = (data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1;
            else
                past_end_ = true;
            ++pos_;
            v = (v << 1) | b;
        }
        return v;
    }
    // The VM's variable-length numbers: 2 bits choose 4, 8, 16 or 32 bits;
    // an 8-bit value below 16 is the high part of a negative number.
    uint32_t number()
    {
        switch (bits(2)) {
        case 0:
            return bits(4);
        case 1: {
            const uint32_t v = bits(8);
            if (v >= 16)
                return v;
            return 0xFFFFFF00u | (v << 4) | bits(4);
        }
        case 2:
            return bits(16);
        default:
            return bits(32);
        }
    }
    bool past_end() const { return past_end_; }

private:
    const uint8_t* data_;
    uint64_t size_bits_;
    uint64_t pos_ = 0;
    bool past_end_ = false;
};

} // namespace

Rar3Decoder::Rar3Decoder() : rc_(in_) {}
Rar3Decoder::~Rar3Decoder() = default;

void Rar3Decoder::reset_stream()
{
    pos_ = written_ = 0;
    lz_mode_ = true;
    tables_ok_ = false;
    need_tables_ = true;
    old_lengths_.fill(0);
    old_dist_.fill(0);
    last_length_ = 0;
    prev_low_dist_ = low_dist_repeats_ = 0;
    ppm_ok_ = false;
    ppm_escape_ = 2;
    programs_.clear();
    pending_.clear();
    last_program_ = 0;
}

DecodeStatus Rar3Decoder::fail(DecodeStatus s)
{
    solid_ok_ = false;
    return s;
}

DecodeStatus Rar3Decoder::decode(ByteSource& in, ByteSink& out, uint64_t out_size, bool solid_continue)
{
    status_ = DecodeStatus::ok;
    out_ = &out;
    if (!solid_continue)
        reset_stream();
    else if (!solid_ok_)
        return DecodeStatus::data_error;
    solid_ok_ = false;

    if (!window_) {
        window_.reset(new (std::nothrow) window_byte[window_size]);
        if (!window_)
            return DecodeStatus::no_memory;
    }
    if (!vm_memory_) {
        vm_memory_.reset(new (std::nothrow) uint8_t[rar3_vm_memory_size + 4]);
        if (!vm_memory_)
            return DecodeStatus::no_memory;
    }
    if (!in_.reset(in))
        return DecodeStatus::no_memory;

    // Whatever the entry before decoded past its end is not part of this
    // one, nor are filters that start there.
    written_ = pos_;
    while (!pending_.empty() && pending_.front().start < pos_)
        pending_.pop_front();
    entry_start_ = pos_;
    entry_end_ = pos_ + out_size;
    file_end_ = false;

    // Empty entries of solid archives have no packed data at all.
    if (out_size == 0) {
        in_.ensure();
        if (in_.exhausted()) {
            solid_ok_ = true;
            return DecodeStatus::ok;
        }
    }

    if (!solid_continue || need_tables_) {
        if (!read_tables())
            return fail(status_);
    }

    while (written_ < entry_end_ && !file_end_) {
        // Output goes out in whole chunks of the stream (never across the
        // window's end), and a filter block that runs past the chunk (or past
        // the entry's end) is decoded whole.
        const uint64_t limit = std::min((written_ / flush_chunk + 1) * flush_chunk, entry_end_);
        uint64_t target = limit;
        if (!pending_.empty()) {
            const pending_filter& f = pending_.front();
            if (f.start < target && f.start + f.length > target)
                target = f.start + f.length;
        }
        const uint64_t pos_before = pos_, written_before = written_;
        const step r = decode_to(target);
        if (r == step::error)
            return fail(status_);
        if (r == step::file_end)
            file_end_ = true;
        if (!flush(file_end_ ? entry_end_ : limit))
            return fail(status_);
        if (pos_ == pos_before && written_ == written_before && !file_end_)
            return fail(DecodeStatus::data_error);
    }
    if (in_.overrun())
        return fail(DecodeStatus::truncated);
    if (written_ < entry_end_)
        return fail(DecodeStatus::data_error); // the entry's end mark came early

    if (!file_end_ && !try_read_end_mark())
        return DecodeStatus::ok; // the output is whole; only a following solid entry is lost
    if (!lz_mode_)
        need_tables_ = true; // a PPMd block cannot go on in the next entry's data
    solid_ok_ = true;
    return DecodeStatus::ok;
}

// After the entry's last byte the stream normally holds its end mark, which
// also tells whether the next solid entry starts with new tables. Returns
// false when reading it left the stream unusable for a following entry.
bool Rar3Decoder::try_read_end_mark()
{
    for (int blocks = 0; blocks < 4; ++blocks) {
        if (lz_mode_) {
            if (in_.bits_left() == 0 || !in_.ensure() || !tables_ok_)
                return true;
            const int sym = main_code_.decode(in_);
            if (sym != sym_end_of_block || in_.bits_left() < 1)
                return true; // no mark: whatever follows is not this entry's
            if (in_.bits(1) != 0) {
                if (!read_tables())
                    return false;
                continue;
            }
            const bool new_tables = in_.bits(1) != 0;
            if (!in_.overrun()) {
                need_tables_ = new_tables;
                file_end_ = true;
            }
            return true;
        }
        const int c = ppm_.decode_symbol(rc_);
        const int c2 = c == ppm_escape_ ? ppm_.decode_symbol(rc_) : -1;
        if (c < 0 || c2 < 0 || in_.overrun()) {
            ppm_ok_ = false;
            return true;
        }
        if (c2 == ppm_new_block) {
            if (!read_tables())
                return false;
            continue;
        }
        file_end_ = c2 == ppm_end_of_entry;
        if (!file_end_)
            ppm_ok_ = false; // the model took a symbol of a mark that was not there
        return true;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Block headers

bool Rar3Decoder::read_tables()
{
    if (!in_.ensure()) {
        status_ = DecodeStatus::truncated;
        return false;
    }
    in_.align_to_byte();
    if (in_.bits(1) != 0)
        return start_ppm_block();

    lz_mode_ = true;
    tables_ok_ = false;
    prev_low_dist_ = low_dist_repeats_ = 0;
    if (in_.bits(1) == 0)
        old_lengths_.fill(0);

    uint8_t pre_lengths[precode_symbols];
    for (unsigned i = 0; i < precode_symbols;) {
        const uint32_t len = in_.bits(4);
        if (len == 15) {
            const uint32_t zeros = in_.bits(4);
            if (zeros != 0) {
                for (uint32_t k = 0; k < zeros + 2 && i < precode_symbols; ++k)
                    pre_lengths[i++] = 0;
                continue;
            }
        }
        pre_lengths[i++] = static_cast<uint8_t>(len);
    }
    Rar3Huffman precode;
    if (!precode.build(pre_lengths, precode_symbols, 8)) {
        status_ = DecodeStatus::data_error;
        return false;
    }

    std::array<uint8_t, table_symbols> lens;
    for (unsigned i = 0; i < table_symbols;) {
        if (!in_.ensure()) {
            status_ = DecodeStatus::truncated;
            return false;
        }
        const int sym = precode.decode(in_);
        if (sym < 0) {
            status_ = DecodeStatus::data_error;
            return false;
        }
        if (sym < 16) {
            lens[i] = static_cast<uint8_t>((old_lengths_[i] + sym) & 0x0F);
            ++i;
            continue;
        }
        const uint32_t n = (sym & 1) == 0 ? in_.bits(3) + 3 : in_.bits(7) + 11;
        uint8_t v = 0;
        if (sym < 18) {
            if (i == 0) {
                status_ = DecodeStatus::data_error;
                return false;
            }
            v = lens[i - 1];
        }
        for (uint32_t k = 0; k < n && i < table_symbols; ++k)
            lens[i++] = v;
    }
    if (in_.overrun()) {
        status_ = DecodeStatus::truncated;
        return false;
    }
    const uint8_t* l = lens.data();
    if (!main_code_.build(l, main_symbols, 10) || !dist_code_.build(l + main_symbols, dist_symbols, 8) ||
        !low_dist_code_.build(l + main_symbols + dist_symbols, low_dist_symbols, 7) ||
        !length_code_.build(l + main_symbols + dist_symbols + low_dist_symbols, length_symbols, 8)) {
        status_ = DecodeStatus::data_error;
        return false;
    }
    old_lengths_ = lens;
    tables_ok_ = true;
    return true;
}

bool Rar3Decoder::start_ppm_block()
{
    const uint32_t flags = in_.bits(7);
    uint32_t max_mb = 0;
    if (flags & 0x20)
        max_mb = in_.bits(8);
    if (flags & 0x40)
        ppm_escape_ = static_cast<int>(in_.bits(8));
    lz_mode_ = false;
    if (flags & 0x20) {
        // Orders 2-16 as given, then 16 + 3 per step up to 64.
        unsigned order = (flags & 0x1F) + 1;
        if (order > 16)
            order = 16 + (order - 16) * 3;
        ppm_ok_ = false;
        if (order == 1) {
            status_ = DecodeStatus::data_error;
            return false;
        }
        const uint32_t memory = (max_mb + 1) << 20;
        if (memory > ppm_memory_limit_ || !ppm_.allocate(memory)) {
            status_ = DecodeStatus::no_memory;
            return false;
        }
        rc_.init();
        ppm_.init(order);
        ppm_ok_ = true;
    } else {
        if (!ppm_ok_) {
            status_ = DecodeStatus::data_error;
            return false;
        }
        rc_.init();
    }
    if (in_.overrun()) {
        status_ = DecodeStatus::truncated;
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Decoding

Rar3Decoder::step Rar3Decoder::decode_to(uint64_t target)
{
    while (pos_ < target) {
        const step r = lz_mode_ ? decode_lz(target) : decode_ppm(target);
        if (r != step::ok)
            return r;
    }
    return step::ok;
}

Rar3Decoder::step Rar3Decoder::decode_lz(uint64_t target)
{
    if (!tables_ok_) {
        status_ = DecodeStatus::data_error;
        return step::error;
    }
    while (pos_ < target) {
        if (!in_.ensure()) {
            status_ = DecodeStatus::truncated;
            return step::error;
        }
        const int sym = main_code_.decode(in_);
        if (sym < 256) {
            if (sym < 0)
                break;
            put_byte(static_cast<uint8_t>(sym));
            continue;
        }
        uint32_t dist = 0, len = 0;
        if (sym >= sym_length) {
            const unsigned k = static_cast<unsigned>(sym - sym_length);
            len = length_bases[k] + 3 + in_.bits(length_bits[k]);
            const int ds = dist_code_.decode(in_);
            if (ds < 0)
                break;
            const unsigned nb = dist_bits[ds];
            dist = dist_bases[ds] + 1;
            if (static_cast<unsigned>(ds) >= first_low_dist_slot) {
                dist += in_.bits(nb - low_dist_bits) << low_dist_bits;
                if (low_dist_repeats_ > 0) {
                    --low_dist_repeats_;
                    dist += prev_low_dist_;
                } else {
                    const int low = low_dist_code_.decode(in_);
                    if (low < 0)
                        break;
                    if (static_cast<unsigned>(low) == low_dist_repeat) {
                        low_dist_repeats_ = low_dist_repeat - 1;
                        dist += prev_low_dist_;
                    } else {
                        dist += static_cast<uint32_t>(low);
                        prev_low_dist_ = static_cast<uint32_t>(low);
                    }
                }
            } else {
                dist += in_.bits(nb);
            }
            // Long distances pay for themselves only with longer matches.
            if (dist >= 0x2000) {
                ++len;
                if (dist >= 0x40000)
                    ++len;
            }
            old_dist_ = {dist, old_dist_[0], old_dist_[1], old_dist_[2]};
        } else if (sym >= sym_short_dist) {
            const unsigned k = static_cast<unsigned>(sym - sym_short_dist);
            dist = short_bases[k] + 1 + in_.bits(short_bits[k]);
            len = 2;
            old_dist_ = {dist, old_dist_[0], old_dist_[1], old_dist_[2]};
        } else if (sym >= sym_old_dist) {
            const unsigned idx = static_cast<unsigned>(sym - sym_old_dist);
            dist = old_dist_[idx];
            for (unsigned i = idx; i > 0; --i)
                old_dist_[i] = old_dist_[i - 1];
            old_dist_[0] = dist;
            const int ls = length_code_.decode(in_);
            if (ls < 0)
                break;
            len = length_bases[ls] + 2 + in_.bits(length_bits[ls]);
        } else if (sym == sym_repeat_last) {
            if (last_length_ == 0)
                continue; // nothing to repeat yet: the symbol does nothing
            dist = old_dist_[0];
            len = last_length_;
        } else if (sym == sym_filter) {
            if (!read_filter_lz())
                return step::error;
            continue;
        } else { // sym_end_of_block
            if (in_.bits(1) != 0) {
                if (!read_tables())
                    return step::error;
                if (!lz_mode_)
                    return step::ok;
                continue;
            }
            need_tables_ = in_.bits(1) != 0;
            if (in_.overrun())
                break;
            return step::file_end;
        }
        last_length_ = len;
        if (!copy_match(dist, len)) {
            status_ = DecodeStatus::data_error;
            return step::error;
        }
    }
    // The last symbol may have been read from past the end of the input.
    if (pos_ >= target && !in_.overrun())
        return step::ok;
    // Else a bit pattern that is no codeword of the current tables.
    status_ = in_.overrun() ? DecodeStatus::truncated : DecodeStatus::data_error;
    return step::error;
}

Rar3Decoder::step Rar3Decoder::decode_ppm(uint64_t target)
{
    const auto bad = [this](DecodeStatus s) {
        ppm_ok_ = false;
        status_ = in_.overrun() ? DecodeStatus::truncated : s;
        return step::error;
    };
    while (pos_ < target) {
        const int c = ppm_.decode_symbol(rc_);
        if (c < 0)
            return bad(DecodeStatus::data_error);
        if (c != ppm_escape_) {
            put_byte(static_cast<uint8_t>(c));
            continue;
        }
        const int code = ppm_.decode_symbol(rc_);
        switch (code) {
        case Ppmd7Model::data_error:
            return bad(DecodeStatus::data_error);
        case Ppmd7Model::end_mark:
        case ppm_end_of_entry:
            if (in_.overrun())
                return bad(DecodeStatus::truncated);
            need_tables_ = true;
            return step::file_end;
        case ppm_new_block:
            if (!read_tables())
                return step::error;
            return step::ok;
        case ppm_filter:
            if (!read_filter_ppm())
                return step::error;
            break;
        case ppm_match: {
            uint32_t dist = 0;
            for (int i = 0; i < 3; ++i) {
                const int b = ppm_.decode_symbol(rc_);
                if (b < 0)
                    return bad(DecodeStatus::data_error);
                dist = (dist << 8) | static_cast<uint32_t>(b);
            }
            const int len = ppm_.decode_symbol(rc_);
            if (len < 0)
                return bad(DecodeStatus::data_error);
            if (!copy_match(dist + 2, static_cast<uint32_t>(len) + 32))
                return bad(DecodeStatus::data_error);
            break;
        }
        case ppm_run: {
            const int len = ppm_.decode_symbol(rc_);
            if (len < 0)
                return bad(DecodeStatus::data_error);
            if (!copy_match(1, static_cast<uint32_t>(len) + 4))
                return bad(DecodeStatus::data_error);
            break;
        }
        default:
            // Escape then 1 stands for the escape byte itself.
            put_byte(static_cast<uint8_t>(c));
            break;
        }
        if (in_.overrun())
            return bad(DecodeStatus::truncated);
    }
    if (in_.overrun())
        return bad(DecodeStatus::truncated);
    return step::ok;
}

namespace {

// The last 0-7 bytes of a match whose source is at least 8 bytes back (or
// ahead, wrapped): two overlapping loads, then the stores, so no library
// call for the short matches that are most of them.
template <typename Byte>
void copy_tail(Byte* d, const Byte* s, uint32_t n)
{
    if (n >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, s, 4);
        std::memcpy(&tail, s + n - 4, 4);
        std::memcpy(d, &head, 4);
        std::memcpy(d + n - 4, &tail, 4);
    } else if (n >= 2) {
        uint16_t head, tail;
        std::memcpy(&head, s, 2);
        std::memcpy(&tail, s + n - 2, 2);
        std::memcpy(d, &head, 2);
        std::memcpy(d + n - 2, &tail, 2);
    } else if (n == 1) {
        *d = *s;
    }
}

} // namespace

bool Rar3Decoder::copy_match(uint32_t distance, uint32_t length)
{
    // Only bytes decoded since the stream began can be copied (and at most a window back).
    if (distance == 0 || distance > pos_)
        return false;
    const uint32_t dst = static_cast<uint32_t>(pos_) & window_mask;
    const uint32_t src = static_cast<uint32_t>(pos_ - distance) & window_mask;
    pos_ += length;
    if (distance == window_size)
        return true; // each byte is copied onto itself
    window_byte* w = window_.get();
    if (dst + length <= window_size && src + length <= window_size) {
        window_byte* d = w + dst;
        const window_byte* s = w + src;
        if (distance >= 8) {
            // Eight bytes at a time: a source at least 8 back is complete
            // before it is read, and one ahead (wrapped) is old data; so is
            // the last piece of under 8.
            for (; length >= 8; length -= 8, d += 8, s += 8)
                std::memmove(d, s, 8);
            copy_tail(d, s, length);
            return true;
        }
        if (distance == 1) {
            std::memset(d, static_cast<uint8_t>(*s), length); // a run of one byte
            return true;
        }
        for (; length > 0; --length)
            *d++ = *s++;
        return true;
    }
    for (uint32_t i = 0; i < length; ++i)
        w[(dst + i) & window_mask] = w[(src + i) & window_mask];
    return true;
}

// ---------------------------------------------------------------------------
// Filters

bool Rar3Decoder::read_filter_lz()
{
    if (!in_.ensure()) {
        status_ = DecodeStatus::truncated;
        return false;
    }
    const unsigned flags = in_.bits(8);
    uint32_t size = (flags & 7) + 1;
    if (size == 7)
        size = in_.bits(8) + 7;
    else if (size == 8)
        size = in_.bits(16);
    std::vector<uint8_t> data(size);
    for (uint32_t i = 0; i < size; ++i) {
        if (!in_.ensure()) {
            status_ = DecodeStatus::truncated;
            return false;
        }
        data[i] = static_cast<uint8_t>(in_.bits(8));
    }
    if (in_.overrun()) {
        status_ = DecodeStatus::truncated;
        return false;
    }
    return parse_filter(data.data(), size, flags);
}

bool Rar3Decoder::read_filter_ppm()
{
    const auto next = [this](uint32_t& v) {
        const int c = ppm_.decode_symbol(rc_);
        if (c < 0 || in_.overrun()) {
            ppm_ok_ = false;
            status_ = in_.overrun() ? DecodeStatus::truncated : DecodeStatus::data_error;
            return false;
        }
        v = static_cast<uint32_t>(c);
        return true;
    };
    uint32_t flags = 0, size = 0, b = 0;
    if (!next(flags))
        return false;
    size = (flags & 7) + 1;
    if (size == 7) {
        if (!next(b))
            return false;
        size = b + 7;
    } else if (size == 8) {
        uint32_t lo = 0;
        if (!next(b) || !next(lo))
            return false;
        size = (b << 8) | lo;
    }
    std::vector<uint8_t> data(size);
    for (uint32_t i = 0; i < size; ++i) {
        if (!next(b))
            return false;
        data[i] = static_cast<uint8_t>(b);
    }
    return parse_filter(data.data(), size, flags);
}

bool Rar3Decoder::parse_filter(const uint8_t* data, uint32_t size, unsigned flags)
{
    const auto bad = [this]() {
        status_ = DecodeStatus::data_error;
        return false;
    };
    record_reader r(data, size);

    // 0x80: a program number follows (0: forget all programs and pending
    // filters, n: program n-1); else the last program again.
    uint32_t index = last_program_;
    if (flags & 0x80) {
        const uint32_t num = r.number();
        if (num == 0) {
            programs_.clear();
            pending_.clear();
            index = 0;
        } else {
            index = num - 1;
        }
    }
    if (index > programs_.size() || index >= max_filter_programs)
        return bad();
    last_program_ = index;
    const bool is_new = index == programs_.size();
    if (is_new)
        programs_.emplace_back();
    else
        ++programs_[index].exec_count;
    filter_program& prog = programs_[index];

    // 0x40: the block starts 258 bytes later than the number says; 0x20: a block length follows.
    uint64_t start = pos_ + r.number();
    if (flags & 0x40)
        start += 258;
    if (flags & 0x20)
        prog.last_length = r.number();
    const uint32_t length = prog.last_length;

    // Initial registers: R3 global data address, R4 block length, R5 run count;
    // 0x10: a 7-bit mask of registers given in the record.
    uint32_t regs[7] = {0, 0, 0, rar3_vm_work_size, length, prog.exec_count, 0};
    if (flags & 0x10) {
        const uint32_t mask = r.bits(7);
        for (unsigned i = 0; i < 7; ++i)
            if (mask & (1u << i))
                regs[i] = r.number();
    }

    if (is_new) {
        const uint32_t code_size = r.number();
        if (code_size == 0 || code_size >= vm_code_size_limit)
            return bad();
        std::vector<uint8_t> code(code_size);
        uint8_t xor_sum = 0;
        for (uint32_t i = 0; i < code_size; ++i) {
            code[i] = static_cast<uint8_t>(r.bits(8));
            xor_sum ^= code[i];
        }
        // The first byte makes the XOR of the whole bytecode zero.
        if (xor_sum != 0 || r.past_end())
            return bad();
        prog.kind = rar3_identify_filter(code);
    }

    // 0x08: user global data for the program; the standard filters take none.
    if (flags & 0x08) {
        const uint32_t data_size = r.number();
        if (data_size > vm_global_user_size)
            return bad();
        for (uint32_t i = 0; i < data_size; ++i)
            r.bits(8);
    }
    if (r.past_end())
        return bad();

    if (prog.kind == Rar3FilterKind::unknown) {
        status_ = DecodeStatus::unsupported;
        return false;
    }
    // The filters work on R4 bytes and hand on the block's length; WinRAR
    // keeps the two equal.
    if (regs[4] != length || length >= rar3_vm_work_size)
        return bad();
    if ((!pending_.empty() && start < pending_.back().start) || pending_.size() >= max_pending_filters)
        return bad();
    pending_.push_back({start, length, prog.kind, regs[0], regs[1]});
    return true;
}

// ---------------------------------------------------------------------------
// Output

bool Rar3Decoder::emit(std::span<const uint8_t> bytes, uint64_t stream_pos)
{
    if (stream_pos >= entry_end_)
        return true;
    const uint64_t n = std::min<uint64_t>(bytes.size(), entry_end_ - stream_pos);
    if (n > 0 && !out_->write(bytes.first(static_cast<size_t>(n)))) {
        status_ = DecodeStatus::stopped;
        return false;
    }
    return true;
}

bool Rar3Decoder::emit_window(uint64_t from, uint64_t to)
{
    while (from < to) {
        const uint32_t at = static_cast<uint32_t>(from) & window_mask;
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(to - from, window_size - at));
        if (!emit({window_bytes() + at, n}, from))
            return false;
        from += n;
    }
    written_ = to;
    return true;
}

// Hands on what is decoded below `limit`, except a filter block that is not
// complete yet; a complete block goes through its filter (and any filters
// chained on the same block) first, and is handed on whole.
bool Rar3Decoder::flush(uint64_t limit)
{
    while (written_ < std::min(pos_, limit)) {
        const uint64_t end = std::min(pos_, limit);
        if (pending_.empty())
            return emit_window(written_, end);
        const pending_filter f = pending_.front();
        if (f.start > written_) {
            if (!emit_window(written_, std::min(f.start, end)))
                return false;
            continue;
        }
        if (f.start < written_) {
            status_ = DecodeStatus::data_error; // inside a block already written
            return false;
        }
        if (f.start + f.length > pos_)
            return true;

        uint8_t* mem = vm_memory_.get();
        const uint32_t at = static_cast<uint32_t>(f.start) & window_mask;
        const uint32_t first = std::min(f.length, window_size - at);
        std::memcpy(mem, window_bytes() + at, first);
        std::memcpy(mem + first, window_bytes(), f.length - first);
        // R6: the block's position in the entry.
        const uint32_t file_offset = static_cast<uint32_t>(f.start - entry_start_);
        int32_t out_at = rar3_run_filter(f.kind, mem, f.length, f.r0, f.r1, file_offset);
        pending_.pop_front();
        // Filters given for the same block and length run on the output of the one before.
        while (out_at >= 0 && !pending_.empty() && pending_.front().start == f.start &&
               pending_.front().length == f.length) {
            const pending_filter g = pending_.front();
            pending_.pop_front();
            if (out_at != 0)
                std::memmove(mem, mem + out_at, f.length);
            out_at = rar3_run_filter(g.kind, mem, g.length, g.r0, g.r1, file_offset);
        }
        if (out_at < 0) {
            status_ = DecodeStatus::data_error;
            return false;
        }
        if (!emit({mem + out_at, f.length}, f.start))
            return false;
        written_ = f.start + f.length;
    }
    return true;
}

} // namespace velmora

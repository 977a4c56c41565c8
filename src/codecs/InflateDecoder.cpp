// Streaming Inflate and Deflate64 (RFC 1951; Deflate64 as PKWARE's method 9).
// A fast loop in the manner of libdeflate (64-bit bit buffer refilled a word
// at a time, table entries that say how many bits to take, word-wise match
// copies) runs while its margins of input and output remain; an exact path
// takes one symbol at a time near the ends and reads the block headers.
// Output accumulates behind a 64 KiB window and goes to the sink every
// 256 KiB; the window slides to the front of the buffer every 1 MiB.
#include "codecs/InflateDecoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>

#include "archive/WindowServices.h"
#include "codecs/InflateTables.h"

namespace velmora {

using namespace inflate_tables;

namespace {

constexpr size_t in_buffer_size = size_t{128} << 10;
constexpr size_t window_size = max_distance;
// Output goes to the sink every 256 KiB, while it is still in the cache;
// the window slides to the front of the buffer every 1 MiB.
constexpr size_t flush_piece = size_t{256} << 10;
constexpr size_t out_buffer_size = window_size + 4 * flush_piece;
// In vector mode the output grows a slice at a time just ahead of the
// decoder, so std::vector's zero-fill lands in cache lines about to be
// written anyway; capacity grows geometrically.
constexpr size_t growth_slice = size_t{256} << 10;

constexpr uint32_t max_stored_len = 0xFFFF;
constexpr unsigned max_dist_bits = max_codeword_len + 14; // codeword + extra bits of codes 30/31
constexpr unsigned max_length_bits = max_codeword_len + 5;
constexpr unsigned refill_min_bits = 56; // a word refill leaves at least 56 bits

// Fast loop margins. At the top of an iteration at least 56 bits are
// buffered; an iteration takes at most four word refills (each reads 8 bytes
// and takes at most 7) and writes at most two literals and one match of 258
// bytes, which copy_match may overrun to 272 bytes.
constexpr size_t fast_input_margin = 40;
constexpr size_t fast_output_margin = 2 + 272;
static_assert(4 * 7 + 8 <= fast_input_margin);
static_assert(2 * litlen_table_bits + max_length_bits <= refill_min_bits, "two literals and a length fit in one refill");
static_assert(max_dist_bits + litlen_table_bits <= refill_min_bits, "a refill covers a distance and the next lookup");
static_assert(3 * litlen_table_bits + litlen_table_bits <= 64, "three literals leave the bits of the next lookup");
static_assert(2 * litlen_table_bits + max_length_bits + dist_table_bits <= 64,
              "two literals and a length leave the bits of a distance lookup");
static_assert(out_buffer_size >= window_size + 2 * (3 + 0xFFFF), "a slide leaves room for the longest Deflate64 match");
static_assert(in_buffer_size >= 1 + 4 + max_stored_len + 8, "a whole stored block fits in the input buffer");

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VELMORA_HAVE_BMI2_LOOP 1
bool cpu_has_bmi2()
{
    static const bool has = __builtin_cpu_supports("bmi2");
    return has;
}
#else
bool cpu_has_bmi2() { return false; }
#endif

uint64_t load_le64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// Copies a match of at most 258 bytes. May write up to 32 bytes, or the
// length rounded up to 16, whichever is more. Most matches are short, so the
// first 32 bytes go without a loop test.
[[gnu::always_inline]] inline void copy_match(uint8_t* out, size_t dist, size_t length)
{
    uint8_t* dst = out;
    const uint8_t* src = out - dist;
    uint8_t* const end = out + length;
    if (dist >= 16) [[likely]] {
        // Each 16-byte load lies wholly before the bytes it is copied to, or
        // reads bytes the previous store has already written.
        std::memcpy(dst, src, 16);
        std::memcpy(dst + 16, src + 16, 16);
        if (length <= 32) return;
        dst += 32;
        src += 32;
        do {
            std::memcpy(dst, src, 16);
            dst += 16;
            src += 16;
        } while (dst < end);
    } else if (dist >= 8) {
        std::memcpy(dst, src, 8);
        std::memcpy(dst + 8, src + 8, 8);
        std::memcpy(dst + 16, src + 16, 8);
        std::memcpy(dst + 24, src + 24, 8);
        if (length <= 32) return;
        dst += 32;
        src += 32;
        do {
            std::memcpy(dst, src, 8);
            dst += 8;
            src += 8;
        } while (dst < end);
    } else if (dist == 1) {
        const uint64_t v = 0x0101010101010101ull * *src; // the byte in every lane
        std::memcpy(dst, &v, 8);
        std::memcpy(dst + 8, &v, 8);
        std::memcpy(dst + 16, &v, 8);
        std::memcpy(dst + 24, &v, 8);
        if (length <= 32) return;
        dst += 32;
        do {
            std::memcpy(dst, &v, 8);
            dst += 8;
        } while (dst < end);
    } else {
        // Distances 2..7: a word from dist back, stepping by dist. Only the
        // first dist bytes of each store are right when it is made; the rest
        // are written again by the next store.
        do {
            uint64_t w;
            std::memcpy(&w, src, 8);
            std::memcpy(dst, &w, 8);
            src += dist;
            dst += dist;
        } while (dst < end);
    }
}

} // namespace

enum class InflateDecoder::step : uint8_t { go_on, end_of_block, failed, slow_symbol, margin, long_match };

struct InflateDecoder::dynamic_tables {
    std::array<uint32_t, litlen_capacity> litlen;
    std::array<uint32_t, dist_capacity> dist;
    std::array<uint32_t, 1u << precode_table_bits> precode;
};

InflateDecoder::InflateDecoder(bool deflate64, inflate_rules rules, WindowServices* window)
    : deflate64_(deflate64), rules_(rules), window_(window), bmi2_(cpu_has_bmi2()),
      tables_(std::make_unique_for_overwrite<dynamic_tables>())
{
}

InflateDecoder::~InflateDecoder() = default;

uint64_t InflateDecoder::total_in() const { return in_base_ + std::min<uint64_t>(in_size_, (pos_ + 7) >> 3); }

uint64_t InflateDecoder::total_out() const { return produced(); }

std::span<const uint8_t> InflateDecoder::unused_input() const
{
    const size_t used = static_cast<size_t>(std::min<uint64_t>(in_size_, (pos_ + 7) >> 3));
    return {in_ + used, in_size_ - used};
}

// ---------------------------------------------------------------------------
// Entry points

DecodeStatus InflateDecoder::decode(ByteSource& in, ByteSink& out, uint64_t out_limit, bool keep_window)
{
    try {
        if (!in_buf_) in_buf_ = std::make_unique_for_overwrite<uint8_t[]>(in_buffer_size);
        source_ = &in;
        in_ = in_buf_.get();
        in_size_ = 0;
        in_final_ = false;

        // The buffer holds the window and up to a flush's worth of output, or
        // just the whole output when that is less.
        const size_t history = keep_window ? std::min(history_, window_size) : 0;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(out_buffer_size, history + std::max<uint64_t>(out_limit, 4096)));
        if (out_buf_cap_ < want) {
            auto bigger = std::make_unique_for_overwrite<uint8_t[]>(want);
            if (history) std::memcpy(bigger.get(), out_buf_.get() + history_ - history, history);
            out_buf_ = std::move(bigger);
            out_buf_cap_ = want;
        } else if (history) {
            std::memmove(out_buf_.get(), out_buf_.get() + history_ - history, history);
        }
        sink_ = &out;
        out_vec_ = nullptr;
        out_ = out_buf_.get();
        out_cap_ = out_buf_cap_;
        out_pos_ = out_flushed_ = history;
        out_offset0_ = -static_cast<int64_t>(history);
        set_flush_point();
        return run(out_limit);
    } catch (const std::bad_alloc&) {
        history_ = 0;
        return DecodeStatus::no_memory;
    }
}

DecodeStatus InflateDecoder::decode(std::span<const uint8_t> in, std::vector<uint8_t>& out, uint64_t out_limit)
{
    source_ = nullptr;
    in_ = in.data();
    in_size_ = in.size();
    in_final_ = true;
    sink_ = nullptr;
    out_vec_ = &out;
    out.clear();
    out_ = out.data();
    out_cap_ = 0;
    out_pos_ = out_flushed_ = 0;
    out_offset0_ = 0;
    history_ = 0;
    try {
        // Room for a typical expansion to start with; more as output appears.
        out.reserve(static_cast<size_t>(std::min<uint64_t>(out_limit, uint64_t{in.size()} * 8 + 65536)));
        out_ = out.data();
        return run(out_limit);
    } catch (const std::bad_alloc&) {
        out.resize(out_pos_);
        return DecodeStatus::no_memory;
    }
}

void InflateDecoder::set_dictionary(std::span<const uint8_t> dictionary)
{
    const size_t n = std::min(dictionary.size(), window_size);
    try {
        if (out_buf_cap_ < out_buffer_size) {
            out_buf_ = std::make_unique_for_overwrite<uint8_t[]>(out_buffer_size);
            out_buf_cap_ = out_buffer_size;
        }
        std::memcpy(out_buf_.get(), dictionary.data() + dictionary.size() - n, n);
        history_ = n;
    } catch (const std::bad_alloc&) {
        history_ = 0; // the next decode reports the shortage itself
    }
}

// ---------------------------------------------------------------------------
// The stream

DecodeStatus InflateDecoder::run(uint64_t out_limit)
{
    pos_ = 0;
    demand_ = 0;
    in_base_ = 0;
    input_short_ = false;
    out_limit_ = out_limit;
    fault_ = inflate_fault::none;
    stored_length_mismatch_ = false;
    sink_stopped_ = false;
    set_output_stop();
    for (;;) {
        const uint32_t final_block = get_bits(1);
        const uint32_t type = get_bits(2);
        if (input_short_) return fail(inflate_fault::input_end, DecodeStatus::truncated);
        DecodeStatus s;
        if (type == 0) {
            s = stored_block();
        } else if (type == 3) {
            return fail(inflate_fault::block_type_3, DecodeStatus::data_error);
        } else {
            dist_sparse_ = false;
            if (type == 1) {
                const fixed_tables& f = get_fixed_tables();
                litlen_ = f.litlen.data();
                litlen_max_ = f.litlen_max;
                dist_ = f.dist.data();
                dist_max_ = f.dist_max;
            } else {
                const int r = read_dynamic_tables();
                if (input_short_) return fail(inflate_fault::input_end, DecodeStatus::truncated);
                if (r != 0) {
                    if (window_) window_->message_box("Error in tree creation (Static).", "Error", MessageIcon::information);
                    return fail(inflate_fault::bad_table, DecodeStatus::data_error);
                }
            }
            s = huffman_block();
        }
        if (s != DecodeStatus::ok) return s;
        if (final_block) return finish(DecodeStatus::ok);
    }
}

// Hands over what was produced: to the sink, or by trimming the vector.
DecodeStatus InflateDecoder::finish(DecodeStatus status)
{
    if (out_vec_) {
        out_vec_->resize(out_pos_);
        history_ = 0;
        return status;
    }
    history_ = out_pos_;
    if (sink_stopped_ || !flush_output()) return DecodeStatus::stopped;
    return status;
}

DecodeStatus InflateDecoder::fail(inflate_fault fault, DecodeStatus status)
{
    fault_ = fault;
    return finish(status);
}

// ---------------------------------------------------------------------------
// Input and the exact bit reader

void InflateDecoder::refill_input()
{
    if (in_final_) return;
    // Keep the byte holding the next bit and everything after it.
    const size_t drop = static_cast<size_t>(std::min<uint64_t>(pos_ >> 3, in_size_));
    uint8_t* buf = in_buf_.get();
    std::memmove(buf, buf + drop, in_size_ - drop);
    in_size_ -= drop;
    in_base_ += drop;
    pos_ -= uint64_t{drop} * 8;
    demand_ -= std::min<uint64_t>(demand_, uint64_t{drop} * 8);
    while (in_size_ < in_buffer_size) {
        const size_t n = source_->read({buf + in_size_, in_buffer_size - in_size_});
        if (n == 0) {
            in_final_ = true;
            break;
        }
        in_size_ += std::min(n, in_buffer_size - in_size_);
    }
}

// At least `bytes` bytes from the one holding the next bit, unless the input
// ends first.
void InflateDecoder::ensure_input(size_t bytes)
{
    if (in_final_) return;
    const size_t at = static_cast<size_t>(std::min<uint64_t>(pos_ >> 3, in_size_));
    if (in_size_ - at < bytes) refill_input();
}

// Up to 16 bits from pos_; bytes past the input read as zeros.
uint32_t InflateDecoder::peek_bits(unsigned n) const
{
    const uint64_t byte = pos_ >> 3;
    uint32_t v = 0;
    if (byte + 4 <= in_size_) {
        std::memcpy(&v, in_ + byte, 4);
        if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    } else {
        for (unsigned i = 0; i < 4 && byte + i < in_size_; ++i) v |= uint32_t{in_[byte + i]} << (8 * i);
    }
    return (v >> (pos_ & 7)) & ((1u << n) - 1);
}

// An extra-bits or header field. Under whole_entry rules a field that does
// not fit in the input reads as 0 and takes no bits, and demand_ records how
// far the bit buffer has read (what decides whether a stored header fits);
// under rfc1951 rules it marks the input as short.
uint32_t InflateDecoder::get_bits(unsigned n)
{
    if (n == 0) return 0;
    demand_ = std::max(demand_, pos_ + n);
    ensure_input(((pos_ & 7) + n + 7) >> 3);
    if (pos_ + n > uint64_t{in_size_} * 8) {
        if (rules_ == inflate_rules::rfc1951) input_short_ = true;
        return 0;
    }
    const uint32_t v = peek_bits(n);
    pos_ += n;
    return v;
}

// One symbol, exactly. The bit buffer of whole_entry rules reads ahead by
// the table's longest codeword; bits past the end read as zeros there, while
// rfc1951 rules mark the input as short when the codeword does not fit.
uint32_t InflateDecoder::decode_symbol(const uint32_t* table, unsigned table_bits, unsigned max_len)
{
    demand_ = std::max(demand_, pos_ + max_len);
    ensure_input(((pos_ & 7) + max_codeword_len + 7) >> 3);
    const uint32_t bits = peek_bits(max_codeword_len);
    uint32_t e = table[bits & ((1u << table_bits) - 1)];
    if (e & entry_subtable) e = table[(e >> 16) + ((bits >> table_bits) & ((1u << entry_codeword_len(e)) - 1))];
    if (rules_ == inflate_rules::rfc1951 && pos_ + entry_codeword_len(e) > uint64_t{in_size_} * 8) {
        input_short_ = true;
        return e;
    }
    pos_ += entry_codeword_len(e);
    return e;
}

// whole_entry: every bit of the input is used; all further bits read as 0.
bool InflateDecoder::input_used_up() const
{
    return rules_ == inflate_rules::whole_entry && in_final_ && pos_ >= uint64_t{in_size_} * 8;
}

// ---------------------------------------------------------------------------
// Output

// Where the fast loop must stop: the end of the buffer, the limit, or (with
// a sink) the next flush point.
void InflateDecoder::set_output_stop()
{
    uint64_t room = std::min<uint64_t>(room_to_limit(), out_cap_ - out_pos_);
    if (sink_) room = std::min<uint64_t>(room, flush_at_ - std::min(out_pos_, flush_at_));
    out_stop_ = out_pos_ + static_cast<size_t>(room);
}

// Flush points sit at fixed places in the buffer, one piece apart from the
// end of the window, so the last piece before a slide is a whole one too.
void InflateDecoder::set_flush_point()
{
    const size_t from = out_pos_ + fast_output_margin;
    flush_at_ = window_size + flush_piece * ((from > window_size ? (from - window_size) / flush_piece : 0) + 1);
}

bool InflateDecoder::flush_output()
{
    if (!sink_ || out_pos_ == out_flushed_) return true;
    if (!sink_->write({out_ + out_flushed_, out_pos_ - out_flushed_})) {
        sink_stopped_ = true;
        return false;
    }
    out_flushed_ = out_pos_;
    return true;
}

// The fast loop stopped short of the output margin: flush what it made if
// that is near a piece, and make room unless the limit is what is near.
// False when the sink refused the output.
bool InflateDecoder::prepare_fast_output()
{
    if (sink_ && out_pos_ + fast_output_margin > flush_at_) {
        if (!flush_output()) return false;
        set_flush_point();
    }
    if (room_to_limit() >= fast_output_margin && !make_room(fast_output_margin)) return false;
    set_output_stop();
    return true;
}

// Room for n more bytes at out_pos_; n is never more than room_to_limit().
// With a sink: hand the buffer over and slide the window to the front. With a
// vector: grow it. False when the sink refused the output.
bool InflateDecoder::make_room(size_t n)
{
    if (out_cap_ - out_pos_ >= n) return true;
    if (sink_) {
        if (!flush_output()) return false;
        const size_t keep = std::min(out_pos_, window_size);
        std::memmove(out_, out_ + out_pos_ - keep, keep);
        out_offset0_ += static_cast<int64_t>(out_pos_ - keep);
        out_pos_ = out_flushed_ = keep;
        set_flush_point();
    } else {
        std::vector<uint8_t>& v = *out_vec_;
        const size_t limit = static_cast<size_t>(std::min<uint64_t>(out_limit_, SIZE_MAX));
        const size_t size = std::min(limit, std::max(out_pos_ + n, v.size() + growth_slice));
        if (size > v.capacity()) v.reserve(std::min(limit, std::max(size, v.capacity() * 2)));
        v.resize(size);
        out_ = v.data();
        out_cap_ = v.size();
    }
    set_output_stop();
    return true;
}

// ---------------------------------------------------------------------------
// Blocks

DecodeStatus InflateDecoder::stored_block()
{
    // Offsets are taken after ensure_input, which may move the input.
    size_t len;
    if (rules_ == inflate_rules::whole_entry) {
        // The header needs five bytes from where the bit buffer has read to;
        // whole bytes still in the bit buffer go back, the partial one is dropped.
        ensure_input(static_cast<size_t>(((std::max(demand_, pos_) + 7) >> 3) - (pos_ >> 3) + 5));
        const uint64_t reach = (std::max(demand_, pos_) + 7) >> 3;
        if (std::min<uint64_t>(in_size_, reach) + 5 > in_size_) return fail(inflate_fault::stored_short, DecodeStatus::truncated);
        const size_t at = static_cast<size_t>((pos_ + 7) >> 3);
        len = in_[at] | (size_t{in_[at + 1]} << 8);
        const size_t nlen = in_[at + 2] | (size_t{in_[at + 3]} << 8);
        if (len != (~nlen & 0xFFFF)) stored_length_mismatch_ = true;
        pos_ = uint64_t{at + 4} * 8;
        ensure_input(len);
        if ((pos_ >> 3) + len > in_size_) return fail(inflate_fault::stored_short, DecodeStatus::truncated);
        if (len > room_to_limit()) return fail(inflate_fault::stored_short, DecodeStatus::output_limit);
    } else {
        pos_ = (pos_ + 7) & ~uint64_t{7};
        ensure_input(4);
        const size_t at = static_cast<size_t>(pos_ >> 3);
        if (at + 4 > in_size_) return fail(inflate_fault::input_end, DecodeStatus::truncated);
        len = in_[at] | (size_t{in_[at + 1]} << 8);
        const size_t nlen = in_[at + 2] | (size_t{in_[at + 3]} << 8);
        if (len != (~nlen & 0xFFFF)) return fail(inflate_fault::stored_length, DecodeStatus::data_error);
        if (len > room_to_limit()) return fail(inflate_fault::output_limit, DecodeStatus::output_limit);
        pos_ += 32;
    }
    const DecodeStatus s = copy_stored(len);
    demand_ = pos_;
    return s;
}

// The LEN bytes of a stored block from pos_ (byte-aligned), in as many
// pieces as the buffers need.
DecodeStatus InflateDecoder::copy_stored(size_t len)
{
    while (len > 0) {
        size_t avail = in_size_ - static_cast<size_t>(pos_ >> 3);
        if (avail == 0) {
            refill_input();
            avail = in_size_ - static_cast<size_t>(pos_ >> 3);
            if (avail == 0) return fail(inflate_fault::input_end, DecodeStatus::truncated);
        }
        if (out_pos_ == out_cap_ && !make_room(len)) return finish(DecodeStatus::stopped);
        const size_t n = std::min({len, avail, out_cap_ - out_pos_});
        std::memcpy(out_ + out_pos_, in_ + (pos_ >> 3), n);
        out_pos_ += n;
        pos_ += uint64_t{n} * 8;
        len -= n;
    }
    return DecodeStatus::ok;
}

// 0, or the failure value of a bad table (-1, -5, -6, or the distance table's
// left-over code space).
int InflateDecoder::read_dynamic_tables()
{
    const unsigned hlit = get_bits(5) + 257;
    const unsigned hdist = get_bits(5) + 1;
    const unsigned hclen = get_bits(4) + 4;
    std::array<uint8_t, num_precode_syms> precode_lens{};
    for (unsigned i = 0; i < hclen; ++i) precode_lens[precode_order[i]] = static_cast<uint8_t>(get_bits(3));
    unsigned precode_max = 0;
    if (build_precode_table(tables_->precode.data(), precode_lens.data(), precode_max) != 0) return -1;

    std::array<uint8_t, num_litlen_syms + num_dist_syms> lens{};
    const unsigned total = hlit + hdist;
    unsigned i = 0;
    while (i < total) {
        const unsigned sym = decode_symbol(tables_->precode.data(), precode_table_bits, precode_max) >> 16;
        if (sym < 16) {
            lens[i++] = static_cast<uint8_t>(sym);
            continue;
        }
        uint8_t value = 0;
        unsigned repeat;
        if (sym == 16) {
            if (i == 0) return -5;
            value = lens[i - 1];
            repeat = get_bits(2) + 3;
        } else if (sym == 17) {
            repeat = get_bits(3) + 3;
        } else {
            repeat = get_bits(7) + 11;
        }
        if (i + repeat > total) return -6;
        std::fill_n(lens.begin() + i, repeat, value);
        i += repeat;
    }
    if (build_litlen_table(tables_->litlen.data(), lens.data(), hlit, litlen_max_) != 0) return -1;
    litlen_ = tables_->litlen.data();
    dist_ = tables_->dist.data();
    if (build_sparse_dist_table(tables_->dist.data(), lens.data() + hlit, hdist, dist_max_)) {
        // Such blocks go through the exact path, which checks for the unused codewords.
        dist_sparse_ = true;
        return 0;
    }
    return build_dist_table(tables_->dist.data(), lens.data() + hlit, hdist, dist_max_);
}

// Decodes symbols up to the end of the block: the fast loop wherever its
// margins hold, else one exact symbol at a time.
DecodeStatus InflateDecoder::huffman_block()
{
    for (;;) {
        if (!dist_sparse_) {
            const size_t at = static_cast<size_t>(std::min<uint64_t>(pos_ >> 3, in_size_));
            if (in_size_ - at < fast_input_margin) refill_input();
            // The exact path moves out_pos_ on its own, past out_stop_ after
            // a long Deflate64 match: the room is never taken as negative.
            const auto fast_room = [this] { return out_stop_ > out_pos_ ? out_stop_ - out_pos_ : 0; };
            if (fast_room() < fast_output_margin && !prepare_fast_output()) return finish(DecodeStatus::stopped);
            if (in_size_ - std::min<uint64_t>(pos_ >> 3, in_size_) >= fast_input_margin &&
                fast_room() >= fast_output_margin) {
                const step s = deflate64_ ? fast_loop<true>() : fast_loop<false>();
                if (s == step::end_of_block) return DecodeStatus::ok;
                if (s == step::failed) return fail(inflate_fault::bad_distance, DecodeStatus::data_error);
                if (s == step::long_match) {
                    const step t = copy_match_exact(pending_length_, pending_dist_);
                    if (t == step::failed) return last_failure_;
                    continue;
                }
                if (s == step::margin) continue;
                // step::slow_symbol: symbols 286 and 287 go through the exact path.
            }
        }
        const step s = slow_symbol();
        if (s == step::end_of_block) return DecodeStatus::ok;
        if (s == step::failed) return last_failure_;
    }
}

// One literal/length symbol, exactly.
InflateDecoder::step InflateDecoder::slow_symbol()
{
    // Enough input for everything one symbol may read (65 bits for Deflate64).
    ensure_input(16);
    // With the input used up every further bit reads as 0, so the same
    // symbol would repeat for ever: only an end of block can still end the
    // stream without a fault.
    const bool exhausted = input_used_up();
    const uint32_t e = decode_symbol(litlen_, litlen_table_bits, litlen_max_);
    if (input_short_) return stop_with(inflate_fault::input_end, DecodeStatus::truncated);
    if (e & entry_literal) {
        if (exhausted) return stop_with(inflate_fault::input_used_up, DecodeStatus::data_error);
        if (room_to_limit() == 0) return stop_with(inflate_fault::output_limit, DecodeStatus::output_limit);
        if (!make_room(1)) return stop_with(inflate_fault::none, DecodeStatus::stopped);
        out_[out_pos_++] = static_cast<uint8_t>(e >> 16);
        return step::go_on;
    }
    if (e & entry_end_of_block) return step::end_of_block;
    if (exhausted) return stop_with(inflate_fault::input_used_up, DecodeStatus::data_error);
    uint32_t length = (e >> 16) + get_bits(entry_total_bits(e) - entry_codeword_len(e));
    if (deflate64_ && length == deflate64_long_length) length = get_bits(16) + 3;
    const uint32_t d = decode_symbol(dist_, dist_table_bits, dist_max_);
    if (input_short_) return stop_with(inflate_fault::input_end, DecodeStatus::truncated);
    if (d == 0) return stop_with(inflate_fault::bad_code, DecodeStatus::data_error); // unused space of a sparse distance code
    const uint32_t dist = (d >> 16) + get_bits(entry_total_bits(d) - entry_codeword_len(d));
    if (input_short_) return stop_with(inflate_fault::input_end, DecodeStatus::truncated);
    if (length == 0) return step::go_on;
    return copy_match_exact(length, dist);
}

// A match with every check: the distance, the limit, room in the buffer.
InflateDecoder::step InflateDecoder::copy_match_exact(uint32_t length, uint32_t dist)
{
    if (dist > out_pos_) return stop_with(inflate_fault::bad_distance, DecodeStatus::data_error);
    if (length > room_to_limit()) return stop_with(inflate_fault::output_limit, DecodeStatus::output_limit);
    // A slide keeps 64 KiB, so the source stays in the buffer.
    if (!make_room(length)) return stop_with(inflate_fault::none, DecodeStatus::stopped);
    uint8_t* out = out_ + out_pos_;
    // The bytes from dist back repeat with period dist, so any whole number
    // of periods back is as good a source; taking the furthest that is
    // already written keeps each memcpy free of overlap.
    size_t done = 0;
    while (done < length) {
        const size_t span = (done + dist) / dist * dist;
        const size_t n = std::min<size_t>(span, length - done);
        std::memcpy(out + done, out + done - span, n);
        done += n;
    }
    out_pos_ += length;
    set_output_stop();
    return step::go_on;
}

InflateDecoder::step InflateDecoder::stop_with(inflate_fault fault, DecodeStatus status)
{
    last_failure_ = fail(fault, status);
    return step::failed;
}

// ---------------------------------------------------------------------------
// The fast loop

namespace {

enum class fast_end : uint8_t { margin, end_of_block, slow_symbol, bad_distance, long_match };

// What the fast loop reads and advances.
struct fast_state {
    const uint8_t* in;
    size_t in_size;
    uint64_t pos;
    uint8_t* out;
    size_t out_pos;
    size_t out_stop;
    const uint32_t* litlen;
    const uint32_t* dist;
    uint32_t long_length; // Deflate64: a match longer than 258, not yet copied
    uint32_t long_dist;
};

// Runs while in_fast_end and out_fast_end are not passed; compiled once for
// every x86-64 and once with BMI2 (shifts by a register and the extra-bits
// mask in one instruction each), chosen when the decoder is made.
// The low n bits of x (n < 64). GCC does not turn the mask into BMI2's
// bzhi by itself; the BMI2 build of the fast loop asks for it.
template <bool Bmi2>
[[gnu::always_inline]] inline uint64_t low_bits(uint64_t x, uint32_t n)
{
#ifdef VELMORA_HAVE_BMI2_LOOP
    if constexpr (Bmi2) {
        uint64_t r;
        asm("bzhi %q2, %q1, %q0" : "=r"(r) : "r"(x), "r"(uint64_t{n}));
        return r;
    }
#endif
    return x & ((uint64_t{1} << (n & 63)) - 1);
}

template <bool Deflate64, bool Bmi2>
[[gnu::always_inline]] inline fast_end fast_loop_body(fast_state& st)
{
    const uint8_t* in_next = st.in + (st.pos >> 3);
    const uint8_t* const in_fast_end = st.in + st.in_size - fast_input_margin;
    uint8_t* const out_begin = st.out;
    uint8_t* out = st.out + st.out_pos;
    uint8_t* const out_fast_end = st.out + st.out_stop - fast_output_margin;
    const uint32_t* const ll = st.litlen;
    const uint32_t* const dt = st.dist;
    constexpr uint64_t ll_mask = (1u << litlen_table_bits) - 1;
    constexpr uint64_t dt_mask = (1u << dist_table_bits) - 1;

    uint64_t bitbuf = 0;
    // Only the low byte of bitsleft counts: whole entries are subtracted from
    // it, and their upper bits only disturb bits that are never read.
    uint32_t bitsleft = 0;

    // Word refill: the bits above bitsleft are either 0 or the very input
    // bits that belong there, so OR-ing a whole word in is harmless, and only
    // the bytes that fit whole are counted as taken.
#define VELMORA_REFILL()                                               \
    do {                                                               \
        bitbuf |= load_le64(in_next) << (bitsleft & 63);               \
        in_next += 7 - ((bitsleft >> 3) & 7);                          \
        bitsleft |= 56;                                                \
    } while (0)
    // An entry's low byte is every bit its symbol takes.
#define VELMORA_CONSUME(e)                                             \
    do {                                                               \
        bitbuf >>= ((e) & 63);                                         \
        bitsleft -= (e);                                               \
    } while (0)
    // The extra bits of a length or distance entry, from the bit buffer as it
    // was before the entry was consumed.
#define VELMORA_EXTRA(saved, e) static_cast<uint32_t>(low_bits<Bmi2>((saved), (e) & 0xFF) >> (((e) >> 8) & 0xFF))

    VELMORA_REFILL();
    bitbuf >>= st.pos & 7;
    bitsleft -= static_cast<uint32_t>(st.pos & 7);
    VELMORA_REFILL();
    fast_end status = fast_end::margin;
    // The next literal/length entry is looked up as soon as the bits for it
    // are known (before a match is copied), so the table load overlaps other work.
    uint32_t entry = ll[bitbuf & ll_mask];
    do {
        // Every entry's bits are taken as soon as it is loaded, before its
        // kind is known: a sub-table link takes none, and symbols 286/287 give
        // theirs back below.
        uint64_t saved = bitbuf;
        VELMORA_CONSUME(entry);
        if (entry & entry_literal) {
            // Up to three literals per refill. A literal in the primary table
            // takes at most 11 bits, so two of them and a length leave room
            // for the checks below.
            uint8_t lit = static_cast<uint8_t>(entry >> 16);
            entry = ll[bitbuf & ll_mask];
            saved = bitbuf;
            VELMORA_CONSUME(entry);
            *out++ = lit;
            if (entry & entry_literal) {
                lit = static_cast<uint8_t>(entry >> 16);
                entry = ll[bitbuf & ll_mask];
                saved = bitbuf;
                VELMORA_CONSUME(entry);
                *out++ = lit;
                if (entry & entry_literal) {
                    lit = static_cast<uint8_t>(entry >> 16);
                    entry = ll[bitbuf & ll_mask];
                    VELMORA_REFILL();
                    *out++ = lit;
                    continue;
                }
            }
        }
        if (entry & entry_exceptional) [[unlikely]] {
            if (entry & entry_subtable) {
                entry = ll[(entry >> 16) + ((bitbuf >> litlen_table_bits) & ((1u << entry_codeword_len(entry)) - 1))];
                saved = bitbuf;
                VELMORA_CONSUME(entry);
                if (entry & entry_literal) {
                    *out++ = static_cast<uint8_t>(entry >> 16);
                    VELMORA_REFILL();
                    entry = ll[bitbuf & ll_mask];
                    continue;
                }
            }
            if (entry & entry_exceptional) {
                if (entry & entry_end_of_block) {
                    status = fast_end::end_of_block;
                } else {
                    // Symbols 286/287, left for the exact path.
                    bitbuf = saved;
                    bitsleft += entry;
                    status = fast_end::slow_symbol;
                }
                break;
            }
        }
        uint32_t length = (entry >> 16) + VELMORA_EXTRA(saved, entry);
        if constexpr (Deflate64) {
            if (length == deflate64_long_length) [[unlikely]] {
                // 16 more bits; then a refill, so the distance lookup below
                // has its bits as after a plain length.
                if ((bitsleft & 0xFF) < 16) VELMORA_REFILL();
                length = static_cast<uint32_t>(bitbuf & 0xFFFF) + 3;
                bitbuf >>= 16;
                bitsleft -= 16;
                VELMORA_REFILL();
            }
        }
        // At most two literals and a length are taken since the last refill,
        // so the distance entry can be looked up at once (a refill leaves the
        // low bits as they are); refill before taking it unless its bits and
        // the next lookup's are there.
        uint32_t de = dt[bitbuf & dt_mask];
        if ((bitsleft & 0xFF) < max_dist_bits + litlen_table_bits) VELMORA_REFILL();
        if (de & entry_subtable) [[unlikely]]
            de = dt[(de >> 16) + ((bitbuf >> dist_table_bits) & ((1u << entry_codeword_len(de)) - 1))];
        saved = bitbuf;
        VELMORA_CONSUME(de);
        const uint32_t dist = (de >> 16) + VELMORA_EXTRA(saved, de);
        if (dist > static_cast<size_t>(out - out_begin)) [[unlikely]] {
            status = fast_end::bad_distance;
            break;
        }
        entry = ll[bitbuf & ll_mask];
        VELMORA_REFILL();
        if constexpr (Deflate64) {
            if (length > 258) [[unlikely]] {
                st.long_length = length;
                st.long_dist = dist;
                status = fast_end::long_match;
                break;
            }
        }
        copy_match(out, dist, length);
        out += length;
    } while (in_next <= in_fast_end && out <= out_fast_end);
#undef VELMORA_REFILL
#undef VELMORA_CONSUME
#undef VELMORA_EXTRA
    st.pos = static_cast<uint64_t>(in_next - st.in) * 8 - (bitsleft & 0xFF);
    st.out_pos = static_cast<size_t>(out - out_begin);
    return status;
}

template <bool Deflate64>
fast_end fast_loop_generic(fast_state& st)
{
    return fast_loop_body<Deflate64, false>(st);
}

#ifdef VELMORA_HAVE_BMI2_LOOP
template <bool Deflate64>
[[gnu::target("bmi2")]] fast_end fast_loop_bmi2(fast_state& st)
{
    return fast_loop_body<Deflate64, true>(st);
}
#endif

} // namespace

template <bool Deflate64>
InflateDecoder::step InflateDecoder::fast_loop()
{
    fast_state st{in_, in_size_, pos_, out_, out_pos_, out_stop_, litlen_, dist_, 0, 0};
#ifdef VELMORA_HAVE_BMI2_LOOP
    const fast_end end = bmi2_ ? fast_loop_bmi2<Deflate64>(st) : fast_loop_generic<Deflate64>(st);
#else
    const fast_end end = fast_loop_generic<Deflate64>(st);
#endif
    pos_ = st.pos;
    out_pos_ = st.out_pos;
    switch (end) {
    case fast_end::end_of_block: return step::end_of_block;
    case fast_end::slow_symbol: return step::slow_symbol;
    case fast_end::bad_distance: return step::failed;
    case fast_end::long_match:
        pending_length_ = st.long_length;
        pending_dist_ = st.long_dist;
        return step::long_match;
    case fast_end::margin: break;
    }
    return step::margin;
}

} // namespace velmora

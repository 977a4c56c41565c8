// Unreduce (PKWARE APPNOTE 5.2, methods 2..5), streaming. Two stages per code
// byte: the follower-set decoder turns bits into code bytes, then the DLE
// stage turns code bytes into literals and back-references. The output
// buffer starts with a zeroed 4 KiB window, so copies that reach before the
// first byte read zeros without a special case.
#include "codecs/UnreduceDecoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>

namespace velmora {
namespace {

constexpr uint8_t DLE = 144;
constexpr unsigned max_follower_count = 32; // a 6-bit count above this is cut
constexpr unsigned min_copy_length = 3;
constexpr size_t window_size = size_t{256} << 4; // distance / 256 has at most 4 bits (factor 4)
constexpr size_t max_copy_length = 127 + 255 + min_copy_length; // factor 1: 7 length bits, then an extra byte
constexpr size_t in_buffer_size = size_t{64} << 10;
constexpr size_t out_buffer_size = size_t{1} << 20; // the window and at most 1 MiB - 4 KiB of new output
static_assert(out_buffer_size >= window_size + max_copy_length);

// B(N): bits of the index that picks one of N followers. N = 33 is listed for
// completeness; counts are cut to 32 before use.
constexpr std::array<uint8_t, max_follower_count + 2> follower_index_bits = {
    0, 1, 1, 2, 2, 3, 3, 3, 3,                      // 0..8
    4, 4, 4, 4, 4, 4, 4, 4,                         // 9..16
    5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, // 17..32
    6};                                             // 33
// Every index of B(32) bits lands inside a row of 32 members.
static_assert((1u << follower_index_bits[max_follower_count]) == max_follower_count);

uint64_t load_le64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

} // namespace

// The follower sets: for each byte, the bytes likely to come next. Members
// past N(c) stay zero, which is what an out-of-range index picks.
struct UnreduceDecoder::follower_sets {
    std::array<uint8_t, 256> count;
    std::array<std::array<uint8_t, max_follower_count>, 256> member;
};

UnreduceDecoder::UnreduceDecoder(int method)
    : shift_(method >= 2 && method <= 5 ? 9u - static_cast<unsigned>(method) : 8u), supported_(method >= 2 && method <= 5),
      sets_(std::make_unique<follower_sets>())
{
}

UnreduceDecoder::~UnreduceDecoder() = default;

DecodeStatus UnreduceDecoder::decode(ByteSource& in, ByteSink& out, uint64_t out_size)
{
    try {
        if (!in_buf_) in_buf_ = std::make_unique_for_overwrite<uint8_t[]>(in_buffer_size);
    } catch (const std::bad_alloc&) {
        return DecodeStatus::no_memory;
    }
    source_ = &in;
    in_ = in_buf_.get();
    in_size_ = 0;
    in_final_ = false;
    sink_ = &out;
    return run(out_size);
}

DecodeStatus UnreduceDecoder::decode(std::span<const uint8_t> in, ByteSink& out, uint64_t out_size)
{
    source_ = nullptr;
    in_ = in.data();
    in_size_ = in.size();
    in_final_ = true;
    sink_ = &out;
    return run(out_size);
}

// Moves the unread bytes to the front and fills the buffer from the source.
void UnreduceDecoder::refill_input()
{
    if (in_final_) return;
    uint8_t* buf = in_buf_.get();
    std::memmove(buf, buf + in_next_, in_size_ - in_next_);
    in_size_ -= in_next_;
    in_next_ = 0;
    while (in_size_ < in_buffer_size) {
        const size_t n = source_->read({buf + in_size_, in_buffer_size - in_size_});
        if (n == 0) {
            in_final_ = true;
            break;
        }
        in_size_ += std::min(n, in_buffer_size - in_size_);
    }
}

// Tops the bit buffer up to at least 56 bits where the input allows.
void UnreduceDecoder::refill_bits()
{
    if (in_size_ - in_next_ < 8) refill_input();
    if (in_size_ - in_next_ >= 8) {
        // Whole-word refill: OR in 8 bytes and count only the whole bytes
        // that fit. The bits above bitcount_ are the next byte's low bits;
        // the following refill ORs the same byte in at the same place.
        bitbuf_ |= load_le64(in_ + in_next_) << bitcount_;
        in_next_ += (63 - bitcount_) >> 3;
        bitcount_ |= 56;
    } else {
        while (bitcount_ <= 56 && in_next_ < in_size_) {
            bitbuf_ |= uint64_t{in_[in_next_++]} << bitcount_;
            bitcount_ += 8;
        }
    }
}

// n = 0..8, least significant bit first. A read that runs past the end of
// the input yields 0, and so does every read after it: a truncated stream
// still fills the output, with whatever the zero bits decode to.
inline uint32_t UnreduceDecoder::get_bits(unsigned n)
{
    if (bitcount_ < n) [[unlikely]] {
        refill_bits();
        if (bitcount_ < n) {
            // Past the end: drop what is left so every later read sees zeros.
            ran_out_ = true;
            bitbuf_ = 0;
            bitcount_ = 0;
            in_next_ = in_size_;
            return 0;
        }
    }
    const uint32_t v = static_cast<uint32_t>(bitbuf_) & ((1u << n) - 1);
    bitbuf_ >>= n;
    bitcount_ -= n;
    return v;
}

// One code byte, given the previous one: 8 literal bits when the set is
// empty, else a flag bit (1 = literal follows, 0 = an index into the set).
inline uint8_t UnreduceDecoder::next_code(uint8_t last)
{
    const unsigned n = sets_->count[last];
    if (n == 0 || get_bits(1) == 1) return static_cast<uint8_t>(get_bits(8));
    return sets_->member[last][get_bits(follower_index_bits[n])];
}

// Hands the new output to the sink and keeps the last 4 KiB as the window.
bool UnreduceDecoder::flush_and_slide()
{
    if (out_pos_ > window_size && !sink_->write({out_buf_.get() + window_size, out_pos_ - window_size})) {
        sink_stopped_ = true;
        return false;
    }
    uint8_t* buf = out_buf_.get();
    std::memmove(buf, buf + out_pos_ - window_size, window_size);
    out_pos_ = window_size;
    return true;
}

DecodeStatus UnreduceDecoder::run(uint64_t out_size)
{
    count_cut_ = false;
    ran_out_ = false;
    sink_stopped_ = false;
    in_next_ = 0;
    bitbuf_ = 0;
    bitcount_ = 0;
    if (!supported_) return DecodeStatus::unsupported;
    try {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(out_buffer_size, window_size + out_size));
        if (out_cap_ < want) {
            out_buf_ = std::make_unique_for_overwrite<uint8_t[]>(want);
            out_cap_ = want;
        }
    } catch (const std::bad_alloc&) {
        return DecodeStatus::no_memory;
    }
    std::memset(out_buf_.get(), 0, window_size);
    out_pos_ = window_size;

    // The sets are stored from byte 255 down to byte 0.
    sets_->member = {};
    for (int c = 255; c >= 0; --c) {
        unsigned n = get_bits(6);
        if (n > max_follower_count) {
            count_cut_ = true;
            n = max_follower_count;
        }
        sets_->count[static_cast<size_t>(c)] = static_cast<uint8_t>(n);
        for (unsigned m = 0; m < n; ++m) sets_->member[static_cast<size_t>(c)][m] = static_cast<uint8_t>(get_bits(8));
    }

    // Reduction factor f = method - 1: the first byte after DLE keeps its low
    // 8 - f bits for the length and its high f bits for distance / 256.
    const unsigned length_mask = (1u << shift_) - 1;
    uint8_t last = 0;
    const auto code = [&] {
        last = next_code(last);
        return last;
    };
    uint64_t left = out_size;
    while (left > 0) {
        if (out_cap_ - out_pos_ < std::min<uint64_t>(max_copy_length, left) && !flush_and_slide())
            return DecodeStatus::stopped;
        uint8_t* const out = out_buf_.get() + out_pos_;
        // DLE stage: a byte other than DLE is itself; DLE 0 is a literal DLE;
        // DLE L [E] D is a copy.
        const uint8_t c = code();
        if (c != DLE) {
            *out = c;
            ++out_pos_;
            --left;
            continue;
        }
        const uint8_t v = code();
        if (v == 0) {
            *out = DLE;
            ++out_pos_;
            --left;
            continue;
        }
        size_t length = v & length_mask;
        size_t distance = static_cast<size_t>(v >> shift_) << 8;
        if (length == length_mask) length += code(); // the all-ones length takes an extra byte
        distance += static_cast<size_t>(code()) + 1;
        // Bytes past the expected size are dropped.
        length = static_cast<size_t>(std::min<uint64_t>(length + min_copy_length, left));
        const uint8_t* from = out - distance;
        if (distance >= length) {
            std::memcpy(out, from, length);
        } else if (distance == 1) {
            std::memset(out, from[0], length);
        } else {
            for (size_t i = 0; i < length; ++i) out[i] = from[i]; // repeats the last `distance` bytes
        }
        out_pos_ += length;
        left -= length;
    }
    if (!flush_and_slide()) return DecodeStatus::stopped;
    return DecodeStatus::ok;
}

} // namespace velmora

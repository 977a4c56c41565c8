// Unreduce (PKWARE APPNOTE 5.2, methods 2..5). Two stages per code byte: the
// follower-set decoder turns bits into code bytes, then the DLE stage turns
// code bytes into literals and back-references. Output grows as produced, up
// to the expected size; copies that reach before the first byte read zeros.
#include "codecs/Mod_Reduce.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <span>

namespace velmora {
namespace {

constexpr uint8_t DLE = 144;
constexpr int max_follower_count = 32;   // a 6-bit count above this is cut
constexpr int min_copy_length = 3;

// B(N): bits of the index that picks one of N followers. N = 33 is listed for
// completeness; counts are cut to 32 before use.
constexpr std::array<uint8_t, max_follower_count + 2> follower_index_bits = {
    0, 1, 1, 2, 2, 3, 3, 3, 3,                         // 0..8
    4, 4, 4, 4, 4, 4, 4, 4,                            // 9..16
    5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5,    // 17..32
    6};                                                // 33
// Every index of B(32) bits lands inside a row of 32 members.
static_assert((1u << follower_index_bits[max_follower_count]) == max_follower_count);

// Least-significant-bit-first reader over the whole input. A read that runs
// past the end yields 0, and so does every read after it: a truncated stream
// still fills the output, with whatever the zero bits decode to.
class bit_reader {
public:
    explicit bit_reader(std::span<const uint8_t> in) : next_(in.data()), end_(in.data() + in.size()) {}

    // n = 0..8.
    uint32_t get(unsigned n)
    {
        if (bitcount_ < n) [[unlikely]] {
            refill();
            if (bitcount_ < n) {
                // Past the end: drop what is left so every later read sees zeros.
                bitbuf_ = 0;
                bitcount_ = 0;
                next_ = end_;
                return 0;
            }
        }
        const uint32_t v = static_cast<uint32_t>(bitbuf_) & ((1u << n) - 1);
        bitbuf_ >>= n;
        bitcount_ -= n;
        return v;
    }

private:
    void refill()
    {
        if (end_ - next_ >= 8) {
            // Whole-word refill: OR in 8 bytes and count only the whole bytes
            // that fit. The bits above bitcount_ are the next byte's low bits;
            // the following refill ORs the same byte in at the same place.
            uint64_t word = 0;
            for (int i = 7; i >= 0; --i)
                word = (word << 8) | next_[i];
            bitbuf_ |= word << bitcount_;
            next_ += (63 - bitcount_) >> 3;
            bitcount_ |= 56;
        } else {
            while (bitcount_ <= 56 && next_ < end_) {
                bitbuf_ |= static_cast<uint64_t>(*next_++) << bitcount_;
                bitcount_ += 8;
            }
        }
    }

    const uint8_t* next_;
    const uint8_t* end_;
    uint64_t bitbuf_ = 0;
    unsigned bitcount_ = 0;
};

// The follower sets: for each byte, the bytes likely to come next. Members
// past N(c) stay zero, which is what an out-of-range index picks.
struct follower_sets {
    std::array<uint8_t, 256> count{};
    std::array<std::array<uint8_t, max_follower_count>, 256> member{};
    bool count_cut = false;   // some count above 32 was met

    // The sets are stored from byte 255 down to byte 0.
    void read(bit_reader& bits)
    {
        for (int c = 255; c >= 0; --c) {
            unsigned n = bits.get(6);
            if (n > max_follower_count) {
                count_cut = true;
                n = max_follower_count;
            }
            count[c] = static_cast<uint8_t>(n);
            for (unsigned m = 0; m < n; ++m)
                member[c][m] = static_cast<uint8_t>(bits.get(8));
        }
    }

    // One code byte, given the previous one: 8 literal bits when the set is
    // empty, else a flag bit (1 = literal follows, 0 = an index into the set).
    uint8_t next_code(bit_reader& bits, uint8_t last) const
    {
        const unsigned n = count[last];
        if (n == 0 || bits.get(1) == 1)
            return static_cast<uint8_t>(bits.get(8));
        return member[last][bits.get(follower_index_bits[n])];
    }
};

// The output buffer: grows geometrically as bytes are produced and never
// beyond the expected size, so a hostile declared size costs nothing until
// the stream really produces that much.
class output_buffer {
public:
    explicit output_buffer(size_t total, size_t first_guess) : total_(total)
    {
        reserve_exact(std::min(total_, first_guess));
    }

    bool full() const { return pos_ == total_; }
    size_t pos() const { return pos_; }

    void put(uint8_t b)
    {
        if (pos_ == buf_.size()) [[unlikely]]
            grow(1);
        buf_[pos_++] = b;
    }

    // Repeats `length` bytes from `distance` back, one byte at a time in
    // effect, so a distance shorter than the length repeats the pattern.
    // Bytes before the first output byte are zeros. Bytes past the expected
    // size are dropped.
    void copy(size_t distance, size_t length)
    {
        length = std::min(length, total_ - pos_);
        if (buf_.size() - pos_ < length) [[unlikely]]
            grow(length);
        uint8_t* out = buf_.data() + pos_;
        pos_ += length;
        if (distance > pos_ - length) {
            // Starts before the first byte: those positions hold zeros.
            const size_t zeros = std::min(length, distance - (pos_ - length));
            std::memset(out, 0, zeros);
            out += zeros;
            length -= zeros;
            if (length == 0)
                return;
        }
        const uint8_t* from = out - distance;
        if (distance >= length) {
            std::memcpy(out, from, length);
        } else if (distance == 1) {
            std::memset(out, from[0], length);
        } else {
            for (size_t i = 0; i < length; ++i)
                out[i] = from[i];
        }
    }

    std::vector<uint8_t> take()
    {
        buf_.resize(pos_);
        return std::move(buf_);
    }

private:
    void grow(size_t need)
    {
        const size_t wanted = std::max({pos_ + need, buf_.size() * 2, size_t{1} << 16});
        reserve_exact(std::min(total_, wanted));
    }
    // reserve() first so the vector holds exactly what was asked for; resize()
    // alone may round the allocation up past the expected size.
    void reserve_exact(size_t n)
    {
        buf_.reserve(n);
        buf_.resize(n);
    }

    std::vector<uint8_t> buf_;
    size_t total_;
    size_t pos_ = 0;
};

} // namespace

int16_t Unreduce(std::vector<uint8_t>& Data, int16_t Method, int32_t OutLast)
{
    if (OutLast == -1) {
        Data.clear();
        return 0;
    }
    // Only the four reduce methods define a length/distance split, and the
    // expected size must be representable.
    if (Method < 2 || Method > 5 || OutLast < -1)
        return 0;

    // Reduction factor f = Method - 1: the first byte after DLE keeps its low
    // 8 - f bits for the length and its high f bits for distance / 256.
    const unsigned shift = 9u - static_cast<unsigned>(Method);
    const unsigned length_mask = (1u << shift) - 1;
    const size_t total = static_cast<size_t>(OutLast) + 1;

    follower_sets sets;
    try {
        bit_reader bits(Data);
        sets.read(bits);
        // Text rarely expands more than a few times; beyond that the buffer
        // doubles as output is produced.
        output_buffer out(total, 4 * Data.size() + 4096);

        uint8_t last = 0;
        const auto code = [&] {
            last = sets.next_code(bits, last);
            return last;
        };
        while (!out.full()) {
            // DLE stage: a byte other than DLE is itself; DLE 0 is a literal
            // DLE; DLE L [E] D is a copy.
            const uint8_t c = code();
            if (c != DLE) {
                out.put(c);
                continue;
            }
            const uint8_t v = code();
            if (v == 0) {
                out.put(DLE);
                continue;
            }
            size_t length = v & length_mask;
            size_t distance = static_cast<size_t>(v >> shift) << 8;
            if (length == length_mask)
                length += code();   // the all-ones length takes an extra byte
            distance += static_cast<size_t>(code()) + 1;
            out.copy(distance, length + min_copy_length);
        }
        Data = out.take();
        return 0;
    } catch (const std::bad_alloc&) {
        return sets.count_cut ? -1 : 0;
    }
}

} // namespace velmora

// Quantum decoding for cabinet folders. The arithmetic coder keeps 16-bit
// high, low and code registers; a model is a list of (symbol, cumulative
// frequency) pairs kept in decreasing frequency, searched linearly, bumped by
// 8 per use and rescaled past 3800 (every 50th rescale rebuilds and re-sorts).
// The integer arithmetic follows the reference decoder exactly, including on
// out-of-order registers, so hostile streams decode alike everywhere.
// Match offsets and extra length bits are raw bits, high bit first, from the
// same bit stream the coder shifts in.
#include "codecs/QuantumDecoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <vector>

namespace velmora {
namespace {

constexpr unsigned num_position_slots = 42; // 2 MiB window
constexpr unsigned num_length_slots = 27;
constexpr unsigned rescale_threshold = 3800;
constexpr unsigned frequency_step = 8;
constexpr unsigned rebuild_interval = 50;

// position_base[i] = position_base[i-1] + 2^extra[i-1], extra[i] = max(i - 2, 0) / 2.
struct position_tables {
    std::array<uint32_t, num_position_slots> base{};
    std::array<uint8_t, num_position_slots> extra{};
    constexpr position_tables()
    {
        uint32_t offset = 0;
        for (unsigned i = 0; i < num_position_slots; ++i) {
            base[i] = offset;
            extra[i] = static_cast<uint8_t>((i < 2 ? 0 : i - 2) / 2);
            offset += 1u << extra[i];
        }
    }
};
constexpr position_tables positions;
static_assert(positions.base[41] + (1u << positions.extra[41]) == 2u << 20, "42 slots reach 2 MiB");

// Selector 6 lengths: extra[i] = max(i - 2, 0) / 4 for the first 26, then 254 with none.
struct length_tables {
    std::array<uint8_t, num_length_slots> base{};
    std::array<uint8_t, num_length_slots> extra{};
    constexpr length_tables()
    {
        unsigned offset = 0;
        for (unsigned i = 0; i < num_length_slots - 1; ++i) {
            base[i] = static_cast<uint8_t>(offset);
            extra[i] = static_cast<uint8_t>((i < 2 ? 0 : i - 2) / 4);
            offset += 1u << extra[i];
        }
        base[num_length_slots - 1] = 254;
        extra[num_length_slots - 1] = 0;
    }
};
constexpr length_tables lengths;
static_assert(lengths.base[25] == 222 && lengths.extra[25] == 5, "slot 25 covers 222..253");

struct model_symbol {
    uint16_t sym;
    uint16_t cumfreq;
};

// A model over `entries` symbols; syms[entries] is a sentinel with cumfreq 0.
struct model {
    int rescales_left = 4;
    unsigned entries = 0;
    std::array<model_symbol, 64 + 1> syms{};

    void init(unsigned first, unsigned n)
    {
        rescales_left = 4;
        entries = n;
        for (unsigned i = 0; i <= n; ++i)
            syms[i] = model_symbol{static_cast<uint16_t>(first + i), static_cast<uint16_t>(n - i)};
    }

    void rescale()
    {
        if (--rescales_left != 0) {
            // Halve the cumulative counts, keeping them strictly decreasing.
            for (int i = static_cast<int>(entries) - 1; i >= 0; --i) {
                syms[i].cumfreq >>= 1;
                if (syms[i].cumfreq <= syms[i + 1].cumfreq)
                    syms[i].cumfreq = static_cast<uint16_t>(syms[i + 1].cumfreq + 1);
            }
            return;
        }
        rescales_left = rebuild_interval;
        // To halved frequencies (rounded up), sorted by decreasing frequency
        // with the reference decoder's exchange sort (its order for ties
        // matters), then back to cumulative counts.
        for (unsigned i = 0; i < entries; ++i)
            syms[i].cumfreq = static_cast<uint16_t>((syms[i].cumfreq - syms[i + 1].cumfreq + 1) >> 1);
        for (unsigned i = 0; i + 1 < entries; ++i)
            for (unsigned j = i + 1; j < entries; ++j)
                if (syms[i].cumfreq < syms[j].cumfreq)
                    std::swap(syms[i], syms[j]);
        for (int i = static_cast<int>(entries) - 1; i >= 0; --i)
            syms[i].cumfreq = static_cast<uint16_t>(syms[i].cumfreq + syms[i + 1].cumfreq);
    }
};

// Most-significant-bit-first bytes of one block; past its end the reference
// decoder's CAB reader sees a 0xFF trailer byte, then zeros.
class bit_reader {
public:
    void start(std::span<const uint8_t> data)
    {
        data_ = data;
        pos_ = 0;
        buf_ = 0;
        count_ = 0;
    }
    uint32_t read(unsigned n) // n <= 24
    {
        while (count_ < n) {
            uint32_t b = 0;
            if (pos_ < data_.size())
                b = data_[pos_];
            else if (pos_ == data_.size())
                b = 0xFF;
            ++pos_;
            buf_ = (buf_ << 8) | b;
            count_ += 8;
        }
        count_ -= n;
        return static_cast<uint32_t>(buf_ >> count_) & ((1u << n) - 1);
    }
    // Bits taken past the block, trailer byte included.
    uint64_t bits_past_end() const
    {
        const uint64_t used = uint64_t{pos_} * 8 - count_;
        const uint64_t have = uint64_t{data_.size()} * 8;
        return used > have ? used - have : 0;
    }

private:
    std::span<const uint8_t> data_;
    size_t pos_ = 0;
    uint64_t buf_ = 0;
    unsigned count_ = 0;
};

} // namespace

struct QuantumDecoder::state {
    std::vector<uint8_t> window;
    uint32_t window_size = 0;
    uint32_t window_pos = 0;
    bool failed = true;
    bool finished = false;

    // 0-3: literals 0-63, 64-127, 128-191, 192-255; 4, 5: offsets of 3- and
    // 4-byte matches; 6: offsets and 6len: lengths of longer matches; 7: the selector.
    std::array<model, 4> literal;
    model offset3, offset4, offset_long, length_long, selector;

    uint16_t H = 0, L = 0, C = 0;
    bit_reader in;
    bool bad = false;

    unsigned get_symbol(model& m)
    {
        // Written with the reference decoder's int arithmetic and 16-bit
        // truncations, which define what out-of-order registers decode to.
        int range = ((H - L) & 0xFFFF) + 1;
        const int total = m.syms[0].cumfreq;
        const uint16_t target = static_cast<uint16_t>((((C - L + 1) * total) - 1) / range);
        unsigned i = 1;
        while (i < m.entries && m.syms[i].cumfreq > target)
            ++i;
        const unsigned sym = m.syms[i - 1].sym;
        range = (H - L) + 1;
        H = static_cast<uint16_t>(L + ((m.syms[i - 1].cumfreq * range) / total) - 1);
        L = static_cast<uint16_t>(L + ((m.syms[i].cumfreq * range) / total));
        while (i > 0) {
            --i;
            m.syms[i].cumfreq = static_cast<uint16_t>(m.syms[i].cumfreq + frequency_step);
        }
        if (m.syms[0].cumfreq > rescale_threshold)
            m.rescale();
        // Shift out settled high bits; when high and low straddle the middle
        // closely (01... and 10...), drop the second bit (underflow). Each pass
        // takes a bit or makes the next pass end, so 40 passes are plenty.
        for (int pass = 0;; ++pass) {
            if (pass == 40) {
                bad = true;
                break;
            }
            if ((L & 0x8000) != (H & 0x8000)) {
                if ((L & 0x4000) && !(H & 0x4000)) {
                    C ^= 0x4000;
                    L &= 0x3FFF;
                    H |= 0x4000;
                } else {
                    break;
                }
            }
            L = static_cast<uint16_t>(L << 1);
            H = static_cast<uint16_t>((H << 1) | 1);
            C = static_cast<uint16_t>((C << 1) | in.read(1));
        }
        return sym;
    }

    void init_models(unsigned window_bits)
    {
        for (unsigned k = 0; k < 4; ++k)
            literal[k].init(64 * k, 64);
        const unsigned slots = 2 * window_bits;
        offset3.init(0, std::min(slots, 24u));
        offset4.init(0, std::min(slots, 36u));
        offset_long.init(0, slots);
        length_long.init(0, num_length_slots);
        selector.init(0, 7);
    }
};

QuantumDecoder::QuantumDecoder() = default;
QuantumDecoder::~QuantumDecoder() = default;

DecodeStatus QuantumDecoder::reset(unsigned window_bits)
{
    try {
        if (!s_)
            s_ = std::make_unique<state>();
        state& s = *s_;
        s.failed = true;
        if (window_bits < min_window_bits || window_bits > max_window_bits)
            return DecodeStatus::data_error;
        s.window_size = 1u << window_bits;
        // Matches may reach before the first byte; they read zeros.
        s.window.assign(s.window_size, 0);
        s.window_pos = 0;
        s.init_models(window_bits);
        s.finished = false;
        s.failed = false;
        return DecodeStatus::ok;
    } catch (const std::bad_alloc&) {
        return DecodeStatus::no_memory;
    }
}

DecodeStatus QuantumDecoder::decode_block(std::span<const uint8_t> block, std::span<uint8_t> out)
{
    if (!s_ || s_->failed)
        return DecodeStatus::data_error;
    state& s = *s_;
    if (out.empty())
        return DecodeStatus::ok;
    s.failed = true;
    if (out.size() > frame_size || s.finished)
        return DecodeStatus::data_error;

    s.in.start(block);
    s.H = 0xFFFF;
    s.L = 0;
    s.C = static_cast<uint16_t>(s.in.read(16));
    s.bad = false;
    uint8_t* const w = s.window.data();
    const uint32_t mask = s.window_size - 1;
    uint32_t pos = s.window_pos;
    size_t o = 0;
    // The trailer byte and two zero bytes past the block are as far as the
    // reference decoder reads; beyond them the frame is cut short.
    constexpr uint64_t max_bits_past_end = 3 * 8;
    while (o < out.size()) {
        if (s.bad || s.in.bits_past_end() > max_bits_past_end)
            break;
        const unsigned selector = s.get_symbol(s.selector);
        if (selector < 4) {
            const auto b = static_cast<uint8_t>(s.get_symbol(s.literal[selector]));
            w[pos] = b;
            pos = (pos + 1) & mask;
            out[o++] = b;
            continue;
        }
        unsigned length = 0;
        uint32_t offset = 0;
        if (selector == 4 || selector == 5) {
            const unsigned slot = s.get_symbol(selector == 4 ? s.offset3 : s.offset4);
            offset = positions.base[slot] + s.in.read(positions.extra[slot]) + 1;
            length = selector == 4 ? 3 : 4;
        } else {
            const unsigned lslot = s.get_symbol(s.length_long);
            length = lengths.base[lslot] + s.in.read(lengths.extra[lslot]) + 5;
            const unsigned slot = s.get_symbol(s.offset_long);
            offset = positions.base[slot] + s.in.read(positions.extra[slot]) + 1;
        }
        if (offset > s.window_size) {
            s.bad = true;
            break;
        }
        if (length > out.size() - o) {
            // A match may not cross a frame boundary; in the folder's last,
            // short frame one running past the end is cut there, as
            // cabextract does (7-Zip rejects it).
            if (out.size() == frame_size) {
                s.bad = true;
                break;
            }
            length = static_cast<unsigned>(out.size() - o);
        }
        uint32_t src = (pos - offset) & mask;
        if (pos + length <= s.window_size && src + length <= s.window_size) {
            // Neither end wraps: copy forwards (the source may overlap what
            // is being written, a repeat), then hand the bytes out in one go.
            uint8_t* d = w + pos;
            if (src >= pos) {
                // The wrapped history lies ahead (or, a whole window back, is
                // the very bytes being written).
                std::memmove(d, w + src, length);
            } else if (pos - src >= length) {
                std::memcpy(d, w + src, length);
            } else {
                // A repeat of the last `dist` bytes: copy what is done so far
                // again, doubling, each copy clear of its source.
                const unsigned dist = pos - src;
                for (unsigned done = 0; done < length;) {
                    const unsigned n = std::min(done + dist, length - done);
                    std::memcpy(d + done, d - dist, n);
                    done += n;
                }
            }
            std::memcpy(out.data() + o, d, length);
            o += length;
            pos = (pos + length) & mask;
            continue;
        }
        for (unsigned k = 0; k < length; ++k) {
            const uint8_t b = w[src];
            w[pos] = b;
            out[o++] = b;
            src = (src + 1) & mask;
            pos = (pos + 1) & mask;
        }
    }
    if (s.in.bits_past_end() > max_bits_past_end)
        return DecodeStatus::truncated;
    if (s.bad)
        return DecodeStatus::data_error;
    s.window_pos = pos;
    s.finished = out.size() < frame_size;
    s.failed = false;
    return DecodeStatus::ok;
}

} // namespace velmora

// -lh1- decoding (LZHUF, H. Okumura and H. Yoshizaki, 1988). The tree lives
// in arrays ordered by frequency: freq[] ascending, son[] the left child (or
// leaf code + T), prnt[] the parent. After each symbol its leaf and every
// ancestor gain one count, each swapping with the last node of its old
// frequency first so the order holds; at 0x8000 at the root all counts halve
// and the tree is rebuilt. The window starts full of spaces.
#include "codecs/LhaDynamicHuffman.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "codecs/LzWindow.h"
#include "codecs/MsbBitReader.h"

namespace velmora {
namespace {

constexpr unsigned window_size = 4096;  // N
constexpr unsigned max_match = 60;      // F
constexpr unsigned threshold = 3;       // shortest copy
constexpr unsigned n_char = 256 + max_match + 1 - threshold; // literals and copy lengths
static_assert(n_char == 314);
constexpr unsigned tree_size = 2 * n_char - 1; // T: leaves and inner nodes
constexpr unsigned root = tree_size - 1;       // R
constexpr unsigned max_freq = 0x8000;          // the root's count that triggers a rebuild

// The fixed code of a position's top 6 bits: how many of the 64 values get
// codes of 3, 4, ..., 8 bits (LZHUF's p_len), in canonical order.
constexpr std::array<unsigned, 6> position_codes_per_length = {1, 3, 8, 12, 24, 16};
constexpr unsigned position_min_len = 3;

struct position_lookup {
    std::array<uint8_t, 256> upper{}; // indexed by the next 8 bits
    std::array<uint8_t, 256> len{};
};

constexpr position_lookup make_position_lookup()
{
    position_lookup t{};
    unsigned code = 0;  // the canonical code, left-aligned in 8 bits
    unsigned value = 0; // the top 6 bits it stands for
    for (unsigned i = 0; i < position_codes_per_length.size(); ++i) {
        const unsigned len = position_min_len + i;
        const unsigned span = 1u << (8 - len);
        for (unsigned k = 0; k < position_codes_per_length[i]; ++k, ++value, code += span) {
            for (unsigned j = 0; j < span; ++j) {
                t.upper[code + j] = static_cast<uint8_t>(value);
                t.len[code + j] = static_cast<uint8_t>(len);
            }
        }
    }
    return t;
}

constexpr position_lookup positions = make_position_lookup();
static_assert(positions.upper[255] == 63 && positions.len[255] == 8, "the code fills all 8-bit patterns");

class lh1_decoder {
public:
    explicit lh1_decoder(ByteSource& in) : in_(in) { start_huff(); }

    DecodeStatus run(ByteSink& sink, uint64_t out_size)
    {
        if (!in_.allocate() || !win_.allocate(window_size, ' ')) return DecodeStatus::no_memory;
        uint8_t* const base = win_.data();
        size_t pos = win_.pos();
        for (;;) {
            const uint64_t left = out_size - win_.total_at(pos);
            if (left == 0) break;
            if (pos >= win_.flush_point()) {
                win_.set_pos(pos);
                if (!win_.flush(sink)) return DecodeStatus::stopped;
                pos = win_.pos();
            }
            in_.refill();
            const unsigned c = decode_char();
            if (c < 256) {
                if (in_.overrun()) return DecodeStatus::truncated;
                base[pos++] = static_cast<uint8_t>(c);
                continue;
            }
            const size_t dist = decode_position() + 1;
            if (in_.overrun()) return DecodeStatus::truncated;
            const size_t len = static_cast<size_t>(std::min<uint64_t>(c - (256 - threshold), left));
            lz_copy_fast(base + pos, dist, len);
            pos += len;
        }
        win_.set_pos(pos);
        return win_.flush(sink) ? DecodeStatus::ok : DecodeStatus::stopped;
    }

private:
    void start_huff()
    {
        for (unsigned i = 0; i < n_char; ++i) {
            freq_[i] = 1;
            son_[i] = static_cast<uint16_t>(i + tree_size);
            prnt_[i + tree_size] = static_cast<uint16_t>(i);
        }
        for (unsigned i = 0, j = n_char; j <= root; i += 2, ++j) {
            freq_[j] = static_cast<uint16_t>(freq_[i] + freq_[i + 1]);
            son_[j] = static_cast<uint16_t>(i);
            prnt_[i] = prnt_[i + 1] = static_cast<uint16_t>(j);
        }
        freq_[tree_size] = 0xFFFF; // sentinel for the search in update()
        prnt_[root] = 0;
    }

    // Halves every leaf count (rounding up) and rebuilds the tree: leaves
    // gathered in order at the bottom, each new inner node inserted after
    // the last node whose count is not above its own.
    void reconstruct()
    {
        unsigned j = 0;
        for (unsigned i = 0; i < tree_size; ++i) {
            if (son_[i] >= tree_size) {
                freq_[j] = static_cast<uint16_t>((freq_[i] + 1) / 2);
                son_[j] = son_[i];
                ++j;
            }
        }
        for (unsigned i = 0, jj = n_char; jj < tree_size; i += 2, ++jj) {
            const uint16_t f = static_cast<uint16_t>(freq_[i] + freq_[i + 1]);
            unsigned k = jj - 1;
            while (f < freq_[k]) --k;
            ++k;
            std::memmove(&freq_[k + 1], &freq_[k], (jj - k) * sizeof freq_[0]);
            freq_[k] = f;
            std::memmove(&son_[k + 1], &son_[k], (jj - k) * sizeof son_[0]);
            son_[k] = static_cast<uint16_t>(i);
        }
        for (unsigned i = 0; i < tree_size; ++i) {
            const unsigned k = son_[i];
            prnt_[k] = static_cast<uint16_t>(i);
            if (k < tree_size) prnt_[k + 1] = static_cast<uint16_t>(i);
        }
    }

    void update(unsigned c)
    {
        if (freq_[root] == max_freq) reconstruct();
        c = prnt_[c + tree_size];
        do {
            const uint16_t k = ++freq_[c];
            // Out of order: swap with the last node still at the old count.
            unsigned l = c + 1;
            if (k > freq_[l]) {
                while (k > freq_[++l]) {
                }
                --l;
                freq_[c] = freq_[l];
                freq_[l] = k;
                const unsigned i = son_[c];
                prnt_[i] = static_cast<uint16_t>(l);
                if (i < tree_size) prnt_[i + 1] = static_cast<uint16_t>(l);
                const unsigned jn = son_[l];
                son_[l] = static_cast<uint16_t>(i);
                prnt_[jn] = static_cast<uint16_t>(c);
                if (jn < tree_size) prnt_[jn + 1] = static_cast<uint16_t>(c);
                son_[c] = static_cast<uint16_t>(jn);
                c = l;
            }
            c = prnt_[c];
        } while (c != 0);
    }

    // Walks from the root, a bit per level (0: son, 1: son + 1).
    unsigned decode_char()
    {
        unsigned c = son_[root];
        while (c < tree_size) c = son_[c + in_.get_bit()];
        c -= tree_size;
        update(c);
        return c;
    }

    unsigned decode_position()
    {
        if (in_.bits_buffered() < 8 + 6) in_.refill();
        const unsigned i = in_.peek(8);
        in_.consume(positions.len[i]);
        return (unsigned{positions.upper[i]} << 6) | in_.get(6);
    }

    msb_bit_reader in_;
    lz_window win_;
    std::array<uint16_t, tree_size + 1> freq_{};
    std::array<uint16_t, tree_size + n_char> prnt_{};
    std::array<uint16_t, tree_size> son_{};
};

} // namespace

DecodeStatus lha_lh1_decode(ByteSource& in, ByteSink& out, uint64_t out_size)
{
    if (out_size == 0) return DecodeStatus::ok;
    auto decoder = std::unique_ptr<lh1_decoder>(new (std::nothrow) lh1_decoder(in));
    if (!decoder) return DecodeStatus::no_memory;
    return decoder->run(out, out_size);
}

} // namespace velmora

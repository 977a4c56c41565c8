// PPMd variant H (Dmitry Shkarin's PPMd var.H, 2001): the context model with
// its sub-allocator, as RAR 2.9-4.x and 7-Zip's 7z PPMd method use it. The
// model is the same for both; only the range coder differs, so decoding is a
// template over the range decoder (PpmdRarRangeDecoder, Ppmd7zRangeDecoder).
// Orders 2 to 64; memory from 2 KiB to 4 GiB - 36 bytes, allocated once.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

namespace velmora {

class Ppmd7Model {
public:
    static constexpr unsigned min_order = 2;
    static constexpr unsigned max_order = 64;
    static constexpr uint32_t min_memory = 1u << 11;
    static constexpr uint32_t max_memory = 0xFFFFFFFFu - 12 * 3;

    // decode_symbol results besides a byte 0..255.
    static constexpr int end_mark = -1;   // an escape out of the order -1 context
    static constexpr int data_error = -2; // the coded value lies outside every symbol's range

    Ppmd7Model();
    Ppmd7Model(const Ppmd7Model&) = delete;
    Ppmd7Model& operator=(const Ppmd7Model&) = delete;

    // Makes room for a model of `size` bytes (min_memory..max_memory). An arena
    // at least that large already held is kept (the model still uses exactly
    // `size` bytes of it). False when it cannot be allocated.
    bool allocate(uint32_t size);
    bool allocated() const { return base_ != nullptr; }
    void release();

    // Starts a fresh model of order `order` (min_order..max_order) in the arena.
    void init(unsigned order);

    // Decodes one symbol through `rc` and updates the model. RangeDecoder has
    // threshold(total), decode(start, size) and decode_bit(size0) as in
    // PpmdRarRangeDecoder. After data_error the model must be initialised again.
    template <typename RangeDecoder>
    int decode_symbol(RangeDecoder& rc);

private:
    // The arena holds 12-byte units addressed by 32-bit offsets (0 = none):
    //   State (6 bytes):    Symbol(1) Freq(1) Successor(4)
    //   Context (12 bytes): NumStats(2) SummFreq(2) Stats(4) Suffix(4)
    // A context with one symbol keeps that State in its bytes 2..7, over
    // SummFreq and Stats. Free units carry Stamp(2) NU(2) Next(4).
    // Fields are read and written through memcpy so that the overlapping
    // records never alias typed objects.
    using ref = uint32_t;
    static constexpr uint32_t unit_size = 12;
    static constexpr uint32_t state_size = 6;
    static constexpr unsigned max_freq = 124;
    static constexpr unsigned int_bits = 7;
    static constexpr unsigned period_bits = 7;
    static constexpr unsigned bin_scale = 1u << (int_bits + period_bits);
    // Unit-count classes: 4 of step 1, 4 of step 2, 4 of step 3, then step 4 up to 128 units.
    static constexpr unsigned num_indexes = 4 + 4 + 4 + (128 + 3 - 1 * 4 - 2 * 4 - 3 * 4) / 4;
    static_assert(num_indexes == 38);

    struct see_context {
        uint16_t summ;
        uint8_t shift;
        uint8_t count;
    };

    uint8_t* p(ref r) { return base_.get() + r; }
    const uint8_t* p(ref r) const { return base_.get() + r; }
    uint16_t get16(ref r) const
    {
        uint16_t v;
        std::memcpy(&v, p(r), 2);
        return v;
    }
    uint32_t get32(ref r) const
    {
        uint32_t v;
        std::memcpy(&v, p(r), 4);
        return v;
    }
    void set16(ref r, uint32_t v)
    {
        const uint16_t x = static_cast<uint16_t>(v);
        std::memcpy(p(r), &x, 2);
    }
    void set32(ref r, uint32_t v) { std::memcpy(p(r), &v, 4); }

    // State fields.
    uint8_t symbol(ref s) const { return base_[s]; }
    uint8_t freq(ref s) const { return base_[s + 1]; }
    void set_symbol(ref s, unsigned v) { base_[s] = static_cast<uint8_t>(v); }
    void set_freq(ref s, unsigned v) { base_[s + 1] = static_cast<uint8_t>(v); }
    ref successor(ref s) const { return get32(s + 2); }
    void set_successor(ref s, ref v) { set32(s + 2, v); }
    void copy_state(ref to, ref from) { std::memmove(p(to), p(from), state_size); }
    void swap_states(ref a, ref b);

    // Context fields.
    unsigned num_stats(ref c) const { return get16(c); }
    void set_num_stats(ref c, unsigned v) { set16(c, v); }
    unsigned summ_freq(ref c) const { return get16(c + 2); }
    void set_summ_freq(ref c, unsigned v) { set16(c + 2, v); }
    ref stats(ref c) const { return get32(c + 4); }
    void set_stats(ref c, ref v) { set32(c + 4, v); }
    ref suffix(ref c) const { return get32(c + 8); }
    void set_suffix(ref c, ref v) { set32(c + 8, v); }
    static ref one_state(ref c) { return c + 2; }

    // Sub-allocator.
    unsigned units_to_index(unsigned nu) const { return units2indx_[nu - 1]; }
    unsigned index_to_units(unsigned i) const { return indx2units_[i]; }
    void insert_node(ref node, unsigned index);
    ref remove_node(unsigned index);
    void split_block(ref block, unsigned old_index, unsigned new_index);
    void glue_free_blocks();
    ref alloc_units_rare(unsigned index);
    ref alloc_units(unsigned index);
    ref alloc_context();

    // Model.
    void restart_model();
    ref create_successors();
    void update_model();
    void rescale();
    void next_context();
    void update1();
    void update1_0();
    void update_bin();
    void update2();
    see_context* make_esc_freq(unsigned num_masked, uint32_t& esc_freq);
    uint16_t& bin_summ();
    static unsigned hi_bits_flag3(unsigned sym) { return sym >= 0x40 ? 0x08 : 0; }
    static unsigned hi_bits_flag4(unsigned sym) { return sym >= 0x40 ? 0x10 : 0; }

    std::unique_ptr<uint8_t[]> base_;
    uint32_t size_ = 0;     // the model's memory size
    uint32_t capacity_ = 0; // what the arena holds
    ref text_ = 0, units_start_ = 0, lo_unit_ = 0, hi_unit_ = 0;
    uint32_t glue_count_ = 0;
    std::array<ref, num_indexes> free_list_{};

    ref min_context_ = 0, max_context_ = 0, found_state_ = 0;
    unsigned order_fall_ = 0, init_esc_ = 0, prev_success_ = 0, max_order_ = 0, hi_bits_flag_ = 0;
    int32_t run_length_ = 0, init_rl_ = 0;

    std::array<uint8_t, num_indexes> indx2units_{};
    std::array<uint8_t, 128> units2indx_{};
    std::array<uint8_t, 256> ns2bs_indx_{};
    std::array<uint8_t, 256> ns2indx_{};
    see_context dummy_see_{};
    std::array<std::array<see_context, 16>, 25> see_{};
    std::array<std::array<uint16_t, 64>, 128> bin_summ_{};
};

// ---------------------------------------------------------------------------
// Decoding. A context with several symbols codes the symbol by its frequency
// among them plus an escape; a context with one symbol codes a binary
// decision with an adaptive probability (bin_summ); after an escape the
// suffix contexts are tried with the symbols already seen masked out, and the
// escape frequency comes from the secondary estimation (SEE) tables.

template <typename RangeDecoder>
int Ppmd7Model::decode_symbol(RangeDecoder& rc)
{
    uint8_t char_mask[256];
    const ref mc = min_context_;
    const unsigned ns = num_stats(mc);
    if (ns != 1) {
        ref s = stats(mc);
        const uint32_t total = summ_freq(mc);
        if (total > rc.range())
            return data_error;
        uint32_t count = rc.threshold(total);
        uint32_t hi_cnt = freq(s);
        if (count < hi_cnt) {
            rc.decode(0, hi_cnt);
            found_state_ = s;
            const int sym = symbol(s);
            update1_0();
            return sym;
        }
        prev_success_ = 0;
        for (unsigned i = ns - 1; i != 0; --i) {
            s += state_size;
            hi_cnt += freq(s);
            if (hi_cnt > count) {
                rc.decode(hi_cnt - freq(s), freq(s));
                found_state_ = s;
                const int sym = symbol(s);
                update1();
                return sym;
            }
        }
        if (count >= total)
            return data_error;
        hi_bits_flag_ = hi_bits_flag3(symbol(found_state_));
        rc.decode(hi_cnt, total - hi_cnt);
        std::memset(char_mask, 0xFF, sizeof char_mask);
        for (ref t = stats(mc); t <= s; t += state_size)
            char_mask[symbol(t)] = 0;
    } else {
        const ref s = one_state(mc);
        uint16_t& prob = bin_summ();
        const unsigned pr = prob;
        // PPMD_GET_MEAN: the probability moves 1/128 of the way each time.
        const unsigned mean = (pr + (1u << (period_bits - 2))) >> period_bits;
        if (rc.decode_bit(pr) == 0) {
            prob = static_cast<uint16_t>(pr + (1u << int_bits) - mean);
            found_state_ = s;
            const int sym = symbol(s);
            update_bin();
            return sym;
        }
        prob = static_cast<uint16_t>(pr - mean);
        static constexpr uint8_t exp_escape[16] = {25, 14, 9, 7, 5, 5, 4, 4, 4, 3, 3, 3, 2, 2, 2, 2};
        init_esc_ = exp_escape[prob >> 10];
        std::memset(char_mask, 0xFF, sizeof char_mask);
        char_mask[symbol(s)] = 0;
        prev_success_ = 0;
    }

    for (;;) {
        const unsigned num_masked = num_stats(min_context_);
        ref c = min_context_;
        do {
            ++order_fall_;
            if (suffix(c) == 0)
                return end_mark;
            c = suffix(c);
        } while (num_stats(c) == num_masked);
        min_context_ = c;

        const unsigned n = num_stats(c);
        const ref first = stats(c);
        const ref last = first + n * state_size;
        uint32_t hi_cnt = 0;
        for (ref s = first; s != last; s += state_size)
            hi_cnt += freq(s) & char_mask[symbol(s)];

        uint32_t esc_freq = 0;
        see_context* see = make_esc_freq(num_masked, esc_freq);
        const uint32_t total = esc_freq + hi_cnt;
        if (total > rc.range())
            return data_error;
        uint32_t count = rc.threshold(total);
        if (count < hi_cnt) {
            ref s = first;
            uint32_t low = 0;
            for (;;) {
                const uint32_t f = freq(s) & char_mask[symbol(s)];
                if (low + f > count)
                    break;
                low += f;
                s += state_size;
            }
            rc.decode(low, freq(s));
            // Ppmd_See_UPDATE: the estimate adapts faster while its shift is small.
            if (see->shift < period_bits && --see->count == 0) {
                see->summ = static_cast<uint16_t>(see->summ << 1);
                see->count = static_cast<uint8_t>(3u << see->shift++);
            }
            found_state_ = s;
            const int sym = symbol(s);
            update2();
            return sym;
        }
        if (count >= total)
            return data_error;
        rc.decode(hi_cnt, total - hi_cnt);
        see->summ = static_cast<uint16_t>(see->summ + total);
        for (ref s = first; s != last; s += state_size)
            char_mask[symbol(s)] = 0;
    }
}

} // namespace velmora

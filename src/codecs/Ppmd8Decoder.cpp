// PPMd var.I rev.1 (Dmitry Shkarin, 2002) as ZIP method 98 uses it (PKWARE
// APPNOTE 5.10). The model lives in one block of memory: text (the recent
// symbols) grows up from the bottom, contexts and symbol lists are carved in
// 12-byte units from the top and from the middle, with free lists per block
// size. Encoder and decoder must make every allocation the same way, since
// running out of memory (and the restart or cut-off that follows) is part of
// the model; the allocator here follows var.I step by step. Block offsets are
// 32-bit; states sit at 6-byte steps, so the records are read through casts
// (this file builds with -fno-strict-aliasing).
#include "codecs/Ppmd8Decoder.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velmora {
namespace {

constexpr unsigned min_order = 2;
constexpr unsigned max_order = 16;
constexpr uint32_t max_memory_mib = 256;   // 8-bit field, stored minus one
constexpr unsigned restore_restart = 0;
constexpr unsigned restore_cut_off = 1;
constexpr unsigned restore_freeze = 2;

constexpr unsigned unit_size = 12;
constexpr unsigned max_freq = 124;
constexpr unsigned int_bits = 7;
constexpr unsigned period_bits = 7;
constexpr unsigned bin_scale = 1u << (int_bits + period_bits);
constexpr uint32_t empty_node = 0xFFFFFFFF;

// Block sizes in units: 4 sizes each of steps 1, 2 and 3, then steps of 4 up
// to 128 units (the 256 states of the order-0 context).
constexpr unsigned num_indexes = 4 + 4 + 4 + (128 + 3 - 1 * 4 - 2 * 4 - 3 * 4) / 4;
static_assert(num_indexes == 38);

// Context flags.
constexpr uint8_t flag_rescaled = 1u << 2;
constexpr uint8_t flag_high_symbol = 1u << 3;    // some symbol of the context is 0x40 or above
constexpr uint8_t flag_prev_high = 1u << 4;      // the symbol that led here is 0x40 or above
constexpr uint8_t high_flag_3(unsigned sym) { return sym >= 0x40 ? flag_high_symbol : 0; }
constexpr uint8_t high_flag_4(unsigned sym) { return sym >= 0x40 ? flag_prev_high : 0; }

constexpr std::array<uint8_t, 16> exp_escape = {25, 14, 9, 7, 5, 5, 4, 4, 4, 3, 3, 3, 2, 2, 2, 2};
constexpr std::array<uint16_t, 8> init_bin_esc = {0x3CDD, 0x1F3F, 0x59BF, 0x48F3, 0x64A1, 0x5ABC, 0x6632, 0x6051};

struct size_tables {
    std::array<uint8_t, num_indexes> index_to_units{};
    std::array<uint8_t, 128> units_to_index{};
    std::array<uint8_t, 256> ns_to_bs_index{};   // symbol count -> binary-context column
    std::array<uint8_t, 260> ns_to_index{};      // symbol count -> SEE row / frequency class

    constexpr size_tables()
    {
        unsigned k = 0;
        for (unsigned i = 0; i < num_indexes; ++i) {
            unsigned step = i >= 12 ? 4 : (i >> 2) + 1;
            for (; step != 0; --step)
                units_to_index[k++] = static_cast<uint8_t>(i);
            index_to_units[i] = static_cast<uint8_t>(k);
        }
        ns_to_bs_index[0] = 0;
        ns_to_bs_index[1] = 2;
        for (unsigned i = 2; i < 11; ++i)
            ns_to_bs_index[i] = 4;
        for (unsigned i = 11; i < 256; ++i)
            ns_to_bs_index[i] = 6;
        unsigned i = 0;
        for (; i < 5; ++i)
            ns_to_index[i] = static_cast<uint8_t>(i);
        for (unsigned m = i, run = 1; i < 260; ++i) {
            ns_to_index[i] = static_cast<uint8_t>(m);
            if (--run == 0)
                run = ++m - 4;
        }
    }
};
constexpr size_tables tables;
static_assert(tables.index_to_units[num_indexes - 1] == 128);
static_assert(tables.ns_to_index[256] == 26);   // SEE rows: ns_to_index[3..256] - 3 = 0..23

// Records in the model block. A context with one symbol keeps that symbol's
// state inside itself, from byte 2 (over summ_freq and stats).
struct ppmd_state {
    uint8_t symbol;
    uint8_t freq;
    uint16_t successor_lo;
    uint16_t successor_hi;
};
struct ppmd_context {
    uint8_t num_stats;   // symbols - 1
    uint8_t flags;
    uint16_t summ_freq;
    uint32_t stats;
    uint32_t suffix;
};
struct free_node {
    uint32_t stamp;   // empty_node while free
    uint32_t next;
    uint32_t nu;
};
static_assert(sizeof(ppmd_state) == 6 && sizeof(ppmd_context) == unit_size && sizeof(free_node) == unit_size);
static_assert(2 * sizeof(ppmd_state) == unit_size);

struct see_context {
    uint16_t summ;
    uint8_t shift;
    uint8_t count;

    // Slower adaptation as the context gets older.
    void update()
    {
        if (shift < period_bits && --count == 0) {
            summ = static_cast<uint16_t>(summ << 1);
            count = static_cast<uint8_t>(3 << shift++);
        }
    }
};

inline uint32_t successor(const ppmd_state* s) { return s->successor_lo | (static_cast<uint32_t>(s->successor_hi) << 16); }
inline void set_successor(ppmd_state* s, uint32_t v)
{
    s->successor_lo = static_cast<uint16_t>(v);
    s->successor_hi = static_cast<uint16_t>(v >> 16);
}
inline ppmd_state* one_state(ppmd_context* c) { return reinterpret_cast<ppmd_state*>(reinterpret_cast<uint8_t*>(c) + 2); }

constexpr int sym_end = -1;
constexpr int sym_error = -2;

} // namespace

class Ppmd8Decoder::model {
public:
    // Model memory of `bytes`; false when it cannot be had.
    bool allocate(uint32_t bytes)
    {
        if (base_ && size_ == bytes)
            return true;
        memory_.reset();
        base_ = nullptr;
        // Not zeroed: untouched pages of a large model cost nothing. The unit
        // past the end is a guard for the free-block walks. The model is
        // read all over, so it asks for huge pages: thousands of TLB misses
        // and page faults fewer per MB decoded with a 100 MiB model.
        const size_t n = (size_t{bytes} + unit_size + huge_page - 1) & ~(huge_page - 1);
        memory_.reset(static_cast<uint8_t*>(std::aligned_alloc(huge_page, n)));
        if (!memory_)
            return false;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        ::madvise(memory_.get(), n, MADV_HUGEPAGE);
#endif
        base_ = memory_.get();
        size_ = bytes;
        std::memset(base_ + size_, 0, unit_size);
        return true;
    }

    // Range decoder over `in`, then a fresh model. False when the first four
    // bytes cannot start a stream.
    bool start(ByteSource& in, unsigned order, unsigned restore_method)
    {
        source_ = &in;
        next_ = end_ = nullptr;
        at_end_ = false;
        extra_ = 0;
        if (!input_)
            input_ = std::make_unique_for_overwrite<uint8_t[]>(input_size);
        code_ = 0;
        range_ = 0xFFFFFFFF;
        low_ = 0;
        for (int i = 0; i < 4; ++i)
            code_ = (code_ << 8) | next_byte();
        max_order_ = order;
        restore_method_ = restore_method;
        init_esc_ = 0;
        restart_model();
        return code_ < 0xFFFFFFFF;
    }

    // Bytes read past the end of the input (as zeros).
    uint32_t extra() const { return extra_; }
    int decode_symbol();

private:
    // ----- block offsets -----
    uint32_t ref(const void* p) const { return static_cast<uint32_t>(static_cast<const uint8_t*>(p) - base_); }
    uint8_t* ptr(uint32_t r) const { return base_ + r; }
    ppmd_context* ctx(uint32_t r) const { return reinterpret_cast<ppmd_context*>(base_ + r); }
    ppmd_state* stats(const ppmd_context* c) const { return reinterpret_cast<ppmd_state*>(base_ + c->stats); }
    ppmd_context* suffix(const ppmd_context* c) const { return ctx(c->suffix); }
    free_node* node(uint32_t r) const { return reinterpret_cast<free_node*>(base_ + r); }

    static unsigned units(unsigned index) { return tables.index_to_units[index]; }
    static unsigned index_of(unsigned nu) { return tables.units_to_index[nu - 1]; }
    static uint32_t bytes(unsigned nu) { return nu * unit_size; }
    // Whole units, a word at a time: blocks are a few units long, too short
    // for a library copy to pay. The blocks never overlap.
    static void copy_units(void* to, const void* from, unsigned nu)
    {
        auto* d = static_cast<uint32_t*>(to);
        const auto* z = static_cast<const uint32_t*>(from);
        static_assert(unit_size == 3 * sizeof(uint32_t));
        for (; nu != 0; --nu, d += 3, z += 3) {
            d[0] = z[0];
            d[1] = z[1];
            d[2] = z[2];
        }
    }

    // ----- range decoder (carry-less, Subbotin) -----
    static constexpr uint32_t range_top = 1u << 24;
    static constexpr uint32_t range_bottom = 1u << 15;

    uint8_t next_byte()
    {
        if (next_ == end_) [[unlikely]] {
            if (!fill_input()) {
                ++extra_;
                return 0;
            }
        }
        return *next_++;
    }
    bool fill_input()
    {
        if (at_end_)
            return false;
        const size_t n = source_->read({input_.get(), input_size});
        if (n == 0) {
            at_end_ = true;
            return false;
        }
        next_ = input_.get();
        end_ = next_ + n;
        return true;
    }
    void normalize()
    {
        for (;;) {
            if ((low_ ^ (low_ + range_)) >= range_top) {
                if (range_ >= range_bottom)
                    return;
                // Carry-less: when low and low + range straddle a top-byte
                // boundary, the range is cut back to the bottom boundary.
                range_ = (0 - low_) & (range_bottom - 1);
            }
            code_ = (code_ << 8) | next_byte();
            range_ <<= 8;
            low_ <<= 8;
        }
    }
    uint32_t threshold(uint32_t total)
    {
        range_ /= total;
        return code_ / range_;
    }
    void take(uint32_t start, uint32_t size)
    {
        start *= range_;
        low_ += start;
        code_ -= start;
        range_ *= size;
    }

    // ----- sub-allocator -----
    void insert_node(void* p, unsigned index)
    {
        free_node* n = static_cast<free_node*>(p);
        n->stamp = empty_node;
        n->next = free_list_[index];
        n->nu = units(index);
        free_list_[index] = ref(p);
        ++stamps_[index];
    }
    void* remove_node(unsigned index)
    {
        free_node* n = node(free_list_[index]);
        free_list_[index] = n->next;
        --stamps_[index];
        return n;
    }
    // Returns the tail of a block of old_index size, beyond new_index units, to the free lists.
    void split_block(void* p, unsigned old_index, unsigned new_index)
    {
        const unsigned nu = units(old_index) - units(new_index);
        uint8_t* rest = static_cast<uint8_t*>(p) + bytes(units(new_index));
        unsigned i = index_of(nu);
        if (units(i) != nu) {
            const unsigned k = units(--i);
            insert_node(rest + bytes(k), nu - k - 1);
        }
        insert_node(rest, i);
    }
    void glue_free_blocks();
    void* alloc_units_rare(unsigned index);
    void* alloc_units(unsigned index)
    {
        if (free_list_[index] != 0)
            return remove_node(index);
        const uint32_t nb = bytes(units(index));
        if (static_cast<uint32_t>(hi_unit_ - lo_unit_) >= nb) {
            uint8_t* p = lo_unit_;
            lo_unit_ += nb;
            return p;
        }
        return alloc_units_rare(index);
    }
    void* shrink_units(void* old, unsigned old_nu, unsigned new_nu)
    {
        const unsigned i0 = index_of(old_nu);
        const unsigned i1 = index_of(new_nu);
        if (i0 == i1)
            return old;
        if (free_list_[i1] != 0) {
            void* p = remove_node(i1);
            copy_units(p, old, new_nu);
            insert_node(old, i0);
            return p;
        }
        split_block(old, i0, i1);
        return old;
    }
    void free_units(void* p, unsigned nu) { insert_node(p, index_of(nu)); }
    // A unit at the bottom of the unit area goes back to the text instead.
    void special_free_unit(void* p)
    {
        if (static_cast<uint8_t*>(p) != units_start_)
            insert_node(p, 0);
        else
            units_start_ += unit_size;
    }
    void expand_text_area();
    uint32_t used_memory() const
    {
        uint32_t nu = 0;
        for (unsigned i = 0; i < num_indexes; ++i)
            nu += stamps_[i] * units(i);
        return size_ - static_cast<uint32_t>(hi_unit_ - lo_unit_) - static_cast<uint32_t>(units_start_ - text_) - bytes(nu);
    }

    // ----- model -----
    void restart_model();
    void refresh(ppmd_context* c, unsigned old_nu, unsigned scale);
    uint32_t cut_off(ppmd_context* c, unsigned order);
    void restore_model(ppmd_context* error_context);
    ppmd_context* create_successors(bool skip, ppmd_state* s1, ppmd_context* c);
    ppmd_context* reduce_order(ppmd_state* s1, ppmd_context* c);
    void update_model();
    void rescale();
    see_context* make_esc_freq(unsigned num_masked, uint32_t& esc_freq);
    void next_context()
    {
        ppmd_context* c = ctx(successor(found_state_));
        if (order_fall_ == 0 && reinterpret_cast<uint8_t*>(c) >= units_start_)
            max_context_ = min_context_ = c;
        else
            update_model();
    }
    void update1();
    void update1_0();
    void update2();
    uint16_t& bin_summ()
    {
        const ppmd_state* s = one_state(min_context_);
        // Bit 5 of the column: the run of successes is still negative (young model).
        const unsigned column = prev_success_ + ((static_cast<uint32_t>(run_length_) >> 26) & 0x20)
                                + tables.ns_to_bs_index[suffix(min_context_)->num_stats] + min_context_->flags;
        return bin_summ_[tables.ns_to_index[s->freq - 1u]][column];
    }

    static constexpr size_t huge_page = size_t{2} << 20;
    struct free_memory {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    std::unique_ptr<uint8_t, free_memory> memory_;
    uint8_t* base_ = nullptr;
    uint32_t size_ = 0;

    ppmd_context* min_context_ = nullptr;
    ppmd_context* max_context_ = nullptr;
    ppmd_state* found_state_ = nullptr;
    unsigned order_fall_ = 0, init_esc_ = 0, prev_success_ = 0, max_order_ = 0, restore_method_ = 0;
    int32_t run_length_ = 0, init_rl_ = 0;
    uint32_t glue_count_ = 0;
    uint8_t* lo_unit_ = nullptr;
    uint8_t* hi_unit_ = nullptr;
    uint8_t* text_ = nullptr;
    uint8_t* units_start_ = nullptr;
    std::array<uint32_t, num_indexes> free_list_{};
    std::array<uint32_t, num_indexes> stamps_{};
    see_context dummy_see_{};
    see_context see_[24][32]{};
    uint16_t bin_summ_[25][64]{};

    uint32_t range_ = 0, code_ = 0, low_ = 0;
    static constexpr size_t input_size = size_t{64} << 10;
    ByteSource* source_ = nullptr;
    std::unique_ptr<uint8_t[]> input_;
    const uint8_t* next_ = nullptr;
    const uint8_t* end_ = nullptr;
    bool at_end_ = false;
    uint32_t extra_ = 0;
};

// Merges neighbouring free blocks and refiles them by size. The unit at
// lo_unit_ gets stamp 0 as a guard so a merge never runs into the gap.
void Ppmd8Decoder::model::glue_free_blocks()
{
    glue_count_ = 1u << 13;
    stamps_.fill(0);
    if (lo_unit_ != hi_unit_)
        reinterpret_cast<free_node*>(lo_unit_)->stamp = 0;

    // One chain of every free block, each grown over the free blocks right
    // after it (those are left with nu = 0 and dropped from the chain).
    uint32_t head = 0;
    uint32_t* link = &head;
    for (unsigned i = 0; i < num_indexes; ++i) {
        uint32_t next = free_list_[i];
        free_list_[i] = 0;
        while (next != 0) {
            free_node* n = node(next);
            uint32_t nu = n->nu;
            *link = next;
            next = n->next;
            if (nu != 0) {
                link = &n->next;
                for (free_node* after; (after = n + nu)->stamp == empty_node;) {
                    nu += after->nu;
                    after->nu = 0;
                    n->nu = nu;
                }
            }
        }
    }
    *link = 0;

    while (head != 0) {
        free_node* n = node(head);
        uint32_t nu = n->nu;
        head = n->next;
        if (nu == 0)
            continue;
        for (; nu > 128; nu -= 128, n += 128)
            insert_node(n, num_indexes - 1);
        unsigned i = index_of(nu);
        if (units(i) != nu) {
            const unsigned k = units(--i);
            insert_node(n + k, nu - k - 1);
        }
        insert_node(n, i);
    }
}

void* Ppmd8Decoder::model::alloc_units_rare(unsigned index)
{
    if (glue_count_ == 0) {
        glue_free_blocks();
        if (free_list_[index] != 0)
            return remove_node(index);
    }
    unsigned i = index;
    do {
        if (++i == num_indexes) {
            // No larger free block: take units from the top of the text area.
            const uint32_t nb = bytes(units(index));
            --glue_count_;
            if (static_cast<uint32_t>(units_start_ - text_) > nb) {
                units_start_ -= nb;
                return units_start_;
            }
            return nullptr;
        }
    } while (free_list_[i] == 0);
    void* block = remove_node(i);
    split_block(block, i, index);
    return block;
}

// Gives the free blocks at the bottom of the unit area back to the text.
void Ppmd8Decoder::model::expand_text_area()
{
    std::array<uint32_t, num_indexes> count{};
    if (lo_unit_ != hi_unit_)
        reinterpret_cast<free_node*>(lo_unit_)->stamp = 0;
    free_node* n = reinterpret_cast<free_node*>(units_start_);
    while (n->stamp == empty_node) {
        const uint32_t nu = n->nu;
        n->stamp = 0;
        ++count[index_of(nu)];
        n += nu;
    }
    units_start_ = reinterpret_cast<uint8_t*>(n);

    // Unlink the blocks just taken (now stamped 0) from their lists.
    for (unsigned i = 0; i < num_indexes; ++i) {
        uint32_t cnt = count[i];
        if (cnt == 0)
            continue;
        stamps_[i] -= cnt;
        uint32_t* link = &free_list_[i];
        uint32_t r = *link;
        for (;;) {
            free_node* f = node(r);
            r = f->next;
            if (f->stamp != 0) {
                link = &f->next;
                continue;
            }
            *link = r;
            if (--cnt == 0)
                break;
        }
    }
}

void Ppmd8Decoder::model::restart_model()
{
    free_list_.fill(0);
    stamps_.fill(0);
    text_ = base_;
    hi_unit_ = text_ + size_;
    lo_unit_ = units_start_ = hi_unit_ - size_ / 8 / unit_size * 7 * unit_size;
    glue_count_ = 0;

    order_fall_ = max_order_;
    run_length_ = init_rl_ = -static_cast<int32_t>(std::min(max_order_, 12u)) - 1;
    prev_success_ = 0;

    // The order-0 context: all 256 symbols at frequency 1.
    hi_unit_ -= unit_size;
    ppmd_context* mc = reinterpret_cast<ppmd_context*>(hi_unit_);
    ppmd_state* s = reinterpret_cast<ppmd_state*>(lo_unit_);
    lo_unit_ += bytes(256 / 2);
    max_context_ = min_context_ = mc;
    found_state_ = s;
    mc->flags = 0;
    mc->num_stats = 255;
    mc->summ_freq = 256 + 1;
    mc->stats = ref(s);
    mc->suffix = 0;
    for (unsigned i = 0; i < 256; ++i, ++s) {
        s->symbol = static_cast<uint8_t>(i);
        s->freq = 1;
        set_successor(s, 0);
    }

    for (unsigned i = 0, m = 0; m < 25; ++m) {
        while (tables.ns_to_index[i] == m)
            ++i;
        for (unsigned k = 0; k < 8; ++k) {
            const auto v = static_cast<uint16_t>(bin_scale - init_bin_esc[k] / (i + 1));
            for (unsigned r = 0; r < 64; r += 8)
                bin_summ_[m][k + r] = v;
        }
    }
    for (unsigned i = 0, m = 0; m < 24; ++m) {
        while (tables.ns_to_index[i + 3] == m + 3)
            ++i;
        const auto summ = static_cast<uint16_t>((2 * i + 5) << (period_bits - 4));
        for (auto& see : see_[m])
            see = {summ, period_bits - 4, 7};
    }
    dummy_see_ = {0, period_bits, 64};
}

// After symbols were removed from c: halve (scale 1) or keep the
// frequencies, give the escape the removed symbols' share, redo the flags.
void Ppmd8Decoder::model::refresh(ppmd_context* c, unsigned old_nu, unsigned scale)
{
    unsigned i = c->num_stats;
    ppmd_state* s = static_cast<ppmd_state*>(shrink_units(stats(c), old_nu, (i + 2) >> 1));
    c->stats = ref(s);
    scale |= (c->summ_freq >= (1u << 15)) ? 1u : 0u;

    uint8_t high = high_flag_3(s->symbol);
    unsigned freq = s->freq;
    unsigned esc_freq = c->summ_freq - freq;
    freq = (freq + scale) >> scale;
    unsigned sum_freq = freq;
    s->freq = static_cast<uint8_t>(freq);
    do {
        freq = (++s)->freq;
        esc_freq -= freq;
        freq = (freq + scale) >> scale;
        sum_freq += freq;
        s->freq = static_cast<uint8_t>(freq);
        high |= high_flag_3(s->symbol);
    } while (--i);
    c->summ_freq = static_cast<uint16_t>(sum_freq + ((esc_freq + scale) >> scale));
    c->flags = static_cast<uint8_t>((c->flags & (flag_prev_high + flag_rescaled * scale)) + high);
}

// Cut-off restoration: drops successors past the maximum order and states
// that point into the text, frees contexts left without successors (keeping
// binary ones up to order 9), and moves symbol lists near the text upwards.
uint32_t Ppmd8Decoder::model::cut_off(ppmd_context* c, unsigned order)
{
    int ns = c->num_stats;
    if (ns == 0) {
        ppmd_state* s = one_state(c);
        uint32_t succ = successor(s);
        if (ptr(succ) >= units_start_) {
            succ = order < max_order_ ? cut_off(ctx(succ), order + 1) : 0;
            set_successor(s, succ);
            if (succ != 0 || order <= 9)
                return ref(c);
        }
        special_free_unit(c);
        return 0;
    }

    const unsigned nu = (static_cast<unsigned>(ns) + 2) >> 1;
    ppmd_state* st = stats(c);
    {
        const unsigned index = index_of(nu);
        if (static_cast<uint32_t>(reinterpret_cast<uint8_t*>(st) - units_start_) <= (1u << 14)
            && c->stats <= free_list_[index]) {
            void* p = remove_node(index);
            c->stats = ref(p);
            copy_units(p, st, nu);
            if (reinterpret_cast<uint8_t*>(st) != units_start_)
                insert_node(st, index);
            else
                units_start_ += bytes(units(index));
            st = static_cast<ppmd_state*>(p);
        }
    }

    for (int k = ns; k >= 0; --k) {
        ppmd_state* s = st + k;
        const uint32_t succ = successor(s);
        if (ptr(succ) < units_start_) {
            ppmd_state* last = st + ns--;
            if (order != 0) {
                if (s != last)
                    *s = *last;
            } else {
                std::swap(*s, *last);
                set_successor(last, 0);
            }
        } else {
            set_successor(s, order < max_order_ ? cut_off(ctx(succ), order + 1) : 0);
        }
    }

    if (ns != c->num_stats && order != 0) {
        if (ns < 0) {
            free_units(st, nu);
            special_free_unit(c);
            return 0;
        }
        c->num_stats = static_cast<uint8_t>(ns);
        if (ns == 0) {
            const uint8_t sym = st->symbol;
            const uint8_t freq = static_cast<uint8_t>((static_cast<unsigned>(st->freq) + 11) >> 3);
            const uint32_t succ = successor(st);
            c->flags = static_cast<uint8_t>((c->flags & flag_prev_high) + high_flag_3(sym));
            ppmd_state* one = one_state(c);
            one->symbol = sym;
            one->freq = freq;
            set_successor(one, succ);
            free_units(st, nu);
        } else {
            refresh(c, nu, c->summ_freq > 16u * static_cast<unsigned>(ns) ? 1u : 0u);
        }
    }
    return ref(c);
}

// The model ran out of memory while adding contexts from max_context_ down to
// error_context: take back the symbols just added, then restart or cut off.
void Ppmd8Decoder::model::restore_model(ppmd_context* error_context)
{
    text_ = base_;
    ppmd_context* c = max_context_;
    for (; c != error_context; c = suffix(c)) {
        if (--c->num_stats == 0) {
            ppmd_state* s = stats(c);
            const uint8_t sym = s->symbol;
            const uint8_t freq = static_cast<uint8_t>((static_cast<unsigned>(s->freq) + 11) >> 3);
            const uint32_t succ = successor(s);
            c->flags = static_cast<uint8_t>((c->flags & flag_prev_high) + high_flag_3(sym));
            ppmd_state* one = one_state(c);
            one->symbol = sym;
            one->freq = freq;
            set_successor(one, succ);
            special_free_unit(s);
        } else {
            refresh(c, (static_cast<unsigned>(c->num_stats) + 3) >> 1, 0);
        }
    }
    for (; c != min_context_; c = suffix(c)) {
        if (c->num_stats == 0) {
            ppmd_state* one = one_state(c);
            one->freq = static_cast<uint8_t>((static_cast<unsigned>(one->freq) + 1) >> 1);
        } else {
            c->summ_freq = static_cast<uint16_t>(c->summ_freq + 4);
            if (c->summ_freq > 128 + 4 * static_cast<unsigned>(c->num_stats))
                refresh(c, (static_cast<unsigned>(c->num_stats) + 2) >> 1, 1);
        }
    }

    if (restore_method_ == restore_restart || used_memory() < (size_ >> 1)) {
        restart_model();
    } else {
        while (max_context_->suffix != 0)
            max_context_ = suffix(max_context_);
        do {
            cut_off(max_context_, 0);
            expand_text_area();
        } while (used_memory() > 3 * (size_ >> 2));
        glue_count_ = 0;
        order_fall_ = max_order_;
    }
    min_context_ = max_context_;
}

// Makes the chain of binary contexts for the text that follows found_state_,
// from the first suffix whose state already has a real successor upwards.
ppmd_context* Ppmd8Decoder::model::create_successors(bool skip, ppmd_state* s1, ppmd_context* c)
{
    uint32_t up_branch = successor(found_state_);
    std::array<ppmd_state*, max_order + 1> ps;
    unsigned num_ps = 0;
    if (!skip)
        ps[num_ps++] = found_state_;

    while (c->suffix != 0) {
        c = suffix(c);
        ppmd_state* s;
        if (s1) {
            s = s1;
            s1 = nullptr;
        } else if (c->num_stats != 0) {
            const uint8_t sym = found_state_->symbol;
            for (s = stats(c); s->symbol != sym; ++s) {
            }
            if (s->freq < max_freq - 9) {
                ++s->freq;
                ++c->summ_freq;
            }
        } else {
            s = one_state(c);
            s->freq = static_cast<uint8_t>(s->freq + ((suffix(c)->num_stats == 0 && s->freq < 24) ? 1 : 0));
        }
        const uint32_t succ = successor(s);
        if (succ != up_branch) {
            c = ctx(succ);
            if (num_ps == 0)
                return c;
            break;
        }
        ps[num_ps++] = s;
    }

    const uint8_t new_sym = *ptr(up_branch);
    ++up_branch;
    const uint8_t flags = static_cast<uint8_t>(high_flag_4(found_state_->symbol) + high_flag_3(new_sym));
    uint8_t new_freq;
    if (c->num_stats == 0) {
        new_freq = one_state(c)->freq;
    } else {
        const ppmd_state* s = stats(c);
        while (s->symbol != new_sym)
            ++s;
        const uint32_t cf = static_cast<uint32_t>(s->freq) - 1;
        const uint32_t s0 = static_cast<uint32_t>(c->summ_freq) - c->num_stats - cf;
        new_freq = static_cast<uint8_t>(1 + ((2 * cf <= s0) ? (5 * cf > s0 ? 1 : 0) : ((cf + 2 * s0 - 3) / s0)));
    }

    do {
        ppmd_context* c1;
        if (hi_unit_ != lo_unit_) {
            hi_unit_ -= unit_size;
            c1 = reinterpret_cast<ppmd_context*>(hi_unit_);
        } else if (free_list_[0] != 0) {
            c1 = static_cast<ppmd_context*>(remove_node(0));
        } else {
            c1 = static_cast<ppmd_context*>(alloc_units_rare(0));
            if (!c1)
                return nullptr;
        }
        c1->flags = flags;
        c1->num_stats = 0;
        ppmd_state* one = one_state(c1);
        one->symbol = new_sym;
        one->freq = new_freq;
        set_successor(one, up_branch);
        c1->suffix = ref(c);
        set_successor(ps[--num_ps], ref(c1));
        c = c1;
    } while (num_ps != 0);
    return c;
}

// found_state_ had no successor: point it (and the suffixes' states for the
// same symbol that lack one) at the text, then find or build the context.
ppmd_context* Ppmd8Decoder::model::reduce_order(ppmd_state* s1, ppmd_context* c)
{
    ppmd_state* s = nullptr;
    ppmd_context* const c1 = c;
    const uint32_t up_branch = ref(text_);
    set_successor(found_state_, up_branch);
    ++order_fall_;

    for (;;) {
        if (s1) {
            c = suffix(c);
            s = s1;
            s1 = nullptr;
        } else {
            if (c->suffix == 0)
                return c;
            c = suffix(c);
            if (c->num_stats != 0) {
                s = stats(c);
                while (s->symbol != found_state_->symbol)
                    ++s;
                if (s->freq < max_freq - 9) {
                    s->freq = static_cast<uint8_t>(s->freq + 2);
                    c->summ_freq = static_cast<uint16_t>(c->summ_freq + 2);
                }
            } else {
                s = one_state(c);
                s->freq = static_cast<uint8_t>(s->freq + (s->freq < 32 ? 1 : 0));
            }
        }
        if (successor(s) != 0)
            break;
        set_successor(s, up_branch);
        ++order_fall_;
    }

    if (successor(s) <= up_branch) {
        ppmd_state* const saved = found_state_;
        found_state_ = s;
        ppmd_context* made = create_successors(false, nullptr, c);
        set_successor(s, made ? ref(made) : 0);
        found_state_ = saved;
    }
    const uint32_t succ = successor(s);
    if (order_fall_ == 1 && c1 == max_context_) {
        set_successor(found_state_, succ);
        --text_;
    }
    return succ == 0 ? nullptr : ctx(succ);
}

void Ppmd8Decoder::model::update_model()
{
    uint32_t min_successor = successor(found_state_);
    const unsigned f_freq = found_state_->freq;
    const uint8_t f_symbol = found_state_->symbol;
    uint32_t max_successor;
    ppmd_state* s = nullptr;

    // The symbol also gains in the next shorter context.
    if (f_freq < max_freq / 4 && min_context_->suffix != 0) {
        ppmd_context* c = suffix(min_context_);
        if (c->num_stats == 0) {
            s = one_state(c);
            if (s->freq < 32)
                ++s->freq;
        } else {
            s = stats(c);
            if (s->symbol != f_symbol) {
                do {
                    ++s;
                } while (s->symbol != f_symbol);
                if (s[0].freq >= s[-1].freq) {
                    std::swap(s[0], s[-1]);
                    --s;
                }
            }
            if (s->freq < max_freq - 9) {
                s->freq = static_cast<uint8_t>(s->freq + 2);
                c->summ_freq = static_cast<uint16_t>(c->summ_freq + 2);
            }
        }
    }

    ppmd_context* c = max_context_;
    if (order_fall_ == 0 && min_successor != 0) {
        ppmd_context* cs = create_successors(true, s, min_context_);
        if (!cs) {
            set_successor(found_state_, 0);
            restore_model(c);
            return;
        }
        set_successor(found_state_, ref(cs));
        min_context_ = max_context_ = cs;
        return;
    }

    *text_++ = found_state_->symbol;
    if (text_ >= units_start_) {
        restore_model(c);
        return;
    }
    max_successor = ref(text_);

    if (min_successor == 0) {
        ppmd_context* cs = reduce_order(s, min_context_);
        if (!cs) {
            restore_model(c);
            return;
        }
        min_successor = ref(cs);
    } else if (ptr(min_successor) < units_start_) {
        ppmd_context* cs = create_successors(false, s, min_context_);
        if (!cs) {
            restore_model(c);
            return;
        }
        min_successor = ref(cs);
    }

    if (--order_fall_ == 0) {
        max_successor = min_successor;
        text_ -= (max_context_ != min_context_) ? 1 : 0;
    }

    // Add the symbol to every context from max_context_ down to (not
    // including) min_context_, where it was not found.
    const uint8_t flag = high_flag_3(f_symbol);
    const unsigned ns = min_context_->num_stats;
    const unsigned s0 = min_context_->summ_freq - ns - f_freq;
    for (; c != min_context_; c = suffix(c)) {
        const unsigned ns1 = c->num_stats;
        uint32_t sum;
        if (ns1 != 0) {
            if ((ns1 & 1) != 0) {
                // An even number of states fills its units: grow by one unit.
                const unsigned old_nu = (ns1 + 1) >> 1;
                const unsigned i = index_of(old_nu);
                if (i != index_of(old_nu + 1)) {
                    void* p = alloc_units(i + 1);
                    if (!p) {
                        restore_model(c);
                        return;
                    }
                    void* old = stats(c);
                    copy_units(p, old, old_nu);
                    insert_node(old, i);
                    c->stats = ref(p);
                }
            }
            sum = c->summ_freq;
            sum += (3 * ns1 + 1 < ns) ? 1u : 0u;
        } else {
            // A binary context becomes a list of two.
            ppmd_state* two = static_cast<ppmd_state*>(alloc_units(0));
            if (!two) {
                restore_model(c);
                return;
            }
            ppmd_state* one = one_state(c);
            unsigned freq = one->freq;
            two->symbol = one->symbol;
            two->successor_lo = one->successor_lo;
            two->successor_hi = one->successor_hi;
            c->stats = ref(two);
            freq = freq < max_freq / 4 - 1 ? freq << 1 : max_freq - 4;
            two->freq = static_cast<uint8_t>(freq);
            sum = freq + init_esc_ + (ns > 2 ? 1u : 0u);
        }

        ppmd_state* added = stats(c) + ns1 + 1;
        uint32_t cf = 2 * (sum + 6) * f_freq;
        const uint32_t sf = s0 + sum;
        added->symbol = f_symbol;
        c->num_stats = static_cast<uint8_t>(ns1 + 1);
        set_successor(added, max_successor);
        c->flags |= flag;
        if (cf < 6 * sf) {
            cf = 1 + (cf > sf ? 1 : 0) + (cf >= 4 * sf ? 1 : 0);
            sum += 4;
        } else {
            cf = 4 + (cf > 9 * sf ? 1 : 0) + (cf > 12 * sf ? 1 : 0) + (cf > 15 * sf ? 1 : 0);
            sum += cf;
        }
        c->summ_freq = static_cast<uint16_t>(sum);
        added->freq = static_cast<uint8_t>(cf);
    }
    max_context_ = min_context_ = ctx(min_successor);
}

// Halves the frequencies of min_context_ (keeping the list sorted) and drops
// symbols that reach zero.
void Ppmd8Decoder::model::rescale()
{
    ppmd_context* mc = min_context_;
    ppmd_state* const st = stats(mc);
    ppmd_state* s = found_state_;

    // The found symbol moves to the front.
    if (s != st) {
        const ppmd_state tmp = *s;
        for (; s != st; --s)
            s[0] = s[-1];
        *s = tmp;
    }

    unsigned sum_freq = s->freq;
    unsigned esc_freq = mc->summ_freq - sum_freq;
    const unsigned adder = order_fall_ != 0 ? 1 : 0;
    sum_freq = (sum_freq + 4 + adder) >> 1;
    unsigned i = mc->num_stats;
    s->freq = static_cast<uint8_t>(sum_freq);
    do {
        unsigned freq = (++s)->freq;
        esc_freq -= freq;
        freq = (freq + adder) >> 1;
        sum_freq += freq;
        s->freq = static_cast<uint8_t>(freq);
        if (freq > s[-1].freq) {
            const ppmd_state tmp = *s;
            ppmd_state* s1 = s;
            do {
                s1[0] = s1[-1];
            } while (--s1 != st && freq > s1[-1].freq);
            *s1 = tmp;
        }
    } while (--i);

    if (s->freq == 0) {
        unsigned zeros = 0;
        do {
            ++zeros;
        } while ((--s)->freq == 0);
        esc_freq += zeros;
        const unsigned num_stats = mc->num_stats;
        const unsigned num_stats_new = num_stats - zeros;
        mc->num_stats = static_cast<uint8_t>(num_stats_new);
        const unsigned n0 = (num_stats + 2) >> 1;
        if (num_stats_new == 0) {
            unsigned freq = (2 * static_cast<unsigned>(st->freq) + esc_freq - 1) / esc_freq;
            if (freq > max_freq / 3)
                freq = max_freq / 3;
            mc->flags = static_cast<uint8_t>((mc->flags & flag_prev_high) + high_flag_3(st->symbol));
            const ppmd_state first = *st;
            ppmd_state* one = one_state(mc);
            *one = first;
            one->freq = static_cast<uint8_t>(freq);
            found_state_ = one;
            insert_node(st, index_of(n0));
            return;
        }
        const unsigned n1 = (num_stats_new + 2) >> 1;
        if (n0 != n1)
            mc->stats = ref(shrink_units(st, n0, n1));
    }
    mc->summ_freq = static_cast<uint16_t>(sum_freq + esc_freq - (esc_freq >> 1));
    mc->flags |= flag_rescaled;
    found_state_ = stats(mc);
}

// The escape estimate for min_context_ after num_masked symbols were excluded
// in the context before it, from the secondary (SEE) contexts.
see_context* Ppmd8Decoder::model::make_esc_freq(unsigned num_masked, uint32_t& esc_freq)
{
    const ppmd_context* mc = min_context_;
    const unsigned num_stats = mc->num_stats;
    if (num_stats == 0xFF) {
        esc_freq = 1;
        return &dummy_see_;
    }
    see_context* see = see_[tables.ns_to_index[num_stats + 2] - 3]
                       + (mc->summ_freq > 11 * (num_stats + 1) ? 1 : 0)
                       + 2 * (2 * num_stats < static_cast<unsigned>(suffix(mc)->num_stats) + num_masked ? 1 : 0)
                       + mc->flags;
    const unsigned summ = see->summ;
    const unsigned r = summ >> see->shift;
    see->summ = static_cast<uint16_t>(summ - r);
    esc_freq = r + (r == 0 ? 1 : 0);
    return see;
}

void Ppmd8Decoder::model::update1()
{
    ppmd_state* s = found_state_;
    const unsigned freq = s->freq + 4u;
    min_context_->summ_freq = static_cast<uint16_t>(min_context_->summ_freq + 4);
    s->freq = static_cast<uint8_t>(freq);
    if (freq > s[-1].freq) {
        std::swap(s[0], s[-1]);
        found_state_ = --s;
        if (freq > max_freq)
            rescale();
    }
    next_context();
}

void Ppmd8Decoder::model::update1_0()
{
    ppmd_state* s = found_state_;
    ppmd_context* mc = min_context_;
    unsigned freq = s->freq;
    const unsigned summ_freq = mc->summ_freq;
    prev_success_ = (2 * freq >= summ_freq) ? 1 : 0;
    run_length_ += static_cast<int32_t>(prev_success_);
    mc->summ_freq = static_cast<uint16_t>(summ_freq + 4);
    freq += 4;
    s->freq = static_cast<uint8_t>(freq);
    if (freq > max_freq)
        rescale();
    next_context();
}

void Ppmd8Decoder::model::update2()
{
    ppmd_state* s = found_state_;
    const unsigned freq = s->freq + 4u;
    run_length_ = init_rl_;
    min_context_->summ_freq = static_cast<uint16_t>(min_context_->summ_freq + 4);
    s->freq = static_cast<uint8_t>(freq);
    if (freq > max_freq)
        rescale();
    update_model();
}

// One symbol: >= 0 a byte, sym_end at the end marker (an escape out of the
// order-0 context), sym_error when the coder's value lies outside the total.
int Ppmd8Decoder::model::decode_symbol()
{
    std::array<uint8_t, 256> mask;   // 0xFF for symbols still possible, 0 for excluded ones

    if (min_context_->num_stats != 0) {
        ppmd_state* s = stats(min_context_);
        // Keeps the total within the range (a fix of var.I's rare divide by zero).
        const uint32_t summ = std::min<uint32_t>(min_context_->summ_freq, range_);
        uint32_t count = threshold(summ);
        uint32_t hi_cnt = count;
        if (static_cast<int32_t>(count -= s->freq) < 0) {
            take(0, s->freq);
            normalize();
            found_state_ = s;
            const uint8_t sym = s->symbol;
            update1_0();
            return sym;
        }
        prev_success_ = 0;
        for (unsigned i = min_context_->num_stats; i != 0; --i) {
            if (static_cast<int32_t>(count -= (++s)->freq) < 0) {
                take((hi_cnt - count) - s->freq, s->freq);
                normalize();
                found_state_ = s;
                const uint8_t sym = s->symbol;
                update1();
                return sym;
            }
        }
        if (hi_cnt >= summ)
            return sym_error;
        hi_cnt -= count;
        take(hi_cnt, summ - hi_cnt);
        mask.fill(0xFF);
        const ppmd_state* st = stats(min_context_);
        for (unsigned k = 0; k <= min_context_->num_stats; ++k)
            mask[st[k].symbol] = 0;
    } else {
        ppmd_state* s = one_state(min_context_);
        uint16_t& prob = bin_summ();
        uint32_t pr = prob;
        const uint32_t size0 = (range_ >> 14) * pr;
        pr -= (pr + (1u << (period_bits - 2))) >> period_bits;
        if (code_ < size0) {
            prob = static_cast<uint16_t>(pr + (1u << int_bits));
            range_ = size0;
            normalize();
            const unsigned freq = s->freq;
            ppmd_context* c = ctx(successor(s));
            const uint8_t sym = s->symbol;
            found_state_ = s;
            prev_success_ = 1;
            ++run_length_;
            s->freq = static_cast<uint8_t>(freq + (freq < 196 ? 1 : 0));
            if (order_fall_ == 0 && reinterpret_cast<uint8_t*>(c) >= units_start_)
                max_context_ = min_context_ = c;
            else
                update_model();
            return sym;
        }
        prob = static_cast<uint16_t>(pr);
        init_esc_ = exp_escape[pr >> 10];
        low_ += size0;
        code_ -= size0;
        range_ = (range_ & ~(bin_scale - 1)) - size0;
        mask.fill(0xFF);
        mask[s->symbol] = 0;
        prev_success_ = 0;
    }

    // Escape: move to shorter contexts that hold more symbols than were
    // excluded, and decode among the symbols not excluded yet.
    for (;;) {
        normalize();
        ppmd_context* mc = min_context_;
        const unsigned num_masked = mc->num_stats;
        do {
            ++order_fall_;
            if (mc->suffix == 0)
                return sym_end;
            mc = suffix(mc);
        } while (mc->num_stats == num_masked);

        ppmd_state* const st = stats(mc);
        const unsigned n = static_cast<unsigned>(mc->num_stats) + 1;
        uint32_t hi_cnt = 0;
        for (unsigned k = 0; k < n; ++k)
            hi_cnt += st[k].freq & mask[st[k].symbol];
        min_context_ = mc;

        uint32_t freq_sum;
        see_context* see = make_esc_freq(num_masked, freq_sum);
        freq_sum += hi_cnt;
        const uint32_t total = std::min(freq_sum, range_);
        uint32_t count = threshold(total);

        if (count < hi_cnt) {
            ppmd_state* s = st;
            hi_cnt = count;
            for (;;) {
                count -= s->freq & mask[s->symbol];
                ++s;
                if (static_cast<int32_t>(count) < 0)
                    break;
            }
            --s;
            take((hi_cnt - count) - s->freq, s->freq);
            normalize();
            see->update();
            found_state_ = s;
            const uint8_t sym = s->symbol;
            update2();
            return sym;
        }
        if (count >= total)
            return sym_error;
        take(hi_cnt, total - hi_cnt);
        see->summ = static_cast<uint16_t>(see->summ + freq_sum);
        for (unsigned k = 0; k < n; ++k)
            mask[st[k].symbol] = 0;
    }
}

Ppmd8Decoder::Ppmd8Decoder(uint32_t memory_limit_mib)
    : memory_limit_mib_(std::min(memory_limit_mib, max_memory_mib))
{
}
Ppmd8Decoder::~Ppmd8Decoder() = default;

DecodeStatus Ppmd8Decoder::decode(ByteSource& in, ByteSink& out, uint64_t out_size) noexcept
{
    if (out_size == 0)
        return DecodeStatus::ok;
    try {
        std::array<uint8_t, 2> header{};
        size_t got = 0;
        while (got < header.size()) {
            const size_t n = in.read(std::span(header).subspan(got));
            if (n == 0)
                return DecodeStatus::truncated;
            got += n;
        }
        const parameters p = parse_parameters(static_cast<uint16_t>(header[0] | header[1] << 8));
        if (p.restore_method == restore_freeze)
            return DecodeStatus::unsupported;   // var.I rev.1 and rev.2 disagree on it
        if (p.order < min_order || p.restore_method > restore_cut_off)
            return DecodeStatus::data_error;
        if (p.memory_mib > memory_limit_mib_)
            return DecodeStatus::no_memory;

        if (!model_)
            model_ = std::make_unique<model>();
        if (!model_->allocate(p.memory_mib << 20))
            return DecodeStatus::no_memory;
        const bool started = model_->start(in, p.order, p.restore_method);
        if (model_->extra() != 0)
            return DecodeStatus::truncated;
        if (!started)
            return DecodeStatus::data_error;

        const size_t buffer_size = static_cast<size_t>(std::min<uint64_t>(out_size, size_t{256} << 10));
        const auto buffer_memory = std::make_unique_for_overwrite<uint8_t[]>(buffer_size);
        const std::span<uint8_t> buffer(buffer_memory.get(), buffer_size);
        uint64_t remaining = out_size;
        while (remaining != 0) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, buffer.size()));
            size_t n = 0;
            for (; n < want; ++n) {
                const int sym = model_->decode_symbol();
                if (sym < 0 || model_->extra() != 0) {
                    if (n != 0 && !out.write({buffer.data(), n}))
                        return DecodeStatus::stopped;
                    return model_->extra() != 0 ? DecodeStatus::truncated : DecodeStatus::data_error;
                }
                buffer[n] = static_cast<uint8_t>(sym);
            }
            if (!out.write({buffer.data(), n}))
                return DecodeStatus::stopped;
            remaining -= n;
        }
        return DecodeStatus::ok;
    } catch (const std::bad_alloc&) {
        return DecodeStatus::no_memory;
    }
}

} // namespace velmora

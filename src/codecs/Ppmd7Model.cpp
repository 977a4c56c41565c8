// PPMd variant H: sub-allocator and model update. Follows the structure of
// Shkarin's var.H as 7-Zip's Ppmd7 restates it (public domain): the update
// rules below decide every later probability, so they must match the
// encoder's bit for bit, down to when the arena runs full and the model
// restarts.
#include "codecs/Ppmd7Model.h"

#include <new>

namespace velmora {

namespace {
// Initial binary-context escape estimates (var.H's InitBinEsc).
constexpr uint16_t init_bin_esc[8] = {0x3CDD, 0x1F3F, 0x59BF, 0x48F3, 0x64A1, 0x5ABC, 0x6632, 0x6051};
} // namespace

Ppmd7Model::Ppmd7Model()
{
    // Unit counts of the free-list classes: 1,2,3,4, 6,8,10,12, 15,18,21,24, 28,32,...,128.
    unsigned k = 0;
    for (unsigned i = 0; i < num_indexes; ++i) {
        unsigned step = i >= 12 ? 4 : (i >> 2) + 1;
        do {
            units2indx_[k++] = static_cast<uint8_t>(i);
        } while (--step);
        indx2units_[i] = static_cast<uint8_t>(k);
    }
    // Binary contexts are told apart by how many symbols their suffix has:
    // 1, 2, 3-11, more (times 2: the slot pairs with the previous-success bit).
    ns2bs_indx_[0] = 0;
    ns2bs_indx_[1] = 2;
    for (unsigned i = 2; i < 11; ++i)
        ns2bs_indx_[i] = 4;
    for (unsigned i = 11; i < 256; ++i)
        ns2bs_indx_[i] = 6;
    // SEE rows by the number of unmasked symbols: 0,1,2, then runs of growing length.
    unsigned i = 0;
    for (; i < 3; ++i)
        ns2indx_[i] = static_cast<uint8_t>(i);
    for (unsigned m = i, run = 1; i < 256; ++i) {
        ns2indx_[i] = static_cast<uint8_t>(m);
        if (--run == 0)
            run = ++m - 2;
    }
}

bool Ppmd7Model::allocate(uint32_t size)
{
    if (size < min_memory || size > max_memory)
        return false;
    // The model uses exactly `size` bytes; a larger arena already held serves.
    if (base_ && capacity_ >= size) {
        size_ = size;
        return true;
    }
    release();
    // One byte more than the model's size: offset 0 is never a unit or text position.
    base_.reset(new (std::nothrow) uint8_t[size_t{size} + 1]);
    if (!base_)
        return false;
    size_ = capacity_ = size;
    return true;
}

void Ppmd7Model::release()
{
    base_.reset();
    size_ = capacity_ = 0;
}

void Ppmd7Model::swap_states(ref a, ref b)
{
    uint8_t tmp[state_size];
    std::memcpy(tmp, p(a), state_size);
    std::memcpy(p(a), p(b), state_size);
    std::memcpy(p(b), tmp, state_size);
}

// ---------------------------------------------------------------------------
// Sub-allocator. Units are handed out upwards from LoUnit (symbol lists) and
// downwards from HiUnit (contexts); freed lists go to one free list per size
// class. When both ends meet, free blocks are glued together (at most once
// per 255 failed requests), then units are taken from the top of the text area.

void Ppmd7Model::insert_node(ref node, unsigned index)
{
    set32(node, free_list_[index]);
    free_list_[index] = node;
}

Ppmd7Model::ref Ppmd7Model::remove_node(unsigned index)
{
    const ref node = free_list_[index];
    free_list_[index] = get32(node);
    return node;
}

void Ppmd7Model::split_block(ref block, unsigned old_index, unsigned new_index)
{
    const unsigned nu = index_to_units(old_index) - index_to_units(new_index);
    ref rest = block + index_to_units(new_index) * unit_size;
    unsigned i = units_to_index(nu);
    if (index_to_units(i) != nu) {
        // No class of exactly nu units: a smaller class plus a 1-3 unit tail.
        const unsigned k = index_to_units(--i);
        insert_node(rest + k * unit_size, nu - k - 1);
    }
    insert_node(rest, i);
}

void Ppmd7Model::glue_free_blocks()
{
    // Free units carry Stamp 0 in their first 16 bits; every unit in use starts
    // with a non-zero 16-bit value (a context's NumStats, or a state list whose
    // first symbol has a non-zero Freq), and the last unit of the arena is the
    // root context, so walking from a free block to the next one stops there.
    // A stamp of 1 at LoUnit keeps the walk out of the gap between LoUnit and HiUnit.
    glue_count_ = 255;
    if (lo_unit_ != hi_unit_)
        set16(lo_unit_, 1);

    // One list of every free block (Stamp(2) NU(2) Next(4)), each class's list prepended in turn.
    ref head = 0;
    for (unsigned i = 0; i < num_indexes; ++i) {
        const unsigned nu = index_to_units(i);
        ref next = free_list_[i];
        free_list_[i] = 0;
        while (next != 0) {
            const ref node = next;
            next = get32(node);
            set16(node, 0);
            set16(node + 2, nu);
            set32(node + 4, head);
            head = node;
        }
    }

    // Glue each block with the free blocks that follow it in memory; a block
    // swallowed that way gets NU 0 and is dropped from the list when reached.
    ref prev = 0; // the node whose Next links to n; 0 for `head`
    for (ref n = head; n != 0;) {
        uint32_t nu = get16(n + 2);
        const ref next = get32(n + 4);
        if (nu == 0) {
            if (prev == 0)
                head = next;
            else
                set32(prev + 4, next);
            n = next;
            continue;
        }
        for (;;) {
            const ref n2 = n + nu * unit_size;
            nu += get16(n2 + 2);
            if (get16(n2) != 0 || nu >= 0x10000)
                break;
            set16(n + 2, nu);
            set16(n2 + 2, 0);
        }
        prev = n;
        n = next;
    }

    // Hand the glued blocks back to the free lists: 128-unit pieces, then the
    // largest class that fits plus a tail.
    for (ref n = head; n != 0;) {
        ref node = n;
        unsigned nu = get16(n + 2);
        n = get32(n + 4);
        if (nu == 0)
            continue;
        for (; nu > 128; nu -= 128, node += 128 * unit_size)
            insert_node(node, num_indexes - 1);
        unsigned i = units_to_index(nu);
        if (index_to_units(i) != nu) {
            const unsigned k = index_to_units(--i);
            insert_node(node + k * unit_size, nu - k - 1);
        }
        insert_node(node, i);
    }
}

Ppmd7Model::ref Ppmd7Model::alloc_units_rare(unsigned index)
{
    if (glue_count_ == 0) {
        glue_free_blocks();
        if (free_list_[index] != 0)
            return remove_node(index);
    }
    unsigned i = index;
    do {
        if (++i == num_indexes) {
            // No larger free block either: take units from the top of the text area.
            const uint32_t bytes = index_to_units(index) * unit_size;
            --glue_count_;
            if (units_start_ - text_ > bytes) {
                units_start_ -= bytes;
                return units_start_;
            }
            return 0;
        }
    } while (free_list_[i] == 0);
    const ref block = remove_node(i);
    split_block(block, i, index);
    return block;
}

Ppmd7Model::ref Ppmd7Model::alloc_units(unsigned index)
{
    if (free_list_[index] != 0)
        return remove_node(index);
    const uint32_t bytes = index_to_units(index) * unit_size;
    if (hi_unit_ - lo_unit_ >= bytes) {
        const ref r = lo_unit_;
        lo_unit_ += bytes;
        return r;
    }
    return alloc_units_rare(index);
}

Ppmd7Model::ref Ppmd7Model::alloc_context()
{
    if (hi_unit_ != lo_unit_) {
        hi_unit_ -= unit_size;
        return hi_unit_;
    }
    if (free_list_[0] != 0)
        return remove_node(0);
    return alloc_units_rare(0);
}

// ---------------------------------------------------------------------------
// Model

void Ppmd7Model::init(unsigned order)
{
    max_order_ = order;
    restart_model();
}

void Ppmd7Model::restart_model()
{
    free_list_.fill(0);
    // The model's bytes are 1..size; offset 0 stays unused so that a
    // successor of 0 means "none". 7/8 of them (in whole units, from the top)
    // hold units, the rest raw text.
    text_ = 1;
    hi_unit_ = 1 + size_;
    lo_unit_ = units_start_ = hi_unit_ - size_ / 8 / unit_size * 7 * unit_size;
    glue_count_ = 0;

    order_fall_ = max_order_;
    run_length_ = init_rl_ = -static_cast<int32_t>(max_order_ < 12 ? max_order_ : 12) - 1;
    prev_success_ = 0;

    // The order-0 context: all 256 symbols, each seen once.
    hi_unit_ -= unit_size;
    const ref mc = hi_unit_;
    const ref s = lo_unit_;
    lo_unit_ += 256 / 2 * unit_size;
    min_context_ = max_context_ = mc;
    found_state_ = s;
    set_num_stats(mc, 256);
    set_summ_freq(mc, 256 + 1);
    set_stats(mc, s);
    set_suffix(mc, 0);
    for (unsigned i = 0; i < 256; ++i) {
        const ref st = s + i * state_size;
        set_symbol(st, i);
        set_freq(st, 1);
        set_successor(st, 0);
    }

    for (unsigned i = 0; i < 128; ++i)
        for (unsigned k = 0; k < 8; ++k) {
            const uint16_t v = static_cast<uint16_t>(bin_scale - init_bin_esc[k] / (i + 2));
            for (unsigned m = 0; m < 64; m += 8)
                bin_summ_[i][k + m] = v;
        }
    for (unsigned i = 0; i < 25; ++i)
        for (auto& see : see_[i]) {
            see.shift = period_bits - 4;
            see.summ = static_cast<uint16_t>((5 * i + 10) << see.shift);
            see.count = 4;
        }
    dummy_see_.summ = 0;
    dummy_see_.shift = period_bits;
    dummy_see_.count = 64;
}

// Called when FoundState's successor is still a position in the raw text:
// makes real one-symbol contexts for it and for the same symbol in the
// suffix contexts that share that raw successor, from the lowest order up.
Ppmd7Model::ref Ppmd7Model::create_successors()
{
    ref c = min_context_;
    const ref up_branch = successor(found_state_);
    const unsigned fsym = symbol(found_state_);
    ref ps[max_order];
    unsigned num_ps = 0;
    if (order_fall_ != 0)
        ps[num_ps++] = found_state_;

    while (suffix(c) != 0) {
        c = suffix(c);
        ref s;
        if (num_stats(c) != 1) {
            for (s = stats(c); symbol(s) != fsym; s += state_size) {
            }
        } else {
            s = one_state(c);
        }
        const ref succ = successor(s);
        if (succ != up_branch) {
            c = succ;
            if (num_ps == 0)
                return c;
            break;
        }
        ps[num_ps++] = s;
    }

    // The new contexts predict the symbol that followed in the text.
    const unsigned new_sym = base_[up_branch];
    const ref new_successor = up_branch + 1;
    unsigned new_freq;
    if (num_stats(c) == 1) {
        new_freq = freq(one_state(c));
    } else {
        ref s;
        for (s = stats(c); symbol(s) != new_sym; s += state_size) {
        }
        const uint32_t cf = freq(s) - 1u;
        const uint32_t s0 = summ_freq(c) - num_stats(c) - cf;
        new_freq = 1 + ((2 * cf <= s0) ? (5 * cf > s0 ? 1u : 0u) : (2 * cf + s0 - 1) / (2 * s0) + 1);
    }

    do {
        const ref c1 = alloc_context();
        if (c1 == 0)
            return 0;
        set_num_stats(c1, 1);
        const ref os = one_state(c1);
        set_symbol(os, new_sym);
        set_freq(os, new_freq);
        set_successor(os, new_successor);
        set_suffix(c1, c);
        set_successor(ps[--num_ps], c1);
        c = c1;
    } while (num_ps != 0);
    return c;
}

void Ppmd7Model::update_model()
{
    const unsigned fsym = symbol(found_state_);
    const unsigned ffreq = freq(found_state_);

    // The symbol also gains in the next-lower context.
    if (ffreq < max_freq / 4 && suffix(min_context_) != 0) {
        const ref c = suffix(min_context_);
        if (num_stats(c) == 1) {
            const ref s = one_state(c);
            if (freq(s) < 32)
                set_freq(s, freq(s) + 1);
        } else {
            ref s = stats(c);
            if (symbol(s) != fsym) {
                do {
                    s += state_size;
                } while (symbol(s) != fsym);
                if (freq(s) >= freq(s - state_size)) {
                    swap_states(s, s - state_size);
                    s -= state_size;
                }
            }
            if (freq(s) < max_freq - 9) {
                set_freq(s, freq(s) + 2);
                set_summ_freq(c, summ_freq(c) + 2);
            }
        }
    }

    if (order_fall_ == 0) {
        // At the maximum order: the successor becomes a real context.
        min_context_ = max_context_ = create_successors();
        if (min_context_ == 0) {
            restart_model();
            return;
        }
        set_successor(found_state_, min_context_);
        return;
    }

    base_[text_++] = static_cast<uint8_t>(fsym);
    ref max_successor = text_;
    if (text_ >= units_start_) {
        restart_model();
        return;
    }

    ref min_successor = successor(found_state_);
    if (min_successor != 0) {
        if (min_successor <= max_successor) {
            // Still a raw-text successor: build the real contexts now.
            const ref cs = create_successors();
            if (cs == 0) {
                restart_model();
                return;
            }
            min_successor = cs;
        }
        if (--order_fall_ == 0) {
            max_successor = min_successor;
            text_ -= (max_context_ != min_context_) ? 1 : 0;
        }
    } else {
        // Only the order-0 context has symbols with no successor yet.
        set_successor(found_state_, max_successor);
        min_successor = min_context_;
    }

    const ref mc = min_context_;
    ref c = max_context_;
    min_context_ = max_context_ = min_successor;
    if (c == mc)
        return;

    // Add the symbol to every context between the longest one and the one it was found in.
    const unsigned ns = num_stats(mc);
    const uint32_t s0 = summ_freq(mc) - ns - (ffreq - 1);
    do {
        const unsigned ns1 = num_stats(c);
        uint32_t sum;
        if (ns1 != 1) {
            if ((ns1 & 1) == 0) {
                // The list fills its units (two states per unit): grow it by one unit.
                const unsigned old_nu = ns1 >> 1;
                const unsigned i = units_to_index(old_nu);
                if (i != units_to_index(old_nu + 1)) {
                    const ref ptr = alloc_units(i + 1);
                    if (ptr == 0) {
                        restart_model();
                        return;
                    }
                    const ref old = stats(c);
                    std::memcpy(p(ptr), p(old), old_nu * unit_size);
                    insert_node(old, i);
                    set_stats(c, ptr);
                }
            }
            sum = summ_freq(c);
            sum += (2 * ns1 < ns ? 1u : 0u) + 2 * ((4 * ns1 <= ns ? 1u : 0u) & (sum <= 8 * ns1 ? 1u : 0u));
        } else {
            // A one-symbol context becomes a list of two.
            const ref s = alloc_units(0);
            if (s == 0) {
                restart_model();
                return;
            }
            unsigned f = freq(one_state(c));
            copy_state(s, one_state(c));
            set_stats(c, s);
            f = f < max_freq / 4 - 1 ? f * 2 : max_freq - 4;
            set_freq(s, f);
            sum = f + init_esc_ + (ns > 3 ? 1u : 0u);
        }

        const ref s = stats(c) + ns1 * state_size;
        uint32_t cf = 2 * (sum + 6) * ffreq;
        const uint32_t sf = s0 + sum;
        set_symbol(s, fsym);
        set_num_stats(c, ns1 + 1);
        set_successor(s, max_successor);
        if (cf < 6 * sf) {
            cf = 1 + (cf > sf ? 1u : 0u) + (cf >= 4 * sf ? 1u : 0u);
            sum += 3;
        } else {
            cf = 4 + (cf >= 9 * sf ? 1u : 0u) + (cf >= 12 * sf ? 1u : 0u) + (cf >= 15 * sf ? 1u : 0u);
            sum += cf;
        }
        set_summ_freq(c, sum);
        set_freq(s, cf);
        c = suffix(c);
    } while (c != mc);
}

// Halves the frequencies of MinContext (keeping them sorted, FoundState
// first); in a maximum-order context symbols that fall to 0 are dropped.
void Ppmd7Model::rescale()
{
    const ref mc = min_context_;
    const ref first = stats(mc);
    ref s = found_state_;
    if (s != first) {
        uint8_t tmp[state_size];
        std::memcpy(tmp, p(s), state_size);
        std::memmove(p(first + state_size), p(first), s - first);
        std::memcpy(p(first), tmp, state_size);
    }
    s = first;
    const unsigned adder = order_fall_ != 0 ? 1 : 0;
    uint32_t esc_freq = summ_freq(mc) - freq(s);
    uint32_t sum_freq = (freq(s) + 4 + adder) >> 1;
    set_freq(s, sum_freq);

    for (unsigned i = num_stats(mc) - 1; i != 0; --i) {
        s += state_size;
        unsigned f = freq(s);
        esc_freq -= f;
        f = (f + adder) >> 1;
        sum_freq += f;
        set_freq(s, f);
        if (f > freq(s - state_size)) {
            // Insertion step: move it up past the smaller ones.
            uint8_t tmp[state_size];
            std::memcpy(tmp, p(s), state_size);
            ref s1 = s;
            do {
                copy_state(s1, s1 - state_size);
                s1 -= state_size;
            } while (s1 != first && f > freq(s1 - state_size));
            std::memcpy(p(s1), tmp, state_size);
        }
    }

    if (freq(s) == 0) {
        unsigned removed = 0;
        do {
            ++removed;
            s -= state_size;
        } while (freq(s) == 0);
        esc_freq += removed;
        const unsigned num = num_stats(mc);
        const unsigned num_new = num - removed;
        set_num_stats(mc, num_new);
        const unsigned n0 = (num + 1) >> 1;
        if (num_new == 1) {
            unsigned f = freq(first);
            do {
                esc_freq >>= 1;
                f = (f + 1) >> 1;
            } while (esc_freq > 1);
            copy_state(one_state(mc), first);
            set_freq(one_state(mc), f);
            found_state_ = one_state(mc);
            insert_node(first, units_to_index(n0));
            return;
        }
        const unsigned n1 = (num_new + 1) >> 1;
        if (n0 != n1) {
            // Shrink the list to fewer units.
            const unsigned i0 = units_to_index(n0);
            const unsigned i1 = units_to_index(n1);
            if (i0 != i1) {
                if (free_list_[i1] != 0) {
                    const ref ptr = remove_node(i1);
                    std::memcpy(p(ptr), p(first), n1 * unit_size);
                    insert_node(first, i0);
                    set_stats(mc, ptr);
                } else {
                    split_block(first, i0, i1);
                }
            }
        }
    }
    set_summ_freq(mc, sum_freq + esc_freq - (esc_freq >> 1));
    found_state_ = stats(mc);
}

Ppmd7Model::see_context* Ppmd7Model::make_esc_freq(unsigned num_masked, uint32_t& esc_freq)
{
    const ref mc = min_context_;
    const unsigned ns = num_stats(mc);
    if (ns == 256) {
        esc_freq = 1;
        return &dummy_see_;
    }
    const unsigned non_masked = ns - num_masked;
    see_context* see = &see_[ns2indx_[non_masked - 1]][0];
    see += (non_masked < num_stats(suffix(mc)) - ns ? 1 : 0) + 2 * (summ_freq(mc) < 11 * ns ? 1 : 0) +
           4 * (num_masked > non_masked ? 1 : 0) + hi_bits_flag_;
    const unsigned r = see->summ >> see->shift;
    see->summ = static_cast<uint16_t>(see->summ - r);
    esc_freq = r + (r == 0 ? 1 : 0);
    return see;
}

uint16_t& Ppmd7Model::bin_summ()
{
    const ref s = one_state(min_context_);
    hi_bits_flag_ = hi_bits_flag3(symbol(found_state_));
    const unsigned col = prev_success_ + ns2bs_indx_[num_stats(suffix(min_context_)) - 1] + hi_bits_flag_ +
                         hi_bits_flag4(symbol(s)) + ((static_cast<uint32_t>(run_length_) >> 26) & 0x20);
    return bin_summ_[freq(s) - 1][col];
}

void Ppmd7Model::next_context()
{
    const ref c = successor(found_state_);
    if (order_fall_ == 0 && c > text_)
        min_context_ = max_context_ = c;
    else
        update_model();
}

void Ppmd7Model::update1()
{
    ref s = found_state_;
    const unsigned f = freq(s) + 4;
    set_summ_freq(min_context_, summ_freq(min_context_) + 4);
    set_freq(s, f);
    if (f > freq(s - state_size)) {
        swap_states(s, s - state_size);
        found_state_ = s -= state_size;
        if (f > max_freq)
            rescale();
    }
    next_context();
}

void Ppmd7Model::update1_0()
{
    const ref s = found_state_;
    const ref mc = min_context_;
    const unsigned f = freq(s);
    const unsigned total = summ_freq(mc);
    prev_success_ = 2 * f > total ? 1 : 0;
    run_length_ += static_cast<int32_t>(prev_success_);
    set_summ_freq(mc, total + 4);
    set_freq(s, f + 4);
    if (f + 4 > max_freq)
        rescale();
    next_context();
}

void Ppmd7Model::update_bin()
{
    const ref s = found_state_;
    const unsigned f = freq(s);
    set_freq(s, f + (f < 128 ? 1 : 0));
    prev_success_ = 1;
    ++run_length_;
    next_context();
}

void Ppmd7Model::update2()
{
    const ref s = found_state_;
    const unsigned f = freq(s) + 4;
    run_length_ = init_rl_;
    set_summ_freq(min_context_, summ_freq(min_context_) + 4);
    set_freq(s, f);
    if (f > max_freq)
        rescale();
    update_model();
}

} // namespace velmora

// Writes RAR 5 streams for the tests: blocks with and without table
// headers, literal and match symbols of every kind (new distances with raw or
// align-coded low bits, repeat distances, the last match again) and filter
// records (DELTA, E8, E8E9, ARM) over ranges of the output. The streams are
// decoded by ours and, framed as an archive, by unar and bsdtar; the builder
// only keeps them valid (distances inside the output so far, filters inside
// the entry and in order).
#pragma once

#include <algorithm>
#include <array>
#include <numeric>
#include <random>
#include <vector>

#include "support/rar_test_archives.h"

namespace velmora::test {

class rar5_stream_builder {
public:
    static constexpr unsigned num_main = 306, num_align = 16, num_len = 44;

    rar5_stream_builder(uint32_t seed, bool extended_distances = false)
        : rng_(seed), table_rng_(seed + 1000), num_dist_(extended_distances ? 80 : 64)
    {
    }

    uint64_t produced() const { return produced_; }
    std::mt19937& rng() { return rng_; }

    // Starts a block; with tables, new codes shuffled by the seed (and an
    // align code that is either plain or skewed).
    void begin_block(bool with_tables, bool skewed_align)
    {
        block_ = msb_bit_writer();
        block_has_tables_ = with_tables;
        if (with_tables)
            write_tables(skewed_align);
    }

    // Ends the block and appends it, header first, to the entry's stream.
    void end_block(bool last)
    {
        const auto payload = block_.finish();
        const unsigned bits_in_last = block_.bit_count() % 8 == 0 ? 8 : block_.bit_count() % 8;
        const uint32_t size = static_cast<uint32_t>(payload.size());
        const unsigned size_bytes = size < 0x100 ? 1 : size < 0x10000 ? 2 : 3;
        const uint8_t flags = static_cast<uint8_t>((block_has_tables_ ? 0x80 : 0) | (last ? 0x40 : 0)
                                                   | ((size_bytes - 1) << 3) | (bits_in_last - 1));
        uint8_t check = 0x5A ^ flags;
        for (unsigned i = 0; i < size_bytes; ++i)
            check ^= static_cast<uint8_t>(size >> (8 * i));
        stream_.push_back(flags);
        stream_.push_back(check);
        for (unsigned i = 0; i < size_bytes; ++i)
            stream_.push_back(static_cast<uint8_t>(size >> (8 * i)));
        stream_.insert(stream_.end(), payload.begin(), payload.end());
    }

    // The entry's stream so far; a new entry (solid or not) starts empty.
    std::vector<uint8_t> take_stream()
    {
        std::vector<uint8_t> s;
        s.swap(stream_);
        filter_end_ = produced_;
        return s;
    }
    // A non-solid entry follows: the decoder forgets its window and distances.
    void reset_model()
    {
        reps_.fill(0);
        last_len_ = 0;
        window_start_ = produced_;
    }

    void literal(uint8_t b)
    {
        main_.put(block_, b);
        ++produced_;
    }

    // A filter over [produced + offset, + size) of this entry.
    void filter(unsigned type, uint32_t offset, uint32_t size, unsigned channels = 0)
    {
        main_.put(block_, 256);
        put_number(offset);
        put_number(size);
        block_.put(type, 3);
        if (type == 0)
            block_.put(channels - 1, 5);
        filter_end_ = produced_ + offset + size;
    }
    uint64_t filter_end() const { return filter_end_; }

    // A match at distance dist (1 <= dist <= produced) whose length before
    // the distance bonus is `base` (2..4097). Returns the bytes it adds.
    uint32_t match(uint64_t dist, uint32_t base)
    {
        put_length_symbol(262, base - 2);
        const uint64_t d = dist - 1;
        unsigned slot;
        unsigned extra_bits = 0;
        if (d < 4) {
            slot = static_cast<unsigned>(d);
        } else {
            extra_bits = 63 - static_cast<unsigned>(__builtin_clzll(d)) - 1;
            slot = 2 * extra_bits + 2 + static_cast<unsigned>((d >> extra_bits) & 1);
        }
        dist_.put(block_, slot);
        uint32_t len = base;
        if (slot >= 4) {
            const uint64_t extra = d - (uint64_t{2 | (slot & 1)} << extra_bits);
            if (extra_bits >= 4) {
                if (extra_bits > 4)
                    block_.put(static_cast<uint32_t>(extra >> 4), extra_bits - 4);
                align_.put(block_, static_cast<unsigned>(extra & 15));
                len += (extra_bits >= 7) + (extra_bits >= 12) + (extra_bits >= 17);
            } else {
                block_.put(static_cast<uint32_t>(extra), extra_bits);
            }
        }
        reps_ = {dist, reps_[0], reps_[1], reps_[2]};
        last_len_ = len;
        produced_ += len;
        return len;
    }

    // Repeat distance k (0-3) with length `base` (2..4097).
    uint32_t repeat(unsigned k, uint32_t base)
    {
        const uint64_t dist = reps_[k];
        main_.put(block_, 258 + k);
        put_length_code(base - 2);
        for (unsigned j = k; j > 0; --j)
            reps_[j] = reps_[j - 1];
        reps_[0] = dist;
        last_len_ = base;
        produced_ += base;
        return base;
    }

    uint32_t repeat_last()
    {
        main_.put(block_, 257);
        produced_ += last_len_;
        return last_len_;
    }

    // A random operation adding at most `room` bytes (room >= 1).
    uint32_t random_op(uint64_t room)
    {
        const unsigned kind = rng_() % 16;
        const uint64_t history = produced_ - window_start_;
        if (history < 16 || room < 8 || kind < 5) {
            literal(static_cast<uint8_t>("abcdefgh\xE8\xE9\xEB\x00"[rng_() % 12]));
            return 1;
        }
        if (kind < 7 && last_len_ && last_len_ <= room && reps_[0] && reps_[0] <= history)
            return repeat_last();
        if (kind < 10 && reps_[3] && *std::max_element(reps_.begin(), reps_.end()) <= history) {
            const unsigned k = rng_() % 4;
            const uint32_t base = pick_length(std::min<uint64_t>(room, 300));
            return repeat(k, base);
        }
        const unsigned top = 64 - static_cast<unsigned>(__builtin_clzll(history));
        const uint64_t span = uint64_t{1} << (rng_() % top + 1);
        const uint64_t dist = 1 + rng_() % std::min(span, history);
        const uint32_t bonus = dist > 0x100 ? (dist > 0x2000 ? (dist > 0x40000 ? 3 : 2) : 1) : 0;
        if (room < 2 + bonus + 1) {
            literal('q');
            return 1;
        }
        return match(dist, pick_length(std::min<uint64_t>(room - bonus, 4097)));
    }

private:
    uint32_t pick_length(uint64_t max_len)
    {
        const uint32_t cap = static_cast<uint32_t>(std::max<uint64_t>(max_len, 2));
        if (rng_() % 4 == 0)
            return 2 + rng_() % std::min<uint32_t>(cap - 1, 4096);
        return 2 + rng_() % std::min<uint32_t>(cap - 1, 12);
    }

    // Lengths: slot 0-7 = 0-7, then four slots per power of two.
    static unsigned length_slot(uint32_t v, uint32_t& extra, unsigned& bits)
    {
        if (v < 8) {
            extra = 0;
            bits = 0;
            return v;
        }
        bits = 31 - static_cast<unsigned>(__builtin_clz(v)) - 2;
        const unsigned slot = 4 * (bits + 1) + ((v >> bits) & 3);
        extra = v - ((4 | (slot & 3)) << bits);
        return slot;
    }
    void put_length_symbol(unsigned first, uint32_t v)
    {
        uint32_t extra;
        unsigned bits;
        main_.put(block_, first + length_slot(v, extra, bits));
        block_.put(extra, bits);
    }
    void put_length_code(uint32_t v)
    {
        uint32_t extra;
        unsigned bits;
        len_.put(block_, length_slot(v, extra, bits));
        block_.put(extra, bits);
    }
    void put_number(uint32_t v)
    {
        const unsigned n = v < 0x100 ? 1 : v < 0x10000 ? 2 : v < 0x1000000 ? 3 : 4;
        block_.put(n - 1, 2);
        for (unsigned i = 0; i < n; ++i)
            block_.put((v >> (8 * i)) & 0xFF, 8);
    }

    // Code shapes come from their own generator, so that the same seed gives
    // the same operations whatever the table sizes.
    std::vector<unsigned> shuffled(unsigned n)
    {
        std::vector<unsigned> v(n);
        std::iota(v.begin(), v.end(), 0u);
        std::shuffle(v.begin(), v.end(), table_rng_);
        return v;
    }

    void write_tables(bool skewed_align)
    {
        const canonical_code level(complete_lengths(shuffled(20), 20));
        for (unsigned s = 0; s < 20; ++s)
            block_.put(level.lens[s], 4);  // no 15s: the escape is not needed
        std::vector<uint8_t> lens;
        auto add = [&](const std::vector<uint8_t>& l) { lens.insert(lens.end(), l.begin(), l.end()); };
        add(complete_lengths(shuffled(num_main), num_main));
        add(complete_lengths(shuffled(num_dist_), num_dist_));
        std::vector<uint8_t> align(num_align, 4);
        if (skewed_align) {
            const auto order = shuffled(num_align);
            for (unsigned i = 0; i < num_align; ++i)
                align[order[i]] = static_cast<uint8_t>(std::min(i + 1, 15u));
        }
        add(align);
        add(complete_lengths(shuffled(num_len), num_len));
        // Runs of equal lengths through 16/17 (repeat) and 18/19 (zeros).
        size_t i = 0;
        while (i < lens.size()) {
            size_t run = 1;
            while (i + run < lens.size() && lens[i + run] == lens[i])
                ++run;
            if (i > 0 && lens[i] == lens[i - 1] && run >= 11) {
                const size_t n = std::min<size_t>(run, 138);
                level.put(block_, 17);
                block_.put(static_cast<uint32_t>(n - 11), 7);
                i += n;
            } else if (i > 0 && lens[i] == lens[i - 1] && run >= 3) {
                const size_t n = std::min<size_t>(run, 10);
                level.put(block_, 16);
                block_.put(static_cast<uint32_t>(n - 3), 3);
                i += n;
            } else if (lens[i] == 0 && run >= 11) {
                const size_t n = std::min<size_t>(run, 138);
                level.put(block_, 19);
                block_.put(static_cast<uint32_t>(n - 11), 7);
                i += n;
            } else if (lens[i] == 0 && run >= 3) {
                const size_t n = std::min<size_t>(run, 10);
                level.put(block_, 18);
                block_.put(static_cast<uint32_t>(n - 3), 3);
                i += n;
            } else {
                level.put(block_, lens[i]);
                ++i;
            }
        }
        main_ = canonical_code({lens.begin(), lens.begin() + num_main});
        dist_ = canonical_code({lens.begin() + num_main, lens.begin() + num_main + num_dist_});
        align_ = canonical_code(align);
        len_ = canonical_code({lens.end() - num_len, lens.end()});
    }

    std::mt19937 rng_;
    std::mt19937 table_rng_;
    unsigned num_dist_;
    msb_bit_writer block_;
    bool block_has_tables_ = false;
    std::vector<uint8_t> stream_;
    canonical_code main_{{}}, dist_{{}}, align_{{}}, len_{{}};
    std::array<uint64_t, 4> reps_{};
    uint32_t last_len_ = 0;
    uint64_t produced_ = 0;
    uint64_t window_start_ = 0;
    uint64_t filter_end_ = 0;
};

} // namespace velmora::test

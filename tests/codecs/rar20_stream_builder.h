// Writes RAR 2.0 streams for the tests: table blocks (LZ or audio, with or
// without the change-to-previous encoding and the run codes), and random but
// valid sequences of literals, matches of every kind and audio deltas. The
// streams are fed to our decoder and, framed as an archive, to unar, which
// tells what they decode to; the builder only needs to keep them valid.
#pragma once

#include <algorithm>
#include <array>
#include <numeric>
#include <random>
#include <vector>

#include "support/rar_test_archives.h"

namespace velmora::test {

class rar20_stream_builder {
public:
    static constexpr unsigned num_main = 298, num_dist = 48, num_len = 28, num_audio = 257;

    explicit rar20_stream_builder(uint32_t seed) : rng_(seed) {}

    msb_bit_writer& writer() { return w_; }
    uint64_t produced() const { return produced_; }
    bool audio() const { return audio_; }

    // A table block for LZ mode with codes shuffled by the seed.
    void lz_tables(bool keep_previous)
    {
        std::vector<uint8_t> lens;
        auto add = [&](unsigned n) {
            const auto l = complete_lengths(shuffled(n), n);
            lens.insert(lens.end(), l.begin(), l.end());
        };
        add(num_main);
        add(num_dist);
        add(num_len);
        write_table_block(false, 1, lens, keep_previous);
        main_ = canonical_code({lens.begin(), lens.begin() + num_main});
        dist_ = canonical_code({lens.begin() + num_main, lens.begin() + num_main + num_dist});
        len_ = canonical_code({lens.begin() + num_main + num_dist, lens.end()});
        audio_ = false;
    }

    // A table block for audio mode with `channels` channels.
    void audio_tables(unsigned channels, bool keep_previous)
    {
        std::vector<uint8_t> lens;
        for (unsigned c = 0; c < channels; ++c) {
            const auto l = complete_lengths(shuffled(num_audio), num_audio);
            lens.insert(lens.end(), l.begin(), l.end());
        }
        write_table_block(true, channels, lens, keep_previous);
        audio_codes_.clear();
        for (unsigned c = 0; c < channels; ++c)
            audio_codes_.emplace_back(std::vector<uint8_t>(lens.begin() + c * num_audio, lens.begin() + (c + 1) * num_audio));
        channels_ = channels;
        if (channel_ >= channels)
            channel_ = 0;
        audio_ = true;
    }

    // Announces a new table block in the current mode's symbol.
    void new_tables_symbol()
    {
        if (audio_)
            audio_codes_[channel_].put(w_, 256);
        else
            main_.put(w_, 269);
    }

    void literal(uint8_t b)
    {
        main_.put(w_, b);
        ++produced_;
    }

    void audio_delta(uint8_t d)
    {
        audio_codes_[channel_].put(w_, d);
        if (++channel_ == channels_)
            channel_ = 0;
        ++produced_;
    }

    // One random LZ operation that keeps every distance valid and stays
    // within `room` bytes of output (room >= 3). Returns the bytes it adds.
    unsigned random_op(uint64_t room)
    {
        const unsigned kind = rng_() % 16;
        if (produced_ < 8 || kind < 4) {
            literal(static_cast<uint8_t>(rng_() % 6 + 'a'));
            return 1;
        }
        if (kind < 6 && last_length_ && last_length_ <= room) {
            main_.put(w_, 256);
            return finish_match(old_[(ptr_ - 1) & 3], last_length_);
        }
        if (kind < 9 && old_[(ptr_ - 1) & 3]) {
            for (unsigned tries = 0; tries < 4; ++tries) {
                const unsigned back = 1 + rng_() % 4;
                const uint32_t dist = old_[(ptr_ - back) & 3];
                if (!dist)
                    continue;
                const unsigned slot = rng_() % (room > 300 ? 28 : 8);
                const uint32_t len = length_for(slot, 2) + plus_rep(dist);
                if (len > room)
                    continue;
                main_.put(w_, 256 + back);
                len_.put(w_, slot);
                put_length_extra(slot);
                return finish_match(dist, len);
            }
        }
        if (kind < 11) {
            const unsigned s = rng_() % 8;
            static constexpr std::array<uint32_t, 8> base = {0, 4, 8, 16, 32, 64, 128, 192};
            static constexpr std::array<unsigned, 8> bits = {2, 2, 3, 4, 5, 6, 6, 6};
            const uint32_t extra = rng_() % (1u << bits[s]);
            const uint32_t dist = base[s] + extra + 1;
            if (dist <= produced_ && room >= 2) {
                main_.put(w_, 261 + s);
                w_.put(extra, bits[s]);
                return finish_match(dist, 2);
            }
        }
        // A new distance, spread over every magnitude up to what exists.
        const unsigned top = 64 - static_cast<unsigned>(__builtin_clzll(produced_));
        const uint64_t span = uint64_t{1} << (rng_() % top + 1);
        const uint32_t dist = static_cast<uint32_t>(1 + rng_() % std::min<uint64_t>({span, produced_, 0x100000}));
        const unsigned slot = rng_() % (room > 300 ? 28 : 8);
        const uint32_t len = length_for(slot, 3) + (dist >= 0x2000) + (dist >= 0x40000);
        if (len > room) {
            literal('z');
            return 1;
        }
        main_.put(w_, 270 + slot);
        put_length_extra(slot);
        unsigned dslot = 0;
        while (dslot + 1 < num_dist && dist_base(dslot + 1) + 1 <= dist)
            ++dslot;
        dist_.put(w_, dslot);
        w_.put(dist - 1 - dist_base(dslot), dist_bits(dslot));
        return finish_match(dist, len);
    }

private:
    static uint32_t dist_base(unsigned s)
    {
        static constexpr std::array<uint32_t, 48> b = {
            0,      1,      2,      3,      4,      6,      8,      12,     16,     24,     32,     48,
            64,     96,     128,    192,    256,    384,    512,    768,    1024,   1536,   2048,   3072,
            4096,   6144,   8192,   12288,  16384,  24576,  32768,  49152,  65536,  98304,  131072, 196608,
            262144, 327680, 393216, 458752, 524288, 589824, 655360, 720896, 786432, 851968, 917504, 983040};
        return b[s];
    }
    static unsigned dist_bits(unsigned s) { return s < 4 ? 0 : std::min(16u, s / 2 - 1); }
    static unsigned length_extra_bits(unsigned slot) { return slot < 8 ? 0 : slot / 4 - 1; }
    uint32_t length_for(unsigned slot, uint32_t add)
    {
        if (slot < 8) {
            pending_extra_ = 0;
            return slot + add;
        }
        const unsigned eb = length_extra_bits(slot);
        pending_extra_ = rng_() % (1u << eb);
        return ((4 | (slot & 3)) << eb) + pending_extra_ + add;
    }
    void put_length_extra(unsigned slot) { w_.put(pending_extra_, length_extra_bits(slot)); }
    static uint32_t plus_rep(uint32_t dist) { return (dist >= 0x101) + (dist >= 0x2000) + (dist >= 0x40000); }

    unsigned finish_match(uint32_t dist, uint32_t len)
    {
        old_[ptr_++ & 3] = dist;
        last_length_ = len;
        produced_ += len;
        return len;
    }

    std::vector<unsigned> shuffled(unsigned n)
    {
        std::vector<unsigned> v(n);
        std::iota(v.begin(), v.end(), 0u);
        std::shuffle(v.begin(), v.end(), rng_);
        return v;
    }

    // Sends `lens` through a shuffled complete level code, using the run
    // symbols where they fit; with keep_previous, as changes to the lengths
    // of the previous block.
    void write_table_block(bool audio, unsigned channels, const std::vector<uint8_t>& lens, bool keep_previous)
    {
        w_.put(audio, 1);
        w_.put(keep_previous, 1);
        if (!keep_previous)
            std::fill(levels_.begin(), levels_.end(), 0);
        if (audio)
            w_.put(channels - 1, 2);
        const canonical_code level(complete_lengths(shuffled(19), 19));
        for (unsigned s = 0; s < 19; ++s)
            w_.put(level.lens[s], 4);
        size_t i = 0;
        while (i < lens.size()) {
            size_t run = 1;
            while (i + run < lens.size() && lens[i + run] == lens[i])
                ++run;
            if (lens[i] == 0 && run >= 11) {
                const size_t n = std::min<size_t>(run, 138);
                level.put(w_, 18);
                w_.put(static_cast<uint32_t>(n - 11), 7);
                i += n;
            } else if (lens[i] == 0 && run >= 3) {
                const size_t n = std::min<size_t>(run, 10);
                level.put(w_, 17);
                w_.put(static_cast<uint32_t>(n - 3), 3);
                i += n;
            } else if (i > 0 && lens[i] == lens[i - 1] && run >= 3) {
                const size_t n = std::min<size_t>(run, 6);
                level.put(w_, 16);
                w_.put(static_cast<uint32_t>(n - 3), 2);
                i += n;
            } else {
                level.put(w_, (lens[i] - levels_[i]) & 15);
                ++i;
            }
        }
        std::copy(lens.begin(), lens.end(), levels_.begin());
    }

    std::mt19937 rng_;
    msb_bit_writer w_;
    std::array<uint8_t, 4 * num_audio> levels_{};
    canonical_code main_{{}}, dist_{{}}, len_{{}};
    std::vector<canonical_code> audio_codes_;
    bool audio_ = false;
    unsigned channels_ = 1, channel_ = 0;
    std::array<uint32_t, 4> old_{};
    uint32_t ptr_ = 0;
    uint32_t last_length_ = 0;
    uint32_t pending_extra_ = 0;
    uint64_t produced_ = 0;
};

} // namespace velmora::test

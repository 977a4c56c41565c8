// Test-only Reduce tools (PKWARE APPNOTE 5.2): an encoder (greedy hash-chain
// matcher, DLE stage, follower sets chosen per predecessor byte), and a plain
// reference expander that follows the format description step by step with
// no buffering tricks, for differential checks of the fast decoder.
// Shared by the codec tests, the benchmark and the fuzz target.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <span>
#include <vector>

namespace velmora::test {

constexpr uint8_t reduce_dle = 144;

// Reduction factor f (1..4) = ZIP method - 1.
constexpr unsigned reduce_length_bits(int factor) { return 8u - static_cast<unsigned>(factor); }
constexpr size_t reduce_max_distance(int factor) { return size_t{256} << factor; }
constexpr size_t reduce_max_length(int factor) { return ((1u << reduce_length_bits(factor)) - 1) + 255 + 3; }

// B(N): bits of a follower index in a set of N.
constexpr unsigned reduce_index_bits(unsigned n)
{
    unsigned b = 0;
    while ((1u << b) < n)
        ++b;
    return n == 1 ? 1 : b;
}

class lsb_bit_writer {
public:
    void put(uint32_t value, unsigned n)
    {
        for (unsigned i = 0; i < n; ++i) {
            if (bit_ == 0)
                bytes_.push_back(0);
            bytes_.back() |= static_cast<uint8_t>(((value >> i) & 1) << bit_);
            bit_ = (bit_ + 1) & 7;
        }
    }
    std::vector<uint8_t> take() { return std::move(bytes_); }

private:
    std::vector<uint8_t> bytes_;
    unsigned bit_ = 0;
};

struct reduce_encode_stats {
    size_t copies = 0;
    size_t longest_length = 0;
    size_t longest_distance = 0;
    size_t overlapping_copies = 0;   // distance < length
    size_t literal_dles = 0;
    size_t extra_length_bytes = 0;   // copies whose length needed the extra byte
    std::array<size_t, 3> set_kinds{}; // predecessors with an empty / partial / full (32) set
};

struct reduce_encode_options {
    unsigned max_set_size = 32;   // cap on follower-set sizes (0: all sets empty)
    unsigned chain_depth = 32;    // hash-chain probes per position
};

// DLE stage: literal bytes and copies as code bytes.
inline void reduce_put_literal(std::vector<uint8_t>& codes, uint8_t b, reduce_encode_stats& st)
{
    codes.push_back(b);
    if (b == reduce_dle) {
        codes.push_back(0);
        ++st.literal_dles;
    }
}

inline void reduce_put_copy(std::vector<uint8_t>& codes, int factor, size_t distance, size_t length,
                            reduce_encode_stats& st)
{
    const unsigned lbits = reduce_length_bits(factor);
    const size_t mask = (size_t{1} << lbits) - 1;
    const size_t l = length - 3;
    const size_t d = distance - 1;
    codes.push_back(reduce_dle);
    codes.push_back(static_cast<uint8_t>(((d >> 8) << lbits) | std::min(l, mask)));
    if (l >= mask) {
        codes.push_back(static_cast<uint8_t>(l - mask));
        ++st.extra_length_bytes;
    }
    codes.push_back(static_cast<uint8_t>(d & 0xFF));
    ++st.copies;
    st.longest_length = std::max(st.longest_length, length);
    st.longest_distance = std::max(st.longest_distance, distance);
    if (distance < length)
        ++st.overlapping_copies;
}

// A copy whose first byte after DLE would be 0 (length 3, distance <= 256)
// reads back as a literal DLE, so it cannot be coded.
inline bool reduce_copy_codable(size_t distance, size_t length) { return !(length == 3 && distance <= 256); }

inline std::vector<uint8_t> reduce_dle_stage(std::span<const uint8_t> in, int factor, unsigned chain_depth,
                                             reduce_encode_stats& st)
{
    const size_t max_dist = reduce_max_distance(factor);
    const size_t max_len = reduce_max_length(factor);
    constexpr size_t hash_size = size_t{1} << 15;
    constexpr size_t none = SIZE_MAX;
    std::vector<size_t> head(hash_size, none), prev(in.size(), none);
    const auto hash = [&](size_t i) {
        return ((in[i] << 10) ^ (in[i + 1] << 5) ^ in[i + 2]) & (hash_size - 1);
    };
    const auto insert = [&](size_t i) {
        if (i + 2 < in.size()) {
            const size_t h = hash(i);
            prev[i] = head[h];
            head[h] = i;
        }
    };

    std::vector<uint8_t> codes;
    size_t i = 0;
    while (i < in.size()) {
        size_t best_len = 0, best_dist = 0;
        if (i + 2 < in.size()) {
            const size_t limit = std::min(max_len, in.size() - i);
            size_t cand = head[hash(i)];
            for (unsigned probe = 0; probe < chain_depth && cand != none && i - cand <= max_dist; ++probe) {
                size_t n = 0;
                while (n < limit && in[cand + n] == in[i + n])
                    ++n;
                if (n >= 3 && n > best_len && reduce_copy_codable(i - cand, n)) {
                    best_len = n;
                    best_dist = i - cand;
                    if (n == limit)
                        break;
                }
                cand = prev[cand];
            }
        }
        if (best_len >= 3) {
            reduce_put_copy(codes, factor, best_dist, best_len, st);
            for (size_t k = 0; k < best_len; ++k)
                insert(i + k);
            i += best_len;
        } else {
            reduce_put_literal(codes, in[i], st);
            insert(i);
            ++i;
        }
    }
    return codes;
}

// Follower-set stage: per predecessor byte, the set size that codes its
// followers in the fewest bits (up to opt.max_set_size), then the bit stream.
inline std::vector<uint8_t> reduce_follower_stage(std::span<const uint8_t> codes, unsigned max_set_size,
                                                  reduce_encode_stats& st)
{
    std::vector<std::array<size_t, 256>> freq(256);
    for (auto& f : freq)
        f.fill(0);
    uint8_t last = 0;
    for (const uint8_t c : codes) {
        ++freq[last][c];
        last = c;
    }

    std::array<std::vector<uint8_t>, 256> sets;
    std::vector<std::array<int, 256>> index_of(256);
    for (unsigned p = 0; p < 256; ++p) {
        std::array<uint8_t, 256> order;
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(),
                         [&](uint8_t a, uint8_t b) { return freq[p][a] > freq[p][b]; });
        const size_t total = std::accumulate(freq[p].begin(), freq[p].end(), size_t{0});
        size_t best_cost = 8 * total;
        unsigned best_n = 0;
        size_t in_set = 0;
        for (unsigned n = 1; n <= std::min(max_set_size, 32u); ++n) {
            in_set += freq[p][order[n - 1]];
            const size_t cost = 8 * n + in_set * (1 + reduce_index_bits(n)) + (total - in_set) * 9;
            if (cost < best_cost) {
                best_cost = cost;
                best_n = n;
            }
        }
        sets[p].assign(order.begin(), order.begin() + best_n);
        index_of[p].fill(-1);
        for (unsigned m = 0; m < best_n; ++m)
            index_of[p][sets[p][m]] = static_cast<int>(m);
        ++st.set_kinds[best_n == 0 ? 0 : best_n == 32 ? 2 : 1];
    }

    lsb_bit_writer w;
    for (int p = 255; p >= 0; --p) {
        w.put(static_cast<uint32_t>(sets[p].size()), 6);
        for (const uint8_t m : sets[p])
            w.put(m, 8);
    }
    last = 0;
    for (const uint8_t c : codes) {
        const auto& set = sets[last];
        if (set.empty()) {
            w.put(c, 8);
        } else if (index_of[last][c] >= 0) {
            w.put(0, 1);
            w.put(static_cast<uint32_t>(index_of[last][c]), reduce_index_bits(static_cast<unsigned>(set.size())));
        } else {
            w.put(1, 1);
            w.put(c, 8);
        }
        last = c;
    }
    return w.take();
}

inline std::vector<uint8_t> reduce_encode(std::span<const uint8_t> in, int factor,
                                          reduce_encode_stats* stats = nullptr,
                                          reduce_encode_options opt = {})
{
    reduce_encode_stats st;
    const std::vector<uint8_t> codes = reduce_dle_stage(in, factor, opt.chain_depth, st);
    std::vector<uint8_t> out = reduce_follower_stage(codes, opt.max_set_size, st);
    if (stats)
        *stats = st;
    return out;
}

// Reference expander: the format description taken literally. Input
// position starts before the first byte; a read past the end gives 0 from
// then on; copies before the first output byte read zeros; bytes past
// out_last are dropped. Returns the OutLast + 1 bytes.
inline std::vector<uint8_t> reference_unreduce(std::span<const uint8_t> in, int method, int32_t out_last)
{
    long long in_pos = -1;
    unsigned bit_pos = 0;
    bool exhausted = false;
    const auto byte_at = [&](long long p, bool& ok) -> uint32_t {
        if (p < 0 || p >= static_cast<long long>(in.size())) {
            ok = false;
            return 0;
        }
        return in[static_cast<size_t>(p)];
    };
    const auto get_bits = [&](unsigned n) -> uint32_t {
        if (n == 0 || exhausted)
            return 0;
        bool ok = true;
        if (bit_pos == 0)
            ++in_pos;
        uint32_t value = byte_at(in_pos, ok) >> bit_pos;
        unsigned k = 8 - bit_pos;
        while (k < n) {
            ++in_pos;
            value += byte_at(in_pos, ok) << k;
            k += 8;
        }
        if (!ok) {
            exhausted = true;
            return 0;
        }
        bit_pos = (n + bit_pos) & 7;
        return value & ((1u << n) - 1);
    };

    std::vector<uint8_t> out(static_cast<size_t>(out_last + 1));
    size_t out_pos = 0;
    const auto put = [&](uint8_t b) {
        if (out_pos < out.size())
            out[out_pos] = b;
        ++out_pos;   // a dropped byte still ends the loop
    };

    std::array<unsigned, 256> count{};
    std::array<std::array<uint8_t, 32>, 256> member{};
    for (int c = 255; c >= 0; --c) {
        count[c] = std::min(get_bits(6), 32u);
        for (unsigned m = 0; m < count[c]; ++m)
            member[c][m] = static_cast<uint8_t>(get_bits(8));
    }
    const unsigned shift = 9 - static_cast<unsigned>(method);
    const unsigned mask = (1u << shift) - 1;
    unsigned state = 0, length = 0, distance = 0;
    uint8_t last = 0;
    while (out_pos < out.size()) {
        uint8_t c;
        if (count[last] == 0) {
            c = static_cast<uint8_t>(get_bits(8));
        } else if (get_bits(1) == 1) {
            c = static_cast<uint8_t>(get_bits(8));
        } else {
            const uint32_t i = get_bits(reduce_index_bits(count[last]));
            c = i < count[last] ? member[last][i] : 0;
        }
        last = c;
        switch (state) {
        case 0:
            if (c == reduce_dle)
                state = 1;
            else
                put(c);
            break;
        case 1:
            if (c == 0) {
                put(reduce_dle);
                state = 0;
            } else {
                length = c & mask;
                distance = static_cast<unsigned>(c >> shift) * 256;
                state = length == mask ? 2 : 3;
            }
            break;
        case 2:
            length += c;
            state = 3;
            break;
        default:
            distance += c + 1u;
            length += 3;
            for (unsigned k = 0; k < length; ++k) {
                const long long from = static_cast<long long>(out_pos) - distance;
                put(from < 0 || static_cast<size_t>(from) >= out.size() ? 0 : out[static_cast<size_t>(from)]);
            }
            state = 0;
            break;
        }
    }
    return out;
}

} // namespace velmora::test

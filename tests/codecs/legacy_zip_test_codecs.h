// Test-only Shrink and Implode tools (PKWARE APPNOTE 5.1, 5.3): encoders that
// write the methods (no Debian tool does), so round trips can be checked by
// our decoders and by Info-ZIP unzip; and plain reference decoders that follow
// the format step by step on whole buffers (a stack walk for Shrink, bit-by-bit
// canonical decoding for Implode), for differential checks of the streaming
// decoders. Shared by the codec tests, the benchmark and the fuzz targets.
#pragma once

#include "codecs/ByteStream.h"
#include "codecs/ImplodeDecoder.h"
#include "codecs/Ppmd8Decoder.h"
#include "codecs/ShrinkDecoder.h"
#include "reduce_test_codec.h"   // lsb_bit_writer
#include "../support/StreamTestSupport.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <queue>
#include <string>
#include <span>
#include <unordered_map>
#include <vector>

namespace velmora::test {
// Its own inline namespace: other helper headers define types of the same
// names, and one test program may link both.
inline namespace legacy_zip_codecs {

// ---------------------------------------------------------------------------
// Shrink

struct shrink_encode_options {
    unsigned clear_every = 0;   // a partial clear after this many codes; 0: only when the table is full
};

struct shrink_encode_stats {
    size_t codes = 0;
    size_t partial_clears = 0;
    size_t kwkwk = 0;          // codes naming the entry made just before them
    size_t orphans = 0;        // entries made on a prefix that a partial clear had freed
    unsigned max_code_bits = 9;
};

// The table mirrors the decoder's (lowest free code, leaves freed by a partial
// clear); a map from (prefix, byte) finds the longest string. An entry whose
// prefix was freed is never matched (its string is gone).
inline std::vector<uint8_t> shrink_encode(std::span<const uint8_t> in, shrink_encode_options opt = {},
                                          shrink_encode_stats* stats = nullptr)
{
    constexpr unsigned num_codes = 8192;
    constexpr uint16_t unused = 0xFFFF;
    shrink_encode_stats st;
    lsb_bit_writer w;
    std::vector<uint16_t> parent(num_codes, unused);
    std::vector<uint8_t> suffix(num_codes, 0), dead(num_codes, 0);
    std::unordered_map<uint32_t, uint16_t> child;
    const auto key = [](unsigned p, uint8_t b) { return static_cast<uint32_t>(p) << 8 | b; };
    unsigned bits = 9, next = 257, since_clear = 0;
    int prev = -1;

    const auto free_slot = [&] {
        unsigned s = next;
        while (s < num_codes && parent[s] != unused)
            ++s;
        return s;
    };
    const auto partial_clear = [&] {
        std::vector<uint8_t> has_child(num_codes, 0);
        for (unsigned c = 257; c < num_codes; ++c)
            if (parent[c] != unused)
                has_child[parent[c]] = 1;
        for (unsigned c = 257; c < num_codes; ++c)
            if (!has_child[c]) {
                parent[c] = unused;
                dead[c] = 0;
            }
        child.clear();
        for (unsigned c = 257; c < num_codes; ++c)
            if (parent[c] != unused && !dead[c])
                child[key(parent[c], suffix[c])] = static_cast<uint16_t>(c);
        next = 257;
        since_clear = 0;
        ++st.partial_clears;
    };

    size_t i = 0;
    while (i < in.size()) {
        if (prev >= 0) {
            unsigned slot = free_slot();
            if (slot >= num_codes || (opt.clear_every != 0 && since_clear >= opt.clear_every)) {
                w.put(256, bits);
                w.put(2, bits);
                partial_clear();
                slot = free_slot();
            }
            if (slot < num_codes) {
                const bool orphan = prev >= 257 && parent[static_cast<unsigned>(prev)] == unused;
                parent[slot] = static_cast<uint16_t>(prev);
                suffix[slot] = in[i];
                dead[slot] = orphan;
                if (orphan)
                    ++st.orphans;
                else
                    child[key(static_cast<unsigned>(prev), in[i])] = static_cast<uint16_t>(slot);
                next = slot + 1;
            }
        }
        unsigned code = in[i];
        size_t j = i + 1;
        for (; j < in.size(); ++j) {
            const auto it = child.find(key(code, in[j]));
            if (it == child.end())
                break;
            code = it->second;
        }
        if (code >= 257 && code + 1 == next)
            ++st.kwkwk;
        while (code >= (1u << bits)) {
            w.put(256, bits);
            w.put(1, bits);
            ++bits;
        }
        w.put(code, bits);
        ++st.codes;
        ++since_clear;
        prev = static_cast<int>(code);
        i = j;
    }
    st.max_code_bits = bits;
    if (stats)
        *stats = st;
    return w.take();
}

// Whole-buffer reference. Enters the new code before reading a code (with
// the previous first byte as its last byte, fixed once this string is known),
// walks prefixes onto a stack, and fails on a free code in the chain.
inline bool shrink_reference_decode(std::span<const uint8_t> in, uint64_t out_size, std::vector<uint8_t>& out)
{
    constexpr unsigned num_codes = 8192;
    constexpr uint16_t empty = 256;
    size_t bitpos = 0;
    const auto get = [&](unsigned n, unsigned& v) {
        if (bitpos + n > in.size() * 8)
            return false;
        v = 0;
        for (unsigned k = 0; k < n; ++k, ++bitpos)
            v |= ((in[bitpos >> 3] >> (bitpos & 7)) & 1u) << k;
        return true;
    };
    std::vector<uint16_t> parent(num_codes, empty);
    std::vector<uint8_t> suffix(num_codes, 0), stack(num_codes);
    unsigned bits = 9, head = 257;
    int last = -1;
    uint8_t last_first = 0;
    out.clear();
    while (out.size() < out_size) {
        unsigned sym;
        if (!get(bits, sym))
            return false;
        if (sym == 256) {
            unsigned sub;
            if (!get(bits, sub))
                return false;
            if (sub == 1 && bits < 13) {
                ++bits;
            } else if (sub == 2) {
                std::vector<uint8_t> used(num_codes + 1, 0);
                for (unsigned c = 257; c < num_codes; ++c)
                    if (parent[c] != empty)
                        used[parent[c]] = 1;
                for (unsigned c = 257; c < num_codes; ++c)
                    if (!used[c])
                        parent[c] = empty;
                head = 257;
            } else {
                return false;
            }
            continue;
        }
        bool added = false;
        if (last >= 0 && head < num_codes) {
            while (head < num_codes && parent[head] != empty)
                ++head;
            if (head < num_codes) {
                parent[head] = static_cast<uint16_t>(last);
                suffix[head] = last_first;
                ++head;
                added = true;
            }
        }
        unsigned n = 0, cur = sym;
        while (cur >= 256) {
            if (cur == empty || n >= num_codes)
                return false;
            stack[n++] = suffix[cur];
            cur = parent[cur];
        }
        stack[n++] = static_cast<uint8_t>(cur);
        if (added)
            suffix[head - 1] = static_cast<uint8_t>(cur);
        last = static_cast<int>(sym);
        last_first = static_cast<uint8_t>(cur);
        while (n != 0 && out.size() < out_size)
            out.push_back(stack[--n]);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Implode

struct implode_encode_options {
    unsigned chain_depth = 64;     // hash-chain probes per position
    bool zero_prefix = true;       // allow copies from the zeroed dictionary before the data
};

struct implode_encode_stats {
    size_t literals = 0, copies = 0;
    size_t extra_length_copies = 0;   // length symbol 63 with its extra byte
    size_t prefix_copies = 0;         // copies reaching before the first byte
    size_t overlapping_copies = 0;
    unsigned longest_code = 0;
};

// Huffman code lengths for every symbol (each counted at least once), at most
// 16 bits: frequencies are flattened until the tree is shallow enough.
inline std::vector<uint8_t> implode_code_lengths(std::vector<uint64_t> freq)
{
    const size_t n = freq.size();
    for (auto& f : freq)
        ++f;
    for (;;) {
        // Nodes: leaves 0..n-1, then internal nodes; parent links give depths.
        std::vector<size_t> up(2 * n, 0);
        using item = std::pair<uint64_t, size_t>;
        std::priority_queue<item, std::vector<item>, std::greater<item>> q;
        for (size_t s = 0; s < n; ++s)
            q.push({freq[s], s});
        size_t next = n;
        while (q.size() > 1) {
            const auto a = q.top();
            q.pop();
            const auto b = q.top();
            q.pop();
            up[a.second] = up[b.second] = next;
            q.push({a.first + b.first, next++});
        }
        const size_t root = next - 1;
        std::vector<uint8_t> len(n);
        unsigned longest = 0;
        for (size_t s = 0; s < n; ++s) {
            unsigned d = 0;
            for (size_t x = s; x != root; x = up[x])
                ++d;
            len[s] = static_cast<uint8_t>(d);
            longest = std::max(longest, d);
        }
        if (longest <= 16)
            return len;
        for (auto& f : freq)
            f = (f >> 1) | 1;
    }
}

// Canonical codes in the order the decoder assumes (shorter first, symbols
// ascending within a length), before PKZIP's bit inversion.
inline std::vector<uint32_t> implode_canonical_codes(const std::vector<uint8_t>& len)
{
    std::array<uint32_t, 18> count{}, next{};
    for (const uint8_t l : len)
        ++count[l];
    uint32_t code = 0;
    for (unsigned l = 1; l <= 16; ++l) {
        code = (code + count[l - 1]) << 1;
        next[l] = code;
    }
    // count[0] is 0 (every symbol has a length), so the first code is 0.
    std::vector<uint32_t> codes(len.size());
    for (size_t s = 0; s < len.size(); ++s)
        codes[s] = next[len[s]]++;
    return codes;
}

inline void implode_put_tree(lsb_bit_writer& w, const std::vector<uint8_t>& len)
{
    std::vector<uint8_t> desc;
    for (size_t s = 0; s < len.size();) {
        size_t run = 1;
        while (s + run < len.size() && run < 16 && len[s + run] == len[s])
            ++run;
        desc.push_back(static_cast<uint8_t>((run - 1) << 4 | (len[s] - 1u)));
        s += run;
    }
    w.put(static_cast<uint32_t>(desc.size() - 1), 8);
    for (const uint8_t b : desc)
        w.put(b, 8);
}

inline void implode_put_code(lsb_bit_writer& w, uint32_t canonical, unsigned len)
{
    const uint32_t sent = ~canonical & ((1u << len) - 1);
    for (unsigned b = len; b-- > 0;)
        w.put((sent >> b) & 1u, 1);
}

// flags: the general purpose bit flag (bit 1: 8 KiB, bit 2: literal tree).
inline std::vector<uint8_t> implode_encode(std::span<const uint8_t> data, uint16_t flags,
                                           implode_encode_options opt = {}, implode_encode_stats* stats = nullptr)
{
    const bool lit_tree = (flags & 4) != 0;
    const unsigned low_bits = (flags & 2) ? 7 : 6;
    const size_t window = size_t{64} << low_bits;
    const size_t min_match = lit_tree ? 3 : 2;
    const size_t max_match = min_match + 63 + 255;
    implode_encode_stats st;

    // The data after `window` zeros: copies may reach into them.
    std::vector<uint8_t> buf(window, 0);
    buf.insert(buf.end(), data.begin(), data.end());
    const size_t start = window;
    constexpr size_t hash_size = 1u << 16;
    std::vector<int64_t> head(hash_size, -1), prev(buf.size(), -1);
    const auto hash = [&](size_t p) { return (static_cast<size_t>(buf[p]) << 8 | buf[p + 1]) & (hash_size - 1); };
    const size_t first_indexed = opt.zero_prefix ? 0 : start;
    for (size_t p = first_indexed; p + 1 < start; ++p) {
        prev[p] = head[hash(p)];
        head[hash(p)] = static_cast<int64_t>(p);
    }

    struct token {
        uint32_t dist;   // 0: literal
        uint32_t len_or_byte;
    };
    std::vector<token> tokens;
    for (size_t p = start; p < buf.size();) {
        size_t best_len = 0, best_dist = 0;
        if (p + min_match <= buf.size()) {
            unsigned probes = opt.chain_depth;
            for (int64_t c = head[hash(p)]; c >= 0 && probes-- > 0; c = prev[static_cast<size_t>(c)]) {
                const size_t cand = static_cast<size_t>(c);
                if (p - cand > window)
                    break;
                size_t l = 0;
                while (l < max_match && p + l < buf.size() && buf[cand + l] == buf[p + l])
                    ++l;
                if (l > best_len) {
                    best_len = l;
                    best_dist = p - cand;
                }
            }
        }
        const size_t step = best_len >= min_match ? best_len : 1;
        if (best_len >= min_match) {
            tokens.push_back({static_cast<uint32_t>(best_dist), static_cast<uint32_t>(best_len)});
            ++st.copies;
            if (best_len - min_match >= 63)
                ++st.extra_length_copies;
            if (best_dist > p - start)
                ++st.prefix_copies;
            if (best_dist < best_len)
                ++st.overlapping_copies;
        } else {
            tokens.push_back({0, buf[p]});
            ++st.literals;
        }
        for (size_t k = 0; k < step; ++k, ++p) {
            if (p + 1 < buf.size()) {
                prev[p] = head[hash(p)];
                head[hash(p)] = static_cast<int64_t>(p);
            }
        }
    }

    std::vector<uint64_t> lit_freq(256, 0), len_freq(64, 0), dist_freq(64, 0);
    for (const auto& t : tokens) {
        if (t.dist == 0) {
            ++lit_freq[t.len_or_byte];
        } else {
            ++len_freq[std::min<size_t>(t.len_or_byte - min_match, 63)];
            ++dist_freq[(t.dist - 1) >> low_bits];
        }
    }
    const auto lit_len = implode_code_lengths(lit_freq);
    const auto len_len = implode_code_lengths(len_freq);
    const auto dist_len = implode_code_lengths(dist_freq);
    const auto lit_code = implode_canonical_codes(lit_len);
    const auto len_code = implode_canonical_codes(len_len);
    const auto dist_code = implode_canonical_codes(dist_len);
    for (const auto* l : {&lit_len, &len_len, &dist_len})
        st.longest_code = std::max<unsigned>(st.longest_code, *std::max_element(l->begin(), l->end()));

    lsb_bit_writer w;
    if (lit_tree)
        implode_put_tree(w, lit_len);
    implode_put_tree(w, len_len);
    implode_put_tree(w, dist_len);
    for (const auto& t : tokens) {
        if (t.dist == 0) {
            w.put(1, 1);
            if (lit_tree)
                implode_put_code(w, lit_code[t.len_or_byte], lit_len[t.len_or_byte]);
            else
                w.put(t.len_or_byte, 8);
            continue;
        }
        w.put(0, 1);
        const uint32_t d = t.dist - 1;
        w.put(d & ((1u << low_bits) - 1), low_bits);
        implode_put_code(w, dist_code[d >> low_bits], dist_len[d >> low_bits]);
        const size_t l = t.len_or_byte - min_match;
        const size_t sym = std::min<size_t>(l, 63);
        implode_put_code(w, len_code[sym], len_len[sym]);
        if (sym == 63)
            w.put(static_cast<uint32_t>(l - 63), 8);
    }
    if (stats)
        *stats = st;
    return w.take();
}

// Whole-buffer reference: every bit read one at a time, codes matched
// against the canonical counts after inverting each bit.
inline bool implode_reference_decode(std::span<const uint8_t> in, uint64_t out_size, uint16_t flags,
                                     std::vector<uint8_t>& out)
{
    size_t bitpos = 0;
    bool short_input = false;
    const auto bit = [&]() -> unsigned {
        if (bitpos >= in.size() * 8) {
            short_input = true;
            return 0;
        }
        const unsigned b = (in[bitpos >> 3] >> (bitpos & 7)) & 1u;
        ++bitpos;
        return b;
    };
    const auto bits = [&](unsigned n) {
        unsigned v = 0;
        for (unsigned k = 0; k < n; ++k)
            v |= bit() << k;
        return v;
    };
    struct tree {
        std::array<unsigned, 17> count{};
        std::vector<unsigned> symbols;
    };
    const auto read_tree = [&](unsigned n, tree& t) {
        std::vector<unsigned> len;
        const unsigned entries = bits(8) + 1;
        for (unsigned e = 0; e < entries; ++e) {
            const unsigned b = bits(8);
            for (unsigned r = 0; r <= (b >> 4); ++r)
                len.push_back((b & 15) + 1);
        }
        if (short_input || len.size() != n)
            return false;
        uint32_t kraft = 0;
        for (unsigned l = 1; l <= 16; ++l) {
            for (unsigned s = 0; s < n; ++s)
                if (len[s] == l) {
                    t.symbols.push_back(s);
                    ++t.count[l];
                }
            kraft += t.count[l] << (16 - l);
        }
        return kraft == (1u << 16);
    };
    const auto decode = [&](const tree& t) {
        unsigned code = 0, first = 0, index = 0;
        for (unsigned l = 1; l <= 16; ++l) {
            code |= bit() ^ 1u;
            if (code - first < t.count[l])
                return t.symbols[index + code - first];
            index += t.count[l];
            first = (first + t.count[l]) << 1;
            code <<= 1;
        }
        return 0u;
    };

    out.clear();
    if (out_size == 0)
        return true;
    const bool lit_tree = (flags & 4) != 0;
    const unsigned low_bits = (flags & 2) ? 7 : 6;
    const unsigned min_match = lit_tree ? 3 : 2;
    tree lit, len, dist;
    if (lit_tree && !read_tree(256, lit))
        return false;
    if (!read_tree(64, len) || !read_tree(64, dist))
        return false;
    while (out.size() < out_size) {
        if (bit()) {
            const unsigned b = lit_tree ? decode(lit) : bits(8);
            if (short_input)
                return false;
            out.push_back(static_cast<uint8_t>(b));
            continue;
        }
        const unsigned low = bits(low_bits);
        const size_t d = ((decode(dist) << low_bits) | low) + 1;
        unsigned l = decode(len);
        if (l == 63)
            l += bits(8);
        l += min_match;
        if (short_input)
            return false;
        for (unsigned k = 0; k < l && out.size() < out_size; ++k)
            out.push_back(d > out.size() ? uint8_t{0} : out[out.size() - d]);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Sample data

enum class sample_kind { text, binary, runs, random, zeros_then_text };

// Deterministic inputs of a few shapes: word text, structured binary
// (records with small counters), long runs of one byte and of short
// patterns (the LZW KwKwK case and overlapping copies), noise, and a zero
// block before text (copies from the zeroed dictionary).
inline std::vector<uint8_t> make_sample(sample_kind kind, size_t size, uint64_t seed = 1)
{
    uint64_t s = seed * 0x9E3779B97F4A7C15ULL + 1;
    const auto next = [&] {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 0x2545F4914F6CDD1DULL;
    };
    static constexpr std::array<const char*, 16> words = {"shrink", "implode", "the",   "tree",  "of",     "dictionary",
                                                          "code",   "length",  "table", "and",   "window", "literal",
                                                          "PKZIP",  "distance", "a",    "stream"};
    std::vector<uint8_t> v;
    v.reserve(size);
    switch (kind) {
    case sample_kind::zeros_then_text:
        v.assign(std::min<size_t>(size, 5000), 0);
        [[fallthrough]];
    case sample_kind::text:
        while (v.size() < size) {
            const char* w = words[next() % words.size()];
            v.insert(v.end(), w, w + std::char_traits<char>::length(w));
            v.push_back(next() % 9 == 0 ? '\n' : ' ');
        }
        break;
    case sample_kind::binary:
        for (uint32_t rec = 0; v.size() < size; ++rec) {
            const uint32_t fields[4] = {rec, rec * 3, static_cast<uint32_t>(next() % 50), 0xC0DE0000u | (rec & 0xFF)};
            for (const uint32_t f : fields)
                for (int b = 0; b < 4; ++b)
                    v.push_back(static_cast<uint8_t>(f >> (8 * b)));
        }
        break;
    case sample_kind::runs:
        while (v.size() < size) {
            const size_t len = 1 + next() % 2000;
            const size_t period = 1 + next() % 4;
            uint8_t pat[4];
            for (auto& p : pat)
                p = static_cast<uint8_t>(next());
            for (size_t k = 0; k < len; ++k)
                v.push_back(pat[k % period]);
        }
        break;
    case sample_kind::random:
        while (v.size() < size)
            v.push_back(static_cast<uint8_t>(next() >> 24));
        break;
    }
    v.resize(size);
    return v;
}

// ---------------------------------------------------------------------------
// Running the streaming decoders

struct decode_result {
    DecodeStatus status = DecodeStatus::ok;
    std::vector<uint8_t> out;
};

// ZIP method 1, 6 or 98 through our decoders; piece = input bytes per read.
inline decode_result decode_zip_method(uint16_t method, uint16_t flags, std::span<const uint8_t> stored,
                                       uint64_t size, size_t piece = SIZE_MAX, uint32_t ppmd_memory_limit_mib = 256)
{
    decode_result r;
    chunked_source in(stored, piece);
    VectorSink sink(r.out);
    if (method == 1) {
        ShrinkDecoder d;
        r.status = d.decode(in, sink, size);
    } else if (method == 6) {
        ImplodeDecoder d;
        r.status = d.decode(in, sink, size, flags);
    } else if (method == 98) {
        Ppmd8Decoder d(ppmd_memory_limit_mib);
        r.status = d.decode(in, sink, size);
    } else {
        r.status = DecodeStatus::unsupported;
    }
    return r;
}

} // namespace legacy_zip_codecs
} // namespace velmora::test

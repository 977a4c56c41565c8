// Writes RAR 2.9-4.x archives (unpack version 29, LZ blocks only) for tests
// and benchmarks, so that streams with chosen features (old distances, the
// repeat symbol, table changes, low-distance repeats, solid entries, filter
// records with WinRAR's own filter programs) can be checked against unar.
// A greedy hash-chain LZ encoder; the encoder side of each standard filter.
// Whole archives in memory; meant for inputs of a few MiB.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <queue>
#include <span>
#include <string>
#include <vector>

#include "archive/Cls_CRC32.h"
#include "codecs/Rar3Filters.h"

namespace velmora::test {
// Its own inline namespace: other helper headers define types of the same
// names, and one test program may link both.
inline namespace rar3_writer {

// ---------------------------------------------------------------------------
// The standard filter programs as WinRAR 3.x/4.x writes them, taken from
// archives of libarchive's test suite (E8E9, delta: test_read_format_rar_filter.rar)
// and SharpCompress's (E8: Rar.rar; audio: Rar.Audio_program.rar); see
// tests/data/rar/README.md. No archive at hand uses the RGB or Itanium filter.
inline std::vector<uint8_t> rar3_hex(const char* hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out.push_back(static_cast<uint8_t>(std::strtoul(std::string(hex + i, 2).c_str(), nullptr, 16)));
    return out;
}

inline std::vector<uint8_t> rar3_filter_program(Rar3FilterKind kind)
{
    switch (kind) {
    case Rar3FilterKind::e8:
        return rar3_hex("971b012807069808000000d13a101592ec50cb9920b925f0291915530312ae511035592b6004156d4066ab0234490436"
                        "02523e9700");
    case Rar3FilterKind::e8e9:
        return rar3_hex("841b0128111069808000000d13a101c689d280ac9762855cc905c92f8148c8aa981895728881aac95b0020ab6a033558"
                        "11a24821b01291f4b8");
    case Rar3FilterKind::delta:
        return rar3_hex("2f019a4180ec27482f09766dd3ea415b5944e8175ce16c914c4e3f7700");
    case Rar3FilterKind::audio:
        return rar3_hex("47019a4195e5720dc26482749324b14006d8384400a8013411dca1ba01990cc4033119a4066622604d9a400d668e60d0"
                        "30401826c1c8f6e62613789208e850bc5a07c6e9f520a9a0ed3733473966907019a39bcf258380c1bd30166e233493"
                        "811609b050183b4dc84c059b88c528e0769390980b37118a59c480424843a947ee43346047d44a0dbbd359a486ee05"
                        "094026c9342476a0306a20ea022004a041509e503fe6e128944601bd8b40f0681136c9a1923811419ca89510ee5066"
                        "2b00209511040262ac668c6aca2640b2671b4b26cc648a6271a2b8");
    default:
        return {};
    }
}

// ---------------------------------------------------------------------------
// Encoder sides of the standard filters (what WinRAR does to a block before
// compressing it). Each takes the original block and gives the bytes the
// LZ stream carries.

// The decoder maps an operand A at position p (file space FS = 16 MiB):
// [0, FS) -> A - p, [-p, 0) -> A + FS, anything else unchanged; so a
// relative target r becomes r + p in [-p, FS - p), r - FS in [FS - p, FS).
inline void rar3_e8e9_encode(uint8_t* data, uint32_t size, uint32_t file_offset, bool e9)
{
    constexpr int64_t file_space = 0x1000000;
    if (size < 5)
        return;
    for (uint32_t i = 0; i <= size - 5;) {
        if (data[i] == 0xE8 || (e9 && data[i] == 0xE9)) {
            const int64_t pos = int64_t{file_offset} + i + 1;
            int32_t rel = 0;
            std::memcpy(&rel, data + i + 1, 4);
            int64_t coded = rel;
            if (rel >= -pos && rel < file_space - pos)
                coded = rel + pos;
            else if (rel >= file_space - pos && rel < file_space)
                coded = rel - file_space;
            const uint32_t v = static_cast<uint32_t>(coded);
            std::memcpy(data + i + 1, &v, 4);
            i += 5;
        } else {
            ++i;
        }
    }
}

inline std::vector<uint8_t> rar3_delta_encode(std::span<const uint8_t> block, uint32_t channels)
{
    std::vector<uint8_t> out;
    out.reserve(block.size());
    for (uint32_t c = 0; c < channels; ++c) {
        uint8_t prev = 0;
        for (size_t i = c; i < block.size(); i += channels) {
            out.push_back(static_cast<uint8_t>(prev - block[i]));
            prev = block[i];
        }
    }
    return out;
}

inline std::vector<uint8_t> rar3_audio_encode(std::span<const uint8_t> block, uint32_t channels)
{
    std::vector<uint8_t> out;
    out.reserve(block.size());
    for (uint32_t c = 0; c < channels; ++c) {
        int32_t prev_byte = 0, prev_delta = 0, d1 = 0, d2 = 0, d3 = 0, k[3] = {0, 0, 0};
        int64_t dif[7] = {};
        uint32_t n = 0;
        for (size_t i = c; i < block.size(); i += channels, ++n) {
            d3 = d2;
            d2 = prev_delta - d1;
            d1 = prev_delta;
            const uint32_t p = static_cast<uint32_t>(8 * prev_byte + k[0] * d1 + k[1] * d2 + k[2] * d3);
            const uint32_t predicted = (p >> 3) & 0xFF;
            const uint8_t actual = block[i];
            const uint8_t coded = static_cast<uint8_t>(predicted - actual);
            out.push_back(coded);
            prev_delta = static_cast<int8_t>(actual - prev_byte);
            prev_byte = actual;
            const int32_t d = static_cast<int8_t>(coded) * 8;
            const int32_t e[7] = {d, d - d1, d + d1, d - d2, d + d2, d - d3, d + d3};
            for (int j = 0; j < 7; ++j)
                dif[j] += std::abs(e[j]);
            if ((n & 0x1F) == 0) {
                const int best = static_cast<int>(std::min_element(dif, dif + 7) - dif);
                std::fill(dif, dif + 7, 0);
                if (best > 0) {
                    int32_t& w = k[(best - 1) / 2];
                    if (best % 2 == 1 && w >= -16)
                        --w;
                    if (best % 2 == 0 && w < 16)
                        ++w;
                }
            }
        }
    }
    return out;
}

// RGB: red and blue as differences to green (from pos_r on, per pixel), then
// each plane predicted from left, upper and upper-left reconstructed bytes.
inline std::vector<uint8_t> rar3_rgb_encode(std::span<const uint8_t> block, uint32_t width, uint32_t pos_r)
{
    std::vector<uint8_t> planes(block.begin(), block.end());
    for (size_t i = pos_r; i + 2 < planes.size(); i += 3) {
        planes[i] = static_cast<uint8_t>(planes[i] - planes[i + 1]);
        planes[i + 2] = static_cast<uint8_t>(planes[i + 2] - planes[i + 1]);
    }
    std::vector<uint8_t> out;
    for (uint32_t c = 0; c < 3; ++c) {
        int prev = 0;
        for (size_t i = c; i < planes.size(); i += 3) {
            int predicted = prev;
            if (i >= width) {
                const int ul = planes[i - width], up = planes[i - width + 3];
                const int guess = prev + up - ul;
                const int pa = std::abs(guess - prev), pb = std::abs(guess - up), pc = std::abs(guess - ul);
                predicted = (pa <= pb && pa <= pc) ? prev : (pb <= pc ? up : ul);
            }
            out.push_back(static_cast<uint8_t>(predicted - planes[i]));
            prev = planes[i];
        }
    }
    return out;
}

// IA-64: relative branch targets (20 bits, in bundles) made absolute.
inline void rar3_itanium_encode(uint8_t* data, uint32_t size, uint32_t file_offset)
{
    static constexpr uint8_t branch_slots[16] = {4, 4, 6, 6, 0, 0, 7, 7, 4, 4, 0, 0, 4, 4, 0, 0};
    if (size <= 21)
        return;
    uint32_t bundle = file_offset >> 4;
    for (uint32_t pos = 0; pos < size - 21; pos += 16, ++bundle) {
        uint8_t* b = data + pos;
        const int tmpl = (b[0] & 0x1F) - 0x10;
        if (tmpl < 0)
            continue;
        for (unsigned slot = 0; slot < 3; ++slot) {
            if ((branch_slots[tmpl] & (1u << slot)) == 0)
                continue;
            const unsigned start = slot * 41 + 5;
            auto get = [&](unsigned at, unsigned n) {
                uint64_t v = 0;
                for (unsigned k = 0; k < n; ++k)
                    v |= uint64_t{(b[(at + k) / 8] >> ((at + k) % 8)) & 1u} << k;
                return static_cast<uint32_t>(v);
            };
            if (get(start + 37, 4) != 5)
                continue;
            const uint32_t target = (get(start + 13, 20) + bundle) & 0xFFFFF;
            for (unsigned k = 0; k < 20; ++k) {
                const unsigned at = start + 13 + k;
                b[at / 8] = static_cast<uint8_t>((b[at / 8] & ~(1u << (at % 8))) | (((target >> k) & 1u) << (at % 8)));
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Bits and codes

class rar3_bit_writer {
public:
    void put(uint32_t value, unsigned n)
    {
        for (unsigned i = n; i-- > 0;) {
            acc_ = static_cast<uint8_t>((acc_ << 1) | ((value >> i) & 1u));
            if (++count_ == 8) {
                bytes_.push_back(acc_);
                acc_ = 0;
                count_ = 0;
            }
        }
    }
    void align()
    {
        if (count_ != 0)
            put(0, 8 - count_);
    }
    std::vector<uint8_t> take()
    {
        align();
        return std::move(bytes_);
    }

private:
    std::vector<uint8_t> bytes_;
    uint8_t acc_ = 0;
    unsigned count_ = 0;
};

// Huffman code lengths of at most max_len bits (frequencies halved until the
// tree is shallow enough). At least two symbols get a code, so every table is
// a complete prefix code.
inline std::vector<uint8_t> rar3_code_lengths(std::vector<uint32_t> freq, unsigned max_len)
{
    const size_t n = freq.size();
    unsigned used = 0;
    for (auto f : freq)
        used += f != 0;
    for (size_t s = 0; used < 2 && s < n; ++s)
        if (freq[s] == 0) {
            freq[s] = 1;
            ++used;
        }
    for (;;) {
        struct node {
            uint64_t w;
            int left, right;
        };
        std::vector<node> nodes;
        using item = std::pair<uint64_t, int>;
        std::priority_queue<item, std::vector<item>, std::greater<>> q;
        for (size_t s = 0; s < n; ++s)
            if (freq[s]) {
                nodes.push_back({freq[s], -1, static_cast<int>(s)});
                q.push({freq[s], static_cast<int>(nodes.size() - 1)});
            }
        while (q.size() > 1) {
            const auto a = q.top();
            q.pop();
            const auto b = q.top();
            q.pop();
            nodes.push_back({a.first + b.first, a.second, b.second});
            q.push({a.first + b.first, static_cast<int>(nodes.size() - 1)});
        }
        std::vector<uint8_t> lens(n, 0);
        unsigned deepest = 0;
        std::vector<std::pair<int, unsigned>> stack = {{q.top().second, 0}};
        while (!stack.empty()) {
            const auto [i, d] = stack.back();
            stack.pop_back();
            if (nodes[i].left < 0) {
                lens[nodes[i].right] = static_cast<uint8_t>(std::max(1u, d));
                deepest = std::max(deepest, d);
            } else {
                stack.push_back({nodes[i].left, d + 1});
                stack.push_back({nodes[i].right, d + 1});
            }
        }
        if (deepest <= max_len)
            return lens;
        for (auto& f : freq)
            if (f)
                f = (f + 1) / 2;
    }
}

// Canonical codewords for lengths (shorter first, then by symbol).
inline std::vector<uint32_t> rar3_codewords(const std::vector<uint8_t>& lens)
{
    std::vector<uint32_t> codes(lens.size(), 0);
    uint32_t code = 0;
    for (unsigned len = 1; len <= 15; ++len) {
        for (size_t s = 0; s < lens.size(); ++s)
            if (lens[s] == len)
                codes[s] = code++;
        code <<= 1;
    }
    return codes;
}

// ---------------------------------------------------------------------------
// The LZ stream

struct rar3_filter_use {
    uint32_t start = 0;  // in the entry's data
    uint32_t length = 0;
    Rar3FilterKind kind = Rar3FilterKind::e8;
    uint32_t r0 = 0, r1 = 0; // channels, width / red position
    uint32_t record_before = 0; // the record comes this many bytes before the block
};

struct rar3_entry_input {
    std::vector<uint8_t> data;             // what the entry decodes to
    std::vector<rar3_filter_use> filters;  // ascending, not overlapping
    bool new_tables = true;                // begin with new tables (the first entry always does)
    bool end_mark = true;                  // close with the end-of-entry mark
};

struct rar3_stream_options {
    size_t block_items = 0;        // new tables inside an entry after this many symbols (0: never)
    bool keep_old_lengths = true;  // send lengths as changes to the previous table's
    bool low_dist_repeat = true;   // use the low-distance repeat symbol where it fits
    bool literals_only = false;
    unsigned max_chain = 24;       // hash-chain candidates tried per position
};

class Rar3LzWriter {
public:
    explicit Rar3LzWriter(rar3_stream_options opt = {}) : opt_(opt) {}

    // Encodes the entries as one stream (a solid group: each entry continues
    // the one before); returns the packed data of each.
    std::vector<std::vector<uint8_t>> encode(const std::vector<rar3_entry_input>& entries)
    {
        parse(entries);
        choose_low_dist_repeats();
        return write(entries);
    }

private:
    static constexpr uint32_t max_dist = (1u << 22) - 1;
    static constexpr uint32_t max_match = 258;

    // A symbol of the main code with what follows it.
    struct token {
        uint16_t main = 0;
        uint8_t extra_bits = 0;    // after the main symbol (length or short distance)
        uint8_t length_bits = 0;
        uint8_t dist_bits = 0;     // bits sent plainly (the high part from slot 10 on)
        int8_t length_sym = -1;    // old-distance matches: the length code's symbol
        int8_t dist_sym = -1;      // new matches
        int8_t low = -1;           // low 4 bits through the low-distance code (slot >= 10)
        bool low_repeat = false;   // low bits implied by a repeat
        bool tables_here = false;  // new tables before this token
        bool entry_start = false;
        uint32_t extra = 0;
        uint32_t length_extra = 0;
        uint32_t dist_extra = 0;
        uint32_t entry = 0;
        int32_t block = 0;
        int32_t record = -1;       // filter record (main symbol 257), in records_
    };

    struct program_state {
        Rar3FilterKind kind;
        uint32_t last_length = 0;
    };

    static unsigned length_slot(uint32_t v, uint32_t& extra, uint8_t& bits)
    {
        static constexpr uint8_t bases[28] = {0,  1,  2,  3,  4,  5,  6,  7,  8,   10,  12,  14,  16,  20,
                                              24, 28, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224};
        static constexpr uint8_t nbits[28] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,
                                              2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};
        unsigned k = 27;
        while (bases[k] > v)
            --k;
        extra = v - bases[k];
        bits = nbits[k];
        return k;
    }

    static unsigned dist_slot(uint32_t v, uint32_t& extra, uint8_t& bits)
    {
        static constexpr uint8_t nbits[60] = {0,  0,  0,  0,  1,  1,  2,  2,  3,  3,  4,  4,  5,  5,  6,
                                              6,  7,  7,  8,  8,  9,  9,  10, 10, 11, 11, 12, 12, 13, 13,
                                              14, 14, 15, 15, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16,
                                              16, 16, 16, 18, 18, 18, 18, 18, 18, 18, 18, 18, 18, 18, 18};
        uint32_t base = 0;
        for (unsigned k = 0; k < 60; ++k) {
            if (v < base + (1u << nbits[k])) {
                extra = v - base;
                bits = nbits[k];
                return k;
            }
            base += 1u << nbits[k];
        }
        return 59;
    }

    static void push_dist(std::array<uint32_t, 4>& old, uint32_t d) { old = {d, old[0], old[1], old[2]}; }

    static void put_number(rar3_bit_writer& w, uint32_t v)
    {
        if (v < 16) {
            w.put(0, 2);
            w.put(v, 4);
        } else if (v < 256) {
            w.put(1, 2);
            w.put(v, 8);
        } else if (v < 65536) {
            w.put(2, 2);
            w.put(v, 16);
        } else {
            w.put(3, 2);
            w.put(v, 32);
        }
    }

    // The filter record: flags byte, its length, then the record body.
    std::vector<uint8_t> filter_record(const rar3_filter_use& f, uint32_t offset)
    {
        size_t index = programs_.size();
        for (size_t i = 0; i < programs_.size(); ++i)
            if (programs_[i].kind == f.kind)
                index = i;
        const bool is_new = index == programs_.size();
        if (is_new)
            programs_.push_back({f.kind, 0});
        program_state& prog = programs_[index];

        rar3_bit_writer body;
        unsigned flags = 0;
        if (is_new || index != last_program_) {
            flags |= 0x80;
            put_number(body, static_cast<uint32_t>(index + 1));
        }
        last_program_ = index;
        if (offset >= 258) {
            flags |= 0x40;
            offset -= 258;
        }
        put_number(body, offset);
        if (f.length != prog.last_length) {
            flags |= 0x20;
            put_number(body, f.length);
            prog.last_length = f.length;
        }
        if (f.r0 != 0 || f.r1 != 0) {
            flags |= 0x10;
            const uint32_t mask = (f.r0 ? 1u : 0u) | (f.r1 ? 2u : 0u);
            body.put(mask, 7);
            if (f.r0)
                put_number(body, f.r0);
            if (f.r1)
                put_number(body, f.r1);
        }
        if (is_new) {
            const std::vector<uint8_t> code = rar3_filter_program(f.kind);
            put_number(body, static_cast<uint32_t>(code.size()));
            for (uint8_t b : code)
                body.put(b, 8);
        }
        const std::vector<uint8_t> data = body.take();
        std::vector<uint8_t> rec;
        const size_t n = data.size();
        if (n <= 6) {
            rec.push_back(static_cast<uint8_t>(flags | (n - 1)));
        } else if (n <= 262) {
            rec.push_back(static_cast<uint8_t>(flags | 6));
            rec.push_back(static_cast<uint8_t>(n - 7));
        } else {
            rec.push_back(static_cast<uint8_t>(flags | 7));
            rec.push_back(static_cast<uint8_t>(n >> 8));
            rec.push_back(static_cast<uint8_t>(n));
        }
        rec.insert(rec.end(), data.begin(), data.end());
        return rec;
    }

    uint32_t match_length(size_t pos, size_t src, size_t end) const
    {
        uint32_t n = 0;
        while (pos + n < end && n < max_match && stream_[src + n] == stream_[pos + n])
            ++n;
        return n;
    }

    static uint32_t hash3(const uint8_t* p) { return ((p[0] << 16) ^ (p[1] << 8) ^ p[2]) * 2654435761u >> 16; }

    void insert_hash(size_t pos)
    {
        if (pos + 3 > stream_.size())
            return;
        const uint32_t h = hash3(&stream_[pos]);
        prev_[pos] = head_[h];
        head_[h] = static_cast<int64_t>(pos);
    }

    // Tokens for stream_[from, to): longest match among the old distances
    // and the hash chain, else a literal.
    void parse_segment(size_t from, size_t to, size_t entry)
    {
        for (size_t pos = from; pos < to;) {
            uint32_t best_len = 0, best_dist = 0;
            if (!opt_.literals_only) {
                for (int i = 0; i < 4; ++i) {
                    const uint32_t d = old_[i];
                    if (d == 0 || d > pos || d > max_dist)
                        continue;
                    const uint32_t n = match_length(pos, pos - d, to);
                    if (n >= 2 && n > best_len) {
                        best_len = n;
                        best_dist = d;
                    }
                }
                if (pos + 3 <= to) {
                    int64_t cand = head_[hash3(&stream_[pos])];
                    for (unsigned k = 0; k < opt_.max_chain && cand >= 0; ++k, cand = prev_[cand]) {
                        const uint32_t d = static_cast<uint32_t>(pos - cand);
                        if (d > max_dist)
                            break;
                        const uint32_t n = match_length(pos, static_cast<size_t>(cand), to);
                        const uint32_t need = 3 + (d >= 0x2000) + (d >= 0x40000);
                        if (n >= need && n > best_len + 1) {
                            best_len = n;
                            best_dist = d;
                            if (n == max_match)
                                break;
                        }
                    }
                }
            }
            if (best_len < 2 && !opt_.literals_only) {
                // Length 2 at a short distance (symbols 263-270).
                for (uint32_t d = 1; d <= 16 && d <= pos && pos + 2 <= to; ++d) {
                    if (stream_[pos - d] == stream_[pos] && stream_[pos - d + 1] == stream_[pos + 1]) {
                        best_len = 2;
                        best_dist = d;
                        break;
                    }
                }
            }
            token t;
            t.entry = static_cast<uint32_t>(entry);
            if (!encode_match(t, best_dist, best_len)) {
                t.main = stream_[pos];
                best_len = 1;
            }
            tokens_.push_back(t);
            for (uint32_t k = 0; k < best_len; ++k)
                insert_hash(pos + k);
            pos += best_len;
        }
    }

    // The cheapest form the decoder accepts for a match; false when there is none.
    bool encode_match(token& t, uint32_t dist, uint32_t len)
    {
        if (len < 2 || dist == 0)
            return false;
        if (dist == old_[0] && len == last_length_) {
            t.main = 258;
            return true;
        }
        for (unsigned i = 0; i < 4; ++i) {
            if (old_[i] != dist || len - 2 > 255)
                continue;
            t.main = static_cast<uint16_t>(259 + i);
            t.length_sym = static_cast<int8_t>(length_slot(len - 2, t.length_extra, t.length_bits));
            for (unsigned k = i; k > 0; --k)
                old_[k] = old_[k - 1];
            old_[0] = dist;
            last_length_ = len;
            return true;
        }
        if (len == 2) {
            if (dist > 256)
                return false;
            static constexpr uint8_t bases[8] = {0, 4, 8, 16, 32, 64, 128, 192};
            static constexpr uint8_t nbits[8] = {2, 2, 3, 4, 5, 6, 6, 6};
            unsigned k = 7;
            while (bases[k] > dist - 1)
                --k;
            t.main = static_cast<uint16_t>(263 + k);
            t.extra_bits = nbits[k];
            t.extra = dist - 1 - bases[k];
            push_dist(old_, dist);
            last_length_ = 2;
            return true;
        }
        const uint32_t bonus = (dist >= 0x2000) + (dist >= 0x40000);
        if (len < 3 + bonus)
            return false;
        const uint32_t coded = len - bonus - 3;
        if (coded > 255)
            return false;
        t.main = static_cast<uint16_t>(271 + length_slot(coded, t.extra, t.extra_bits));
        uint32_t dextra = 0;
        uint8_t dbits = 0;
        t.dist_sym = static_cast<int8_t>(dist_slot(dist - 1, dextra, dbits));
        if (t.dist_sym >= 10) {
            t.dist_bits = static_cast<uint8_t>(dbits - 4);
            t.dist_extra = dextra >> 4;
            t.low = static_cast<int8_t>(dextra & 15);
        } else {
            t.dist_bits = dbits;
            t.dist_extra = dextra;
        }
        push_dist(old_, dist);
        last_length_ = len;
        return true;
    }

    void parse(const std::vector<rar3_entry_input>& entries)
    {
        stream_.clear();
        tokens_.clear();
        records_.clear();
        size_t total = 0;
        for (const auto& e : entries)
            total += e.data.size();
        stream_.reserve(total);
        head_.assign(1u << 16, -1);
        prev_.assign(total + 3, -1);
        old_ = {0, 0, 0, 0};
        last_length_ = 0;
        programs_.clear();
        last_program_ = SIZE_MAX;
        int block = -1;
        size_t since_tables = 0;

        for (size_t e = 0; e < entries.size(); ++e) {
            const rar3_entry_input& entry_in = entries[e];
            if (entry_in.data.empty())
                continue; // WinRAR stores empty entries without packed data
            const size_t entry_start = stream_.size();
            // The stream carries each filter block as the encoder side of its filter leaves it.
            std::vector<uint8_t> data = entry_in.data;
            for (const auto& f : entry_in.filters) {
                uint8_t* b = data.data() + f.start;
                switch (f.kind) {
                case Rar3FilterKind::e8:
                case Rar3FilterKind::e8e9:
                    rar3_e8e9_encode(b, f.length, f.start, f.kind == Rar3FilterKind::e8e9);
                    break;
                case Rar3FilterKind::itanium:
                    rar3_itanium_encode(b, f.length, f.start);
                    break;
                case Rar3FilterKind::delta: {
                    const auto v = rar3_delta_encode({b, f.length}, f.r0);
                    std::copy(v.begin(), v.end(), b);
                    break;
                }
                case Rar3FilterKind::audio: {
                    const auto v = rar3_audio_encode({b, f.length}, f.r0);
                    std::copy(v.begin(), v.end(), b);
                    break;
                }
                case Rar3FilterKind::rgb: {
                    const auto v = rar3_rgb_encode({b, f.length}, f.r0, f.r1);
                    std::copy(v.begin(), v.end(), b);
                    break;
                }
                default:
                    break;
                }
            }
            stream_.insert(stream_.end(), data.begin(), data.end());

            // Token boundaries: filter records, block starts and ends.
            std::vector<std::pair<size_t, int>> marks; // position in the entry, filter index (-1: boundary only)
            for (size_t i = 0; i < entry_in.filters.size(); ++i) {
                const auto& f = entry_in.filters[i];
                marks.push_back({f.start - std::min(f.record_before, f.start), static_cast<int>(i)});
                marks.push_back({f.start, -1});
                marks.push_back({f.start + f.length, -1});
            }
            marks.push_back({data.size(), -1});
            std::stable_sort(marks.begin(), marks.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });

            const bool tables = tokens_.empty() || entry_in.new_tables;
            size_t first_token = tokens_.size();
            size_t pos = 0;
            for (const auto& [at, filter] : marks) {
                if (at > pos) {
                    parse_segment(entry_start + pos, entry_start + at, e);
                    pos = at;
                }
                if (filter >= 0) {
                    const auto& f = entry_in.filters[static_cast<size_t>(filter)];
                    token t;
                    t.entry = static_cast<uint32_t>(e);
                    t.main = 257;
                    t.record = static_cast<int32_t>(records_.size());
                    records_.push_back(filter_record(f, static_cast<uint32_t>(f.start - pos)));
                    tokens_.push_back(t);
                }
            }
            tokens_[first_token].entry_start = true;
            for (size_t i = first_token; i < tokens_.size(); ++i) {
                const bool start_tables = i == first_token && tables;
                if (start_tables || (opt_.block_items && since_tables >= opt_.block_items)) {
                    tokens_[i].tables_here = true;
                    ++block;
                    since_tables = 0;
                }
                tokens_[i].block = block;
                ++since_tables;
            }
        }
    }

    // Low-distance repeats: the symbol 16 makes this and the next 15 low
    // parts (within one table block) equal to the last one sent.
    void choose_low_dist_repeats()
    {
        // The tokens that send low bits, in order.
        std::vector<size_t> lows;
        for (size_t i = 0; i < tokens_.size(); ++i)
            if (tokens_[i].low >= 0)
                lows.push_back(i);
        int block = -1;
        uint32_t prev = 0, reps = 0;
        for (size_t k = 0; k < lows.size(); ++k) {
            token& t = tokens_[lows[k]];
            if (t.block != block) {
                block = t.block;
                prev = 0;
                reps = 0;
            }
            if (reps > 0) {
                t.low_repeat = true; // implied by the repeat
                --reps;
                continue;
            }
            if (opt_.low_dist_repeat && static_cast<uint32_t>(t.low) == prev && k + 16 <= lows.size()) {
                bool run = true;
                for (size_t j = k; j < k + 16 && run; ++j)
                    run = tokens_[lows[j]].block == block && static_cast<uint32_t>(tokens_[lows[j]].low) == prev;
                if (run) {
                    t.low = 16;
                    reps = 15;
                    continue;
                }
            }
            prev = static_cast<uint32_t>(t.low);
        }
    }

    struct tables {
        std::vector<uint8_t> lens; // 404
        std::vector<uint32_t> codes;
    };

    tables make_tables(int block) const
    {
        std::vector<uint32_t> fm(299, 0), fd(60, 0), fl(17, 0), fn(28, 0);
        fm[256] = 1; // end of block / entry marks
        for (const token& t : tokens_) {
            if (t.block != block)
                continue;
            ++fm[t.main];
            if (t.length_sym >= 0)
                ++fn[t.length_sym];
            if (t.dist_sym >= 0)
                ++fd[t.dist_sym];
            if (t.low >= 0 && !t.low_repeat)
                ++fl[t.low];
        }
        tables tb;
        for (auto* f : {&fm, &fd, &fl, &fn}) {
            const auto l = rar3_code_lengths(*f, 15);
            tb.lens.insert(tb.lens.end(), l.begin(), l.end());
        }
        return tb;
    }

    void write_tables(rar3_bit_writer& w, const std::vector<uint8_t>& lens)
    {
        w.align();
        w.put(0, 1); // LZ
        const bool keep = opt_.keep_old_lengths && have_old_;
        w.put(keep ? 1 : 0, 1);
        std::vector<uint8_t> base = keep ? old_lens_ : std::vector<uint8_t>(404, 0);
        // Precode symbols: 0-15 change the length, 16/17 repeat the last, 18/19 zeros.
        struct pre {
            unsigned sym, bits, extra;
        };
        std::vector<pre> seq;
        for (size_t i = 0; i < lens.size();) {
            size_t run = 1;
            if (lens[i] == 0) {
                while (i + run < lens.size() && lens[i + run] == 0 && run < 138)
                    ++run;
                if (run >= 11) {
                    seq.push_back({19, 7, static_cast<unsigned>(run - 11)});
                    i += run;
                    continue;
                }
                if (run >= 3) {
                    seq.push_back({18, 3, static_cast<unsigned>(std::min<size_t>(run, 10) - 3)});
                    i += std::min<size_t>(run, 10);
                    continue;
                }
            } else if (i > 0 && lens[i] == lens[i - 1]) {
                while (i + run < lens.size() && lens[i + run] == lens[i] && run < 138)
                    ++run;
                if (run >= 11) {
                    seq.push_back({17, 7, static_cast<unsigned>(run - 11)});
                    i += run;
                    continue;
                }
                if (run >= 3) {
                    seq.push_back({16, 3, static_cast<unsigned>(std::min<size_t>(run, 10) - 3)});
                    i += std::min<size_t>(run, 10);
                    continue;
                }
            }
            seq.push_back({static_cast<unsigned>((lens[i] - base[i]) & 15), 0, 0});
            ++i;
        }
        std::vector<uint32_t> pf(20, 0);
        for (const auto& p : seq)
            ++pf[p.sym];
        const auto pl = rar3_code_lengths(pf, 15);
        const auto pc = rar3_codewords(pl);
        for (size_t i = 0; i < 20;) {
            if (pl[i] == 0) {
                size_t run = 1;
                while (i + run < 20 && pl[i + run] == 0 && run < 17)
                    ++run;
                if (run >= 3) {
                    w.put(15, 4);
                    w.put(static_cast<uint32_t>(run - 2), 4);
                    i += run;
                    continue;
                }
            }
            w.put(pl[i], 4);
            if (pl[i] == 15)
                w.put(0, 4);
            ++i;
        }
        for (const auto& p : seq) {
            w.put(pc[p.sym], pl[p.sym]);
            if (p.bits)
                w.put(p.extra, p.bits);
        }
        old_lens_ = lens;
        have_old_ = true;
    }

    std::vector<std::vector<uint8_t>> write(const std::vector<rar3_entry_input>& entries)
    {
        std::vector<std::vector<uint8_t>> out(entries.size());
        have_old_ = false;
        std::vector<uint32_t> cm, cd, cl, cn;
        std::vector<uint8_t> lm, ld, ll, ln;
        rar3_bit_writer w;
        size_t entry = tokens_.empty() ? 0 : tokens_.front().entry;
        auto finish_entry = [&](size_t e) {
            size_t next = e + 1;
            while (next < entries.size() && entries[next].data.empty())
                ++next;
            const bool next_tables = next < entries.size() && entries[next].new_tables;
            if (entries[e].end_mark) {
                w.put(cm[256], lm[256]);
                w.put(0, 1);
                w.put(next_tables ? 1 : 0, 1);
            }
            out[e] = w.take();
            w = rar3_bit_writer();
        };
        for (const token& t : tokens_) {
            if (t.entry != entry) {
                finish_entry(entry);
                entry = t.entry;
            }
            if (t.tables_here) {
                if (!t.entry_start) {
                    w.put(cm[256], lm[256]);
                    w.put(1, 1);
                }
                const tables tb = make_tables(t.block);
                write_tables(w, tb.lens);
                auto part = [&](size_t at, size_t n, std::vector<uint8_t>& l, std::vector<uint32_t>& c) {
                    l.assign(tb.lens.begin() + static_cast<long>(at), tb.lens.begin() + static_cast<long>(at + n));
                    c = rar3_codewords(l);
                };
                part(0, 299, lm, cm);
                part(299, 60, ld, cd);
                part(359, 17, ll, cl);
                part(376, 28, ln, cn);
            }
            w.put(cm[t.main], lm[t.main]);
            if (t.main == 257) {
                for (uint8_t b : records_[static_cast<size_t>(t.record)])
                    w.put(b, 8);
                continue;
            }
            if (t.extra_bits)
                w.put(t.extra, t.extra_bits);
            if (t.length_sym >= 0) {
                w.put(cn[t.length_sym], ln[t.length_sym]);
                if (t.length_bits)
                    w.put(t.length_extra, t.length_bits);
            }
            if (t.dist_sym >= 0) {
                w.put(cd[t.dist_sym], ld[t.dist_sym]);
                if (t.dist_bits)
                    w.put(t.dist_extra, t.dist_bits);
                if (t.low >= 0 && !t.low_repeat)
                    w.put(cl[t.low], ll[t.low]);
            }
        }
        if (!tokens_.empty())
            finish_entry(entry);
        return out;
    }

    rar3_stream_options opt_;
    std::vector<uint8_t> stream_;
    std::vector<token> tokens_;
    std::vector<std::vector<uint8_t>> records_;
    std::vector<int64_t> head_, prev_;
    std::array<uint32_t, 4> old_{};
    uint32_t last_length_ = 0;
    std::vector<program_state> programs_;
    size_t last_program_ = SIZE_MAX;
    std::vector<uint8_t> old_lens_;
    bool have_old_ = false;
};

// ---------------------------------------------------------------------------
// The archive around the packed data.

struct rar_file_input {
    std::string name;
    std::vector<uint8_t> packed;
    uint64_t unp_size = 0;
    uint32_t crc = 0;
    bool solid = false;      // continues the previous entry's stream (file flag 0x10)
    uint8_t method = '3';    // '0' stored
};

inline std::vector<uint8_t> rar_write_archive(const std::vector<rar_file_input>& files, bool solid_archive)
{
    std::vector<uint8_t> a = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
    auto put16 = [](std::vector<uint8_t>& v, uint32_t x) {
        v.push_back(static_cast<uint8_t>(x));
        v.push_back(static_cast<uint8_t>(x >> 8));
    };
    auto put32 = [&](std::vector<uint8_t>& v, uint32_t x) {
        put16(v, x & 0xFFFF);
        put16(v, x >> 16);
    };
    // Header CRC: the low 16 bits of the CRC-32 of the header from HEAD_TYPE on.
    auto block = [&](std::vector<uint8_t> body) {
        const uint32_t crc = crc32_update(0, body);
        put16(a, crc & 0xFFFF);
        a.insert(a.end(), body.begin(), body.end());
    };
    std::vector<uint8_t> main = {0x73};
    put16(main, solid_archive ? 0x0008 : 0x0000);
    put16(main, 13);
    put16(main, 0);
    put32(main, 0);
    block(main);
    for (const auto& f : files) {
        std::vector<uint8_t> h = {0x74};
        // LONG_BLOCK, 4 MiB dictionary (6 << 5), solid continuation.
        put16(h, 0x8000 | (6 << 5) | (f.solid ? 0x10 : 0));
        put16(h, static_cast<uint32_t>(32 + f.name.size()));
        put32(h, static_cast<uint32_t>(f.packed.size()));
        put32(h, static_cast<uint32_t>(f.unp_size));
        h.push_back(3); // Unix
        put32(h, f.crc);
        put32(h, (44u << 25) | (6u << 21) | (1u << 16)); // 2024-06-01 00:00:00
        h.push_back(f.method == '0' ? 20 : 29);
        h.push_back(f.method);
        put16(h, static_cast<uint32_t>(f.name.size()));
        put32(h, 0100644);
        h.insert(h.end(), f.name.begin(), f.name.end());
        block(h);
        a.insert(a.end(), f.packed.begin(), f.packed.end());
    }
    std::vector<uint8_t> end = {0x7B};
    put16(end, 0x4000);
    put16(end, 7);
    block(end);
    return a;
}

// A whole archive of entries: one solid stream, or one stream per entry.
inline std::vector<uint8_t> rar3_make_archive(const std::vector<std::string>& names,
                                              const std::vector<rar3_entry_input>& entries, bool solid,
                                              rar3_stream_options opt = {})
{
    std::vector<rar_file_input> files;
    std::vector<std::vector<uint8_t>> packed;
    if (solid) {
        packed = Rar3LzWriter(opt).encode(entries);
    } else {
        for (const auto& e : entries) {
            rar3_entry_input one = e;
            one.new_tables = true;
            packed.push_back(Rar3LzWriter(opt).encode({one})[0]);
        }
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        rar_file_input f;
        f.name = names[i];
        f.packed = std::move(packed[i]);
        f.unp_size = entries[i].data.size();
        f.crc = crc32_update(0, entries[i].data);
        f.solid = solid && i > 0;
        if (entries[i].data.empty())
            f.method = '0'; // WinRAR stores empty files, also in a solid group
        files.push_back(std::move(f));
    }
    return rar_write_archive(files, solid);
}

} // namespace rar3_writer
} // namespace velmora::test

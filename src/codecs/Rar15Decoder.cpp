// RAR 1.5 decoding, from the format as libarchive, 7-Zip and XADMaster read
// it. Every match and literal goes through one of three fixed-length-class
// codes (DecodeNum tables below) and then through a rank table that adapts to
// what was decoded; weights between literal and match decide what a flag bit
// means.
#include "codecs/Rar15Decoder.h"

#include <algorithm>
#include <bit>

#include "codecs/RarHuffman.h"

namespace velmora {
namespace {

constexpr size_t window_size = 0x10000;
// Output handed to the sink at least this often (the window wraps at 72 KiB,
// which ends a round early now and then).
constexpr size_t flush_step = 64 * 1024;

// The fixed codes, as the number of codes of each length 0-12; every one is
// complete (sums to 2^12) and its symbols are the code ranks.
using count_table = std::array<uint8_t, 13>;
constexpr count_table pos_l1 = {0, 0, 2, 1, 2, 2, 4, 5, 4, 4, 8, 0, 224};
constexpr count_table pos_l2 = {0, 0, 0, 5, 2, 2, 4, 5, 4, 4, 8, 2, 220};
constexpr count_table pos_hf0 = {0, 0, 0, 0, 8, 8, 8, 9, 0, 0, 0, 0, 224};
constexpr count_table pos_hf1 = {0, 0, 0, 0, 0, 4, 40, 16, 16, 4, 0, 47, 130};
constexpr count_table pos_hf2 = {0, 0, 0, 0, 0, 2, 5, 46, 64, 116, 24, 0, 0};
constexpr count_table pos_hf3 = {0, 0, 0, 0, 0, 0, 2, 14, 202, 33, 6, 0, 0};
constexpr count_table pos_hf4 = {0, 0, 0, 0, 0, 0, 0, 0, 255, 2, 0, 0, 0};

constexpr unsigned count_symbols(const count_table& t)
{
    unsigned n = 0;
    for (const auto c : t)
        n += c;
    return n;
}
constexpr unsigned kraft_sum(const count_table& t)
{
    unsigned sum = 0;
    for (unsigned len = 0; len < t.size(); ++len)
        sum += unsigned{t[len]} << (12 - len);
    return sum;
}
static_assert(kraft_sum(pos_l1) == 4096 && kraft_sum(pos_l2) == 4096 && kraft_sum(pos_hf0) == 4096
                  && kraft_sum(pos_hf1) == 4096 && kraft_sum(pos_hf2) == 4096 && kraft_sum(pos_hf3) == 4096
                  && kraft_sum(pos_hf4) == 4096,
              "the fixed codes are complete");
static_assert(count_symbols(pos_l1) == 256 && count_symbols(pos_hf0) == 257);

using fixed_code = RarHuffman<257, 10>;

fixed_code make_code(const count_table& t)
{
    std::array<uint8_t, 257> lens{};
    unsigned s = 0;
    for (unsigned len = 1; len < t.size(); ++len)
        for (unsigned k = 0; k < t[len]; ++k)
            lens[s++] = static_cast<uint8_t>(len);
    fixed_code code;
    code.build(lens.data(), s);
    return code;
}

struct fixed_codes {
    fixed_code l1 = make_code(pos_l1), l2 = make_code(pos_l2);
    fixed_code hf0 = make_code(pos_hf0), hf1 = make_code(pos_hf1), hf2 = make_code(pos_hf2);
    fixed_code hf3 = make_code(pos_hf3), hf4 = make_code(pos_hf4);
};

const fixed_codes& codes()
{
    static const fixed_codes c;
    return c;
}

// Short-match selector codes: left-aligned 8-bit code and length per symbol
// 0-14. Two families (by avr_ln1 below or above 37), each in two variants
// toggled by the stream (buf60); symbol 14 exists only in the second.
struct short_code_def {
    std::array<uint8_t, 15> code;
    std::array<uint8_t, 15> len;
};
constexpr std::array<short_code_def, 4> short_defs = {{
    {{0x00, 0xa0, 0xd0, 0xe0, 0xf0, 0xf8, 0xfc, 0xfe, 0xff, 0xc0, 0x80, 0x90, 0x98, 0x9c, 0xb0},
     {1, 3, 4, 4, 5, 6, 7, 8, 8, 4, 4, 5, 6, 6, 0}},
    {{0x00, 0xa0, 0xd0, 0xe0, 0xf0, 0xf8, 0xfc, 0xfe, 0xff, 0xc0, 0x80, 0x90, 0x98, 0x9c, 0xb0},
     {1, 4, 4, 4, 5, 6, 7, 8, 8, 4, 4, 5, 6, 6, 4}},
    {{0x00, 0x40, 0x60, 0xa0, 0xd0, 0xe0, 0xf0, 0xf8, 0xfc, 0xc0, 0x80, 0x90, 0x98, 0x9c, 0xb0},
     {2, 3, 3, 3, 4, 4, 5, 6, 6, 4, 4, 5, 6, 6, 0}},
    {{0x00, 0x40, 0x60, 0xa0, 0xd0, 0xe0, 0xf0, 0xf8, 0xfc, 0xc0, 0x80, 0x90, 0x98, 0x9c, 0xb0},
     {2, 3, 3, 4, 4, 4, 5, 6, 6, 4, 4, 5, 6, 6, 4}},
}};

// 256-entry lookups on the next 8 bits: symbol in the high byte, length in
// the low. All four codes are complete, so every entry is set.
using short_table = std::array<uint16_t, 256>;
constexpr short_table make_short_table(const short_code_def& d)
{
    short_table t{};
    for (unsigned v = 0; v < 256; ++v) {
        for (unsigned s = 0; s < 15; ++s) {
            if (d.len[s] == 0)
                continue;
            if (((v ^ d.code[s]) >> (8 - d.len[s])) == 0) {
                t[v] = static_cast<uint16_t>((s << 8) | d.len[s]);
                break;
            }
        }
    }
    return t;
}
constexpr std::array<short_table, 4> short_tables = {make_short_table(short_defs[0]), make_short_table(short_defs[1]),
                                                     make_short_table(short_defs[2]), make_short_table(short_defs[3])};
constexpr bool all_set(const short_table& t)
{
    for (const auto e : t)
        if ((e & 0xFF) == 0)
            return false;
    return true;
}
static_assert(all_set(short_tables[0]) && all_set(short_tables[1]) && all_set(short_tables[2])
                  && all_set(short_tables[3]),
              "the short-match codes are complete");

// Resets the counts of a rank table to eight classes of 32 places (counts 7
// down to 0) when a count would overflow.
void corr_huff(std::array<uint32_t, 256>& char_set, std::array<uint32_t, 256>& num_to_place)
{
    size_t k = 0;
    for (int i = 7; i >= 0; --i)
        for (int j = 0; j < 32; ++j, ++k)
            char_set[k] = (char_set[k] & ~0xFFu) | static_cast<uint32_t>(i);
    num_to_place.fill(0);
    for (int i = 6; i >= 0; --i)
        num_to_place[static_cast<size_t>(i)] = static_cast<uint32_t>(7 - i) * 32;
}

} // namespace

void Rar15Decoder::init_tables()
{
    avr_plc_b = avr_ln1 = avr_ln2 = avr_ln3 = num_huf = buf60 = 0;
    avr_plc = 0x3500;
    max_dist3 = 0x2001;
    nhfb = nlzb = 0x80;
    old_dist.fill(0);
    old_dist_ptr = 0;
    last_dist = last_length = 0;
    for (uint32_t i = 0; i < 256; ++i) {
        ch_set[i] = ch_set_b[i] = i << 8;
        ch_set_a[i] = i;
        ch_set_c[i] = ((0u - i) & 0xFF) << 8;
    }
    n_to_pl.fill(0);
    n_to_pl_b.fill(0);
    n_to_pl_c.fill(0);
    corr_huff(ch_set_b, n_to_pl_b);
}

Rar15Decoder::step Rar15Decoder::copy_string(uint32_t dist, uint32_t len)
{
    if (dist == 0 || len == 0 || dist > win_.max_distance() || len > hard_end_ - win_.pos())
        return step::error;
    win_.copy(dist, len);
    return step::ok;
}

Rar15Decoder::step Rar15Decoder::short_lz()
{
    num_huf = 0;
    if (l_count == 2) {
        if (in_.bits(1))
            return copy_string(last_dist, last_length);
        l_count = 0;
    }

    const unsigned family = (avr_ln1 < 37 ? 0 : 2) + (buf60 ? 1 : 0);
    const uint16_t e = short_tables[family][in_.peek16() >> 8];
    in_.skip(e & 0xFF);
    uint32_t len = e >> 8;
    uint32_t dist;

    if (len >= 9) {
        if (len == 9) {
            ++l_count;
            return copy_string(last_dist, last_length);
        }
        l_count = 0;
        if (len == 14) {
            len = codes().l2.decode(in_) + 5;
            dist = 0x8000 + in_.bits32(15);
            last_length = len;
            last_dist = dist;
            return copy_string(dist, len);
        }
        const uint32_t selector = len;
        dist = old_dist[(old_dist_ptr - (selector - 9)) & 3];
        len = codes().l1.decode(in_);
        if (len == 0xFF && selector == 10) {
            buf60 ^= 16;
            return step::ok;
        }
        if (dist > 256) {
            ++len;
            if (dist >= max_dist3)
                ++len;
        }
    } else {
        l_count = 0;
        avr_ln1 += len;
        avr_ln1 -= avr_ln1 >> 4;
        const unsigned place = codes().hf2.decode(in_) & 0xFF;
        dist = ch_set_a[place];
        if (place != 0) {
            ch_set_a[place] = ch_set_a[place - 1];
            ch_set_a[place - 1] = dist;
        }
        ++dist;
    }
    old_dist[old_dist_ptr++ & 3] = dist;
    len += 2;
    last_length = len;
    last_dist = dist;
    return copy_string(dist, len);
}

Rar15Decoder::step Rar15Decoder::long_lz()
{
    num_huf = 0;
    nlzb += 16;
    if (nlzb > 0xFF) {
        nlzb = 0x90;
        nhfb >>= 1;
    }
    const uint32_t old_avr2 = avr_ln2;

    uint32_t len;
    if (avr_ln2 >= 64) {
        len = (avr_ln2 < 122 ? codes().l1 : codes().l2).decode(in_);
    } else {
        // Unary: up to seven zero bits and a one, or eight zeros and a byte.
        const uint32_t v = in_.peek16();
        if (v < 0x100) {
            len = v;
            in_.skip(16);
        } else {
            len = static_cast<uint32_t>(std::countl_zero(static_cast<uint16_t>(v)));
            in_.skip(len + 1);
        }
    }
    avr_ln2 += len;
    avr_ln2 -= avr_ln2 >> 5;

    const fixed_code& place_code = avr_plc_b >= 0x2900 ? codes().hf2 : avr_plc_b >= 0x0700 ? codes().hf1 : codes().hf0;
    uint32_t place = place_code.decode(in_);
    avr_plc_b += place;
    avr_plc_b -= avr_plc_b >> 8;
    place &= 0xFF;

    uint32_t dist, new_place;
    for (;;) {
        dist = ch_set_b[place];
        new_place = n_to_pl_b[dist++ & 0xFF]++ & 0xFF;
        if (dist & 0xFF)
            break;
        corr_huff(ch_set_b, n_to_pl_b);
    }
    ch_set_b[place] = ch_set_b[new_place];
    ch_set_b[new_place] = dist;

    dist = ((dist & 0xFF00) >> 1) | in_.bits32(7);

    const uint32_t old_avr3 = avr_ln3;
    if (len != 1 && len != 4) {
        if (len == 0 && dist <= max_dist3) {
            ++avr_ln3;
            avr_ln3 -= avr_ln3 >> 8;
        } else if (avr_ln3 > 0) {
            --avr_ln3;
        }
    }
    len += 3;
    if (dist >= max_dist3)
        ++len;
    if (dist <= 256)
        len += 8;
    max_dist3 = (old_avr3 > 0xB0 || (avr_plc >= 0x2A00 && old_avr2 < 0x40)) ? 0x7F00 : 0x2001;

    old_dist[old_dist_ptr++ & 3] = dist;
    last_length = len;
    last_dist = dist;
    return copy_string(dist, len);
}

Rar15Decoder::step Rar15Decoder::huff_decode()
{
    const fixed_code& byte_code = avr_plc >= 0x7600   ? codes().hf4
                                  : avr_plc >= 0x5E00 ? codes().hf3
                                  : avr_plc >= 0x3600 ? codes().hf2
                                  : avr_plc >= 0x0E00 ? codes().hf1
                                                      : codes().hf0;
    uint32_t place = byte_code.decode(in_);
    if (st_mode) {
        if (place == 0) {
            if (in_.bits(1)) {
                num_huf = 0;
                st_mode = false;
                return step::ok;
            }
            const uint32_t len = in_.bits32(1) + 3;
            uint32_t dist = codes().hf2.decode(in_);
            dist = (dist << 5) | in_.bits32(5);
            return copy_string(dist, len);
        }
        --place;
    } else if (num_huf++ >= 16 && flags_cnt == 0) {
        st_mode = true;
    }
    place &= 0xFF;
    avr_plc += place;
    avr_plc -= avr_plc >> 8;
    nhfb += 16;
    if (nhfb > 0xFF) {
        nhfb = 0x90;
        nlzb >>= 1;
    }

    if (win_.pos() >= hard_end_)
        return step::error;
    win_.put(static_cast<uint8_t>(ch_set[place] >> 8));

    uint32_t cur, new_place;
    for (;;) {
        cur = ch_set[place];
        new_place = n_to_pl[cur++ & 0xFF]++ & 0xFF;
        if ((cur & 0xFF) <= 0xA1)
            break;
        corr_huff(ch_set, n_to_pl);
    }
    ch_set[place] = ch_set[new_place];
    ch_set[new_place] = cur;
    return step::ok;
}

Rar15Decoder::step Rar15Decoder::get_flags_buf()
{
    const uint32_t place = codes().hf2.decode(in_);
    if (place >= 256)
        return step::error;
    uint32_t flags, new_place;
    for (;;) {
        flags = ch_set_c[place];
        flag_buf = flags >> 8;
        new_place = n_to_pl_c[flags++ & 0xFF]++ & 0xFF;
        if (flags & 0xFF)
            break;
        corr_huff(ch_set_c, n_to_pl_c);
    }
    ch_set_c[place] = ch_set_c[new_place];
    ch_set_c[new_place] = flags;
    return step::ok;
}

DecodeStatus Rar15Decoder::decode(ByteSource& in, ByteSink& out, uint64_t out_size, bool solid_continue)
{
    if (solid_continue && !ready_)
        return DecodeStatus::data_error;
    ready_ = false;
    if (!in_.start(in) || !win_.prepare(window_size, solid_continue))
        return DecodeStatus::no_memory;
    if (!solid_continue)
        init_tables();
    flags_cnt = 0;
    flag_buf = 0;
    st_mode = false;
    l_count = 0;

    const DecodeStatus s = run(out, out_size);
    ready_ = s == DecodeStatus::ok;
    return s;
}

DecodeStatus Rar15Decoder::run(ByteSink& out, uint64_t out_size)
{
    uint64_t left = out_size;
    if (left > 0) {
        if (get_flags_buf() != step::ok)
            return in_.overrun() ? DecodeStatus::truncated : DecodeStatus::data_error;
        flags_cnt = 8;
    }
    while (left > 0) {
        const size_t start = win_.pos();
        const size_t room = std::min<size_t>(win_.size() - start, flush_step);
        const size_t round = static_cast<size_t>(std::min<uint64_t>(room, left));
        const size_t round_end = start + round;
        // A match may run past round_end but never past the entry's end.
        hard_end_ = left > win_.size() ? SIZE_MAX : start + static_cast<size_t>(left);

        while (win_.pos() < round_end) {
            in_.ensure();
            step r = step::ok;
            if (st_mode) {
                r = huff_decode();
            } else {
                if (--flags_cnt < 0) {
                    r = get_flags_buf();
                    flags_cnt = 7;
                }
                if (r == step::ok) {
                    if (flag_buf & 0x80) {
                        flag_buf <<= 1;
                        r = nlzb > nhfb ? long_lz() : huff_decode();
                    } else {
                        flag_buf <<= 1;
                        if (--flags_cnt < 0) {
                            r = get_flags_buf();
                            flags_cnt = 7;
                        }
                        if (r == step::ok) {
                            if ((flag_buf & 0x80) == 0) {
                                flag_buf <<= 1;
                                r = short_lz();
                            } else {
                                flag_buf <<= 1;
                                r = nlzb <= nhfb ? long_lz() : huff_decode();
                            }
                        }
                    }
                }
            }
            if (in_.overrun())
                return DecodeStatus::truncated;
            if (r != step::ok)
                return DecodeStatus::data_error;
        }

        left -= win_.pos() - start;
        if (!out.write(win_.pending()))
            return DecodeStatus::stopped;
        win_.mark_flushed();
        win_.wrap();
    }
    return DecodeStatus::ok;
}

} // namespace velmora

// RAR 2.0 decoding, from the format as libarchive, 7-Zip and XADMaster read
// it. A table block sends the code lengths as changes to the previous ones
// through a 19-symbol length code; its first bit switches between LZ and the
// audio mode. Symbol 269 (LZ) or 256 (audio) announces the next table block.
#include "codecs/Rar20Decoder.h"

#include <algorithm>
#include <cstdlib>

namespace velmora {
namespace {

constexpr size_t window_size = 0x100000;
constexpr size_t flush_step = 256 * 1024;

constexpr unsigned num_levels = 19;  // the code-length code
constexpr unsigned lz_table_count = Rar20Decoder::num_main + Rar20Decoder::num_dist + Rar20Decoder::num_len;

// Main symbols.
constexpr unsigned sym_repeat_last = 256;
constexpr unsigned sym_old_dist = 257;    // 257-260: one of the last four distances
constexpr unsigned sym_short = 261;       // 261-268: length 2, short distance
constexpr unsigned sym_new_tables = 269;
constexpr unsigned sym_match = 270;       // 270-297: length slots

// Distance slots: base and extra bits; the 1-based distance is base + extra + 1.
constexpr std::array<uint32_t, Rar20Decoder::num_dist> dist_base = {
    0,      1,      2,      3,      4,      6,      8,      12,     16,     24,     32,     48,
    64,     96,     128,    192,    256,    384,    512,    768,    1024,   1536,   2048,   3072,
    4096,   6144,   8192,   12288,  16384,  24576,  32768,  49152,  65536,  98304,  131072, 196608,
    262144, 327680, 393216, 458752, 524288, 589824, 655360, 720896, 786432, 851968, 917504, 983040};
constexpr std::array<uint8_t, Rar20Decoder::num_dist> dist_bits = {
    0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10,
    11, 11, 12, 12, 13, 13, 14, 14, 15, 15, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16};
static_assert(dist_base[47] + (1u << dist_bits[47]) == window_size, "the farthest distance is the window");

constexpr std::array<uint8_t, 8> short_base = {0, 4, 8, 16, 32, 64, 128, 192};
constexpr std::array<uint8_t, 8> short_bits = {2, 2, 3, 4, 5, 6, 6, 6};

// Length slots 0-27: slots 0-7 are the lengths themselves; from 8 on, four
// slots per power of two with slot / 4 - 1 extra bits.
uint32_t slot_to_length(RarBitInput& in, uint32_t slot)
{
    if (slot < 8)
        return slot;
    const unsigned extra = slot / 4 - 1;
    return ((4 | (slot & 3)) << extra) + in.bits32(extra);
}

} // namespace

DecodeStatus Rar20Decoder::read_tables()
{
    tables_ok_ = false;
    in_.ensure();
    audio_ = in_.bits(1) != 0;
    if (in_.bits(1) == 0)
        levels_.fill(0);
    unsigned count = lz_table_count;
    if (audio_) {
        channels_ = in_.bits32(2) + 1;
        if (cur_channel_ >= channels_)
            cur_channel_ = 0;
        count = channels_ * num_audio;
    }

    std::array<uint8_t, num_levels> level_lens{};
    for (auto& l : level_lens)
        l = static_cast<uint8_t>(in_.bits(4));
    RarHuffman<num_levels, 8> level_code;
    if (!level_code.build(level_lens.data(), num_levels))
        return in_.overrun() ? DecodeStatus::truncated : DecodeStatus::data_error;

    unsigned i = 0;
    while (i < count) {
        in_.ensure();
        const unsigned sym = level_code.decode(in_);
        if (in_.overrun())
            return DecodeStatus::truncated;
        if (sym < 16) {
            levels_[i] = static_cast<uint8_t>((sym + levels_[i]) & 15);
            ++i;
        } else if (sym == 16) {
            if (i == 0)
                return DecodeStatus::data_error;
            const unsigned n = std::min(count, i + 3 + in_.bits32(2));
            const uint8_t v = levels_[i - 1];
            while (i < n)
                levels_[i++] = v;
        } else if (sym == 17 || sym == 18) {
            const unsigned run = sym == 17 ? 3 + in_.bits32(3) : 11 + in_.bits32(7);
            const unsigned n = std::min(count, i + run);
            while (i < n)
                levels_[i++] = 0;
        } else {
            return DecodeStatus::data_error;
        }
    }
    if (in_.overrun())
        return DecodeStatus::truncated;

    bool built = true;
    if (audio_) {
        for (unsigned c = 0; c < channels_; ++c)
            built = built && audio_code_[c].build(levels_.data() + c * num_audio, num_audio);
    } else {
        built = main_.build(levels_.data(), num_main) && dist_.build(levels_.data() + num_main, num_dist)
                && len_.build(levels_.data() + num_main + num_dist, num_len);
    }
    if (!built)
        return DecodeStatus::data_error;
    tables_ok_ = true;
    return DecodeStatus::ok;
}

// The encoder may announce the next entry's tables right after this entry's
// last symbol; read them now, since the next entry of a solid archive starts
// without a table block of its own.
void Rar20Decoder::read_last_tables()
{
    in_.ensure();
    if (in_.bytes_left() < 7)
        return;
    const unsigned sym = audio_ ? audio_code_[cur_channel_].decode(in_) : main_.decode(in_);
    if (sym == (audio_ ? 256u : sym_new_tables) && read_tables() != DecodeStatus::ok)
        tables_ok_ = false;
}

uint8_t Rar20Decoder::audio_decode(uint8_t delta)
{
    audio_channel& c = audio_state_[cur_channel_];
    c.d4 = c.d3;
    c.d3 = c.d2;
    c.d2 = c.last_delta - c.d1;
    c.d1 = c.last_delta;
    const int predicted = (8 * c.last_char + c.k1 * c.d1 + c.k2 * c.d2 + c.k3 * c.d3 + c.k4 * c.d4
                           + c.k5 * channel_delta_) >> 3;
    const uint8_t real = static_cast<uint8_t>(predicted - delta);

    // How each predictor term would have done, to steer its weight.
    const int e = static_cast<int8_t>(delta) * 8;
    c.dif[0] += static_cast<uint32_t>(std::abs(e));
    c.dif[1] += static_cast<uint32_t>(std::abs(e - c.d1));
    c.dif[2] += static_cast<uint32_t>(std::abs(e + c.d1));
    c.dif[3] += static_cast<uint32_t>(std::abs(e - c.d2));
    c.dif[4] += static_cast<uint32_t>(std::abs(e + c.d2));
    c.dif[5] += static_cast<uint32_t>(std::abs(e - c.d3));
    c.dif[6] += static_cast<uint32_t>(std::abs(e + c.d3));
    c.dif[7] += static_cast<uint32_t>(std::abs(e - c.d4));
    c.dif[8] += static_cast<uint32_t>(std::abs(e + c.d4));
    c.dif[9] += static_cast<uint32_t>(std::abs(e - channel_delta_));
    c.dif[10] += static_cast<uint32_t>(std::abs(e + channel_delta_));

    channel_delta_ = c.last_delta = static_cast<int8_t>(real - c.last_char);
    c.last_char = real;

    // Every 32 bytes the weight whose term had the least error moves one step
    // (within -17..16) in its favour.
    if ((++c.byte_count & 0x1F) == 0) {
        unsigned best = 0;
        uint32_t min_dif = c.dif[0];
        for (unsigned i = 1; i < c.dif.size(); ++i) {
            if (c.dif[i] < min_dif) {
                min_dif = c.dif[i];
                best = i;
            }
        }
        c.dif.fill(0);
        int* const weights[5] = {&c.k1, &c.k2, &c.k3, &c.k4, &c.k5};
        if (best > 0) {
            int& k = *weights[(best - 1) / 2];
            if (best & 1) {
                if (k >= -16)
                    --k;
            } else if (k < 16) {
                ++k;
            }
        }
    }
    return real;
}

DecodeStatus Rar20Decoder::decode_audio(size_t round_end)
{
    while (win_.pos() < round_end) {
        in_.ensure();
        const unsigned sym = audio_code_[cur_channel_].decode(in_);
        if (in_.overrun())
            return DecodeStatus::truncated;
        if (sym >= 256) {
            if (sym == 256)
                return read_tables();
            return DecodeStatus::data_error;
        }
        win_.put(audio_decode(static_cast<uint8_t>(sym)));
        if (++cur_channel_ == channels_)
            cur_channel_ = 0;
    }
    return DecodeStatus::ok;
}

DecodeStatus Rar20Decoder::decode_lz(size_t round_end, size_t hard_end)
{
    while (win_.pos() < round_end) {
        if (in_.low())
            in_.refill();
        const unsigned sym = main_.decode(in_);
        if (sym < 256) {
            win_.put(static_cast<uint8_t>(sym));
            if (in_.overrun())
                return DecodeStatus::truncated;
            continue;
        }
        uint32_t len, dist;
        if (sym >= sym_match) {
            if (sym >= num_main)
                return in_.overrun() ? DecodeStatus::truncated : DecodeStatus::data_error;
            len = slot_to_length(in_, sym - sym_match) + 3;
            const unsigned dsym = dist_.decode(in_);
            if (dsym >= num_dist)
                return in_.overrun() ? DecodeStatus::truncated : DecodeStatus::data_error;
            dist = dist_base[dsym] + in_.bits32(dist_bits[dsym]) + 1;
            if (dist >= 0x2000) {
                ++len;
                if (dist >= 0x40000)
                    ++len;
            }
        } else if (sym == sym_repeat_last) {
            len = last_length_;
            dist = old_dist_[(old_dist_ptr_ - 1) & 3];
        } else if (sym < sym_short) {
            dist = old_dist_[(old_dist_ptr_ - (sym - sym_old_dist + 1)) & 3];
            const unsigned lsym = len_.decode(in_);
            if (lsym >= num_len)
                return in_.overrun() ? DecodeStatus::truncated : DecodeStatus::data_error;
            len = slot_to_length(in_, lsym) + 2;
            if (dist >= 0x101) {
                ++len;
                if (dist >= 0x2000) {
                    ++len;
                    if (dist >= 0x40000)
                        ++len;
                }
            }
        } else if (sym < sym_new_tables) {
            const unsigned s = sym - sym_short;
            dist = short_base[s] + in_.bits32(short_bits[s]) + 1;
            len = 2;
        } else {
            if (in_.overrun())
                return DecodeStatus::truncated;
            return read_tables();  // the caller goes on in whichever mode the new tables set
        }
        if (in_.overrun())
            return DecodeStatus::truncated;
        old_dist_[old_dist_ptr_++ & 3] = dist;
        last_length_ = len;
        if (dist == 0 || len == 0 || dist > win_.max_distance() || len > hard_end - win_.pos())
            return DecodeStatus::data_error;
        win_.copy(dist, len);
    }
    return DecodeStatus::ok;
}

DecodeStatus Rar20Decoder::run(ByteSink& out, uint64_t out_size)
{
    uint64_t left = out_size;
    while (left > 0) {
        const size_t start = win_.pos();
        const size_t room = std::min<size_t>(win_.size() - start, flush_step);
        const size_t round_end = start + static_cast<size_t>(std::min<uint64_t>(room, left));
        const size_t hard_end = left > win_.size() ? SIZE_MAX : start + static_cast<size_t>(left);
        while (win_.pos() < round_end) {
            const DecodeStatus s = audio_ ? decode_audio(round_end) : decode_lz(round_end, hard_end);
            if (s != DecodeStatus::ok)
                return s;
        }
        left -= win_.pos() - start;
        if (!out.write(win_.pending()))
            return DecodeStatus::stopped;
        win_.mark_flushed();
        win_.wrap();
    }
    read_last_tables();
    return DecodeStatus::ok;
}

DecodeStatus Rar20Decoder::decode(ByteSource& in, ByteSink& out, uint64_t out_size, bool solid_continue)
{
    if (solid_continue && !ready_)
        return DecodeStatus::data_error;
    ready_ = false;
    if (!in_.start(in) || !win_.prepare(window_size, solid_continue))
        return DecodeStatus::no_memory;

    if (!solid_continue) {
        levels_.fill(0);
        audio_state_ = {};
        channel_delta_ = 0;
        cur_channel_ = 0;
        channels_ = 1;
        audio_ = false;
        old_dist_.fill(0);
        old_dist_ptr_ = 0;
        last_length_ = 0;
        tables_ok_ = false;
        if (out_size == 0) {
            // An empty entry may still carry tables for a solid successor.
            in_.ensure();
            if (in_.bytes_left() >= 2)
                read_tables();
            ready_ = true;
            return DecodeStatus::ok;
        }
        const DecodeStatus s = read_tables();
        if (s != DecodeStatus::ok)
            return s;
    } else if (!tables_ok_) {
        return DecodeStatus::data_error;
    }

    const DecodeStatus s = run(out, out_size);
    ready_ = s == DecodeStatus::ok;
    return s;
}

} // namespace velmora

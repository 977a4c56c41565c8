// BLAKE2s compression (RFC 7693, 10 rounds over 32-bit words) and the
// BLAKE2sp tree of eight leaves and a root.
#include "codecs/Blake2sp.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace velmora {
namespace {

constexpr std::array<uint32_t, 8> iv = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                        0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};

// RFC 7693, 2.7: message word order for each of the ten rounds.
constexpr uint8_t sigma[10][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4}, {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13}, {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11}, {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5}, {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
};

uint32_t load32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

void store32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// RFC 7693, 3.1: the mixing function G with BLAKE2s's rotations 16, 12, 8, 7.
inline void g(uint32_t* v, int a, int b, int c, int d, uint32_t x, uint32_t y)
{
    v[a] = v[a] + v[b] + x;
    v[d] = std::rotr(v[d] ^ v[a], 16);
    v[c] = v[c] + v[d];
    v[b] = std::rotr(v[b] ^ v[c], 12);
    v[a] = v[a] + v[b] + y;
    v[d] = std::rotr(v[d] ^ v[a], 8);
    v[c] = v[c] + v[d];
    v[b] = std::rotr(v[b] ^ v[c], 7);
}

} // namespace

void Blake2sp::node::init(uint8_t fanout, uint8_t depth, uint64_t node_offset, uint8_t node_depth,
                          uint8_t inner_length, bool last_node)
{
    // Parameter block words: digest length, key length, fanout, depth |
    // leaf length | node offset (48 bits), node depth, inner length | salt,
    // personalisation (zero).
    const std::array<uint32_t, 4> p = {
        static_cast<uint32_t>(digest_size) | (uint32_t{fanout} << 16) | (uint32_t{depth} << 24),
        0,
        static_cast<uint32_t>(node_offset),
        static_cast<uint32_t>((node_offset >> 32) & 0xFFFF) | (uint32_t{node_depth} << 16)
            | (uint32_t{inner_length} << 24),
    };
    h_ = iv;
    for (size_t i = 0; i < p.size(); ++i)
        h_[i] ^= p[i];
    t_ = 0;
    buflen_ = 0;
    last_node_ = last_node;
}

void Blake2sp::node::compress(const uint8_t* block, bool final)
{
    uint32_t m[16];
    for (int i = 0; i < 16; ++i)
        m[i] = load32(block + 4 * i);
    uint32_t v[16];
    for (int i = 0; i < 8; ++i) {
        v[i] = h_[i];
        v[i + 8] = iv[i];
    }
    v[12] ^= static_cast<uint32_t>(t_);
    v[13] ^= static_cast<uint32_t>(t_ >> 32);
    if (final) {
        v[14] = ~v[14];
        if (last_node_)
            v[15] = ~v[15];
    }
    for (const auto& s : sigma) {
        g(v, 0, 4, 8, 12, m[s[0]], m[s[1]]);
        g(v, 1, 5, 9, 13, m[s[2]], m[s[3]]);
        g(v, 2, 6, 10, 14, m[s[4]], m[s[5]]);
        g(v, 3, 7, 11, 15, m[s[6]], m[s[7]]);
        g(v, 0, 5, 10, 15, m[s[8]], m[s[9]]);
        g(v, 1, 6, 11, 12, m[s[10]], m[s[11]]);
        g(v, 2, 7, 8, 13, m[s[12]], m[s[13]]);
        g(v, 3, 4, 9, 14, m[s[14]], m[s[15]]);
    }
    for (int i = 0; i < 8; ++i)
        h_[i] ^= v[i] ^ v[i + 8];
}

void Blake2sp::node::update(std::span<const uint8_t> data)
{
    // A block is compressed only once more data follows it: the last block
    // of the message is compressed by finish() with the final flag.
    while (!data.empty()) {
        if (buflen_ == block_size) {
            t_ += block_size;
            compress(buf_.data(), false);
            buflen_ = 0;
        }
        if (buflen_ == 0) {
            while (data.size() > block_size) {
                t_ += block_size;
                compress(data.data(), false);
                data = data.subspan(block_size);
            }
        }
        const size_t n = std::min(block_size - buflen_, data.size());
        std::memcpy(buf_.data() + buflen_, data.data(), n);
        buflen_ += n;
        data = data.subspan(n);
    }
}

std::array<uint8_t, Blake2sp::digest_size> Blake2sp::node::finish()
{
    t_ += buflen_;
    std::fill(buf_.begin() + static_cast<ptrdiff_t>(buflen_), buf_.end(), 0);
    compress(buf_.data(), true);
    std::array<uint8_t, digest_size> out{};
    for (int i = 0; i < 8; ++i)
        store32(out.data() + 4 * i, h_[i]);
    return out;
}

void Blake2sp::reset()
{
    for (unsigned i = 0; i < leaves; ++i)
        leaf_[i].init(leaves, 2, i, 0, digest_size, i == leaves - 1);
    root_.init(leaves, 2, 0, 1, digest_size, true);
    stripe_len_ = 0;
}

void Blake2sp::update(std::span<const uint8_t> data)
{
    constexpr size_t stripe = leaves * block_size;
    if (data.empty())
        return;
    // Leaf i takes bytes [64 i, 64 i + 64) of every 512-byte stripe; a part
    // stripe waits here for more data or for finish(). Each leaf keeps its
    // own last block back for the final flag.
    if (stripe_len_ > 0) {
        const size_t fill = stripe - stripe_len_;
        if (data.size() < fill) {
            std::memcpy(stripe_.data() + stripe_len_, data.data(), data.size());
            stripe_len_ += data.size();
            return;
        }
        std::memcpy(stripe_.data() + stripe_len_, data.data(), fill);
        for (unsigned i = 0; i < leaves; ++i)
            leaf_[i].update(std::span<const uint8_t>(stripe_.data() + i * block_size, block_size));
        data = data.subspan(fill);
        stripe_len_ = 0;
    }
    while (data.size() >= stripe) {
        for (unsigned i = 0; i < leaves; ++i)
            leaf_[i].update(data.subspan(i * block_size, block_size));
        data = data.subspan(stripe);
    }
    std::memcpy(stripe_.data(), data.data(), data.size());
    stripe_len_ = data.size();
}

std::array<uint8_t, Blake2sp::digest_size> Blake2sp::finish()
{
    for (unsigned i = 0; i < leaves; ++i) {
        const size_t start = i * block_size;
        if (stripe_len_ > start)
            leaf_[i].update(std::span<const uint8_t>(stripe_.data() + start, std::min(block_size, stripe_len_ - start)));
        root_.update(leaf_[i].finish());
    }
    return root_.finish();
}

std::array<uint8_t, Blake2sp::digest_size> blake2sp(std::span<const uint8_t> data)
{
    Blake2sp h;
    h.update(data);
    return h.finish();
}

} // namespace velmora

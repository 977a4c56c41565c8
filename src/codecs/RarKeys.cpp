// RAR key derivations. The hashing is libcrypto's; this file only lays out
// what is hashed, in the order the RAR formats define.
#include "codecs/RarKeys.h"

#include "codecs/Crypto.h"

#include <algorithm>
#include <string>
#include <vector>

namespace velmora::rar_keys {

namespace {

// UTF-8 to UTF-16LE bytes; an invalid sequence is taken byte by byte (as
// Latin-1), so any typed text gives some key.
std::vector<uint8_t> utf16le(std::string_view s)
{
    std::vector<uint8_t> out;
    out.reserve(s.size() * 2);
    const auto put = [&](uint32_t u) {
        out.push_back(static_cast<uint8_t>(u));
        out.push_back(static_cast<uint8_t>(u >> 8));
    };
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<uint8_t>(s[i]);
        uint32_t cp = c;
        size_t n = 1;
        if (c >= 0xC0 && c < 0xE0)
            n = 2, cp = c & 0x1F;
        else if (c >= 0xE0 && c < 0xF0)
            n = 3, cp = c & 0x0F;
        else if (c >= 0xF0 && c < 0xF8)
            n = 4, cp = c & 0x07;
        bool ok = n == 1 ? c < 0x80 : i + n <= s.size();
        for (size_t j = 1; ok && j < n; ++j) {
            const auto d = static_cast<uint8_t>(s[i + j]);
            ok = (d & 0xC0) == 0x80;
            cp = (cp << 6) | (d & 0x3F);
        }
        if (!ok) {
            cp = c;
            n = 1;
        }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 + (cp >> 10));
            put(0xDC00 + (cp & 0x3FF));
        } else {
            put(cp);
        }
    }
    return out;
}

// RAR 3 hashes the password and salt 2^18 times, each time followed by the
// round number in three little-endian bytes; every 2^14 rounds the low byte
// of the digest so far gives one IV byte.
constexpr uint32_t rar3_rounds = 1u << 18;
constexpr uint32_t rar3_iv_interval = rar3_rounds / 16;
static_assert(rar3_iv_interval == 1u << 14);

} // namespace

std::optional<rar3_key> derive_rar3(std::string_view password, std::span<const uint8_t> salt)
{
    std::vector<uint8_t> raw = utf16le(password);
    raw.insert(raw.end(), salt.begin(), salt.end());
    crypto::Digest sha(crypto::Hash::sha1);
    if (!sha.valid())
        return std::nullopt;
    // One interval's rounds are laid out in one buffer and hashed in one call.
    const size_t round_size = raw.size() + 3;
    std::vector<uint8_t> chunk(round_size * rar3_iv_interval);
    rar3_key k;
    std::array<uint8_t, crypto::sha1_size> digest{};
    const auto lay_out = [&](uint32_t from, uint32_t to) {
        uint8_t* p = chunk.data();
        for (uint32_t i = from; i < to; ++i) {
            std::copy(raw.begin(), raw.end(), p);
            p += raw.size();
            *p++ = static_cast<uint8_t>(i);
            *p++ = static_cast<uint8_t>(i >> 8);
            *p++ = static_cast<uint8_t>(i >> 16);
        }
        return std::span<const uint8_t>(chunk.data(), static_cast<size_t>(p - chunk.data()));
    };
    for (uint32_t first = 0; first < rar3_rounds; first += rar3_iv_interval) {
        // The IV byte is taken right after round `first` is hashed.
        if (!sha.update(lay_out(first, first + 1)) || !sha.peek(digest))
            return std::nullopt;
        k.iv[first / rar3_iv_interval] = digest[crypto::sha1_size - 1];
        if (!sha.update(lay_out(first + 1, first + rar3_iv_interval)))
            return std::nullopt;
    }
    if (!sha.finish(digest))
        return std::nullopt;
    // The key is the first four digest words, each in little-endian order.
    for (size_t w = 0; w < 4; ++w)
        for (size_t b = 0; b < 4; ++b)
            k.key[w * 4 + b] = digest[w * 4 + 3 - b];
    crypto::cleanse(raw);
    crypto::cleanse(chunk);
    return k;
}

std::optional<rar5_key> derive_rar5(std::string_view password, std::span<const uint8_t> salt, unsigned log2_count)
{
    if (log2_count > rar5_max_log2_count)
        return std::nullopt;
    const auto pw = std::span(reinterpret_cast<const uint8_t*>(password.data()), password.size());
    const uint32_t rounds = 1u << log2_count;
    rar5_key k;
    std::array<uint8_t, 32> check{};
    if (!crypto::pbkdf2_hmac(crypto::Hash::sha256, pw, salt, rounds, k.key)
        || !crypto::pbkdf2_hmac(crypto::Hash::sha256, pw, salt, rounds + 16, k.hash_key)
        || !crypto::pbkdf2_hmac(crypto::Hash::sha256, pw, salt, rounds + 32, check))
        return std::nullopt;
    for (size_t i = 0; i < check.size(); ++i)
        k.check[i % k.check.size()] ^= check[i];
    return k;
}

bool rar5_check_matches(const rar5_key& k, std::span<const uint8_t> stored_check)
{
    if (stored_check.size() < 12)
        return true;
    std::array<uint8_t, crypto::sha256_size> sum{};
    if (!crypto::digest(crypto::Hash::sha256, stored_check.first(8), sum)
        || !std::equal(sum.begin(), sum.begin() + 4, stored_check.begin() + 8))
        return true;
    return std::equal(k.check.begin(), k.check.end(), stored_check.begin());
}

uint32_t rar5_tweaked_crc(const rar5_key& k, uint32_t crc)
{
    const std::array<uint8_t, 4> le = {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8),
                                       static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 24)};
    std::array<uint8_t, crypto::sha256_size> mac{};
    if (!crypto::hmac(crypto::Hash::sha256, k.hash_key, le, mac))
        return ~crc; // matches nothing the data gives
    uint32_t out = 0;
    for (size_t i = 0; i < mac.size(); ++i)
        out ^= static_cast<uint32_t>(mac[i]) << ((i & 3) * 8);
    return out;
}

std::array<uint8_t, 32> rar5_tweaked_blake2(const rar5_key& k, std::span<const uint8_t, 32> digest)
{
    std::array<uint8_t, 32> mac{};
    crypto::hmac(crypto::Hash::sha256, k.hash_key, digest, mac);
    return mac;
}

} // namespace velmora::rar_keys

// Password-derived keys of RAR archives, over libcrypto (codecs/Crypto.h):
// RAR 2.9-4.x (AES-128: SHA-1 over 2^18 rounds of UTF-16LE password, salt and
// round counter) and RAR 5.0 (AES-256: PBKDF2-HMAC-SHA256 with 2^n rounds,
// plus the hash key and password check value taken further down the chain).
// Limit: RAR 3 hashed passwords of 29 or more characters with a SHA-1 that
// rewrote its own input; those are hashed here as standard SHA-1 does.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace velmora::rar_keys {

struct rar3_key {
    std::array<uint8_t, 16> key{};
    std::array<uint8_t, 16> iv{};
};

// RAR 3 key and IV for a UTF-8 password and the 8-byte salt (no salt: empty
// span, then the password alone is hashed). nullopt when libcrypto fails.
std::optional<rar3_key> derive_rar3(std::string_view password, std::span<const uint8_t> salt);

// Highest round count exponent RAR 5 writes; larger ones are refused.
inline constexpr unsigned rar5_max_log2_count = 24;

struct rar5_key {
    std::array<uint8_t, 32> key{};       // AES-256 key: PBKDF2 with 2^n rounds
    std::array<uint8_t, 32> hash_key{};  // 2^n + 16 rounds: the key of tweaked checksums
    std::array<uint8_t, 8> check{};      // 2^n + 32 rounds, folded to 8 bytes
};

// RAR 5 keys for a UTF-8 password, the 16-byte salt and the exponent.
// nullopt when the exponent is above the limit or libcrypto fails.
std::optional<rar5_key> derive_rar5(std::string_view password, std::span<const uint8_t> salt, unsigned log2_count);

// The stored check record: 8 bytes of password check and 4 of their SHA-256.
// True when the record is whole (its SHA-256 matches) and names this key.
// A damaged record (bad SHA-256) gives true: the data must decide then.
bool rar5_check_matches(const rar5_key& k, std::span<const uint8_t> stored_check);

// Checksums of entries whose encryption record asks for it are stored as an
// HMAC-SHA256 under the hash key: of the little-endian CRC-32, folded to 32
// bits, or of the BLAKE2sp digest.
uint32_t rar5_tweaked_crc(const rar5_key& k, uint32_t crc);
std::array<uint8_t, 32> rar5_tweaked_blake2(const rar5_key& k, std::span<const uint8_t, 32> digest);

} // namespace velmora::rar_keys

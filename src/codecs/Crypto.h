// Cryptography for the whole core, over OpenSSL 3's libcrypto (EVP): SHA-1,
// SHA-256 and BLAKE2s-256 digests, HMAC, PBKDF2, AES-CBC decryption and AES
// in counter mode with WinZip's little-endian counter. No cipher or hash is
// written here by hand; this file only gives libcrypto a small, typed face.
// Every call reports failure by its result (false), never by an exception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace velmora::crypto {

enum class Hash { sha1, sha256, blake2s_256 };

inline constexpr size_t sha1_size = 20;
inline constexpr size_t sha256_size = 32;
inline constexpr size_t blake2s_256_size = 32;
inline constexpr size_t max_digest_size = 32;
inline constexpr size_t aes_block_size = 16;

constexpr size_t digest_size(Hash h)
{
    return h == Hash::sha1 ? sha1_size : h == Hash::sha256 ? sha256_size : blake2s_256_size;
}

// Whether libcrypto offers the hash (BLAKE2s-256 comes from the default
// provider of OpenSSL 3; a build without it reports false here).
bool available(Hash h);

// An incremental digest. A Digest that could not be set up (valid() false)
// fails every call.
class Digest {
public:
    explicit Digest(Hash h);
    ~Digest();
    Digest(Digest&&) noexcept;
    Digest& operator=(Digest&&) noexcept;
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    bool valid() const { return state_ != nullptr; }
    Hash hash() const { return hash_; }
    size_t size() const { return digest_size(hash_); }

    bool update(std::span<const uint8_t> data);
    // Writes the digest of everything given so far to out (at least size()
    // bytes) and starts over.
    bool finish(std::span<uint8_t> out);
    // Writes the digest of everything given so far without ending the
    // running computation (key derivations that take intermediate digests).
    bool peek(std::span<uint8_t> out) const;
    bool reset();

private:
    struct State;
    Hash hash_;
    std::unique_ptr<State> state_;
};

// One-shot digest; false when the hash is not available or out is too small.
bool digest(Hash h, std::span<const uint8_t> data, std::span<uint8_t> out);

// Incremental HMAC (RFC 2104) over SHA-1 or SHA-256.
class Hmac {
public:
    Hmac(Hash h, std::span<const uint8_t> key);
    ~Hmac();
    Hmac(Hmac&&) noexcept;
    Hmac& operator=(Hmac&&) noexcept;
    Hmac(const Hmac&) = delete;
    Hmac& operator=(const Hmac&) = delete;

    bool valid() const { return state_ != nullptr; }
    size_t size() const { return digest_size(hash_); }

    bool update(std::span<const uint8_t> data);
    // Writes the code (at least size() bytes) and starts over with the same key.
    bool finish(std::span<uint8_t> out);
    bool reset();

private:
    struct State;
    Hash hash_;
    std::unique_ptr<State> state_;
};

bool hmac(Hash h, std::span<const uint8_t> key, std::span<const uint8_t> data, std::span<uint8_t> out);

// PBKDF2 (RFC 8018) with HMAC-SHA1 or HMAC-SHA256; fills all of out.
// The password is the bytes the format defines (its encoding is the caller's).
bool pbkdf2_hmac(Hash h, std::span<const uint8_t> password, std::span<const uint8_t> salt, uint32_t iterations,
                 std::span<uint8_t> out);

// AES in counter mode as WinZip AE-1/AE-2 use it: the counter block is a
// 128-bit little-endian number, 1 for the first block of an entry.
// Encryption and decryption are the same operation. Data may be given in
// pieces of any size; the key stream continues across calls.
class AesCtrLittleEndian {
public:
    AesCtrLittleEndian();
    ~AesCtrLittleEndian();
    AesCtrLittleEndian(AesCtrLittleEndian&&) noexcept;
    AesCtrLittleEndian& operator=(AesCtrLittleEndian&&) noexcept;

    // key: 16, 24 or 32 bytes. Restarts the counter at 1.
    bool init(std::span<const uint8_t> key);
    // XORs data in place with the key stream.
    bool apply(std::span<uint8_t> data);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// AES-CBC decryption without padding (the formats that use it pad to whole
// blocks themselves). Data may be given in pieces, each a whole number of
// blocks; the chaining value continues across calls.
class AesCbcDecryptor {
public:
    AesCbcDecryptor();
    ~AesCbcDecryptor();
    AesCbcDecryptor(AesCbcDecryptor&&) noexcept;
    AesCbcDecryptor& operator=(AesCbcDecryptor&&) noexcept;

    // key: 16, 24 or 32 bytes; iv: 16 bytes.
    bool init(std::span<const uint8_t> key, std::span<const uint8_t> iv);
    // Decrypts in place; data.size() must be a multiple of 16.
    bool decrypt(std::span<uint8_t> data);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Overwrites secrets (keys, passwords) in a way the compiler keeps.
void cleanse(std::span<uint8_t> secret);

} // namespace velmora::crypto

// WinZip AES encryption of ZIP entries (AE-1 and AE-2, as WinZip documents
// them and 7-Zip and Info-ZIP read them): salt, 2-byte password verifier,
// AES-CTR data with a little-endian counter, and a 10-byte HMAC-SHA1 code
// over the encrypted data. A ByteSource that hands the decoder the decrypted
// data only; the keys come from PBKDF2-HMAC-SHA1 through codecs/Crypto.h.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "codecs/ByteStream.h"
#include "codecs/Crypto.h"

namespace velmora {

// The AES extra field (header ID 0x9901) of an encrypted entry, whose method
// field says 99.
struct WinZipAesExtra {
    uint16_t vendor_version = 0; // 1: AE-1 (the CRC is kept); 2: AE-2 (CRC 0, the code alone protects the data)
    uint8_t strength = 0;        // 1, 2, 3: AES-128, -192, -256
    uint16_t method = 0;         // the compression method of the decrypted data
};

// Finds and reads the 0x9901 record in an entry's extra field bytes.
// nullopt when there is none, it is shorter than 7 bytes, its vendor ID is
// not "AE" or its strength is not 1 to 3.
std::optional<WinZipAesExtra> parse_winzip_aes_extra(std::span<const uint8_t> extra_field);

class WinZipAesSource final : public ByteSource {
public:
    static constexpr size_t verifier_size = 2;
    static constexpr size_t code_size = 10; // the stored part of the HMAC-SHA1
    static constexpr uint32_t key_iterations = 1000;

    enum class OpenResult {
        ok,
        wrong_password, // the verifier does not match: nothing was decrypted
        damaged,        // the stored data is shorter than salt + verifier + code
        unsupported,    // strength not 1 to 3
        crypto_failure, // libcrypto could not be set up
    };
    enum class Authentication {
        pending,   // not all of the data has been read yet
        ok,        // the stored code matches the data
        failed,    // it does not: the data was damaged or altered
        truncated, // the input ended before the data and the code
    };

    // encrypted: positioned at the start of the entry's stored bytes, which
    // are stored_size long (salt, verifier, data, code).
    WinZipAesSource(ByteSource& encrypted, uint64_t stored_size, uint8_t strength);

    static size_t salt_size(uint8_t strength) { return strength >= 1 && strength <= 3 ? 4 + 4 * size_t{strength} : 0; }
    static size_t key_size(uint8_t strength) { return 2 * salt_size(strength); }
    static size_t overhead(uint8_t strength) { return salt_size(strength) + verifier_size + code_size; }

    // Reads the salt and the verifier and derives the keys; password is the
    // bytes the writer used (encoding is the caller's business).
    OpenResult open(std::span<const uint8_t> password);

    // The decrypted data, never the code after it. 0 at its end, or when
    // the input ends early (authentication() then says truncated).
    size_t read(std::span<uint8_t> out) override;

    // Reads whatever data the decoder left unread (without decrypting it),
    // then the code, and returns the verdict. Call after decoding.
    Authentication finish();
    Authentication authentication() const { return auth_; }

    // The length of the encrypted data between verifier and code.
    uint64_t data_size() const { return data_size_; }

private:
    void check_code();

    ByteSource& in_;
    uint64_t stored_size_;
    uint8_t strength_;
    uint64_t data_size_ = 0;
    uint64_t remaining_ = 0;
    bool opened_ = false;
    Authentication auth_ = Authentication::pending;
    crypto::AesCtrLittleEndian ctr_;
    std::optional<crypto::Hmac> mac_;
};

} // namespace velmora

// The packed data of an encrypted RAR entry as plain bytes: AES-CBC over the
// whole data area (RAR 3: AES-128, RAR 5: AES-256), decrypted in whole
// blocks as the decoder reads. The area is padded to whole blocks; a last
// partial block (a damaged archive) is dropped.
#pragma once

#include "codecs/ByteStream.h"
#include "codecs/Crypto.h"

#include <array>
#include <cstdint>
#include <span>

namespace velmora {

class RarAesSource final : public ByteSource {
public:
    explicit RarAesSource(ByteSource& encrypted) : in_(encrypted) {}

    // key: 16 or 32 bytes; iv: 16 bytes. False when libcrypto refuses.
    bool init(std::span<const uint8_t> key, std::span<const uint8_t> iv) { return aes_.init(key, iv); }

    size_t read(std::span<uint8_t> out) override;

private:
    ByteSource& in_;
    crypto::AesCbcDecryptor aes_;
    // Bytes read from `in_` past the last whole block, and plain bytes
    // decrypted but not yet handed out.
    std::array<uint8_t, crypto::aes_block_size> partial_{};
    size_t partial_len_ = 0;
    std::array<uint8_t, crypto::aes_block_size> plain_{};
    size_t plain_pos_ = 0;
    size_t plain_len_ = 0;
};

} // namespace velmora

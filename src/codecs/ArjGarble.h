// ARJ's "garble" password scrambling (archive flag 0x01 in a local header,
// the encryption of ARJ before its GOST modes): the entry's stored bytes are
// XORed with the password, repeated, each password byte plus the header's
// modifier byte (the local header's eighth byte). A ByteSource wrapper that
// unscrambles as it reads; no check tells a wrong password, the CRC does.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codecs/ByteStream.h"

namespace velmora {

class ArjGarble final : public ByteSource {
public:
    // password: the bytes as typed (empty: the data pass through as stored).
    ArjGarble(ByteSource& inner, std::span<const uint8_t> password, uint8_t modifier);

    size_t read(std::span<uint8_t> out) override;

    // Unscrambles bytes in place, continuing where the last call stopped
    // (scrambling and unscrambling are the same operation).
    void unscramble(std::span<uint8_t> data);

private:
    ByteSource& inner_;
    std::vector<uint8_t> key_; // password bytes plus the modifier
    size_t at_ = 0;            // index into key_ of the next byte
};

} // namespace velmora

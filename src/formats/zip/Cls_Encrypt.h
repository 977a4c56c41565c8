// Traditional PKWARE encryption of ZIP entries ("ZipCrypto", PKWARE APPNOTE
// 6.1): three 32-bit keys driven by the CRC-32 table and a linear congruence.
// Whole arrays in memory; the password is taken byte by byte, the caller
// chooses its encoding.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace velmora {

class Cls_Encrypt {
public:
    // Keys from the password's bytes, then decrypts Data[0..11] in place (the
    // encryption header; fewer bytes are decrypted as far as they go).
    void ZipPrepareKey(std::span<uint8_t> Data, std::string_view PassWord);
    // Decrypts every byte in place, continuing the key stream.
    void ZipDecryptArray(std::span<uint8_t> Data);
    // Prepends a fresh random 12-byte header whose last byte is the high byte
    // of CRC32, and encrypts header and data with keys from PassWord.
    void ZipEncryptArray(std::vector<uint8_t>& Data, std::string_view PassWord, int32_t CRC32);

private:
    void InitKeys(std::string_view PassWord);
    void UpdateKeys(uint8_t c);

    uint32_t Key0 = 0x12345678u;
    uint32_t Key1 = 0x23456789u;
    uint32_t Key2 = 0x34567890u;
};

} // namespace velmora

// CRC-32 of ZIP and GZIP: reflected, polynomial 0xEDB88320, register preset to
// 0xFFFFFFFF and inverted at the end (ISO 3309 / ITU-T V.42).
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace velmora {

// Continues a finished CRC-32 over more bytes (crc 0 for none yet), like
// zlib's crc32(). The fast path for whole buffers.
uint32_t crc32_update(uint32_t crc, std::span<const uint8_t> bytes);

// The ways crc32_update can run: slicing-by-16 tables on any machine,
// folding with 128-bit PCLMULQDQ, or with 256-bit VPCLMULQDQ (x86-64).
enum class crc32_method { slicing, pclmul, vpclmul };

// The method crc32_update uses on this CPU (the fastest it has).
crc32_method crc32_fast_method();
bool crc32_method_available(crc32_method method);
// crc32_update by one given method, for tests and benchmarks to hold every
// path to the byte-wise table; an unavailable method falls back to slicing.
uint32_t crc32_update_by(crc32_method method, uint32_t crc, std::span<const uint8_t> bytes);
// The table-only path: what machines without carry-less multiply run.
inline uint32_t crc32_update_portable(uint32_t crc, std::span<const uint8_t> bytes)
{
    return crc32_update_by(crc32_method::slicing, crc, bytes);
}

// The byte-wise table: entry n is the CRC register after shifting n through
// eight rounds.
const std::array<uint32_t, 256>& crc32_table();

class Cls_CRC32 {
public:
    void ResetCRC32() { register_ = 0xFFFFFFFFu; }
    void CalcCRC32Byte(uint8_t newVal)
    {
        register_ = (register_ >> 8) ^ crc32_table()[(register_ & 0xFF) ^ newVal];
    }
    // The register inverted; the register is unchanged.
    int32_t CRC32() const { return static_cast<int32_t>(~register_); }
    void CRC32(int32_t CrcValue) { register_ = static_cast<uint32_t>(CrcValue); }
    // Table entry 0..255; throws std::out_of_range for any other index.
    int32_t GetcrcTable(int16_t TabNum) const;
    // CRC-32 of all of ByteArray; the register keeps the finished value.
    int32_t CalcCRC32File(std::span<const uint8_t> ByteArray);

private:
    uint32_t register_ = 0xFFFFFFFFu;
};

} // namespace velmora

// CRC-32: the table, the byte-wise register and the whole-buffer routine.
#include "archive/Cls_CRC32.h"

#include <stdexcept>

namespace velmora {

const std::array<uint32_t, 256>& crc32_table()
{
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

uint32_t crc32_update(uint32_t crc, std::span<const uint8_t> bytes)
{
    const auto& table = crc32_table();
    uint32_t r = ~crc;
    for (const uint8_t b : bytes)
        r = (r >> 8) ^ table[(r & 0xFF) ^ b];
    return ~r;
}

int32_t Cls_CRC32::GetcrcTable(int16_t TabNum) const
{
    if (TabNum < 0 || TabNum > 255)
        throw std::out_of_range("CRC table index");
    return static_cast<int32_t>(crc32_table()[static_cast<size_t>(TabNum)]);
}

int32_t Cls_CRC32::CalcCRC32File(std::span<const uint8_t> ByteArray)
{
    register_ = crc32_update(0, ByteArray);
    return static_cast<int32_t>(register_);
}

} // namespace velmora

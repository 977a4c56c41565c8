// CRC-16/ARC by slicing-by-8: eight bytes per step through eight tables, the
// remainder byte by byte through the first. Tables are computed at compile
// time from the polynomial.
#include "codecs/Crc16.h"

#include <cstring>

namespace velmora {
namespace {

constexpr uint16_t polynomial = 0xA001; // 0x8005 bit-reversed

using slice_tables = std::array<std::array<uint16_t, 256>, 8>;

constexpr slice_tables make_tables()
{
    slice_tables t{};
    for (unsigned n = 0; n < 256; ++n) {
        uint16_t c = static_cast<uint16_t>(n);
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ polynomial) : static_cast<uint16_t>(c >> 1);
        t[0][n] = c;
    }
    // t[k][n]: the register after n and then k zero bytes.
    for (size_t k = 1; k < t.size(); ++k)
        for (unsigned n = 0; n < 256; ++n)
            t[k][n] = static_cast<uint16_t>((t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF]);
    return t;
}

constexpr slice_tables tables = make_tables();
static_assert(tables[0][1] == 0xC0C1, "first entry of the CRC-16/ARC table");

} // namespace

const std::array<uint16_t, 256>& crc16_table() { return tables[0]; }

uint16_t crc16_update(uint16_t crc, std::span<const uint8_t> bytes)
{
    const uint8_t* p = bytes.data();
    size_t n = bytes.size();
    uint32_t c = crc;
    while (n >= 8) {
        // The 16-bit register folds into the first two bytes of the group;
        // each byte then looks up the table for the number of bytes after it.
        const uint32_t b0 = p[0] ^ (c & 0xFF);
        const uint32_t b1 = p[1] ^ (c >> 8);
        c = tables[7][b0] ^ tables[6][b1] ^ tables[5][p[2]] ^ tables[4][p[3]] ^ tables[3][p[4]] ^ tables[2][p[5]] ^
            tables[1][p[6]] ^ tables[0][p[7]];
        p += 8;
        n -= 8;
    }
    while (n--) c = (c >> 8) ^ tables[0][(c ^ *p++) & 0xFF];
    return static_cast<uint16_t>(c);
}

} // namespace velmora

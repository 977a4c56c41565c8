// CRC-16 of LHA and ARC entries ("CRC-16/ARC"): reflected polynomial 0xA001
// (x^16 + x^15 + x^2 + 1), register preset to 0, no final inversion. The
// value of "123456789" is 0xBB3D.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace velmora {

// Continues a CRC-16 over more bytes (crc 0 for none yet).
uint16_t crc16_update(uint16_t crc, std::span<const uint8_t> bytes);

// The byte-wise table: entry n is the register after shifting n through
// eight rounds.
const std::array<uint16_t, 256>& crc16_table();

} // namespace velmora

// The gzip member header of RFC 1952, read field by field in its stored order.
// Bytes past the end of the file read as zero, so a cut-off header still gives
// every field a value; `complete` says whether the header really was whole.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace velmora {

// Member header: ID1 ID2 CM(1) FLG(1) MTIME(4) XFL(1) OS(1)
//   [FEXTRA: XLEN(2) bytes] [FNAME: text 0] [FCOMMENT: text 0] [FHCRC: crc16(2)]
//   [bit 5: 12-byte encryption header]
namespace gzip_flag {
inline constexpr uint8_t FHCRC = 0x02;
inline constexpr uint8_t FEXTRA = 0x04;
inline constexpr uint8_t FNAME = 0x08;
inline constexpr uint8_t FCOMMENT = 0x10;
inline constexpr uint8_t ENCRYPTED = 0x20;
} // namespace gzip_flag

inline constexpr uint8_t gzip_id1 = 0x1F;
inline constexpr uint8_t gzip_id2 = 0x8B;
inline constexpr uint8_t gzip_cm_deflate = 8;
// What the listing keeps for any CM other than Deflate.
inline constexpr uint8_t gzip_cm_unknown = 99;
// Trailer: CRC32(4) ISIZE(4)
inline constexpr size_t gzip_trailer_size = 8;

struct GzipMemberHeader {
    uint8_t id1 = 0;
    uint8_t id2 = 0;
    uint8_t CM = 0;
    uint8_t FLG = 0;
    uint32_t MTIME = 0;
    uint8_t XFL = 0;
    uint8_t OS = 0;
    std::string extra;   // FEXTRA bytes
    std::string name;    // FNAME bytes, undecoded
    std::string comment; // FCOMMENT bytes, undecoded
    uint16_t header_crc = 0;
    std::array<uint8_t, 12> crypt_header{};
    uint64_t data_start = 0; // offset of the first compressed byte
    bool complete = false;   // every header byte lay inside the file
};

// Reads the member header starting at `start` of a file of `size` bytes;
// byte_at(p) gives the byte at offset p (< size). Texts longer than
// max_text bytes keep only their first max_text bytes.
GzipMemberHeader read_gzip_header(const std::function<uint8_t(uint64_t)>& byte_at, uint64_t size,
                                  uint64_t start, size_t max_text = 64 * 1024);

} // namespace velmora

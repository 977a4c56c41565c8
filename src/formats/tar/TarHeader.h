// The 512-byte tar header block (POSIX ustar, with the GNU and pax additions
// this reader honours: GNU long-name and long-link records, GNU base-256
// numbers, and the pax keywords path, linkpath, size and mtime), the number
// fields and pax extended-header records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velmora {

// Header block: name(100) mode(8) uid(8) gid(8) size(12) mtime(12) chksum(8)
//   typeflag(1) linkname(100) magic(6) version(2) uname(32) gname(32)
//   devmajor(8) devminor(8) prefix(155) pad(12)
namespace tar_field {
inline constexpr size_t block_size = 512;
inline constexpr size_t name = 0, name_len = 100;
inline constexpr size_t mode = 100, mode_len = 8;
inline constexpr size_t size = 124, size_len = 12;
inline constexpr size_t mtime = 136, mtime_len = 12;
inline constexpr size_t chksum = 148, chksum_len = 8;
inline constexpr size_t typeflag = 156;
inline constexpr size_t linkname = 157, linkname_len = 100;
inline constexpr size_t magic = 257, magic_len = 6;
inline constexpr size_t prefix = 345, prefix_len = 155;
static_assert(prefix + prefix_len + 12 == block_size, "the fields fill one block");
} // namespace tar_field

namespace tar_type {
inline constexpr char regular = '0';
inline constexpr char regular_old = '\0';   // before POSIX
inline constexpr char hard_link = '1';       // linkname: the member it links to
inline constexpr char symbolic_link = '2';   // linkname: the link's target
inline constexpr char char_device = '3';
inline constexpr char block_device = '4';
inline constexpr char directory = '5';
inline constexpr char fifo = '6';
inline constexpr char contiguous = '7';      // a regular file
inline constexpr char gnu_sparse = 'S';      // data holds only the non-empty parts
inline constexpr char gnu_volume = 'V';      // a volume label, no data
inline constexpr char gnu_long_name = 'L';   // data: the next member's name
inline constexpr char gnu_long_link = 'K';   // data: the next member's link target
inline constexpr char pax_extended = 'x';    // data: records for the next member
inline constexpr char pax_global = 'g';      // data: records for all members
} // namespace tar_type

// POSIX ustar magic; the GNU format's "ustar  \0" keeps other data where
// ustar has its name prefix.
inline constexpr std::string_view ustar_magic{"ustar\0", 6};

// A number field: GNU base-256 when the first byte has its high bit set (a
// big-endian two's-complement value in the remaining bits); otherwise octal
// text with NULs dropped, spaces trimmed, leading zeros dropped, then each
// character weighted by its power of 8 (0-9 count as their value, anything
// else as 0). nullopt when the value does not fit in 63 bits.
std::optional<int64_t> ParseOctal(std::string_view text);

// A text field with every NUL removed.
std::string strip_nuls(std::span<const uint8_t> field);

// The records of a pax extended header ("<length> <keyword>=<value>\n" ...)
// that this reader honours. Parsing stops at the first malformed record; a
// later record for the same keyword wins.
struct PaxRecords {
    std::optional<std::string> path;
    std::optional<std::string> linkpath;
    std::optional<int64_t> size;
    std::optional<int64_t> mtime;          // whole seconds (rounded down)
    std::optional<uint32_t> mtime_nanoseconds;

    // Records of `other` replace these (a member's own records over the global ones).
    void merge(const PaxRecords& other);
};
PaxRecords parse_pax(std::span<const uint8_t> records);

// The value of `keyword` in pax extended-header records; nullopt when absent.
std::optional<std::string> pax_value(std::span<const uint8_t> records, std::string_view keyword);

} // namespace velmora

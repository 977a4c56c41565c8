// The 512-byte tar header block (POSIX ustar, with the GNU and pax additions
// this reader honours: GNU long-name records and the pax `path` keyword), the
// octal number fields and pax extended-header records.
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
inline constexpr size_t magic = 257, magic_len = 6;
inline constexpr size_t prefix = 345, prefix_len = 155;
static_assert(prefix + prefix_len + 12 == block_size, "the fields fill one block");
} // namespace tar_field

namespace tar_type {
inline constexpr char gnu_long_name = 'L';   // data: the next member's name
inline constexpr char gnu_long_link = 'K';   // data: the next member's link target
inline constexpr char pax_extended = 'x';    // data: records for the next member
inline constexpr char pax_global = 'g';      // data: records for all members
} // namespace tar_type

// POSIX ustar magic; the GNU format's "ustar  \0" keeps other data where
// ustar has its name prefix.
inline constexpr std::string_view ustar_magic{"ustar\0", 6};

// An octal number field: NULs dropped, spaces trimmed, leading zeros dropped,
// then each character weighted by its power of 8 (0-9 count as their value,
// anything else as 0). nullopt when the value does not fit in 31 bits.
std::optional<int32_t> ParseOctal(std::string_view text);

// A text field with every NUL removed.
std::string strip_nuls(std::span<const uint8_t> field);

// The value of `keyword` in pax extended-header records
// ("<length> <keyword>=<value>\n" ...); nullopt when absent. Parsing stops at
// the first malformed record.
std::optional<std::string> pax_value(std::span<const uint8_t> records, std::string_view keyword);

} // namespace velmora

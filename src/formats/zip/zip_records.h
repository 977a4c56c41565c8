// Record layouts of the ZIP format (PKWARE APPNOTE 6.3, sections 4.3.7-4.3.16
// and 4.6.9): signatures, fixed sizes and field offsets, each counted from the
// start of its record including the 4-byte signature. Little-endian throughout.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::zip {

inline constexpr uint32_t local_header_signature = 0x04034B50;
inline constexpr uint32_t central_header_signature = 0x02014B50;
inline constexpr uint32_t data_descriptor_signature = 0x08074B50;
inline constexpr uint32_t end_record_signature = 0x06054B50;
inline constexpr uint32_t zip64_end_record_signature = 0x06064B50;
inline constexpr uint32_t zip64_locator_signature = 0x07064B50;

// Local file header: sig(4) ver(2) flags(2) method(2) time(2) date(2) crc(4) csize(4) usize(4) nlen(2) xlen(2)
namespace local {
inline constexpr size_t size = 30;
inline constexpr size_t version_needed = 4;
inline constexpr size_t flags = 6;
inline constexpr size_t method = 8;
inline constexpr size_t time = 10;
inline constexpr size_t date = 12;
inline constexpr size_t crc = 14;
inline constexpr size_t compressed_size = 18;
inline constexpr size_t uncompressed_size = 22;
inline constexpr size_t name_length = 26;
inline constexpr size_t extra_length = 28;
} // namespace local

// Data descriptor after the signature: crc(4) csize(4) usize(4)
inline constexpr size_t data_descriptor_body = 12;

// Central file header: sig(4) made(2) needed(2) flags(2) method(2) time(2) date(2) crc(4) csize(4) usize(4)
//                      nlen(2) xlen(2) clen(2) disk(2) iattr(2) eattr(4) offset(4)
namespace central {
inline constexpr size_t size = 46;
inline constexpr size_t version_made_by = 4;
inline constexpr size_t version_needed = 6;
inline constexpr size_t flags = 8;
inline constexpr size_t method = 10;
inline constexpr size_t time = 12;
inline constexpr size_t date = 14;
inline constexpr size_t crc = 16;
inline constexpr size_t compressed_size = 20;
inline constexpr size_t uncompressed_size = 24;
inline constexpr size_t name_length = 28;
inline constexpr size_t extra_length = 30;
inline constexpr size_t comment_length = 32;
inline constexpr size_t disk_start = 34;
inline constexpr size_t internal_attributes = 36;
inline constexpr size_t external_attributes = 38;
inline constexpr size_t local_header_offset = 42;
static_assert(local_header_offset + 4 == size);
} // namespace central

// End of central directory record: sig(4) disk(2) cd_disk(2) disk_entries(2) total_entries(2)
//                                  cd_size(4) cd_offset(4) clen(2)
namespace end_record {
inline constexpr size_t size = 22;
inline constexpr size_t disk_entries = 8;
inline constexpr size_t total_entries = 10;
inline constexpr size_t cd_size = 12;
inline constexpr size_t cd_offset = 16;
inline constexpr size_t comment_length = 20;
static_assert(comment_length + 2 == size);
} // namespace end_record

// The end record is searched for in the file's last 22 + 65,535 bytes (the
// record and the longest comment).
inline constexpr uint64_t end_record_search = end_record::size + 0xFFFF;

// Zip64 end of central directory locator (APPNOTE 4.3.15), right before the
// end record: sig(4) disk(4) record_offset(8) total_disks(4)
namespace zip64_locator {
inline constexpr size_t size = 20;
inline constexpr size_t record_offset = 8;
} // namespace zip64_locator

// Zip64 end of central directory record (APPNOTE 4.3.14): sig(4) size(8)
//   made(2) needed(2) disk(4) cd_disk(4) disk_entries(8) total_entries(8) cd_size(8) cd_offset(8)
namespace zip64_end_record {
inline constexpr size_t size = 56;
inline constexpr size_t total_entries = 32;
inline constexpr size_t cd_size = 40;
inline constexpr size_t cd_offset = 48;
static_assert(cd_offset + 8 == size);
} // namespace zip64_end_record

// Values that say "see the Zip64 record or extra field".
inline constexpr uint32_t zip64_mark32 = 0xFFFFFFFF;
inline constexpr uint16_t zip64_mark16 = 0xFFFF;

// Extra field blocks: tag(2) size(2) data(size)
inline constexpr size_t extra_block_header = 4;
// Info-ZIP Unicode Path (APPNOTE 4.6.9): version(1) name_crc32(4) utf8_name(size - 5)
inline constexpr uint16_t unicode_path_tag = 0x7075;
inline constexpr size_t unicode_path_fixed = 5;
// Zip64 extended information (APPNOTE 4.5.3): usize(8) csize(8) offset(8) disk(4),
// each present only when its field in the header holds the Zip64 mark.
inline constexpr uint16_t zip64_extra_tag = 0x0001;

// General purpose bit flags.
inline constexpr uint16_t flag_encrypted = 0x0001;
inline constexpr uint16_t flag_data_descriptor = 0x0008;
inline constexpr uint16_t flag_utf8 = 0x0800; // bit 11: name and comment are UTF-8

} // namespace velmora::zip

// RAR 5 block walk (the block format that opens with Rar!\x1A\x07\x01\x00),
// after rarlab's "RAR 5.0 archive format": main, file, service, encryption and
// end headers with their vint fields and extra records, turned into plain
// records. Data areas are located, never read (except a stored archive
// comment). Every header CRC-32 is checked; a bad or truncated header ends
// the walk and keeps the records read so far, and so do encrypted headers
// unless the walk is given their key.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "archive/BinaryFile.h"

namespace velmora {

namespace rar5 {

inline constexpr std::array<uint8_t, 8> signature = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};
// The signature is looked for this far into the file (self-extracting stubs).
inline constexpr uint64_t max_sfx_size = 1024 * 1024;
inline constexpr size_t max_header_size = 2 * 1024 * 1024;  // a 3-byte header size vint

// Header types and the flags every header has.
enum class header_type : uint8_t { main = 1, file = 2, service = 3, encryption = 4, end = 5 };
inline constexpr uint64_t hfl_extra = 0x0001;
inline constexpr uint64_t hfl_data = 0x0002;
inline constexpr uint64_t hfl_skip_if_unknown = 0x0004;
inline constexpr uint64_t hfl_split_before = 0x0008;
inline constexpr uint64_t hfl_split_after = 0x0010;

// Main header archive flags.
inline constexpr uint64_t mhfl_volume = 0x0001;
inline constexpr uint64_t mhfl_volume_number = 0x0002;
inline constexpr uint64_t mhfl_solid = 0x0004;
inline constexpr uint64_t mhfl_recovery = 0x0008;
inline constexpr uint64_t mhfl_locked = 0x0010;

// File and service header file flags.
inline constexpr uint64_t fhfl_directory = 0x0001;
inline constexpr uint64_t fhfl_unix_time = 0x0002;
inline constexpr uint64_t fhfl_crc32 = 0x0004;
inline constexpr uint64_t fhfl_unknown_size = 0x0008;

enum class host_os : uint64_t { windows = 0, unix = 1 };

// File encryption record (extra type 1) or archive encryption header: AES-256
// with a PBKDF2-HMAC-SHA256 key of 2^kdf_count rounds.
struct encryption_info {
    uint64_t version = 0;       // 0: AES-256
    uint64_t flags = 0;         // 0x0001 check value present, 0x0002 tweaked checksums
    uint8_t kdf_count = 0;
    std::array<uint8_t, 16> salt{};
    std::array<uint8_t, 16> iv{};  // file records only
    std::optional<std::array<uint8_t, 12>> check;
};

// A time of the file time record: Unix seconds (with nanoseconds when stored)
// or a Windows FILETIME.
struct file_time {
    bool windows = false;
    uint64_t value = 0;          // Unix seconds or FILETIME 100 ns units
    uint32_t nanoseconds = 0;    // Unix form only
    int64_t unix_seconds() const;
};

// Redirection record (extra type 5): links.
enum class redirection_type : uint64_t { unix_symlink = 1, windows_symlink = 2, junction = 3, hard_link = 4, file_copy = 5 };
struct redirection_info {
    uint64_t type = 0;
    uint64_t flags = 0;          // 0x0001 the target is a directory
    std::string target;          // UTF-8
};

// Unix owner record (extra type 6).
struct owner_info {
    std::optional<std::string> user, group;
    std::optional<uint64_t> uid, gid;
};

// A file or service header.
struct record {
    header_type type = header_type::file;
    uint64_t header_offset = 0;  // of the header CRC-32
    uint64_t header_flags = 0;   // hfl_*
    uint64_t file_flags = 0;     // fhfl_*
    std::string name;            // UTF-8 as stored; '/' separates folders

    uint64_t data_offset = 0;    // packed data in this file
    uint64_t data_size = 0;
    bool data_truncated = false; // the data area runs past the end of the file
    uint64_t unpacked_size = 0;  // not to be trusted when unpacked_size_unknown()
    uint64_t attributes = 0;
    uint64_t host = 0;           // host_os

    std::optional<uint32_t> unix_mtime;  // the header's own mtime field
    std::optional<file_time> mtime, ctime, atime;  // the file time record
    std::optional<uint32_t> crc32;
    std::optional<std::array<uint8_t, 32>> blake2sp;

    uint64_t compression_info = 0;
    std::optional<encryption_info> encryption;
    std::optional<redirection_info> redirection;
    std::optional<owner_info> owner;
    std::optional<uint64_t> version;        // file version record
    std::vector<uint8_t> service_data;      // service data record

    bool is_service() const { return type == header_type::service; }
    bool is_dir() const { return file_flags & fhfl_directory; }
    bool unpacked_size_unknown() const { return file_flags & fhfl_unknown_size; }
    bool split_before() const { return header_flags & hfl_split_before; }
    bool split_after() const { return header_flags & hfl_split_after; }
    bool encrypted() const { return encryption.has_value(); }

    // Compression information: algorithm version (0 RAR 5.0, 1 RAR 7.0),
    // solid flag, method 0 (stored) to 5, and the dictionary in bytes (0 for
    // an algorithm version this walk does not know).
    unsigned algorithm_version() const { return static_cast<unsigned>(compression_info & 0x3F); }
    bool solid() const { return compression_info & 0x40; }
    unsigned method() const { return static_cast<unsigned>((compression_info >> 7) & 7); }
    uint64_t dictionary_size() const;
    // RAR 7.0 archives whose streams still use the RAR 5.0 distance code.
    bool rar5_compatible() const { return compression_info & (uint64_t{1} << 20); }
    // The RAR 7.0 distance code (80 distance slots) is in use.
    bool extended_distances() const { return algorithm_version() == 1 && !rar5_compatible(); }

    // Modification time as Unix seconds: the time record's, else the header's.
    std::optional<int64_t> modification_time() const;
};

// Why the walk stopped.
enum class walk_end {
    end_header,        // the end of archive header
    end_of_file,       // the file ended on a header boundary without one
    truncated,         // a header or its data runs past the end of the file
    bad_crc,           // a header's CRC-32 does not match
    bad_header,        // a header breaks the format (sizes, vints, fields)
    encrypted_headers, // the archive encryption header: the rest needs the password
    no_signature,      // not a RAR 5 archive
};

struct listing {
    uint64_t signature_offset = 0;   // bytes before the signature (SFX stub)
    bool has_main = false;
    uint64_t archive_flags = 0;      // mhfl_*
    std::optional<uint64_t> volume_number;  // 1 for the second volume, ...
    std::optional<uint64_t> quick_open_offset, recovery_offset;  // locator record
    std::optional<encryption_info> header_encryption;
    std::optional<uint64_t> end_flags;  // 0x0001: more volumes follow

    std::vector<record> records;  // file and service headers in order
    // The archive comment: index of the CMT service record, and its text when
    // stored uncompressed and unencrypted (UTF-8, without the terminating
    // zero RAR writes). A compressed one is left to the caller.
    std::optional<size_t> comment_record;
    std::optional<std::string> comment;

    walk_end end = walk_end::no_signature;
    uint64_t end_offset = 0;         // where the walk stopped

    bool volume() const { return archive_flags & mhfl_volume; }
    bool solid() const { return archive_flags & mhfl_solid; }
    bool locked() const { return archive_flags & mhfl_locked; }
    bool recovery_record() const { return archive_flags & mhfl_recovery; }
    bool more_volumes() const { return end_flags && (*end_flags & 1); }
};

// Offset of the RAR 5 signature within the first max_sfx_size bytes.
std::optional<uint64_t> find_signature(const BinaryFile& file);

// Walks the archive; never throws. check_crc false reads headers whose
// CRC-32 does not match as they stand (recovery, tests of damaged data).
listing read_headers(const BinaryFile& file, bool check_crc = true);
// An archive whose headers are encrypted: the headers after the encryption
// header are decrypted with header_key (the AES-256 key the password gives
// with that header's salt and count). A wrong key shows as bad_crc.
listing read_headers(const BinaryFile& file, const std::array<uint8_t, 32>& header_key, bool check_crc = true);
// The same over an archive held in memory.
listing read_headers(std::span<const uint8_t> bytes, bool check_crc = true);

// Property texts in the RAR tables' wording.
std::string method_text(unsigned method);          // "No Compression" ... "Maximum"
std::string host_text(uint64_t host);              // "Win32", "UNIX", "unKnown"
std::string version_text(unsigned algorithm_version);  // "5.0", "7.0"

} // namespace rar5

} // namespace velmora

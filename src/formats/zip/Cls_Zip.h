// The ZIP reader: loads the entry list from the central directory (PKWARE
// APPNOTE: end of central directory record, Zip64 end record and locator,
// central and local file headers, the Zip64 extra field) and extracts entries
// streaming, whatever their size. Data in front of the archive (self-
// extractors, `zip -A`) is found whether or not its writer adjusted the
// offsets. Single-volume archives.
#pragma once

#include "archive/ReaderBase.h"
#include "codecs/ByteStream.h"
#include "codecs/WinZipAesSource.h"
#include "formats/zip/Cls_Encrypt.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

class BinaryFile;
class ExtractionRun;
class ByteSource;
class ByteSink;

// The fields of one central file header, as stored (signed values holding
// the field bits) for the listing, with the Zip64 values in place of their
// marks, and the prefix in front of the archive already added to the offset.
struct ZipEntry {
    int16_t VersionMadeBy = 0;  // low byte: version x 10; high byte: host system
    int16_t VersionNeeded = 0;  // same layout
    int16_t Flags = 0;          // general purpose bits; bit 0 = encrypted
    int16_t Method = 0;
    int16_t FileTime = 0;       // DOS time
    int16_t FileDate = 0;       // DOS date
    int32_t CRC32 = 0;
    uint64_t CompressedSize = 0;
    uint64_t UncompressedSize = 0;
    int16_t DiskStart = 0;
    int16_t InternalAttributes = 0;
    int32_t ExternalAttributes = 0;
    uint64_t LocalHeaderOffset = 0; // in the file
    uint16_t name_length = 0;
    uint16_t extra_length = 0;
    // WinZip AES (method 99): the 0x9901 extra field of the central header,
    // which names the real method; absent when the record is missing or bad.
    std::optional<WinZipAesExtra> aes;
};

// The compression method an entry's data really uses: the method field, or
// for WinZip AES the method of its 0x9901 extra field (-1 when there is none).
int16_t zip_data_method(const ZipEntry& e);

// Whether the reader extracts entries of that (data) method.
bool zip_method_extracted(int16_t method);

// Where a ZIP archive's central directory lies and how many entries it holds.
struct ZipDirectory {
    bool found = false;
    uint64_t offset = 0;   // in the file
    uint64_t size = 0;     // bytes, when an end record gave it
    uint64_t count = 0;
    uint64_t prefix = 0;   // bytes in front of the archive the offsets leave out
    uint64_t comment_at = 0;
    uint16_t comment_length = 0;
};

// The archive's end record, searched for backwards through the file's last
// 65,557 bytes and taken only where the central directory it names (found at
// its stated offset, or after data in front of the archive) is really there.
ZipDirectory find_zip_directory(const BinaryFile& file);

class Cls_Zip final : public ReaderBase {
public:
    explicit Cls_Zip(ArchiveState& state);

    // Always 0; success is PackFileType 1 afterwards.
    int16_t Get_Contents(const std::string& ZipName) override;
    int16_t UnPack(Selection& ZippedFile, std::string& ToPath) override;
    bool CanUnpack() override { return true; }

    // The stored record of entry FileNum, or null for a bad index.
    const ZipEntry* entry(int32_t FileNum) const;
    // Bytes found in front of the archive (0 for most archives).
    uint64_t prefix() const { return prefix_; }

private:
    ZipDirectory count_by_local_headers(const BinaryFile& file);
    // Appends the entries of the central directory; stops at the first record
    // that is not a central header or runs past the end of the file.
    void read_central_directory(const BinaryFile& file, const ZipDirectory& dir);
    void add_entry(ZipEntry e, std::span<const uint8_t> name, std::span<const uint8_t> extra,
                   std::span<const uint8_t> comment);

    // Extraction (Cls_Zip_unpack.cpp). One UnPack call's working state.
    struct UnpackRun;
    // Extracts entry FileNum; false when the call must end (password refused).
    bool extract_entry(int32_t FileNum, UnpackRun& run);
    // Where the entry's stored bytes start in the archive; 0 (with its
    // message shown and the outcome recorded) when the entry is to be skipped.
    uint64_t locate_data(int32_t FileNum, const ZipEntry& e, UnpackRun& run);
    // Entries whose stored bytes overlap another entry's or the central
    // directory (marked once per run).
    void find_overlaps(UnpackRun& run);
    // Decodes an entry's (decrypted) data of data_size bytes with the
    // decoder of its method, kept in the run for the entries after it.
    DecodeStatus decode_data(int16_t method, const ZipEntry& e, ByteSource& source, ByteSink& sink,
                             uint64_t data_size, UnpackRun& run);
    void show_error(std::string_view text) const;

    std::vector<ZipEntry> Entries; // entry k at index k - 1
    uint64_t prefix_ = 0;
    uint64_t directory_offset_ = 0; // where the central directory starts in the file
    Cls_Encrypt crypt_;
};

// A name from its stored bytes: the Info-ZIP Unicode Path extra field when its
// CRC-32 matches the stored name, else the stored bytes decoded (as UTF-8 when
// flags bit 11 is set).
std::string zip_entry_name(std::span<const uint8_t> raw_name, std::span<const uint8_t> extra, uint16_t flags);

// Host system 3 (UNIX) entries keep st_mode in the high 16 bits of the
// external attributes: the mode, or -1 for other hosts.
int32_t zip_unix_mode(const ZipEntry& e);

} // namespace velmora

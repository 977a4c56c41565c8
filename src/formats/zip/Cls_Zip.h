// The ZIP reader: loads the entry list from the central directory (PKWARE
// APPNOTE: end of central directory record, central and local file headers,
// data descriptors) and answers the per-entry members. Single-volume archives
// without Zip64 extensions; at most 32767 entries when the count comes from the
// end record.
#pragma once

#include "archive/ArchiveReader.h"
#include "archive/ArchiveState.h"
#include "archive/Cls_CRC32.h"
#include "formats/zip/Cls_Encrypt.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

class BinaryFile;

// The fields of one central file header, kept as stored (signed values holding
// the field bits) for the listing and for extraction.
struct ZipEntry {
    int16_t VersionMadeBy = 0;  // low byte: version x 10; high byte: host system
    int16_t VersionNeeded = 0;  // same layout
    int16_t Flags = 0;          // general purpose bits; bit 0 = encrypted
    int16_t Method = 0;
    int16_t FileTime = 0;       // DOS time
    int16_t FileDate = 0;       // DOS date
    int32_t CRC32 = 0;
    int32_t CompressedSize = 0;
    int32_t UncompressedSize = 0;
    int16_t DiskStart = 0;
    int16_t InternalAttributes = 0;
    int32_t ExternalAttributes = 0;
    int32_t LocalHeaderOffset = 0;
    std::string FileName;       // UTF-8
    std::string ExtraField;     // raw bytes
    std::string FileComment;    // UTF-8
    std::string RawName;        // the name bytes as stored
};

class Cls_Zip final : public ArchiveReader {
public:
    explicit Cls_Zip(ArchiveState& state);

    // Always 0; success is PackFileType 1 afterwards.
    int16_t Get_Contents(const std::string& ZipName) override;
    int16_t UnPack(Selection& ZippedFile, std::string& ToPath) override;
    bool CanUnpack() override { return true; }
    int32_t FileCount() override { return state_.PackTotFiles; }
    std::string FileName(int32_t FileNum) override;
    std::string CommentsFile(int32_t FileNum) override;
    std::string CommentsPack() override { return state_.PackComments; }
    bool IsDir(int32_t FileNum) override;
    std::string Method(int32_t FileNum) override;
    int32_t CRC32(int32_t FileNum) override;
    int32_t Compressed_Size(int32_t FileNum) override;
    int32_t UnCompressed_Size(int32_t FileNum) override;
    bool Encrypted(int32_t FileNum) override;
    DateTime FileDateTime(int32_t FileNum) override;
    std::string SystemMadeBy(int32_t FileNum) override;
    std::string VersionMadeBy(int32_t FileNum) override;
    std::string SystemNeeded(int32_t FileNum) override;
    std::string VersionNeeded(int32_t FileNum) override;

    // The stored record of entry FileNum, or null for a bad index.
    const ZipEntry* entry(int32_t FileNum) const;

private:
    bool IsBadIndex(int32_t FileNum) const;

    // Where the central directory starts and how many entries it holds.
    struct DirectoryStart {
        bool found = false;
        uint64_t offset = 0;
        int32_t count = 0;
    };
    DirectoryStart count_by_local_headers(const BinaryFile& file);
    // Fills Entries from the central directory; false when the records run
    // out early (the entries read so far stay valid).
    bool read_central_directory(const BinaryFile& file, uint64_t offset, int32_t count);

    // Extraction (Cls_Zip_unpack.cpp). One UnPack call's working state.
    struct UnpackRun {
        const BinaryFile& archive;
        std::string& ToPath;
        std::string password; // asked at the first encrypted entry, kept for the call
        int16_t result = 0;
    };
    // Extracts entry FileNum; false when the call must end (password refused).
    bool extract_entry(int32_t FileNum, UnpackRun& run);
    // Reads the entry's stored bytes into PackData; false (with its message
    // shown) when the entry is to be skipped.
    bool read_entry_data(const ZipEntry& e, UnpackRun& run);
    // Decrypts PackData in place and drops the encryption header; false when
    // the call must end (no password, or a wrong one).
    bool decrypt_entry(const ZipEntry& e, UnpackRun& run);
    void CheckAndWriteEntry(int32_t FileNum, std::string& ToPath);
    int32_t PackDataSize() const;
    void show_error(std::string_view text) const;

    ArchiveState& state_;
    std::vector<ZipEntry> Entries; // entry k at index k - 1
    Cls_Encrypt crypt_;
    Cls_CRC32 crc_;
};

// A name from its stored bytes: the Info-ZIP Unicode Path extra field when its
// CRC-32 matches the stored name, else the stored bytes decoded (as UTF-8 when
// flags bit 11 is set).
std::string zip_entry_name(std::span<const uint8_t> raw_name, std::span<const uint8_t> extra, uint16_t flags);

} // namespace velmora

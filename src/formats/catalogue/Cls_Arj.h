// ARJ catalogue reader: lists the local headers of an ARJ archive (Robert Jung's
// ARJ technical notes: header id 0xEA60, basic header, first_hdr_size).
// Listing only: UnPack writes nothing. Only the first extended header of an
// entry is read, and the archive comment of the main header is not kept.
#pragma once

#include "archive/ArchiveReader.h"
#include "archive/ArchiveState.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

class Cls_Arj final : public ArchiveReader {
public:
    explicit Cls_Arj(ArchiveState& state);

    // Always 0; PackFileType tells whether the archive was recognised. A walk
    // that meets an arithmetic overflow (a text over 32,740 bytes, a position
    // before the start of the file or past 2 GiB) ends by throwing; the
    // dispatcher traps it and keeps the state as far as the walk got.
    int16_t Get_Contents(const std::string& ZipName) override;
    int16_t UnPack(Selection& ZippedFile, std::string& ToPath) override;
    bool CanUnpack() override { return false; }
    int32_t FileCount() override;
    std::string FileName(int32_t FileNum) override;
    std::string CommentsFile(int32_t FileNum) override;
    std::string CommentsPack() override;
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

    // One local header, fields in stored order.
    struct Entry {
        uint16_t HeaderID = 0;
        uint16_t BasicHeaderSize = 0;
        uint8_t FirstHdrSize = 0;
        uint8_t ArcVersion = 0;
        uint8_t MinVersion = 0;
        uint8_t HostOS = 0;
        uint8_t ArjFlags = 0;
        uint8_t PackMethod = 0;
        uint8_t FileType = 0;
        uint8_t Reserved = 0;
        uint16_t DosTime = 0;
        uint16_t DosDate = 0;
        int32_t PackSize = 0;
        int32_t UnpSize = 0;
        uint32_t FileCRC = 0;
        uint16_t EntryNamePos = 0;
        uint16_t AccessMode = 0;
        uint16_t HostData = 0;
        uint32_t ExtFilePos = 0;
        std::string Name;
        std::string Comment;
        uint32_t HeaderCRC = 0;
        int16_t ExtHeaderSize = 0;
        std::vector<uint8_t> ExtHeader;
        uint32_t ExtHeaderCRC = 0;
        int32_t DataPos = 0;
    };

private:
    bool InvalidFileNum(int32_t FileNum) const;
    // The entry behind a number that passed InvalidFileNum; throws for numbers
    // outside the table (a negative one).
    const Entry& entry(int32_t FileNum) const;
    void walk(const std::string& ZipName);

    ArchiveState& state_;
    std::vector<Entry> entries_;
};

} // namespace velmora

// ARJ reader: lists and extracts the entries of an ARJ archive (Robert Jung's
// ARJ technical notes: header id 0xEA60, basic header, first_hdr_size,
// extended headers). Extracts methods 0 to 4 and garbled entries (the old
// password scrambling) through the streaming decoder; GOST-encrypted entries,
// unknown methods and entries split across volumes are skipped and reported.
// The archive comment of the main header is not kept.
#pragma once

#include "archive/ReaderBase.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

class BufferedReader;
class CatalogueUnpack;

class Cls_Arj final : public ReaderBase {
public:
    explicit Cls_Arj(ArchiveState& state);

    // Always 0; PackFileType tells whether the archive was recognised. A walk
    // that meets an arithmetic overflow (a text over 32,740 bytes, a position
    // before the start of the file or past 2 GiB) ends by throwing; the
    // dispatcher traps it and keeps the state as far as the walk got.
    int16_t Get_Contents(const std::string& ZipName) override;
    // -10 for a selection that does not match the entries, -1 when the
    // password was not given, 0 otherwise.
    int16_t UnPack(Selection& ZippedFile, std::string& ToPath) override;
    bool CanUnpack() override { return true; }

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
        int16_t ExtHeaderSize = 0;       // the first extended header
        std::vector<uint8_t> ExtHeader;
        uint32_t ExtHeaderCRC = 0;
        int32_t DataPos = 0;

        // For extraction.
        uint32_t StoredTime = 0;        // the time field as stored: a Unix time on UNIX hosts
        uint64_t DataOffset = 0;        // file offset of the packed data
        uint8_t EncryptionVersion = 0;  // the main header's: 2 and above are GOST
    };

private:
    void walk(const std::string& ZipName);
    // Passes over a chain of extended headers (keeping the first in `e`);
    // false when the file ends inside it.
    static bool skip_extended_headers(BufferedReader& in, Entry* e);
    static ListedEntry listed_of(const Entry& e);
    void build_listing();
    bool extract(int32_t FileNum, CatalogueUnpack& unpack);

    std::vector<Entry> entries_;
    uint8_t encryption_version_ = 0;
};

} // namespace velmora

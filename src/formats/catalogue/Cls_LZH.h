// LZH/LHA reader: lists and extracts LHarc/LHA archives (the LHA header notes:
// level-0/1 headers with a one-byte size, level-2 headers with a two-byte
// size and level-3 headers with four-byte sizes, each with its extended
// headers). Extracts -lh0-, -lh1-, -lh4- to -lh7-, -lzs-, -lz4-, -lz5- and
// folders and symbolic links, entry by entry through the streaming decoders
// (MacLHA's MacBinary header dropped); -lh2-, -lh3-, LHARK's -lh7- and
// unknown methods are skipped and reported.
#pragma once

#include "archive/HostlessReader.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

class CatalogueUnpack;

class Cls_LZH final : public HostlessReader {
public:
    explicit Cls_LZH(ArchiveState& state);

    // Always 0; PackFileType is set only when at least one entry was read. A
    // next-header position before the start of the file or past 2 GiB ends the
    // walk by throwing, with PackFileType still 0; the dispatcher traps it.
    int16_t Get_Contents(const std::string& ZipName) override;
    // -10 for a selection that does not match the entries, 0 otherwise.
    int16_t UnPack(Selection& ZippedFile, std::string& ToPath) override;
    bool CanUnpack() override { return true; }
    // No FileCount of its own: the dispatcher answers it from PackTotFiles.
    // No number check: the same text for every number.
    std::string CommentsPack() override { return {}; }

    // One header. For levels 2 and 3, HeaderSize is the low byte of the
    // header size and NameSize the length of the joined folder and name.
    struct Entry {
        uint8_t HeaderSize = 0;
        uint8_t Checksum = 0;
        uint8_t Dash = 0;
        std::string PackMethod;  // the three stored bytes, e.g. "lh5"
        uint8_t ClosingDash = 0;
        int32_t PackSize = 0;
        int32_t UnpSize = 0;
        uint32_t FileTime = 0;
        uint16_t DosTime = 0;
        uint16_t DosDate = 0;
        uint16_t AttribLevel = 0;
        uint8_t NameSize = 0;
        std::string Name;        // folder and name joined with "/"
        std::string StoredName;  // the name without its folder, bytes as stored
        uint16_t FileCRC = 0;
        int32_t DataPos = 0;

        // What the extended headers and the later levels add.
        uint8_t Level = 0;
        uint8_t OsId = 0;             // level 1 and above; 0 for level 0
        std::string Comment;          // the Amiga comment after a zero byte in the name, or extended header 0x3F
        uint64_t DataOffset = 0;      // file offset of the packed data
        uint64_t DataSize = 0;        // packed bytes (level 1: less its extended headers)
        uint64_t OriginalSize = 0;    // the size the data decodes to
        bool WideSizes = false;       // both sizes from extended header 0x42
        int32_t UnixMode = -1;        // st_mode from extended header 0x50 or a level-0 Unix area
        std::optional<int64_t> UnixTime; // levels 2 and 3, extended header 0x54, a level-0 Unix area
        bool ExtendedDamaged = false; // level 1: the extended headers could not be read whole
    };

private:
    void walk(const std::string& ZipName);
    static ListedEntry listed_of(const Entry& e);
    void build_listing();
    bool extract(int32_t FileNum, CatalogueUnpack& unpack);

    std::vector<Entry> entries_;
};

} // namespace velmora

// LZH/LHA catalogue reader: lists the headers of an LHarc/LHA archive (the LHA
// header notes: level-0/1 headers with a one-byte size, level-2 headers with a
// two-byte size and extended headers). Listing only: UnPack writes nothing.
// Level-0 and level-1 headers are read in the level-0 layout (level-1 extended
// headers are not read); level-3 headers are not recognised.
#pragma once

#include "archive/ReaderBase.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

class Cls_LZH final : public ReaderBase {
public:
    explicit Cls_LZH(ArchiveState& state);

    // Always 0; PackFileType is set only when at least one entry was read. A
    // next-header position before the start of the file or past 2 GiB ends the
    // walk by throwing, with PackFileType still 0; the dispatcher traps it.
    int16_t Get_Contents(const std::string& ZipName) override;
    int16_t UnPack(Selection& ZippedFile, std::string& ToPath) override;
    bool CanUnpack() override { return false; }
    // No FileCount of its own: the dispatcher answers it from PackTotFiles.
    // No number check: the same text for every number.
    std::string CommentsPack() override { return {}; }
    std::string SystemMadeBy(int32_t) override { return "UnKnown"; }
    std::string VersionMadeBy(int32_t) override { return "UnKnown"; }
    std::string SystemNeeded(int32_t) override { return "UnKnown"; }
    std::string VersionNeeded(int32_t) override { return "UnKnown"; }

    // One header. For level 2, HeaderSize is the low byte of the two-byte
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
        std::string Name;
        uint16_t FileCRC = 0;
        int32_t DataPos = 0;
    };

private:
    void walk(const std::string& ZipName);
    static ListedEntry listed_of(const Entry& e);
    void build_listing();

    std::vector<Entry> entries_;
};

} // namespace velmora

// Microsoft cabinet (CAB) listing, after the cabinet format's CFHEADER,
// CFFOLDER and CFFILE records: names, sizes, times, attributes and the
// compression type of the first folder. Listing only; a cabinet stores no
// per-file CRC or packed size, and cabinets of 32,768 files or folders or
// more are not listed.
#pragma once

#include "archive/ReaderBase.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

class BufferedReader;

class Cls_Cab final : public ReaderBase {
public:
    explicit Cls_Cab(ArchiveState& state) : ReaderBase(state, true) {}

    int16_t Get_Contents(const std::string& ZipName) override;
    int16_t UnPack(Selection& ZippedFile, std::string& ToPath) override;
    bool CanUnpack() override { return false; }
    std::string CommentsPack() override { return {}; }

    // The 36-byte cabinet header (CFHEADER).
    struct CabinetHeader {
        uint32_t Signature = 0;
        uint32_t Reserved1 = 0;
        uint32_t CabinetSize = 0;
        uint32_t Reserved2 = 0;
        int32_t FilesOffset = 0;
        uint32_t Reserved3 = 0;
        uint8_t VersionMinor = 0;
        uint8_t VersionMajor = 0;
        int16_t CabFolders = 0;
        int16_t CabFiles = 0;
        uint16_t Flags = 0;
        uint16_t SetID = 0;
        uint16_t CabinetIndex = 0;
    };

    // One file record (CFFILE) as listed.
    struct Entry {
        int32_t UnpSize = 0;
        uint32_t FolderOffset = 0;
        uint16_t FolderIndex = 0;
        uint16_t DosDate = 0;
        uint16_t DosTime = 0;
        uint16_t Attribs = 0;
        std::string Name;
        uint16_t FolderMethod = 0;
    };

private:
    void walk(BufferedReader& in);
    ListedEntry listed_of(const Entry& e) const;
    void build_listing();

    std::vector<Entry> entries_ = std::vector<Entry>(1);
    CabinetHeader header_;
};

} // namespace velmora

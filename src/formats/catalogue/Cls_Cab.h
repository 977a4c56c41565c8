// Microsoft cabinet (CAB) reader, after the cabinet format's CFHEADER,
// CFFOLDER, CFFILE and CFDATA records: names, sizes, times, attributes and
// each file's folder's compression type; extraction of stored, MSZIP, Quantum
// and LZX folders. A cabinet stores no per-file CRC or packed size; files that
// continue into another cabinet are skipped, and cabinets of 32,768 files or
// folders or more are not listed.
#pragma once

#include "archive/ReaderBase.h"
#include "formats/catalogue/CabFolderStream.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

class BufferedReader;
class CatalogueUnpack;

class Cls_Cab final : public ReaderBase {
public:
    explicit Cls_Cab(ArchiveState& state) : ReaderBase(state, true) {}

    int16_t Get_Contents(const std::string& ZipName) override;
    int16_t UnPack(Selection& ZippedFile, std::string& ToPath) override;
    bool CanUnpack() override { return true; }
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
    // The folder a file's data lies in (iFolder, with the markers of files
    // continued from or into another cabinet); null when there is none.
    const cab_folder* folder_of(const Entry& e) const;
    // What keeps a file from being extracted, known from the records alone.
    ExtractBlocker blocker_of(const Entry& e) const;
    ListedEntry listed_of(const Entry& e) const;
    void build_listing();
    void extract(int32_t FileNum, CatalogueUnpack& unpack, CabFolderStream& stream);

    std::vector<Entry> entries_ = std::vector<Entry>(1);
    std::vector<cab_folder> folders_;
    uint8_t data_reserve_ = 0; // cbCFData
    bool first_folder_continued_ = false; // a file continues from the previous cabinet
    CabinetHeader header_;
};

} // namespace velmora

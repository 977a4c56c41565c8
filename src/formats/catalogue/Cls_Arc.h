// ARC archive reader (SEA ARC and compatibles: a chain of entry headers that
// each open with the byte 0x1A): names, sizes, times, methods and CRC-16s, and
// extraction of methods 1 to 9 checked against each entry's CRC-16. Every
// header is read in the 29-byte layout; ARC stores no folders.
#pragma once

#include "archive/HostlessReader.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

class ArcDecoder;
class BufferedReader;
class CatalogueUnpack;

// FileCount is left to the dispatcher, which answers it from PackTotFiles.
class Cls_Arc final : public HostlessReader {
public:
    explicit Cls_Arc(ArchiveState& state) : HostlessReader(state, false) {}

    int16_t Get_Contents(const std::string& ZipName) override;
    int16_t UnPack(Selection& ZippedFile, std::string& ToPath) override;
    bool CanUnpack() override { return true; }
    // No number check: the same text for every number.
    std::string CommentsPack() override { return {}; }

    // One entry header as listed.
    struct Entry {
        uint8_t Marker = 0;
        uint8_t PackMethod = 0;
        std::string Name;
        int32_t PackSize = 0;
        uint16_t DosDate = 0;
        uint16_t DosTime = 0;
        uint16_t FileCRC = 0;
        int32_t UnpSize = 0;
        int32_t DataPos = 0;
    };

private:
    void walk(BufferedReader& in);
    void extract(int32_t FileNum, CatalogueUnpack& unpack, ArcDecoder& decoder);
    static ListedEntry listed_of(const Entry& e);
    void build_listing();

    std::vector<Entry> entries_ = std::vector<Entry>(1);
};

} // namespace velmora

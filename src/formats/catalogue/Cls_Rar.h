// RAR 1.5-4.x archive listing (the block format that opens with the marker
// "Rar!" 0x1A 0x07 0x00, as the RAR technote describes it): names, sizes,
// CRCs, times, host systems and comments of the file headers. Listing only;
// RAR5 archives and encrypted headers are not read.
#pragma once

#include "archive/ReaderBase.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

class BufferedReader;

class Cls_Rar final : public ReaderBase {
public:
    explicit Cls_Rar(ArchiveState& state) : ReaderBase(state, true) {}

    int16_t Get_Contents(const std::string& ZipName) override;
    int16_t UnPack(Selection& ZippedFile, std::string& ToPath) override;
    bool CanUnpack() override { return false; }
    // The main header's comment, whatever the number.
    std::string CommentsPack() override;

    // One file header as listed.
    struct Entry {
        uint16_t HeadCRC = 0;
        uint8_t HeadType = 0;
        uint16_t HeadFlags = 0;
        int32_t HeadSize = 0;
        int32_t PackSize = 0;
        int32_t UnpSize = 0;
        uint8_t HostOS = 0;
        uint32_t FileCRC = 0;
        uint32_t FileTime = 0;
        uint16_t DosDate = 0;
        uint16_t DosTime = 0;
        uint8_t UnpVer = 0;
        uint8_t PackMethod = 0;
        uint16_t NameSize = 0;
        uint32_t FileAttr = 0;
        std::string Name;
        std::string Comment;
        int32_t DataPos = 0;
    };

    // The archive (main) header last read, with its comment.
    struct MainHeader {
        uint16_t HeadCRC = 0;
        uint8_t HeadType = 0;
        uint16_t HeadFlags = 0;
        int16_t HeadSize = 0;
        uint16_t Reserved1 = 0;
        uint32_t Reserved2 = 0;
        std::string Comment;
    };

private:
    struct BaseHeader {
        uint64_t start = 0;
        uint16_t HeadCRC = 0;
        uint8_t HeadType = 0;
        uint16_t HeadFlags = 0;
        uint16_t HeadSize = 0;
    };
    // Where the walk goes next; nullopt ends it.
    using Next = std::optional<uint64_t>;

    void walk(BufferedReader& in);
    Next read_main_header(BufferedReader& in, const BaseHeader& h);
    Next read_file_header(BufferedReader& in, const BaseHeader& h);
    static ListedEntry listed_of(const Entry& e);
    void build_listing();

    std::vector<Entry> entries_ = std::vector<Entry>(1);
    std::optional<MainHeader> main_header_;
};

} // namespace velmora

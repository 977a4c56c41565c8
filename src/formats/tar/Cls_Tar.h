// The tar reader: walks the 512-byte headers of an uncompressed tar file
// (ustar, GNU and pax writers; 64-bit and base-256 number fields) and copies
// members out unchanged, in pieces, whatever their size. Names come from a pax
// `path`, a GNU long-name record or the ustar prefix and name; symbolic and
// hard links are recreated inside the output folder only.
#pragma once

#include "archive/HostlessReader.h"

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace velmora {

class BinaryFile;
class ExtractionRun;

struct TarEntry {
    std::string Name;
    int64_t MTime = 0;
    uint32_t MTimeNanoseconds = 0; // from a pax mtime with a fraction
    int16_t DosDate = 0;
    int16_t DosTime = 0;
    int64_t Size = 0;
    uint64_t DataPos = 0; // 1-based position of the first data byte
    int64_t HeaderSum = 0;
    int32_t Mode = -1;    // permission bits of the mode field; -1 when unreadable
    char Type = '0';      // typeflag
    std::string LinkName; // target of a link member
};

class Cls_Tar final : public HostlessReader {
public:
    explicit Cls_Tar(ArchiveState& state) : HostlessReader(state, false) {}

    // Always 0. A header whose numbers cannot be read ends the walk by
    // throwing: the members before it stay listed and the dispatcher ends
    // its call there.
    int16_t Get_Contents(const std::string& ZipName) override;
    int16_t UnPack(Selection& ZippedFile, std::string& ToPath) override;
    bool CanUnpack() override { return true; }
    std::string CommentsPack() override { return {}; }

    const std::vector<TarEntry>& entries() const { return entries_; }

private:
    void read_headers(const std::string& ZipName);
    void add_entry(TarEntry e);
    void extract_member(int32_t k, const BinaryFile& file, std::string& ToPath, ExtractionRun& run);

    std::vector<TarEntry> entries_;
    // Members written in this run, by their cleaned path (hard links may
    // only point at these).
    std::unordered_set<std::string> written_;
};

} // namespace velmora

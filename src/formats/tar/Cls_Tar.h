// The tar reader: walks the 512-byte headers of an uncompressed tar file
// (ustar, GNU and pax writers) and copies members out unchanged. Names come
// from a pax `path`, a GNU long-name record or the ustar prefix and name.
// Members of 2 GiB or more are outside what it handles; each member is held
// whole in memory while it is written.
#pragma once

#include "archive/ArchiveReader.h"
#include "archive/ArchiveState.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

struct TarEntry {
    std::string Name;
    int32_t MTime = 0;
    int16_t DosDate = 0;
    int16_t DosTime = 0;
    int32_t Size = 0;
    int32_t DataPos = 0; // 1-based position of the first data byte
    int32_t HeaderSum = 0;
    int32_t Mode = -1;   // permission bits of the mode field; -1 when unreadable
};

class Cls_Tar final : public ArchiveReader {
public:
    explicit Cls_Tar(ArchiveState& state) : state_(state) {}

    int16_t Get_Contents(const std::string& ZipName) override;
    int16_t UnPack(Selection& ZippedFile, std::string& ToPath) override;
    bool CanUnpack() override { return true; }
    std::string FileName(int32_t FileNum) override;
    std::string CommentsFile(int32_t FileNum) override;
    std::string CommentsPack() override { return {}; }
    bool IsDir(int32_t FileNum) override;
    std::string Method(int32_t FileNum) override;
    int32_t CRC32(int32_t FileNum) override { return 0; }
    int32_t Compressed_Size(int32_t FileNum) override;
    int32_t UnCompressed_Size(int32_t FileNum) override;
    bool Encrypted(int32_t FileNum) override { return false; }
    DateTime FileDateTime(int32_t FileNum) override;
    std::string SystemMadeBy(int32_t FileNum) override { return "UnKnown"; }
    std::string VersionMadeBy(int32_t FileNum) override { return "UnKnown"; }
    std::string SystemNeeded(int32_t FileNum) override { return "UnKnown"; }
    std::string VersionNeeded(int32_t FileNum) override { return "UnKnown"; }

    const std::vector<TarEntry>& entries() const { return entries_; }

private:
    bool InvalidFileNum(int32_t FileNum) const;
    bool read_headers(const std::string& ZipName);

    ArchiveState& state_;
    std::vector<TarEntry> entries_;
};

} // namespace velmora

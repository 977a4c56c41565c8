// The gzip reader (RFC 1952): a gzip file shown as an archive of one member,
// named after its stored FNAME or after the archive (.gz, .z, .tgz, .taz).
// Listing reads the first member's header and the file's last 8 bytes;
// extraction decodes every member in turn, streaming, each checked against
// its own trailer, into one file.
#pragma once

#include "archive/ReaderBase.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

class BinaryFile;
class ExtractionRun;
class OutputFile;

// The member name a gzip file without FNAME gets from the archive's own name:
// "" when the name carries none of .gz, .z, .tgz, .taz.
std::string DeriveGzipName(const std::string& ZipName);

// Host system text of an OS byte.
std::string GzipHostName(uint8_t os);

class Cls_GZip final : public ReaderBase {
public:
    explicit Cls_GZip(ArchiveState& state) : ReaderBase(state, true) {}

    int16_t Get_Contents(const std::string& ZipName) override;
    int16_t UnPack(Selection& ZippedFile, std::string& ToPath) override;
    bool CanUnpack() override { return true; }
    // These answer whatever the number.
    std::string CommentsPack() override { return comment_; }
    std::string SystemMadeBy(int32_t) override { return GzipHostName(os_); }
    std::string VersionMadeBy(int32_t) override { return "UnKnown"; }
    std::string SystemNeeded(int32_t) override { return "UnKnown"; }
    std::string VersionNeeded(int32_t) override { return "UnKnown"; }

    // Fields kept from the header for callers that want them verbatim.
    const std::string& ExtraField() const { return extra_field_; }
    uint16_t HeaderCRC() const { return header_crc_; }
    int32_t DataPos() const { return data_pos_; }

private:
    // Decodes every member into the member's output file; the entry's outcome
    // goes to the run's report.
    void extract_members(const BinaryFile& file, ExtractionRun& run, OutputFile& out);

    uint8_t method_ = 0;
    uint8_t flags_ = 0;
    uint32_t MTime_ = 0;
    int64_t stamp_ = 0; // MTime, or the archive's own time when MTime is 0
    uint8_t extra_flags_ = 0;
    uint8_t os_ = 0;
    std::string extra_field_;
    std::string name_;
    std::string comment_;
    uint16_t header_crc_ = 0;
    std::array<uint8_t, 12> crypt_header_{};
    int32_t crc32_ = 0;
    int64_t data_length_ = 0;
    int32_t data_pos_ = 0;
    uint32_t size_ = 0; // ISIZE: the size modulo 2^32
    int16_t dos_date_ = 0;
    int16_t dos_time_ = 0;
};

} // namespace velmora

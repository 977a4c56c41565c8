// The member set every archive reader offers; the dispatcher offers it too and
// forwards to the reader of the loaded archive. Entry numbers start at 1;
// sizes are 64-bit (formats that store 32-bit sizes give their stored values
// as they always have); CRCs are signed 32-bit values holding the field bits.
#pragma once

#include "archive/DateTime.h"
#include "archive/ExtractionReport.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

// Element k asks for entry k; element 0 belongs to no entry.
using Selection = std::vector<bool>;

// Why an entry cannot be extracted, known from the listing alone (its method,
// its encryption, the format): reason none when nothing stands in the way.
struct ExtractBlocker {
    OutcomeReason reason = OutcomeReason::none;
    std::string detail;
    explicit operator bool() const { return reason != OutcomeReason::none; }
};

class ArchiveReader {
public:
    virtual ~ArchiveReader() = default;

    virtual int16_t Get_Contents(const std::string& ZipName) = 0;
    virtual int16_t UnPack(Selection& ZippedFile, std::string& ToPath) = 0;
    // No reader writes archives.
    int16_t Pack() { return 0; }
    virtual bool CanUnpack() = 0;
    // The dispatcher answers FileCount from the shared state itself; readers
    // that lack it keep this default.
    virtual int32_t FileCount() { return 0; }
    virtual std::string FileName(int32_t FileNum) = 0;
    virtual std::string CommentsFile(int32_t FileNum) = 0;
    virtual std::string CommentsPack() = 0;
    virtual bool IsDir(int32_t FileNum) = 0;
    virtual std::string Method(int32_t FileNum) = 0;
    virtual int32_t CRC32(int32_t FileNum) = 0;
    virtual int64_t Compressed_Size(int32_t FileNum) = 0;
    virtual int64_t UnCompressed_Size(int32_t FileNum) = 0;
    virtual bool Encrypted(int32_t FileNum) = 0;
    virtual DateTime FileDateTime(int32_t FileNum) = 0;
    virtual std::string SystemMadeBy(int32_t FileNum) = 0;
    virtual std::string VersionMadeBy(int32_t FileNum) = 0;
    virtual std::string SystemNeeded(int32_t FileNum) = 0;
    virtual std::string VersionNeeded(int32_t FileNum) = 0;

    // What keeps entry FileNum from being extracted, as far as the listing
    // tells; the window greys such rows. Formats that extract everything they
    // list keep this default.
    virtual ExtractBlocker extract_blocker(int32_t FileNum)
    {
        (void)FileNum;
        return {};
    }
};

} // namespace velmora

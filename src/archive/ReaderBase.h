// The part every archive reader shares: the table of listed entries, the one
// entry-number check, and the per-entry members answered from the table.
// A reader's listing walk fills one ListedEntry per entry (its texts already
// in the format's own words) and keeps whatever else it needs for extraction
// in its own records beside it.
#pragma once

#include "archive/ArchiveReader.h"
#include "archive/ArchiveState.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora {

// A failure inside a listing walk that ends Get_Contents and is handed to the
// caller: the dispatcher traps it and keeps the shared state as far as the
// walk got (a reader that had stored its format code stays loaded with the
// entries read so far). Thrown only by Get_Contents, never by a property.
class walk_error : public std::runtime_error {
public:
    explicit walk_error(const char* what) : std::runtime_error(what) {}
};

struct ListedEntry {
    std::string name;
    std::string comment;
    std::string method;
    std::string system_made_by;
    std::string version_made_by;
    std::string system_needed;
    std::string version_needed;
    int64_t compressed_size = 0;
    int64_t uncompressed_size = 0;
    int32_t crc32 = 0;
    DateTime modified; // FileDateTime
    bool is_dir = false;
    bool encrypted = false;
    ExtractBlocker blocker;
};

class ReaderBase : public ArchiveReader {
public:
    // has_file_count: the format answers FileCount itself (the TAR, LZH and
    // ARC readers leave it to the dispatcher and answer 0).
    ReaderBase(ArchiveState& state, bool has_file_count) : state_(state), has_file_count_(has_file_count) {}

    int32_t FileCount() override { return has_file_count_ ? state_.PackTotFiles : 0; }
    std::string FileName(int32_t FileNum) override;
    std::string CommentsFile(int32_t FileNum) override;
    std::string CommentsPack() override { return state_.PackComments; }
    bool IsDir(int32_t FileNum) override;
    std::string Method(int32_t FileNum) override;
    int32_t CRC32(int32_t FileNum) override;
    int64_t Compressed_Size(int32_t FileNum) override;
    int64_t UnCompressed_Size(int32_t FileNum) override;
    bool Encrypted(int32_t FileNum) override;
    DateTime FileDateTime(int32_t FileNum) override;
    std::string SystemMadeBy(int32_t FileNum) override;
    std::string VersionMadeBy(int32_t FileNum) override;
    std::string SystemNeeded(int32_t FileNum) override;
    std::string VersionNeeded(int32_t FileNum) override;
    ExtractBlocker extract_blocker(int32_t FileNum) override;

protected:
    // True for entry number 0 or below, a number past PackTotFiles or past
    // the table, or nothing loaded: the member then gives its default.
    bool InvalidFileNum(int32_t FileNum) const;
    // The listed entry behind a valid number; null otherwise.
    const ListedEntry* listed(int32_t FileNum) const;
    ListedEntry* listed(int32_t FileNum);
    // The shared start of every listing: remember the path, forget the
    // previous archive.
    void start_listing(const std::string& ZipName);
    // Runs a walk over the archive's records, then `build` makes the listing
    // of the entries it found, also when the walk throws: a damaged archive
    // still lists what came before the fault (the exception goes on).
    template <class Walk, class Build>
    static void walk_then_list(Walk&& walk, Build&& build)
    {
        try {
            walk();
        } catch (...) {
            build();
            throw;
        }
        build();
    }

    ArchiveState& state_;
    std::vector<ListedEntry> listing_; // entry k at index k - 1

private:
    bool has_file_count_;
};

} // namespace velmora

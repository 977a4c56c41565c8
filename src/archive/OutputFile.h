// One extracted file on its way to disk: written in pieces to a temporary
// name beside its target, and put in place only when complete. Data that
// failed its checks never replaces an existing file; an entry abandoned on
// the way (a decoding fault, a cancel) leaves nothing behind.
#pragma once

#include "archive/ArchiveState.h"
#include "archive/DateTime.h"
#include "archive/PieceWriter.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace velmora {

enum class OutputStatus {
    ok,            // written (or, for open, ready to write)
    not_written,   // a file of that name exists and may not be replaced: nothing was written
    unsafe_path,   // the name leaves the output folder: nothing was written
    failed,        // the file or its folder could not be written: nothing was left behind
};

struct OutputFolderCache;

// "Overwrite Existing Files" is on (or no window asks).
bool overwrite_on(const ArchiveState& state);

// Where ToPath/FileName goes: the name held inside the output folder, its
// folders made (`folder_fd` is the cache's descriptor of the last one) and
// the overwrite rule applied (not_written: a file of that name exists and
// overwriting is off).
OutputStatus locate_output(ArchiveState& state, const std::string& FileName, std::string& ToPath,
                           OutputFolderCache& cache, int& folder_fd, std::string& leaf);

class OutputFile {
public:
    explicit OutputFile(ArchiveState& state) : state_(state) {}
    ~OutputFile() { discard(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Prepares ToPath/FileName: the name is held inside the output folder,
    // its folders are made, and a temporary file is created beside it.
    // not_written when a file of that name exists and "Overwrite Existing
    // Files" is off (nothing need be decoded then). UnixMode: as for
    // WriteOutputFile.
    OutputStatus open(const std::string& FileName, std::string& ToPath, int32_t UnixMode = -1);

    bool is_open() const { return fd_ >= 0; }
    // False when the bytes could not be written (the file is then discarded).
    // Past its first MiB a file is written by a second thread while the
    // caller decodes on: a failed write may then show only at a later write
    // or at commit().
    bool write(std::span<const uint8_t> data);
    uint64_t written() const { return written_; }

    // Copies `length` bytes of the open file `source_fd` from `offset` to the
    // end of this file, in the kernel where it can (copy_file_range), in
    // pieces between which `progress(done)` is asked whether to go on. The
    // count copied; fewer than `length` when the source ended, the write
    // failed (write_failed() is then true) or progress said stop.
    template <typename Progress>
    uint64_t copy_from(int source_fd, uint64_t offset, uint64_t length, Progress&& progress);
    bool write_failed() const { return write_failed_; }

    // Stamps the file and puts it in place. checked: the data passed its
    // CRC and size checks. Data that passed replaces an existing file when
    // overwriting is on; data that failed is only kept where no file of that
    // name exists (not_written otherwise, the existing file untouched).
    OutputStatus commit(const FileStamp& stamp, bool checked = true);

    // Removes the temporary file; nothing of the entry stays.
    void discard();

private:
    // One piece of copy_from: bytes copied, 0 at the end of the source, -1 on
    // a failed write.
    int64_t copy_piece(int source_fd, uint64_t offset, uint64_t length);
    // Waits for the second thread's pieces; false when one failed.
    bool settle_pieces();

    ArchiveState& state_;
    int fd_ = -1;
    int folder_fd_ = -1;     // owned by the run's folder cache, or by local_folder_fd_
    int local_folder_fd_ = -1;
    std::string temp_;
    std::string leaf_;
    uint64_t written_ = 0;
    bool write_failed_ = false;
    bool kernel_copy_ = true; // copy_file_range works between these files
    std::unique_ptr<PieceWriter> pieces_; // the writing thread of a large file
};

template <typename Progress>
uint64_t OutputFile::copy_from(int source_fd, uint64_t offset, uint64_t length, Progress&& progress)
{
    // Pieces of 1 MiB: the window hears of progress, and is handed control,
    // every few milliseconds however slow the disk.
    constexpr uint64_t piece = uint64_t{1} << 20;
    uint64_t done = 0;
    while (done < length) {
        const int64_t n = copy_piece(source_fd, offset + done, std::min(piece, length - done));
        if (n <= 0)
            break;
        done += static_cast<uint64_t>(n);
        if (done < length && !progress(done))
            break;
    }
    return done;
}

} // namespace velmora

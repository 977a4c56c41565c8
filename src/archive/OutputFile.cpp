// Streaming output of one extracted file: temporary file, pieces, rename.
#include "archive/OutputFile.h"

#include "archive/Mod_DiskIO.h"
#include "archive/OutputFolders.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {

constexpr mode_t new_file_mode = 0666;
constexpr mode_t permission_bits = 0777; // rwx of user, group, other; never setuid, setgid, sticky
constexpr mode_t owner_read_write = 0600;
// A file is written on the caller's thread up to this size: most files end
// before it, and a second thread would cost them more than it saves.
constexpr uint64_t direct_write_bytes = uint64_t{1} << 20;

} // namespace

using namespace output_detail;

bool overwrite_on(const ArchiveState& state)
{
    return state.window == nullptr || state.window->overwrite_existing_files();
}

OutputStatus locate_output(ArchiveState& state, const std::string& FileName, std::string& ToPath,
                           OutputFolderCache& cache, int& folder_fd, std::string& leaf)
{
    append_separator(state, ToPath);
    const auto rel = contained_entry_path(FileName);
    if (!rel)
        return OutputStatus::unsafe_path;
    // An empty name is the output folder itself, and a trailing separator
    // names a folder: neither can be opened as a file.
    if (rel->empty() || FileName.back() == '/' || FileName.back() == '\\')
        return OutputStatus::failed;
    if (too_long(ToPath, *rel))
        return OutputStatus::failed;

    auto [folder, name] = split_leaf(*rel);
    folder_fd = cache.open_folder(state, root_folder(ToPath), folder);
    if (folder_fd < 0)
        return OutputStatus::failed;
    if (!overwrite_on(state)) {
        struct stat st{};
        if (::fstatat(folder_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            return S_ISDIR(st.st_mode) ? OutputStatus::failed : OutputStatus::not_written;
    }
    leaf = std::move(name);
    return OutputStatus::ok;
}

OutputStatus OutputFile::open(const std::string& FileName, std::string& ToPath, int32_t UnixMode)
{
    discard();
    OutputFolderCache local;
    OutputFolderCache& cache = cache_of(state_, local);
    int folder_fd = -1;
    std::string leaf;
    if (const OutputStatus s = locate_output(state_, FileName, ToPath, cache, folder_fd, leaf); s != OutputStatus::ok)
        return s;

    // Outside a run the folder's descriptor dies with the local cache: keep
    // a copy. A run's cache keeps it open while this entry is written (it
    // only closes descriptors when it opens another folder).
    if (state_.output_cache) {
        folder_fd_ = folder_fd;
    } else {
        local_folder_fd_ = ::fcntl(folder_fd, F_DUPFD_CLOEXEC, 0);
        if (local_folder_fd_ < 0)
            return OutputStatus::failed;
        folder_fd_ = local_folder_fd_;
    }

    // The mode goes in with the create, so the kernel applies the umask and
    // no separate chmod is needed.
    const mode_t mode = UnixMode < 0 ? new_file_mode
                                     : (static_cast<mode_t>(UnixMode) & permission_bits) | owner_read_write;
    fd_ = create_temp_file(folder_fd_, leaf, mode, temp_);
    if (fd_ < 0) {
        discard();
        return OutputStatus::failed;
    }
    leaf_ = std::move(leaf);
    written_ = 0;
    write_failed_ = false;
    return OutputStatus::ok;
}

bool OutputFile::write(std::span<const uint8_t> data)
{
    if (fd_ < 0 || write_failed_)
        return false;
    if (!pieces_ && written_ + data.size() > direct_write_bytes) {
        try {
            pieces_ = std::make_unique<PieceWriter>(fd_);
        } catch (...) {
            // No thread to be had: the file is written here.
        }
    }
    if (!(pieces_ ? pieces_->write(data) : write_all(fd_, data))) {
        write_failed_ = true;
        return false;
    }
    written_ += data.size();
    return true;
}

bool OutputFile::settle_pieces()
{
    if (!pieces_)
        return true;
    const bool ok = pieces_->finish();
    pieces_.reset();
    write_failed_ = write_failed_ || !ok;
    return ok;
}

int64_t OutputFile::copy_piece(int source_fd, uint64_t offset, uint64_t length)
{
    if (fd_ < 0 || write_failed_ || !settle_pieces())
        return -1;
    if (kernel_copy_) {
        auto off = static_cast<off64_t>(offset);
        const ssize_t n = ::copy_file_range(source_fd, &off, fd_, nullptr, length, 0);
        if (n >= 0) {
            written_ += static_cast<uint64_t>(n);
            return n;
        }
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) {
            write_failed_ = true;
            return -1;
        }
        kernel_copy_ = false; // another file system: read and write instead
    }
    uint8_t buffer[1 << 16];
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length, sizeof buffer));
    ssize_t got = 0;
    do
        got = ::pread(source_fd, buffer, want, static_cast<off_t>(offset));
    while (got < 0 && errno == EINTR);
    if (got <= 0)
        return got == 0 ? 0 : -1;
    if (!write_all(fd_, std::span<const uint8_t>(buffer, static_cast<size_t>(got)))) {
        write_failed_ = true;
        return -1;
    }
    written_ += static_cast<uint64_t>(got);
    return got;
}

OutputStatus OutputFile::commit(const FileStamp& stamp, bool checked)
{
    if (fd_ < 0)
        return OutputStatus::failed;
    if (!settle_pieces() || write_failed_) {
        discard();
        return OutputStatus::failed;
    }
    OutputFolderCache local;
    stamp_file(fd_, stamp, cache_of(state_, local));
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    if (!closed) {
        discard();
        return OutputStatus::failed;
    }

    const int placed = put_in_place(folder_fd_, temp_, leaf_, checked, overwrite_on(state_));
    temp_.clear(); // in place, or removed
    const OutputStatus status = placed == 0 ? OutputStatus::ok : placed > 0 ? OutputStatus::not_written : OutputStatus::failed;
    discard();
    return status;
}

void OutputFile::discard()
{
    pieces_.reset(); // before the descriptor closes under it
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temp_.empty() && folder_fd_ >= 0)
        ::unlinkat(folder_fd_, temp_.c_str(), 0);
    temp_.clear();
    if (local_folder_fd_ >= 0)
        ::close(local_folder_fd_);
    local_folder_fd_ = -1;
    folder_fd_ = -1;
}

} // namespace velmora

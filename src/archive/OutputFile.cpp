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

bool overwrite_on(const ArchiveState& state)
{
    return state.window == nullptr || state.window->overwrite_existing_files();
}

} // namespace

using namespace output_detail;

OutputStatus OutputFile::open(const std::string& FileName, std::string& ToPath, int32_t UnixMode)
{
    discard();
    append_separator(state_, ToPath);
    const auto rel = contained_entry_path(FileName);
    if (!rel)
        return OutputStatus::unsafe_path;
    // An empty name is the output folder itself, and a trailing separator
    // names a folder: neither can be opened as a file.
    if (rel->empty() || FileName.back() == '/' || FileName.back() == '\\')
        return OutputStatus::failed;
    if (too_long(ToPath, *rel))
        return OutputStatus::failed;

    OutputFolderCache local;
    OutputFolderCache& cache = cache_of(state_, local);
    auto [folder, leaf] = split_leaf(*rel);
    const int folder_fd = cache.open_folder(state_, root_folder(ToPath), folder);
    if (folder_fd < 0)
        return OutputStatus::failed;

    if (!overwrite_on(state_)) {
        struct stat st{};
        if (::fstatat(folder_fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            return S_ISDIR(st.st_mode) ? OutputStatus::failed : OutputStatus::not_written;
    }

    // Our own copy of the folder: the run's cache may close its descriptors
    // while this file is still being written.
    local_folder_fd_ = ::fcntl(folder_fd, F_DUPFD_CLOEXEC, 0);
    if (local_folder_fd_ < 0)
        return OutputStatus::failed;
    folder_fd_ = local_folder_fd_;

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
    if (!write_all(fd_, data)) {
        write_failed_ = true;
        return false;
    }
    written_ += data.size();
    return true;
}

OutputStatus OutputFile::commit(const FileStamp& stamp, bool checked)
{
    if (fd_ < 0)
        return OutputStatus::failed;
    if (write_failed_) {
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

    OutputStatus status = OutputStatus::ok;
    if (checked && overwrite_on(state_)) {
        if (::renameat(folder_fd_, temp_.c_str(), folder_fd_, leaf_.c_str()) != 0)
            status = OutputStatus::failed;
    } else if (::renameat2(folder_fd_, temp_.c_str(), folder_fd_, leaf_.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno == EEXIST) {
            // The existing file stays as it was.
            status = OutputStatus::not_written;
        } else if (errno == EINVAL) {
            // A file system without RENAME_NOREPLACE: look, then rename.
            struct stat st{};
            if (::fstatat(folder_fd_, leaf_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
                status = OutputStatus::not_written;
            else if (::renameat(folder_fd_, temp_.c_str(), folder_fd_, leaf_.c_str()) != 0)
                status = OutputStatus::failed;
        } else {
            status = OutputStatus::failed;
        }
    }
    if (status == OutputStatus::ok)
        temp_.clear(); // in place: nothing to remove
    discard();
    return status;
}

void OutputFile::discard()
{
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

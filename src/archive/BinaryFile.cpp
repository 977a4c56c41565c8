// Positional binary reads through POSIX file descriptors.
#include "archive/BinaryFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

BinaryFile::~BinaryFile() { close(); }

BinaryFile::BinaryFile(BinaryFile&& other) noexcept : fd_(other.fd_), size_(other.size_)
{
    other.fd_ = -1;
    other.size_ = 0;
}

BinaryFile& BinaryFile::operator=(BinaryFile&& other) noexcept
{
    if (this != &other) {
        close();
        fd_ = other.fd_;
        size_ = other.size_;
        other.fd_ = -1;
        other.size_ = 0;
    }
    return *this;
}

bool BinaryFile::open(const std::string& path)
{
    close();
    if (path.empty())
        return false;
    // Only regular files are archives. A FIFO, socket or device is refused
    // before it is opened (opening a FIFO waits for a writer), and the open
    // itself never blocks, should the path change in between.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    fd_ = fd;
    size_ = static_cast<uint64_t>(st.st_size);
    return true;
}

void BinaryFile::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    size_ = 0;
}

size_t BinaryFile::read_at(uint64_t offset, std::span<uint8_t> out) const
{
    if (fd_ < 0)
        return 0;
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

std::vector<uint8_t> BinaryFile::read_vector(uint64_t offset, size_t count) const
{
    if (offset >= size_)
        return {};
    const uint64_t avail = size_ - offset;
    std::vector<uint8_t> out(count < avail ? count : static_cast<size_t>(avail));
    out.resize(read_at(offset, out));
    return out;
}

bool read_whole_file(const std::string& path, std::vector<uint8_t>& out)
{
    BinaryFile f;
    if (!f.open(path))
        return false;
    out.assign(static_cast<size_t>(f.size()), 0);
    return f.read_exact(0, out);
}

} // namespace velmora

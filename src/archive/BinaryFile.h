// An archive file opened for binary reading by position. Closed when the
// object goes out of scope; every read reports how much it really got.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace velmora {

class BinaryFile {
public:
    BinaryFile() = default;
    explicit BinaryFile(const std::string& path) { open(path); }
    ~BinaryFile();
    BinaryFile(const BinaryFile&) = delete;
    BinaryFile& operator=(const BinaryFile&) = delete;
    BinaryFile(BinaryFile&& other) noexcept;
    BinaryFile& operator=(BinaryFile&& other) noexcept;

    // Opens a regular file; false (and closed) for folders and missing files.
    bool open(const std::string& path);
    void close();
    bool is_open() const { return fd_ >= 0; }
    // The descriptor, for copies the kernel makes itself (-1 when closed).
    int descriptor() const { return fd_; }
    uint64_t size() const { return size_; }

    // Reads up to out.size() bytes at offset; returns the count read (short at
    // the end of the file or on an error).
    size_t read_at(uint64_t offset, std::span<uint8_t> out) const;
    // Reads exactly out.size() bytes or fails.
    bool read_exact(uint64_t offset, std::span<uint8_t> out) const
    {
        return read_at(offset, out) == out.size();
    }
    // Up to count bytes at offset, fewer at the end of the file.
    std::vector<uint8_t> read_vector(uint64_t offset, size_t count) const;

private:
    int fd_ = -1;
    uint64_t size_ = 0;
};

// The whole of a file, or false when it cannot be read.
bool read_whole_file(const std::string& path, std::vector<uint8_t>& out);

} // namespace velmora

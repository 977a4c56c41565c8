// Sequential reads of small header records from an archive file through a
// buffer, so that walking thousands of headers and zero-terminated texts costs
// a few large reads instead of one system call per field or byte.
#pragma once

#include "archive/BinaryFile.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace velmora {

class BufferedReader {
public:
    explicit BufferedReader(const BinaryFile& file, size_t buffer_size = 64 * 1024);

    uint64_t size() const { return file_.size(); }
    uint64_t pos() const { return pos_; }
    void seek(uint64_t pos) { pos_ = pos; }
    bool at_end() const { return pos_ >= file_.size(); }

    // n bytes at the current position, copied into `out` (which the caller
    // owns, so no later read can change what it holds); false (position
    // unmoved) when fewer remain in the file.
    bool read(size_t n, std::vector<uint8_t>& out);
    bool read_into(std::span<uint8_t> out);
    bool u8(uint8_t& v);
    bool le16(uint16_t& v);
    bool le32(uint32_t& v);

    // Bytes up to the next zero byte (consumed, not returned). False when no
    // zero byte comes within max_len bytes or before the end of the file.
    bool zstring(size_t max_len, std::string& out);

private:
    bool fill(uint64_t pos, size_t n);

    const BinaryFile& file_;
    std::vector<uint8_t> buffer_;
    uint64_t buffer_start_ = 0;
    size_t buffer_len_ = 0;
    uint64_t pos_ = 0;
    size_t buffer_size_;
};

} // namespace velmora

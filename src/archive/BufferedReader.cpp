// Buffered header reads over a BinaryFile.
#include "archive/BufferedReader.h"

#include "archive/ByteFields.h"

namespace velmora {

BufferedReader::BufferedReader(const BinaryFile& file, size_t buffer_size)
    : file_(file), buffer_size_(buffer_size)
{
}

bool BufferedReader::fill(uint64_t pos, size_t n)
{
    if (pos >= buffer_start_ && pos - buffer_start_ + n <= buffer_len_)
        return true;
    if (pos > file_.size() || file_.size() - pos < n)
        return false;
    const size_t want = n > buffer_size_ ? n : buffer_size_;
    buffer_.resize(want);
    buffer_start_ = pos;
    buffer_len_ = file_.read_at(pos, buffer_);
    return buffer_len_ >= n;
}

bool BufferedReader::read(size_t n, std::vector<uint8_t>& out)
{
    if (!fill(pos_, n))
        return false;
    const auto first = buffer_.begin() + static_cast<std::ptrdiff_t>(pos_ - buffer_start_);
    out.assign(first, first + static_cast<std::ptrdiff_t>(n));
    pos_ += n;
    return true;
}

bool BufferedReader::read_into(std::span<uint8_t> out)
{
    if (!fill(pos_, out.size()))
        return false;
    const auto first = buffer_.begin() + static_cast<std::ptrdiff_t>(pos_ - buffer_start_);
    std::copy(first, first + static_cast<std::ptrdiff_t>(out.size()), out.begin());
    pos_ += out.size();
    return true;
}

bool BufferedReader::u8(uint8_t& v)
{
    uint8_t b[1];
    if (!read_into(b))
        return false;
    v = b[0];
    return true;
}

bool BufferedReader::le16(uint16_t& v)
{
    uint8_t b[2];
    if (!read_into(b))
        return false;
    v = load_le16(b);
    return true;
}

bool BufferedReader::le32(uint32_t& v)
{
    uint8_t b[4];
    if (!read_into(b))
        return false;
    v = load_le32(b);
    return true;
}

bool BufferedReader::zstring(size_t max_len, std::string& out)
{
    out.clear();
    uint64_t p = pos_;
    while (out.size() <= max_len) {
        if (p >= file_.size())
            return false;
        if (!fill(p, 1))
            return false;
        const size_t avail = buffer_len_ - static_cast<size_t>(p - buffer_start_);
        const uint8_t* chunk = buffer_.data() + (p - buffer_start_);
        for (size_t i = 0; i < avail; ++i) {
            if (chunk[i] == 0) {
                if (out.size() + i > max_len)
                    return false;
                out.append(reinterpret_cast<const char*>(chunk), i);
                pos_ = p + i + 1;
                return true;
            }
        }
        out.append(reinterpret_cast<const char*>(chunk), avail);
        p += avail;
    }
    return false;
}

} // namespace velmora

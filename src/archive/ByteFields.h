// Bounds-checked little-endian field reads over a byte span. A read that would
// run past the end yields false (or nullopt) and leaves the cursor where it was,
// so readers never touch bytes they do not have.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace velmora {

inline uint16_t load_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t load_le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8)
           | (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t load_le64(const uint8_t* p)
{
    return static_cast<uint64_t>(load_le32(p)) | (static_cast<uint64_t>(load_le32(p + 4)) << 32);
}

// Field at a fixed offset of a record; nullopt when it lies outside.
inline std::optional<uint8_t> field_u8(std::span<const uint8_t> rec, size_t off)
{
    if (off >= rec.size())
        return std::nullopt;
    return rec[off];
}
inline std::optional<uint16_t> field_le16(std::span<const uint8_t> rec, size_t off)
{
    if (off > rec.size() || rec.size() - off < 2)
        return std::nullopt;
    return load_le16(rec.data() + off);
}
inline std::optional<uint32_t> field_le32(std::span<const uint8_t> rec, size_t off)
{
    if (off > rec.size() || rec.size() - off < 4)
        return std::nullopt;
    return load_le32(rec.data() + off);
}

// A cursor over a byte span.
class ByteCursor {
public:
    explicit ByteCursor(std::span<const uint8_t> bytes, size_t pos = 0) : bytes_(bytes), pos_(pos) {}

    size_t pos() const { return pos_; }
    size_t size() const { return bytes_.size(); }
    size_t remaining() const { return pos_ <= bytes_.size() ? bytes_.size() - pos_ : 0; }
    bool seek(size_t pos)
    {
        if (pos > bytes_.size())
            return false;
        pos_ = pos;
        return true;
    }
    bool skip(size_t n)
    {
        if (n > remaining())
            return false;
        pos_ += n;
        return true;
    }
    bool u8(uint8_t& v)
    {
        if (remaining() < 1)
            return false;
        v = bytes_[pos_++];
        return true;
    }
    bool le16(uint16_t& v)
    {
        if (remaining() < 2)
            return false;
        v = load_le16(bytes_.data() + pos_);
        pos_ += 2;
        return true;
    }
    bool le32(uint32_t& v)
    {
        if (remaining() < 4)
            return false;
        v = load_le32(bytes_.data() + pos_);
        pos_ += 4;
        return true;
    }
    bool le64(uint64_t& v)
    {
        if (remaining() < 8)
            return false;
        v = load_le64(bytes_.data() + pos_);
        pos_ += 8;
        return true;
    }
    // n raw bytes; false (cursor unmoved) when fewer remain.
    bool bytes(size_t n, std::span<const uint8_t>& out)
    {
        if (n > remaining())
            return false;
        out = bytes_.subspan(pos_, n);
        pos_ += n;
        return true;
    }
    // Bytes up to (not including) the next zero byte, at most max_len of them;
    // the zero is consumed. False when no zero byte comes within max_len bytes
    // or before the end.
    bool zstring(size_t max_len, std::span<const uint8_t>& out)
    {
        const size_t limit = remaining() < max_len + 1 ? remaining() : max_len + 1;
        for (size_t i = 0; i < limit; ++i) {
            if (bytes_[pos_ + i] == 0) {
                out = bytes_.subspan(pos_, i);
                pos_ += i + 1;
                return true;
            }
        }
        return false;
    }

private:
    std::span<const uint8_t> bytes_;
    size_t pos_;
};

inline std::string bytes_to_string(std::span<const uint8_t> b)
{
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

} // namespace velmora

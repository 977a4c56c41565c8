// A byte range of an archive file as a decoder's input: reads by position
// straight into the decoder's buffer, and ends at the range's end (or where
// the file ends, whichever comes first).
#pragma once

#include "archive/BinaryFile.h"
#include "codecs/ByteStream.h"

#include <algorithm>
#include <cstdint>

namespace velmora {

class FileRangeSource final : public ByteSource {
public:
    FileRangeSource(const BinaryFile& file, uint64_t offset, uint64_t length)
        : file_(file), pos_(offset), end_(offset + std::min(length, UINT64_MAX - offset))
    {
    }

    size_t read(std::span<uint8_t> out) override
    {
        const uint64_t left = end_ - pos_;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(out.size(), left));
        if (want == 0)
            return 0;
        const size_t got = file_.read_at(pos_, out.first(want));
        pos_ += got;
        if (got < want)
            end_ = pos_; // the file ended early: nothing more comes
        return got;
    }

    uint64_t position() const { return pos_; }
    uint64_t remaining() const { return end_ - pos_; }
    void seek(uint64_t offset, uint64_t length)
    {
        pos_ = offset;
        end_ = offset + std::min(length, UINT64_MAX - offset);
    }

private:
    const BinaryFile& file_;
    uint64_t pos_;
    uint64_t end_;
};

} // namespace velmora

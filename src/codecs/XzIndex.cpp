// The stated uncompressed size of an .xz file, from the stream footers and
// indexes at the end of each stream, decoded by liblzma.
#include "codecs/XzIndex.h"

#include <lzma.h>

#include <array>
#include <vector>

namespace velmora {

namespace {

// Stream Footer: CRC32(4) Backward Size(4) Stream Flags(2) "YZ"(2)
static_assert(LZMA_STREAM_HEADER_SIZE == 12);
constexpr uint64_t footer_size = LZMA_STREAM_HEADER_SIZE;
// Stream Padding comes in groups of four zero bytes; more than this much of
// it is not a real file.
constexpr uint64_t max_padding = uint64_t{1} << 20;

} // namespace

std::optional<uint64_t> xz_uncompressed_size(const std::function<size_t(uint64_t, std::span<uint8_t>)>& read_at,
                                             uint64_t file_size, uint64_t max_index_bytes)
{
    uint64_t pos = file_size;
    uint64_t total = 0;
    std::vector<uint8_t> index;
    bool any = false;
    while (pos > 0) {
        // Stream Padding after (or between) streams.
        const uint64_t padding_end = pos;
        for (;;) {
            std::array<uint8_t, 4> group{};
            if (pos < group.size() || read_at(pos - group.size(), group) != group.size())
                return std::nullopt;
            if (group != std::array<uint8_t, 4>{})
                break;
            pos -= group.size();
            if (padding_end - pos > max_padding)
                return std::nullopt;
        }
        if (pos < 2 * footer_size)
            return std::nullopt;
        std::array<uint8_t, footer_size> footer{};
        if (read_at(pos - footer_size, footer) != footer.size())
            return std::nullopt;
        lzma_stream_flags flags{};
        if (lzma_stream_footer_decode(&flags, footer.data()) != LZMA_OK)
            return std::nullopt;
        const uint64_t index_size = flags.backward_size;
        if (index_size > max_index_bytes || index_size > pos - 2 * footer_size)
            return std::nullopt;
        index.resize(static_cast<size_t>(index_size));
        if (read_at(pos - footer_size - index_size, index) != index.size())
            return std::nullopt;

        lzma_index* decoded = nullptr;
        uint64_t memlimit = max_index_bytes * 4;
        size_t in_pos = 0;
        if (lzma_index_buffer_decode(&decoded, &memlimit, nullptr, index.data(), &in_pos, index.size()) != LZMA_OK)
            return std::nullopt;
        const uint64_t stream_size = lzma_index_stream_size(decoded);
        const uint64_t size = lzma_index_uncompressed_size(decoded);
        lzma_index_end(decoded, nullptr);
        if (stream_size > pos || size > UINT64_MAX - total)
            return std::nullopt;
        total += size;
        pos -= stream_size;
        any = true;
    }
    return any ? std::optional<uint64_t>(total) : std::nullopt;
}

} // namespace velmora

// ZIP LZMA: the header of APPNOTE 5.8.8 is read here, the LZMA1 data goes to liblzma.
#include "codecs/LzmaDecoder.h"

#include <array>

#include "codecs/StreamBuffers.h"

namespace velmora {

// ZIP LZMA header: major(1) minor(1) props_size(2, little-endian, = 5) props(5)
DecodeStatus LzmaDecoder::decode(ByteSource& in, ByteSink& out, uint64_t size, bool end_marker)
{
    constexpr size_t header_size = 4;
    constexpr size_t props_size = 5;
    std::array<uint8_t, header_size + props_size> header{};
    const size_t got = read_fully(in, header);
    if (got < header.size()) return DecodeStatus::truncated;
    if ((header[2] | header[3] << 8) != props_size) return DecodeStatus::data_error;
    const std::span<const uint8_t, props_size> props(header.data() + header_size, props_size);
    return end_marker ? stream_.decode_raw_lzma1(in, out, props, LiblzmaStream::unknown_size, size, memlimit_)
                      : stream_.decode_raw_lzma1(in, out, props, size, size, memlimit_);
}

} // namespace velmora

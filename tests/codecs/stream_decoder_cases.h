// The single-file decoders as test cases: how the real tool compresses a
// file, how it decompresses one (the oracle for hostile inputs), and one
// decoder object per case that every test reuses, so that leftovers from one
// stream would show up in the next.
#pragma once

#include "codecs/Bzip2Decoder.h"
#include "codecs/LzmaAloneDecoder.h"
#include "codecs/UnixCompressDecoder.h"
#include "codecs/XzDecoder.h"
#include "codecs/ZstdDecoder.h"
#include "support/CodecTestSupport.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velmora::test {

struct StreamDecoderCase {
    std::string name;
    std::string tool;       // the program that must be installed
    std::string compress;   // command writing the compressed form of {in} to standard output
    std::string decompress; // the tool's own decompression of {in}
    bool ends_itself;       // the stream marks its end: a cut one is an error
    bool checked;           // a check value covers the data: damage is an error
    std::function<DecodeStatus(ByteSource&, ByteSink&, uint64_t)> decode;
};

inline std::ostream& operator<<(std::ostream& os, const StreamDecoderCase& c) { return os << c.name; }

template <typename Decoder, typename... Args>
std::function<DecodeStatus(ByteSource&, ByteSink&, uint64_t)> shared_decoder(Args... args)
{
    auto d = std::make_shared<Decoder>(args...);
    return [d](ByteSource& in, ByteSink& out, uint64_t limit) { return d->decode(in, out, limit); };
}

inline const std::vector<StreamDecoderCase>& stream_decoder_cases()
{
    static const std::vector<StreamDecoderCase> cases = {
        {"xz", "xz", "xz -6 -c {in}", "xz -d -c {in}", true, true, shared_decoder<XzDecoder>()},
        {"xz_sha256_x86", "xz", "xz -c --check=sha256 --x86 --lzma2=preset=1 {in}", "xz -d -c {in}", true, true,
         shared_decoder<XzDecoder>()},
        {"lzma", "xz", "xz --format=lzma -c {in}", "xz --format=lzma -d -c {in}", true, false,
         shared_decoder<LzmaAloneDecoder>()},
        {"bzip2", "bzip2", "bzip2 -9 -c {in}", "bzip2 -d -c {in}", true, true, shared_decoder<Bzip2Decoder>()},
        {"bzip2_100k", "bzip2", "bzip2 -1 -c {in}", "bzip2 -d -c {in}", true, true, shared_decoder<Bzip2Decoder>()},
        {"zstd", "zstd", "zstd -q -15 -c {in}", "zstd -q -d -c {in}", true, true, shared_decoder<ZstdDecoder>()},
        {"zstd_no_check", "zstd", "zstd -q -3 --no-check -c {in}", "zstd -q -d -c {in}", true, false,
         shared_decoder<ZstdDecoder>()},
        {"compress", "compress", "compress -c {in}", "uncompress -c {in}", false, false,
         shared_decoder<UnixCompressDecoder>()},
    };
    return cases;
}

// Decodes all of data (in pieces of at most `piece` bytes) into a vector.
inline DecodeStatus decode_all(const StreamDecoderCase& c, std::span<const uint8_t> data, std::vector<uint8_t>& out,
                               size_t piece = SIZE_MAX, uint64_t limit = UINT64_MAX)
{
    out.clear();
    chunked_source in(data, piece);
    VectorSink sink(out);
    return c.decode(in, sink, limit);
}

} // namespace velmora::test

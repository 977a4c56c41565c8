// The reader of single compressed files: .xz/.txz (xz file format), .lzma/.tlz
// (LZMA_Alone), .bz2/.tbz/.tbz2 (bzip2), .zst/.tzst (Zstandard, RFC 8878) and
// .Z/.taz (Unix compress). Like a gzip file, each is shown as an archive of
// one member named after the file (a tarball's member is the .tar); listing
// reads the header only (and an .xz file's indexes), extraction streams.
#pragma once

#include "archive/ReaderBase.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace velmora {

class BinaryFile;
class Bzip2Decoder;
class ExtractionRun;
class OutputFile;
class LzmaAloneDecoder;
class UnixCompressDecoder;
class XzDecoder;
class ZstdDecoder;

enum class CompressedFormat : uint8_t { xz, lzma, bzip2, zstd, compress };

// The bytes a file of the format must start with: its magic number (an
// .lzma file has none; its 13-byte header must hold plausible values).
// by_name: the file's name already says .lzma/.tlz, so any properties byte
// that is valid will do; otherwise the dictionary size and the size field
// must be values that LZMA encoders write.
bool compressed_header_matches(CompressedFormat format, std::span<const uint8_t> head, bool by_name);

// The format of a file: by its first bytes, else by its name's ending (any
// case); nullopt when neither names one.
std::optional<CompressedFormat> detect_compressed_file(const std::string& ZipName);

// The member's name: the archive's file name without the format's ending
// (.txz, .tlz, .tbz, .tbz2, .tzst and .taz giving .tar); a name without one
// of them gets ".out" appended.
std::string DeriveCompressedName(const std::string& ZipName, CompressedFormat format);

class Cls_Compressed final : public ReaderBase {
public:
    Cls_Compressed(ArchiveState& state, CompressedFormat format);
    ~Cls_Compressed() override;

    int16_t Get_Contents(const std::string& ZipName) override;
    int16_t UnPack(Selection& ZippedFile, std::string& ToPath) override;
    bool CanUnpack() override { return true; }

    CompressedFormat format() const { return format_; }

private:
    void extract_member(const BinaryFile& file, ExtractionRun& run, OutputFile& out);

    CompressedFormat format_;
    std::string name_;
    int64_t stamp_ = 0;            // the archive file's own modification time
    std::optional<uint64_t> size_; // the uncompressed size, where the container states it

    // Made at first use and kept (tables and windows allocated once).
    std::unique_ptr<XzDecoder> xz_;
    std::unique_ptr<LzmaAloneDecoder> lzma_;
    std::unique_ptr<Bzip2Decoder> bzip2_;
    std::unique_ptr<ZstdDecoder> zstd_;
    std::unique_ptr<UnixCompressDecoder> compress_;
};

} // namespace velmora

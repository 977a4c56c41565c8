// Extracts every file of a RAR 5 archive (one or more volumes) in memory with
// our header walk and decoder, for the decoder tests, the fuzz targets' seeds
// and the benchmarks: split files are joined across volumes, solid entries
// decode in order, each result is checked against its CRC-32 or BLAKE2sp.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/Cls_CRC32.h"
#include "codecs/Blake2sp.h"
#include "codecs/Rar5Decoder.h"
#include "formats/catalogue/Rar5Headers.h"
#include "support/TestSupport.h"

namespace velmora::test {

// Reads the spans one after another, at most `piece` bytes a read.
class JoinedSource final : public ByteSource {
public:
    explicit JoinedSource(std::vector<std::span<const uint8_t>> parts, size_t piece = SIZE_MAX)
        : parts_(std::move(parts)), piece_(piece)
    {
    }
    size_t read(std::span<uint8_t> out) override
    {
        while (part_ < parts_.size() && parts_[part_].empty())
            ++part_;
        if (part_ == parts_.size())
            return 0;
        const size_t n = std::min({out.size(), parts_[part_].size(), piece_});
        std::copy_n(parts_[part_].begin(), n, out.begin());
        parts_[part_] = parts_[part_].subspan(n);
        return n;
    }

private:
    std::vector<std::span<const uint8_t>> parts_;
    size_t piece_;
    size_t part_ = 0;
};

struct rar5_extracted {
    std::string name;
    size_t index = 0;            // lsar's numbering: file records of the first volume on, a split file once
    DecodeStatus status = DecodeStatus::ok;
    std::vector<uint8_t> bytes;
    bool checksum_ok = false;    // the stored CRC-32 or BLAKE2sp matches
    bool compressed = false;
    Rar5Decoder::stream_stats stats;
};

struct rar5_volume {
    std::vector<uint8_t> bytes;
    rar5::listing listing;
};

inline std::vector<rar5_volume> load_rar5_volumes(const std::vector<std::filesystem::path>& paths)
{
    std::vector<rar5_volume> v;
    for (const auto& p : paths) {
        rar5_volume vol;
        vol.bytes = read_file(p);
        vol.listing = rar5::read_headers(vol.bytes);
        v.push_back(std::move(vol));
    }
    return v;
}

inline bool rar5_checksum_matches(const rar5::record& r, std::span<const uint8_t> bytes)
{
    if (r.blake2sp)
        return blake2sp(bytes) == *r.blake2sp;
    if (r.crc32)
        return crc32_update(0, bytes) == *r.crc32;
    return false;
}

// Decodes the files (not folders, links without data, encrypted files or
// service headers) in archive order with one decoder, the input given to it
// at most `piece` bytes a read.
inline std::vector<rar5_extracted> rar5_extract(const std::vector<rar5_volume>& volumes, size_t piece = SIZE_MAX)
{
    std::vector<rar5_extracted> out;
    Rar5Decoder dec;
    size_t index = 0;
    for (size_t v = 0; v < volumes.size(); ++v) {
        const auto& recs = volumes[v].listing.records;
        for (size_t i = 0; i < recs.size(); ++i) {
            const rar5::record& first = recs[i];
            if (first.is_service() || first.split_before())
                continue;
            const size_t this_index = index++;
            if (first.is_dir() || first.encrypted() || (first.redirection && first.data_size == 0))
                continue;
            // Gather the parts of a file split over volumes.
            std::vector<std::span<const uint8_t>> parts{
                std::span<const uint8_t>(volumes[v].bytes).subspan(first.data_offset, first.data_size)};
            const rar5::record* last = &first;
            for (size_t w = v + 1; last->split_after() && w < volumes.size(); ++w) {
                for (const auto& r : volumes[w].listing.records) {
                    if (!r.is_service() && r.split_before() && r.name == first.name) {
                        parts.push_back(std::span<const uint8_t>(volumes[w].bytes).subspan(r.data_offset, r.data_size));
                        last = &r;
                        break;
                    }
                }
            }
            rar5_extracted e;
            e.name = first.name;
            e.index = this_index;
            e.compressed = first.method() != 0;
            JoinedSource src(parts, piece);
            VectorSink sink(e.bytes);
            if (first.method() == 0) {
                std::vector<uint8_t> buf(1 << 16);
                for (size_t n; (n = src.read(buf)) > 0;)
                    sink.write(std::span<const uint8_t>(buf.data(), n));
            } else {
                dec.set_dictionary(first.dictionary_size(), first.extended_distances());
                e.status = dec.decode(src, sink, first.unpacked_size_unknown() ? Rar5Decoder::unknown_size : first.unpacked_size,
                                      first.solid());
                e.stats = dec.stats();
            }
            e.checksum_ok = rar5_checksum_matches(*last, e.bytes);
            out.push_back(std::move(e));
        }
    }
    return out;
}

} // namespace velmora::test

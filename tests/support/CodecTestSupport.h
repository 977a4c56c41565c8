// Helpers for the codec tests: hex text, reproducible test data, sources that
// hand out input in small pieces, sinks that refuse after a while, running a
// command-line compressor over a buffer, and the first entry of a ZIP file.
#pragma once

#include "codecs/ByteStream.h"
#include "StreamTestSupport.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <iterator>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::test {
// Its own inline namespace: other helper headers define types of the same
// names, and one test program may link both.
inline namespace codec_test_support {

// Hex digits to bytes; spaces between them are ignored.
inline std::vector<uint8_t> from_hex(std::string_view hex)
{
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    std::string digits;
    std::copy_if(hex.begin(), hex.end(), std::back_inserter(digits), [](char c) { return c != ' '; });
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(nibble(digits[i]) << 4 | nibble(digits[i + 1])));
    return out;
}

inline std::string to_hex(std::span<const uint8_t> bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

inline std::vector<uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

// Data that compressors treat differently: text made of a small word list
// (long matches), random bytes (no matches), runs of one byte, and stretches
// that repeat what came shortly before. Same seed, same bytes.
inline std::vector<uint8_t> mixed_data(size_t size, uint32_t seed)
{
    static constexpr std::string_view words[] = {"archive ", "entry ",   "stream ", "window ", "the ",  "of ",
                                                 "block ",   "header\n", "data ",   "and ",    "code ", "1994 "};
    std::mt19937 rng(seed);
    std::vector<uint8_t> out;
    out.reserve(size);
    while (out.size() < size) {
        const size_t n = 16 + rng() % 2048;
        switch (rng() % 5) {
        case 0:
            for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(rng()));
            break;
        case 1: out.insert(out.end(), n, static_cast<uint8_t>(rng())); break;
        case 2:
            if (out.size() > n) {
                const size_t from = out.size() - n - rng() % std::min<size_t>(out.size() - n, 30000);
                for (size_t i = 0; i < n; ++i) out.push_back(out[from + i]);
                break;
            }
            [[fallthrough]];
        default:
            for (size_t i = 0; i < n / 4; ++i) {
                const auto w = words[rng() % std::size(words)];
                out.insert(out.end(), w.begin(), w.end());
            }
        }
    }
    out.resize(size);
    return out;
}

// Writes data to a file in dir, runs `command` with {in} replaced by that
// file's quoted path, and returns what the command wrote to standard output
// (nullopt when it failed).
inline std::optional<std::vector<uint8_t>> run_filter(const TempDir& dir, std::string command,
                                                      std::span<const uint8_t> data, const std::string& name = "in")
{
    const auto in = dir / name;
    write_file(in, std::vector<uint8_t>(data.begin(), data.end()));
    const auto out = dir / (name + ".out");
    for (size_t p; (p = command.find("{in}")) != std::string::npos;) command.replace(p, 4, shell_quote(in.string()));
    if (run_command(command + " > " + shell_quote(out.string()) + " 2>/dev/null") != 0) return std::nullopt;
    return read_file(out);
}

// The first local entry of a ZIP file: what follows its local header.
struct ZipLocalEntry {
    uint16_t flags = 0;
    uint16_t method = 0;
    uint32_t crc32 = 0;
    uint64_t uncompressed_size = 0;
    std::vector<uint8_t> extra;
    std::vector<uint8_t> data; // the stored bytes (encryption header and all)
};

// Local file header: sig(4) ver(2) flags(2) method(2) time(2) date(2) crc(4) csize(4) usize(4) nlen(2) xlen(2)
// Sizes come from the local header, so the file must have been written with them there.
inline std::optional<ZipLocalEntry> first_zip_entry(std::span<const uint8_t> zip)
{
    auto le16 = [&](size_t o) { return static_cast<uint16_t>(zip[o] | zip[o + 1] << 8); };
    auto le32 = [&](size_t o) { return static_cast<uint32_t>(le16(o) | uint32_t{le16(o + 2)} << 16); };
    if (zip.size() < 30 || le32(0) != 0x04034B50) return std::nullopt;
    ZipLocalEntry e;
    e.flags = le16(6);
    e.method = le16(8);
    e.crc32 = le32(14);
    const uint32_t csize = le32(18);
    e.uncompressed_size = le32(22);
    const size_t name_end = 30 + size_t{le16(26)};
    const size_t extra_end = name_end + le16(28);
    if (extra_end + csize > zip.size()) return std::nullopt;
    e.extra.assign(zip.begin() + name_end, zip.begin() + extra_end);
    e.data.assign(zip.begin() + extra_end, zip.begin() + extra_end + csize);
    return e;
}

} // namespace codec_test_support
} // namespace velmora::test

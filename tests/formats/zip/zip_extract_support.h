// Helpers for the ZIP extraction tests: raw deflate streams made with zlib,
// on top of the shared extraction helpers.
#pragma once

#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"
#include "support/Extraction.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace velmora::test {

using ZipExtraction = Extraction;

// Writes bytes to dir/name and returns the path.
inline std::filesystem::path save_zip(const TempDir& dir, const std::string& name, const std::vector<uint8_t>& bytes)
{
    const auto p = dir / name;
    write_file(p, bytes);
    return p;
}

// A raw deflate stream (no zlib header) of text, as ZIP method 8 stores it.
inline std::string raw_deflate(const std::string& text, int level = 9)
{
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

} // namespace velmora::test

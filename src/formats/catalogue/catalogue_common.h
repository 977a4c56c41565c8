// Pieces shared by the catalogue readers' walks (RAR, CAB, ARJ, LZH/LHA,
// ARC): the text length limit, header positions, the entry count and the
// version text. Their extraction is CatalogueUnpack.
#pragma once

#include "archive/ArchiveState.h"
#include "archive/ReaderBase.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora::catalogue {

// Longest zero-terminated text a walk accepts (the RAR reader's limit); one
// byte more without a terminating zero is an overflow.
inline constexpr size_t max_text_length = 32740;

// The failure a listing walk hands to its caller (src/archive/ReaderBase.h).
using velmora::walk_error;

// A header position `delta` bytes on from `from`. Positions are 1-based
// signed 32-bit numbers in these readers: one before the start of the file or
// past 2 GiB cannot be reached, and the walk stops there.
inline int64_t checked_position(int64_t from, int64_t delta, const char* format)
{
    const int64_t to = from + delta;
    if (to <= 0 || to > INT32_MAX)
        throw walk_error((std::string(format) + " header position out of range").c_str());
    return to;
}

// One more entry for PackTotFiles; an entry beyond its signed 32-bit range is
// an overflow.
inline void count_entry(ArchiveState& state)
{
    if (state.PackTotFiles == INT32_MAX)
        throw walk_error("entry count overflow");
    ++state.PackTotFiles;
}

// "major.minor" as plain decimal numbers.
inline std::string version_text(unsigned major, unsigned minor)
{
    return std::to_string(major) + "." + std::to_string(minor);
}

} // namespace velmora::catalogue

// Pieces shared by the catalogue readers (RAR, CAB, ARJ, LZH/LHA, ARC): the
// text length limit, the entry count, the extraction that extracts nothing,
// and the version text.
// CAB, ARJ, LZH/LHA and ARC are listed only; the RAR reader also extracts
// (Cls_Rar_unpack.cpp).
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

// UnPack of a listing-only reader: writes nothing, whatever is selected.
inline int16_t unpack_nothing(ArchiveState& state)
{
    state.PackData.clear();
    state.PackData.shrink_to_fit();
    return 0;
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

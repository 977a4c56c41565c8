// Pieces shared by the listing-only readers (RAR, CAB, ARJ, LZH/LHA, ARC): the
// entry-number check, the reset at the start of a listing, the extraction that
// extracts nothing, and the failure a listing walk hands to its caller.
// These readers list archives; none of them decodes or writes entry data.
#pragma once

#include "archive/ArchiveState.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora::catalogue {

// Longest zero-terminated text a walk accepts (the RAR reader's limit); one
// byte more without a terminating zero is an overflow.
inline constexpr size_t max_text_length = 32740;

// A failure inside a listing walk that ends Get_Contents and is handed to the
// caller (the dispatcher traps it and keeps the shared state as far as the
// walk got). Thrown only by Get_Contents, never by a property.
class walk_error : public std::runtime_error {
public:
    explicit walk_error(const char* what) : std::runtime_error(what) {}
};

// True for entry number 0, a number beyond PackTotFiles, or nothing loaded.
// Negative numbers pass; entry_at() then finds no entry for them.
inline bool InvalidFileNum(const ArchiveState& state, int32_t FileNum)
{
    return FileNum == 0 || FileNum > state.PackTotFiles || state.PackFileType == format_code::none;
}

// Entry FileNum of a table whose element 0 is the unused entry; null when the
// number lies outside the table.
template <typename Entry>
const Entry* entry_at(const std::vector<Entry>& table, int32_t FileNum)
{
    if (FileNum < 0 || static_cast<size_t>(FileNum) >= table.size())
        return nullptr;
    return &table[static_cast<size_t>(FileNum)];
}

// The shared start of every Get_Contents: remember the path, forget the
// previous archive.
inline void start_listing(ArchiveState& state, const std::string& ZipName)
{
    state.PackFileName = ZipName;
    state.PackComments.clear();
    state.PackTotFiles = 0;
    state.PackFileType = format_code::none;
}

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

// Runs a property's lookup; a failure (a negative number that finds no
// entry) gives the property's empty value instead of escaping the member.
template <typename Result, typename Fn>
Result guarded(Fn fn)
{
    try {
        return fn();
    } catch (...) {
        return Result{};
    }
}

// "major.minor" as plain decimal numbers.
inline std::string version_text(unsigned major, unsigned minor)
{
    return std::to_string(major) + "." + std::to_string(minor);
}

} // namespace velmora::catalogue

// The folders of one extraction run: opened once, component by component from
// the output folder without following symbolic links, and kept open so each
// file costs one open, write, time stamp, close and rename. Also the pieces of
// path handling that the output routines share. POSIX only.
#pragma once

#include "archive/ArchiveState.h"
#include "archive/DateTime.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace velmora {

struct OutputFolderCache {
    OutputFolderCache() = default;
    OutputFolderCache(const OutputFolderCache&) = delete;
    OutputFolderCache& operator=(const OutputFolderCache&) = delete;
    ~OutputFolderCache() { close_all(); }

    void close_all();

    // Folder root/rel, created with its chain when missing; -1 on failure or
    // when a component below root is not a real folder (a symbolic link is
    // never followed below root). Descriptors are O_PATH, so a folder the
    // user may write but not list works. The descriptor stays owned by the
    // cache and is valid until the next call.
    int open_folder(ArchiveState& state, const std::string& root, std::string_view rel);

    // Unix time of a local date-time. Days without a change of UTC offset
    // are converted once and then by arithmetic, sparing mktime's look at
    // the zone file for every file.
    int64_t local_unix_time(const DateTime& d);

private:
    void insert(std::string key, int fd);

    std::unordered_map<std::string, int> folders_;
    std::unordered_map<int64_t, int64_t> day_offsets_; // yyyymmdd -> UTC offset of that local day
    std::unordered_map<int64_t, bool> day_has_change_; // yyyymmdd -> the offset changes during the day
};

namespace output_detail {

// The run's folder cache, or `local` outside a run.
OutputFolderCache& cache_of(ArchiveState& state, OutputFolderCache& local);

// The output folder as given, without trailing "/" ("/" stays "/"). A "\"
// in it is part of a folder name on this system, never a separator.
std::string root_folder(const std::string& ToPath);

// Appends "/" to the output folder unless it ends in one.
void append_separator(ArchiveState& state, std::string& ToPath);

// A cleaned relative path split into its folder ("" for none) and last name.
std::pair<std::string_view, std::string> split_leaf(std::string_view rel);

// A path past PATH_MAX cannot be opened by name by any other program.
bool too_long(const std::string& ToPath, const std::string& rel);

// Creates ".<leaf>.velmora-XXXXXX" beside the target; its name goes to temp.
int create_temp_file(int folder_fd, const std::string& leaf, unsigned mode, std::string& temp);
// A fresh temporary name beside the target, for links.
std::string temp_name(const std::string& leaf);

bool write_all(int fd, std::span<const uint8_t> data);

// Sets the modification time of an open file from a stamp (access time now).
void stamp_file(int fd, const FileStamp& stamp, OutputFolderCache& cache);
// The same from a Unix time (negative: before 1970).
void stamp_file(int fd, int64_t seconds, uint32_t nanoseconds);

// Renames the finished temporary file over `leaf`. Checked data replaces an
// existing file when overwriting is on; otherwise (or for data that failed
// its checks) an existing file is kept and the result is 1. 0 when in place,
// -1 on failure. The temporary file is removed unless it was put in place.
int put_in_place(int folder_fd, const std::string& temp, const std::string& leaf, bool checked, bool overwrite);

} // namespace output_detail

} // namespace velmora

// Folder descriptors of an extraction run and the shared path pieces of the
// output routines.
#include "archive/OutputFolders.h"

#include "archive/Mod_DiskIO.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {

// O_PATH: the folder is only ever a starting point for *at calls, so one the
// user may write into but not list (mode 0733) works.
constexpr int root_open_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
constexpr int folder_open_flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t new_folder_mode = 0777; // the umask decides, as for mkdir(1)

// Past this many open folders the cache starts again; keeps well inside the
// usual limit of 1024 descriptors.
constexpr size_t max_cached_folders = 256;

// A file name is at most 255 bytes; the temporary name adds "." in front and
// ".velmora-XXXXXX" behind.
constexpr size_t name_max = 255;
constexpr std::string_view temp_marker = ".velmora-";
constexpr size_t temp_random_chars = 6;
constexpr size_t temp_leaf_max = name_max - 1 - temp_marker.size() - temp_random_chars;

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d)
{
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The fields read as if they were UTC.
int64_t fields_as_utc(const DateTime& d)
{
    return days_from_civil(d.year, d.month, d.day) * 86400 + int64_t{d.hour} * 3600 + int64_t{d.minute} * 60
           + d.second;
}

std::string random_suffix()
{
    static constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static thread_local std::mt19937_64 rng{std::random_device{}() ^ static_cast<uint64_t>(getpid())};
    std::string s(temp_random_chars, 'a');
    uint64_t v = rng();
    for (auto& c : s) {
        c = alphabet[v % (sizeof alphabet - 1)];
        v /= sizeof alphabet - 1;
    }
    return s;
}

} // namespace

// Local date-time to Unix time through the local time zone; the zone decides
// whether summer time applies.
int64_t local_to_unix(const DateTime& d)
{
    std::tm tm{};
    tm.tm_year = d.year - 1900;
    tm.tm_mon = d.month - 1;
    tm.tm_mday = d.day;
    tm.tm_hour = d.hour;
    tm.tm_min = d.minute;
    tm.tm_sec = d.second;
    tm.tm_isdst = -1;
    tm.tm_wday = -1; // mktime fills it on success; -1 is also a valid time
    const std::time_t t = std::mktime(&tm);
    // The fields read as UTC are the best left for a time the zone cannot place.
    if (tm.tm_wday < 0)
        return fields_as_utc(d);
    return static_cast<int64_t>(t);
}

void OutputFolderCache::close_all()
{
    for (const auto& [key, fd] : folders_)
        ::close(fd);
    folders_.clear();
}

// Takes ownership of fd. The cache starts again when full; a descriptor
// handed out earlier is only used before the next insert.
void OutputFolderCache::insert(std::string key, int fd)
{
    if (folders_.size() >= max_cached_folders)
        close_all();
    folders_.emplace(std::move(key), fd);
}

int OutputFolderCache::open_folder(ArchiveState& state, const std::string& root, std::string_view rel)
{
    std::string key = root;
    key += '\0';
    key += rel;
    if (const auto it = folders_.find(key); it != folders_.end())
        return it->second;

    int fd = -1;
    if (rel.empty()) {
        // The output folder itself is the user's choice; links in it are followed.
        fd = ::open(root.c_str(), root_open_flags);
        if (fd < 0 && errno == ENOENT && MakeFolderChain(state, root))
            fd = ::open(root.c_str(), root_open_flags);
    } else {
        const size_t slash = rel.rfind('/');
        const std::string_view parent = slash == std::string_view::npos ? std::string_view{} : rel.substr(0, slash);
        const std::string name(slash == std::string_view::npos ? rel : rel.substr(slash + 1));
        const int parent_fd = open_folder(state, root, parent);
        if (parent_fd < 0)
            return -1;
        fd = ::openat(parent_fd, name.c_str(), folder_open_flags);
        if (fd < 0 && errno == ENOENT) {
            // Another process may create it meanwhile; the open decides.
            if (::mkdirat(parent_fd, name.c_str(), new_folder_mode) == 0 || errno == EEXIST)
                fd = ::openat(parent_fd, name.c_str(), folder_open_flags);
        }
    }
    if (fd < 0)
        return -1;
    insert(std::move(key), fd);
    return fd;
}

int64_t OutputFolderCache::local_unix_time(const DateTime& d)
{
    const int64_t day = int64_t{d.year} * 10000 + d.month * 100 + d.day;
    if (day_has_change_.find(day) == day_has_change_.end()) {
        const DateTime first{d.year, d.month, d.day, 0, 0, 0};
        const DateTime last{d.year, d.month, d.day, 23, 59, 59};
        const int64_t offset_first = local_to_unix(first) - fields_as_utc(first);
        const int64_t offset_last = local_to_unix(last) - fields_as_utc(last);
        day_has_change_[day] = offset_first != offset_last;
        day_offsets_[day] = offset_first;
    }
    if (day_has_change_[day])
        return local_to_unix(d);
    return fields_as_utc(d) + day_offsets_[day];
}

namespace output_detail {

OutputFolderCache& cache_of(ArchiveState& state, OutputFolderCache& local)
{
    return state.output_cache ? *state.output_cache : local;
}

std::string root_folder(const std::string& ToPath)
{
    std::string root = ToPath;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

void append_separator(ArchiveState& state, std::string& ToPath)
{
    if (state.PathSeparator.empty())
        state.PathSeparator = DetectPathSeparator();
    if (ToPath.empty() || ToPath.back() != '/')
        ToPath += '/';
}

std::pair<std::string_view, std::string> split_leaf(std::string_view rel)
{
    const size_t slash = rel.rfind('/');
    if (slash == std::string_view::npos)
        return {{}, std::string(rel)};
    return {rel.substr(0, slash), std::string(rel.substr(slash + 1))};
}

bool too_long(const std::string& ToPath, const std::string& rel) { return ToPath.size() + rel.size() >= PATH_MAX; }

std::string temp_name(const std::string& leaf)
{
    std::string temp(1, '.');
    temp.append(leaf, 0, std::min(leaf.size(), temp_leaf_max));
    temp += temp_marker;
    temp += random_suffix();
    return temp;
}

int create_temp_file(int folder_fd, const std::string& leaf, unsigned mode, std::string& temp)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = temp_name(leaf);
        const int fd = ::openat(folder_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                static_cast<mode_t>(mode));
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool write_all(int fd, std::span<const uint8_t> data)
{
    constexpr size_t max_chunk = size_t{1} << 30; // below the kernel's 2 GiB cap per call
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), std::min(data.size(), max_chunk));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return false;
        data = data.subspan(static_cast<size_t>(n));
    }
    return true;
}

void stamp_file(int fd, const FileStamp& stamp, OutputFolderCache& cache)
{
    switch (stamp.kind) {
    case FileStamp::Kind::none:
        return;
    case FileStamp::Kind::dos:
        stamp_file(fd, cache.local_unix_time(DosDateTimeToDate(stamp.dos_date, stamp.dos_time)), 0);
        return;
    case FileStamp::Kind::unix_time:
        stamp_file(fd, stamp.seconds, stamp.nanoseconds);
        return;
    }
}

void stamp_file(int fd, int64_t seconds, uint32_t nanoseconds)
{
    timespec times[2]{};
    times[0].tv_nsec = UTIME_NOW;
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = static_cast<long>(nanoseconds);
    ::futimens(fd, times); // a file without its time is still the file
}

int put_in_place(int folder_fd, const std::string& temp, const std::string& leaf, bool checked, bool overwrite)
{
    int result = 0;
    if (checked && overwrite) {
        if (::renameat(folder_fd, temp.c_str(), folder_fd, leaf.c_str()) != 0)
            result = -1;
    } else if (::renameat2(folder_fd, temp.c_str(), folder_fd, leaf.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno == EEXIST) {
            result = 1; // the existing file stays as it was
        } else if (errno == EINVAL) {
            // A file system without RENAME_NOREPLACE: look, then rename.
            struct stat st{};
            if (::fstatat(folder_fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
                result = 1;
            else if (::renameat(folder_fd, temp.c_str(), folder_fd, leaf.c_str()) != 0)
                result = -1;
        } else {
            result = -1;
        }
    }
    if (result != 0)
        ::unlinkat(folder_fd, temp.c_str(), 0);
    return result;
}

} // namespace output_detail

} // namespace velmora

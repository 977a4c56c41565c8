// Output files and folders on POSIX systems. Entry names are cleaned and held
// inside the output folder; folders below it are opened one component at a
// time without following symbolic links, and files are written to a temporary
// name beside the target and renamed over it only once complete.
#include "archive/Mod_DiskIO.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <climits>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace velmora {

namespace {

constexpr int folder_open_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t new_folder_mode = 0777; // the umask decides, as for mkdir(1)
constexpr mode_t new_file_mode = 0666;
constexpr mode_t permission_bits = 0777; // rwx of user, group, other; never setuid, setgid, sticky
constexpr mode_t owner_read_write = 0600;

// Past this many open folders the cache starts again; keeps well inside the
// usual limit of 1024 descriptors.
constexpr size_t max_cached_folders = 256;

// A file name is at most 255 bytes; the temporary name adds "." in front and
// ".velmora-XXXXXX" behind.
constexpr size_t name_max = 255;
constexpr std::string_view temp_marker = ".velmora-";
constexpr size_t temp_random_chars = 6;
constexpr size_t temp_leaf_max = name_max - 1 - temp_marker.size() - temp_random_chars;

bool is_separator(char c) { return c == '/' || c == '\\'; }

void ensure_separator(ArchiveState& state)
{
    if (state.PathSeparator.empty())
        state.PathSeparator = DetectPathSeparator();
}

std::string current_folder()
{
    std::string buf(4096, '\0');
    while (!getcwd(buf.data(), buf.size())) {
        if (errno != ERANGE)
            return {};
        buf.resize(buf.size() * 2);
    }
    buf.resize(std::char_traits<char>::length(buf.c_str()));
    return buf;
}

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

DateTime now_local()
{
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
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

// The output folder as given, with "\" read as a separator and without a
// trailing separator ("/" stays "/").
std::string root_folder(const std::string& ToPath)
{
    std::string root = ToPath;
    for (auto& c : root)
        if (c == '\\')
            c = '/';
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

} // namespace

// Open folder descriptors by output folder and relative path, and the UTC
// offsets of local days already converted.
struct OutputFolderCache {
    std::unordered_map<std::string, int> folders;
    std::unordered_map<int64_t, int64_t> day_offsets;   // yyyymmdd -> UTC offset of that local day
    std::unordered_map<int64_t, bool> day_has_change;   // yyyymmdd -> the offset changes during the day

    OutputFolderCache() = default;
    OutputFolderCache(const OutputFolderCache&) = delete;
    OutputFolderCache& operator=(const OutputFolderCache&) = delete;
    ~OutputFolderCache() { close_all(); }

    void close_all()
    {
        for (const auto& [key, fd] : folders)
            ::close(fd);
        folders.clear();
    }

    // Takes ownership of fd. The cache starts again when full; a descriptor
    // handed out earlier is only used before the next insert.
    void insert(std::string key, int fd)
    {
        if (folders.size() >= max_cached_folders)
            close_all();
        folders.emplace(std::move(key), fd);
    }

    // Folder root/rel, created with its chain when missing; -1 on failure or
    // when a component is not a real folder (a symbolic link is never followed
    // below root). The descriptor stays owned by the cache.
    int open_folder(ArchiveState& state, const std::string& root, std::string_view rel)
    {
        std::string key = root;
        key += '\0';
        key += rel;
        if (const auto it = folders.find(key); it != folders.end())
            return it->second;

        int fd = -1;
        if (rel.empty()) {
            // The output folder itself is the user's choice; links in it are followed.
            fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0 && errno == ENOENT && MakeFolderChain(state, root))
                fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

    // Unix time of a local date-time. Days without a change of UTC
    // offset are converted once and then by arithmetic, sparing mktime's
    // look at the zone file for every file.
    int64_t local_unix_time(const DateTime& d)
    {
        const int64_t day = int64_t{d.year} * 10000 + d.month * 100 + d.day;
        if (day_has_change.find(day) == day_has_change.end()) {
            const DateTime first{d.year, d.month, d.day, 0, 0, 0};
            const DateTime last{d.year, d.month, d.day, 23, 59, 59};
            const int64_t offset_first = local_to_unix(first) - fields_as_utc(first);
            const int64_t offset_last = local_to_unix(last) - fields_as_utc(last);
            day_has_change[day] = offset_first != offset_last;
            day_offsets[day] = offset_first;
        }
        if (day_has_change[day])
            return local_to_unix(d);
        return fields_as_utc(d) + day_offsets[day];
    }
};

namespace {

// Creates ".<leaf>.velmora-XXXXXX" beside the target; its name goes to temp.
int create_temp_file(int folder_fd, const std::string& leaf, mode_t mode, std::string& temp)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp.assign(1, '.');
        temp.append(leaf, 0, std::min(leaf.size(), temp_leaf_max));
        temp += temp_marker;
        temp += random_suffix();
        const int fd = ::openat(folder_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Splits a cleaned relative path into its folder ("" for none) and last name.
std::pair<std::string_view, std::string> split_leaf(std::string_view rel)
{
    const size_t slash = rel.rfind('/');
    if (slash == std::string_view::npos)
        return {{}, std::string(rel)};
    return {rel.substr(0, slash), std::string(rel.substr(slash + 1))};
}

// A path past PATH_MAX cannot be opened by name by any other program; such
// names are refused before any folder is made, which also bounds the folder walk.
bool too_long(const std::string& ToPath, const std::string& rel) { return ToPath.size() + rel.size() >= PATH_MAX; }

void append_separator(ArchiveState& state, std::string& ToPath)
{
    ensure_separator(state);
    if (ToPath.empty() || !is_separator(ToPath.back()))
        ToPath += state.PathSeparator;
}

} // namespace

std::string DetectPathSeparator()
{
    // POSIX paths always hold "/"; the "\" rule serves a current folder
    // written in the other style only, never a folder name that contains "\".
    const std::string cwd = current_folder();
    return cwd.find('\\') != std::string::npos && cwd.find('/') == std::string::npos ? "\\" : "/";
}

bool SetFileDates(const std::string& Path, const DateTime& Created, const DateTime& Modified,
                  const DateTime& Accessed)
{
    (void)Created; // no settable creation time here
    timespec times[2]{};
    times[0].tv_sec = static_cast<time_t>(local_to_unix(Accessed));
    times[1].tv_sec = static_cast<time_t>(local_to_unix(Modified));
    return ::utimensat(AT_FDCWD, Path.c_str(), times, 0) == 0;
}

bool SetFileDosTime(const std::string& Path, int16_t DosDate, int16_t DosTime)
{
    const DateTime d = DosDateTimeToDate(DosDate, DosTime);
    return SetFileDates(Path, d, d, now_local());
}

std::string FolderOfPath(ArchiveState& state, std::string& Path)
{
    ensure_separator(state);
    const char sep = state.PathSeparator[0];
    for (auto& c : Path)
        if (is_separator(c))
            c = sep;
    std::string folder;
    if (const size_t last = Path.rfind(sep); last != std::string::npos)
        folder = Path.substr(0, last + 1);
    else
        folder = current_folder(); // no drives here, so "C:x" also means the current folder
    if (folder.empty() || folder.back() != sep)
        folder += sep;
    return folder;
}

bool MakeFolderChain(ArchiveState& state, const std::string& Path)
{
    ensure_separator(state);
    std::string chain = Path;
    for (auto& c : chain)
        if (is_separator(c))
            c = '/';
    if (chain.empty() || chain.back() != '/')
        chain += '/';
    struct stat st{};
    if (chain.size() > 1 && ::stat(chain.substr(0, chain.size() - 1).c_str(), &st) == 0)
        return true;
    if (chain.front() != '/') {
        const std::string cwd = current_folder();
        if (cwd.empty())
            return false;
        chain = cwd + "/" + chain;
    }
    // Create each missing folder by its absolute path; the current folder stays.
    for (size_t end = chain.find('/', 1); end != std::string::npos; end = chain.find('/', end + 1)) {
        if (chain[end - 1] == '/')
            continue; // "//"
        const std::string prefix = chain.substr(0, end);
        if (::mkdir(prefix.c_str(), new_folder_mode) == 0)
            continue;
        // It exists already, or cannot be made: only a real folder lets the chain go on.
        if (::stat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return false;
    }
    return true;
}

std::optional<std::string> contained_entry_path(std::string_view EntryName)
{
    // Leading separators and drive prefixes, in any mix ("/C:/x", "C:\\x", "\\\\x").
    for (;;) {
        if (!EntryName.empty() && is_separator(EntryName.front())) {
            EntryName.remove_prefix(1);
        } else if (EntryName.size() >= 2 && EntryName[1] == ':'
                   && ((EntryName[0] >= 'A' && EntryName[0] <= 'Z') || (EntryName[0] >= 'a' && EntryName[0] <= 'z'))) {
            EntryName.remove_prefix(2);
        } else {
            break;
        }
    }
    std::string clean;
    while (!EntryName.empty()) {
        size_t end = 0;
        while (end < EntryName.size() && !is_separator(EntryName[end]))
            ++end;
        const std::string_view segment = EntryName.substr(0, end);
        EntryName.remove_prefix(end < EntryName.size() ? end + 1 : end);
        if (segment.empty() || segment == ".")
            continue;
        // ".." climbs out; a NUL would cut the name short at the system call,
        // where "..\0x" becomes "..".
        if (segment == ".." || segment.find('\0') != std::string_view::npos)
            return std::nullopt;
        if (!clean.empty())
            clean += '/';
        clean += segment;
    }
    return clean;
}

int16_t WriteOutputFile(ArchiveState& state, const std::string& FileName, std::string& ToPath,
                        std::span<const uint8_t> Data, int16_t DosDate, int16_t DosTime, int32_t UnixMode)
{
    append_separator(state, ToPath);
    const auto rel = contained_entry_path(FileName);
    if (!rel)
        return write_unsafe_path;
    // An empty name is the output folder itself, and a trailing separator
    // names a folder: neither can be opened as a file.
    if (rel->empty() || is_separator(FileName.back()))
        return write_failed;

    if (too_long(ToPath, *rel))
        return write_failed;

    OutputFolderCache local;
    OutputFolderCache& cache = state.output_cache ? *state.output_cache : local;
    const auto [folder, leaf] = split_leaf(*rel);
    const int folder_fd = cache.open_folder(state, root_folder(ToPath), folder);
    if (folder_fd < 0)
        return write_failed;

    const bool overwrite = state.window == nullptr || state.window->overwrite_existing_files();
    if (!overwrite) {
        struct stat st{};
        if (::fstatat(folder_fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            return S_ISDIR(st.st_mode) ? write_failed : 0;
    }

    // The mode goes in with the create, so the kernel applies the umask and
    // no separate chmod is needed.
    const mode_t mode = UnixMode < 0 ? new_file_mode
                                     : (static_cast<mode_t>(UnixMode) & permission_bits) | owner_read_write;
    std::string temp;
    const int fd = create_temp_file(folder_fd, leaf, mode, temp);
    if (fd < 0)
        return write_failed;

    bool ok = write_all(fd, Data);
    if (ok && (DosDate != 0 || DosTime != 0)) {
        const DateTime d = DosDateTimeToDate(DosDate, DosTime);
        timespec times[2]{};
        times[0].tv_nsec = UTIME_NOW;
        times[1].tv_sec = static_cast<time_t>(cache.local_unix_time(d));
        ::futimens(fd, times); // a file without its time is still the file
    }
    ok = (::close(fd) == 0) && ok;

    if (ok) {
        if (overwrite) {
            ok = ::renameat(folder_fd, temp.c_str(), folder_fd, leaf.c_str()) == 0;
        } else if (::renameat2(folder_fd, temp.c_str(), folder_fd, leaf.c_str(), RENAME_NOREPLACE) != 0) {
            if (errno == EEXIST) {
                // A file of that name appeared meanwhile: keep it, as above.
                ::unlinkat(folder_fd, temp.c_str(), 0);
                return 0;
            }
            // File systems without RENAME_NOREPLACE: the check above stands.
            ok = errno == EINVAL && ::renameat(folder_fd, temp.c_str(), folder_fd, leaf.c_str()) == 0;
        }
    }
    if (!ok) {
        ::unlinkat(folder_fd, temp.c_str(), 0);
        return write_failed;
    }
    return 0;
}

int16_t MakeEntryFolder(ArchiveState& state, std::string& ToPath, const std::string& EntryName)
{
    append_separator(state, ToPath);
    const auto rel = contained_entry_path(EntryName);
    if (!rel)
        return write_unsafe_path;
    if (too_long(ToPath, *rel))
        return write_failed;
    OutputFolderCache local;
    OutputFolderCache& cache = state.output_cache ? *state.output_cache : local;
    return cache.open_folder(state, root_folder(ToPath), *rel) < 0 ? write_failed : 0;
}

void begin_output_run(ArchiveState& state) { state.output_cache = std::make_shared<OutputFolderCache>(); }

void end_output_run(ArchiveState& state) { state.output_cache.reset(); }

} // namespace velmora

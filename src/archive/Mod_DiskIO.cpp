// Output files and folders on POSIX systems. Entry names are cleaned and held
// inside the output folder; folders below it are opened one component at a
// time without following symbolic links, and files are written to a temporary
// name beside the target and renamed over it only once complete.
#include "archive/Mod_DiskIO.h"

#include "archive/OutputFile.h"
#include "archive/OutputFolders.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace velmora {

int64_t local_to_unix(const DateTime& d); // OutputFolders.cpp

using namespace output_detail;

namespace {

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

DateTime now_local()
{
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
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
    // Paths given here are this system's own (the output folder, or entry
    // paths already cleaned): only "/" separates, a "\\" is part of a name.
    ensure_separator(state);
    std::string chain = Path;
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
        if (::mkdir(prefix.c_str(), 0777) == 0)
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
    return WriteOutputFile(state, FileName, ToPath, Data, FileStamp::from_dos(DosDate, DosTime), UnixMode);
}

int16_t WriteOutputFile(ArchiveState& state, const std::string& FileName, std::string& ToPath,
                        std::span<const uint8_t> Data, const FileStamp& Stamp, int32_t UnixMode, bool Checked)
{
    OutputFile out(state);
    OutputStatus status = out.open(FileName, ToPath, UnixMode);
    if (status == OutputStatus::ok) {
        if (!out.write(Data))
            status = OutputStatus::failed;
        else
            status = out.commit(Stamp, Checked);
    }
    switch (status) {
    case OutputStatus::ok:
    case OutputStatus::not_written:
        return 0;
    case OutputStatus::unsafe_path:
        return write_unsafe_path;
    case OutputStatus::failed:
        break;
    }
    return write_failed;
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
    return cache_of(state, local).open_folder(state, root_folder(ToPath), *rel) < 0 ? write_failed : 0;
}

namespace {

// Where a symbolic link at `rel` pointing to `target` leads, as a path below
// the output folder; nullopt when it leads out (an absolute target, or ".."
// past the top), or when a ".." would step back out of a symbolic link
// already in the tree (that link's own target decides where ".." goes).
std::optional<std::string> link_destination(int root_fd, std::string_view rel, std::string_view target)
{
    if (target.empty() || target.front() == '/' || target.find('\0') != std::string_view::npos)
        return std::nullopt;
    std::vector<std::string> parts;
    const auto split_segments = [](std::string_view path, bool drop_last) {
        std::vector<std::string> segs;
        size_t pos = 0;
        while (pos <= path.size()) {
            const size_t end = std::min(path.find('/', pos), path.size());
            segs.emplace_back(path.substr(pos, end - pos));
            pos = end + 1;
        }
        if (drop_last && !segs.empty())
            segs.pop_back();
        return segs;
    };
    for (auto& seg : split_segments(rel, true))
        parts.push_back(seg);
    for (const auto& seg : split_segments(target, false)) {
        if (seg.empty() || seg == ".")
            continue;
        if (seg == "..") {
            if (parts.empty())
                return std::nullopt;
            std::string prefix;
            for (const auto& p : parts)
                prefix += (prefix.empty() ? "" : "/") + p;
            struct stat st{};
            if (::fstatat(root_fd, prefix.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                return std::nullopt;
            parts.pop_back();
            continue;
        }
        parts.push_back(seg);
    }
    std::string out;
    for (const auto& p : parts)
        out += (out.empty() ? "" : "/") + p;
    return out;
}

// Puts a link made under a temporary name in place under the overwrite rule.
OutputStatus place_link(ArchiveState& state, int folder_fd, const std::string& temp, const std::string& leaf)
{
    const bool overwrite = state.window == nullptr || state.window->overwrite_existing_files();
    int rc = 0;
    if (overwrite)
        rc = ::renameat(folder_fd, temp.c_str(), folder_fd, leaf.c_str());
    else
        rc = ::renameat2(folder_fd, temp.c_str(), folder_fd, leaf.c_str(), RENAME_NOREPLACE);
    if (rc == 0)
        return OutputStatus::ok;
    const int err = errno;
    ::unlinkat(folder_fd, temp.c_str(), 0);
    return err == EEXIST ? OutputStatus::not_written : OutputStatus::failed;
}

} // namespace

OutputStatus MakeSymbolicLink(ArchiveState& state, const std::string& FileName, std::string& ToPath,
                              const std::string& Target)
{
    append_separator(state, ToPath);
    const auto rel = contained_entry_path(FileName);
    if (!rel || rel->empty())
        return OutputStatus::unsafe_path;
    if (too_long(ToPath, *rel))
        return OutputStatus::failed;
    OutputFolderCache local;
    OutputFolderCache& cache = cache_of(state, local);
    const std::string root = root_folder(ToPath);
    const int root_fd = cache.open_folder(state, root, "");
    if (root_fd < 0)
        return OutputStatus::failed;
    if (!link_destination(root_fd, *rel, Target))
        return OutputStatus::unsafe_path;
    const auto [folder, leaf] = split_leaf(*rel);
    const int folder_fd = cache.open_folder(state, root, folder);
    if (folder_fd < 0)
        return OutputStatus::failed;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temp = temp_name(leaf);
        if (::symlinkat(Target.c_str(), folder_fd, temp.c_str()) == 0)
            return place_link(state, folder_fd, temp, leaf);
        if (errno != EEXIST)
            return OutputStatus::failed;
    }
    return OutputStatus::failed;
}

OutputStatus MakeHardLink(ArchiveState& state, const std::string& FileName, std::string& ToPath,
                          const std::string& ExistingName)
{
    append_separator(state, ToPath);
    const auto rel = contained_entry_path(FileName);
    const auto existing = contained_entry_path(ExistingName);
    if (!rel || rel->empty() || !existing || existing->empty())
        return OutputStatus::unsafe_path;
    if (too_long(ToPath, *rel) || too_long(ToPath, *existing))
        return OutputStatus::failed;
    OutputFolderCache local;
    OutputFolderCache& cache = cache_of(state, local);
    const std::string root = root_folder(ToPath);
    const auto [src_folder, src_leaf] = split_leaf(*existing);
    const int src_fd = ::fcntl(cache.open_folder(state, root, src_folder), F_DUPFD_CLOEXEC, 0);
    if (src_fd < 0)
        return OutputStatus::failed;
    const auto [folder, leaf] = split_leaf(*rel);
    const int folder_fd = cache.open_folder(state, root, folder);
    if (folder_fd < 0) {
        ::close(src_fd);
        return OutputStatus::failed;
    }
    OutputStatus status = OutputStatus::failed;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temp = temp_name(leaf);
        if (::linkat(src_fd, src_leaf.c_str(), folder_fd, temp.c_str(), 0) == 0) {
            status = place_link(state, folder_fd, temp, leaf);
            break;
        }
        if (errno == EEXIST)
            continue;
        // No hard links here (another file system, or one without them): a copy.
        const int in = ::openat(src_fd, src_leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st{};
        if (in >= 0 && ::fstat(in, &st) == 0 && S_ISREG(st.st_mode)) {
            OutputFile out(state);
            std::string to = ToPath;
            status = out.open(FileName, to, static_cast<int32_t>(st.st_mode));
            std::vector<uint8_t> buffer(1 << 16);
            ssize_t n = 0;
            while (status == OutputStatus::ok && (n = ::read(in, buffer.data(), buffer.size())) > 0)
                if (!out.write(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n))))
                    status = OutputStatus::failed;
            if (status == OutputStatus::ok)
                status = n < 0 ? OutputStatus::failed : out.commit(FileStamp::from_unix(st.st_mtim.tv_sec, static_cast<uint32_t>(st.st_mtim.tv_nsec)));
        }
        if (in >= 0)
            ::close(in);
        break;
    }
    ::close(src_fd);
    return status;
}

void begin_output_run(ArchiveState& state) { state.output_cache = std::make_shared<OutputFolderCache>(); }

void end_output_run(ArchiveState& state) { state.output_cache.reset(); }

} // namespace velmora

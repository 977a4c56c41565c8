// Folder walk for the queue's scans: readdir, fstatat and the mount table.
#include "app/FolderWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <utility>

namespace velmora::app {

namespace {

constexpr std::array<std::string_view, 22> pseudo_types = {
    "proc",     "sysfs",   "devtmpfs",   "devpts",    "cgroup",      "cgroup2",  "debugfs",  "tracefs",
    "securityfs", "pstore", "bpf",       "configfs",  "fusectl",     "mqueue",   "hugetlbfs", "autofs",
    "binfmt_misc", "efivarfs", "rpc_pipefs", "nsfs",  "selinuxfs",   "nfsd"};

// statfs f_type numbers of the same file systems (linux/magic.h names).
constexpr std::array<unsigned long, 19> pseudo_magics = {
    0x9fa0,     // PROC_SUPER_MAGIC
    0x62656572, // SYSFS_MAGIC
    0x1cd1,     // DEVPTS_SUPER_MAGIC
    0x27e0eb,   // CGROUP_SUPER_MAGIC
    0x63677270, // CGROUP2_SUPER_MAGIC
    0x64626720, // DEBUGFS_MAGIC
    0x74726163, // TRACEFS_MAGIC
    0x73636673, // SECURITYFS_MAGIC
    0x6165676c, // PSTOREFS_MAGIC
    0xcafe4a11, // BPF_FS_MAGIC
    0x62656570, // CONFIGFS_MAGIC
    0x65735543, // FUSE_CTL_SUPER_MAGIC
    0x19800202, // MQUEUE_MAGIC
    0x958458f6, // HUGETLBFS_MAGIC
    0x0187,     // AUTOFS_SUPER_MAGIC
    0x42494e4d, // BINFMTFS_MAGIC
    0xde5e81e4, // EFIVARFS_MAGIC
    0xf97cff8c, // SELINUX_MAGIC
    0x6e736673, // NSFS_MAGIC
};

// Directory entries read between two cancel checks.
constexpr int entries_per_check = 256;

bool hidden(std::string_view name) { return !name.empty() && name.front() == '.'; }

struct Listing {
    std::vector<std::string> files; // names, regular files that passed the filter
    std::vector<std::string> subs;  // names of real sub-folders
    dev_t device = 0;
};

enum class ReadResult { read, skipped, stopped };

class Walker {
public:
    Walker(const WalkOptions& o, const PseudoFileSystems& p, const WalkCallbacks& c, WalkStats& s)
        : options_(o), pseudo_(p), callbacks_(c), stats_(s)
    {
    }

    WalkEnd run(std::string root)
    {
        if (root.empty())
            return WalkEnd::done;
        if (root.back() != '/')
            root += '/';
        // The folder the user chose may itself be a link; sub-folders may not.
        struct stat st {};
        if (::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return WalkEnd::done;
        Listing top;
        // The root's parent device is unknown: its file system is always asked.
        const ReadResult r = readFolder(root, st.st_dev, static_cast<dev_t>(-1), /*followLink=*/true, top);
        if (r == ReadResult::stopped)
            return WalkEnd::stopped;
        if (r == ReadResult::skipped)
            return WalkEnd::done;
        if (!report(root, top.files))
            return WalkEnd::stopped;
        if (!options_.subFolders)
            return WalkEnd::done;

        struct Frame {
            std::string base;
            std::vector<std::string> subs;
            size_t next = 0;
            dev_t device = 0;
        };
        std::vector<Frame> stack;
        stack.push_back({root, std::move(top.subs), 0, top.device});
        while (!stack.empty()) {
            Frame& f = stack.back();
            if (f.next == f.subs.size()) {
                stack.pop_back();
                continue;
            }
            const std::string folder = f.base + f.subs[f.next++] + '/';
            const dev_t parentDevice = f.device;
            // Look before entering: a link put in its place is not followed,
            // and an automount point is not triggered.
            if (::fstatat(AT_FDCWD, folder.c_str(), &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) != 0
                || !S_ISDIR(st.st_mode))
                continue;
            Listing l;
            const ReadResult rr = readFolder(folder, st.st_dev, parentDevice, /*followLink=*/false, l);
            if (rr == ReadResult::stopped)
                return WalkEnd::stopped;
            if (rr == ReadResult::skipped)
                continue;
            if (!report(folder, l.files))
                return WalkEnd::stopped;
            if (!l.subs.empty())
                stack.push_back({folder, std::move(l.subs), 0, l.device});
        }
        return WalkEnd::done;
    }

private:
    bool keepGoing() const { return !callbacks_.keepGoing || callbacks_.keepGoing(); }

    bool report(const std::string& folder, const std::vector<std::string>& files)
    {
        if (!callbacks_.file)
            return keepGoing();
        for (const std::string& name : files)
            if (!callbacks_.file(folder + name))
                return false;
        return true;
    }

    bool pseudoDevice(dev_t device, dev_t parentDevice, int fd)
    {
        if (pseudo_.contains(device))
            return true;
        // A mount point the table did not name (it may have changed since it
        // was read, or /proc is not there): ask the file system itself.
        if (device != parentDevice) {
            struct statfs fs {};
            if (::fstatfs(fd, &fs) == 0 && PseudoFileSystems::isPseudoMagic(static_cast<unsigned long>(fs.f_type)))
                return true;
        }
        return false;
    }

    ReadResult readFolder(const std::string& folder, dev_t seenDevice, dev_t parentDevice, bool followLink,
                          Listing& out)
    {
        if (!keepGoing())
            return ReadResult::stopped;
        if (pseudo_.contains(seenDevice)) {
            ++stats_.pseudoSkipped;
            return ReadResult::skipped;
        }
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW));
        if (fd < 0)
            return ReadResult::skipped;
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            ::close(fd);
            return ReadResult::skipped;
        }
        if (pseudoDevice(st.st_dev, parentDevice, fd)) {
            ++stats_.pseudoSkipped;
            ::close(fd);
            return ReadResult::skipped;
        }
        // A folder met again (a bind mount of a parent) is not read twice.
        if (!visited_.emplace(st.st_dev, st.st_ino).second) {
            ::close(fd);
            return ReadResult::skipped;
        }
        DIR* dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            return ReadResult::skipped;
        }
        ++stats_.folders;
        if (callbacks_.enteringFolder)
            callbacks_.enteringFolder(folder);
        out.device = st.st_dev;

        std::vector<std::string> unknown; // entries whose type readdir did not give
        int sinceCheck = 0;
        while (const dirent* e = ::readdir(dir)) {
            if (++sinceCheck == entries_per_check) {
                sinceCheck = 0;
                if (!keepGoing()) {
                    ::closedir(dir);
                    return ReadResult::stopped;
                }
            }
            const std::string_view name(e->d_name);
            if (name == "." || name == "..")
                continue;
            if (!options_.hiddenNames && hidden(name))
                continue;
            switch (e->d_type) {
            case DT_DIR:
                if (options_.subFolders)
                    out.subs.emplace_back(name);
                break;
            case DT_REG:
            case DT_LNK:
                if (!options_.nameFilter || options_.nameFilter(name))
                    out.files.emplace_back(name);
                break;
            case DT_UNKNOWN:
                unknown.emplace_back(name);
                break;
            default: // FIFOs, sockets, devices: never taken
                break;
            }
        }
        const int dfd = ::dirfd(dir);
        for (std::string& name : unknown) {
            struct stat s {};
            if (::fstatat(dfd, name.c_str(), &s, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) != 0)
                continue;
            if (S_ISDIR(s.st_mode)) {
                if (options_.subFolders)
                    out.subs.push_back(std::move(name));
            } else if ((S_ISREG(s.st_mode) || S_ISLNK(s.st_mode))
                       && (!options_.nameFilter || options_.nameFilter(name))) {
                out.files.push_back(std::move(name));
            }
        }
        // Links count only when they lead to a regular file (a FIFO named
        // x.zip, or a link to one, would block the reader that opens it).
        std::erase_if(out.files, [&](const std::string& name) {
            struct stat s {};
            return ::fstatat(dfd, name.c_str(), &s, 0) != 0 || !S_ISREG(s.st_mode);
        });
        ::closedir(dir);
        std::sort(out.files.begin(), out.files.end());
        std::sort(out.subs.begin(), out.subs.end());
        return ReadResult::read;
    }

    const WalkOptions& options_;
    const PseudoFileSystems& pseudo_;
    const WalkCallbacks& callbacks_;
    WalkStats& stats_;
    std::set<std::pair<dev_t, ino_t>> visited_;
};

} // namespace

PseudoFileSystems PseudoFileSystems::fromMountInfo(std::string_view text)
{
    PseudoFileSystems out;
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);

        std::vector<std::string_view> fields;
        while (!line.empty()) {
            const size_t sp = line.find(' ');
            if (sp != 0)
                fields.push_back(line.substr(0, sp));
            line = sp == std::string_view::npos ? std::string_view() : line.substr(sp + 1);
        }
        // id parent major:minor root mountpoint options [optional...] - type source superoptions
        const auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
        if (fields.size() < 3 || dash == fields.end() || std::next(dash) == fields.end())
            continue;
        if (!isPseudoType(*std::next(dash)))
            continue;
        const std::string_view dev = fields[2];
        const size_t colon = dev.find(':');
        if (colon == std::string_view::npos)
            continue;
        unsigned major = 0;
        unsigned minor = 0;
        const auto a = std::from_chars(dev.data(), dev.data() + colon, major);
        const auto b = std::from_chars(dev.data() + colon + 1, dev.data() + dev.size(), minor);
        if (a.ec != std::errc() || b.ec != std::errc() || a.ptr != dev.data() + colon
            || b.ptr != dev.data() + dev.size())
            continue;
        out.devices_.push_back(makedev(major, minor));
    }
    std::sort(out.devices_.begin(), out.devices_.end());
    out.devices_.erase(std::unique(out.devices_.begin(), out.devices_.end()), out.devices_.end());
    return out;
}

PseudoFileSystems PseudoFileSystems::current()
{
    std::ifstream in("/proc/self/mountinfo");
    if (!in)
        return {};
    std::ostringstream text;
    text << in.rdbuf();
    return fromMountInfo(text.str());
}

bool PseudoFileSystems::isPseudoType(std::string_view type)
{
    return std::find(pseudo_types.begin(), pseudo_types.end(), type) != pseudo_types.end();
}

bool PseudoFileSystems::isPseudoMagic(unsigned long fType)
{
    // f_type is a signed long on some ABIs: compare the low 32 bits.
    const unsigned long t = fType & 0xffffffffUL;
    return std::find(pseudo_magics.begin(), pseudo_magics.end(), t) != pseudo_magics.end();
}

bool PseudoFileSystems::contains(dev_t device) const
{
    return std::binary_search(devices_.begin(), devices_.end(), device);
}

WalkEnd WalkFolder(const std::string& root, const WalkOptions& options, const PseudoFileSystems& pseudo,
                   const WalkCallbacks& callbacks, WalkStats* stats)
{
    WalkStats local;
    Walker walker(options, pseudo, callbacks, stats ? *stats : local);
    return walker.run(root);
}

} // namespace velmora::app

// The walk behind the queue's folder scans: a folder's regular files in name
// order, then each sub-folder depth-first. Symbolic links to folders are not
// followed, no folder is visited twice, and pseudo file systems (/proc, /sys,
// /dev, cgroup, debugfs, autofs triggers, ...) are never entered. POSIX only,
// no Qt: it runs on the scanner's worker thread.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::app {

// The devices of the pseudo file systems mounted now, from
// /proc/self/mountinfo; a folder on one of them is not entered. Where a folder
// lies on a device not in the table, statfs's file-system type decides.
class PseudoFileSystems {
public:
    // Parses mountinfo text (proc(5)): field 3 is the device "major:minor",
    // the field after the "-" separator the file-system type.
    static PseudoFileSystems fromMountInfo(std::string_view text);
    // The table of the running system (empty when mountinfo cannot be read).
    static PseudoFileSystems current();

    // Types whose folders hold no user files: proc, sysfs, devtmpfs, devpts,
    // cgroup, cgroup2, debugfs, tracefs, securityfs, pstore, bpf, configfs,
    // fusectl, mqueue, hugetlbfs, autofs, binfmt_misc, efivarfs, rpc_pipefs,
    // nsfs, selinuxfs, nfsd.
    static bool isPseudoType(std::string_view type);
    // The same for statfs's f_type (devtmpfs shares tmpfs's number and so is
    // known only from the mount table).
    static bool isPseudoMagic(unsigned long fType);

    bool contains(dev_t device) const;
    const std::vector<dev_t>& devices() const { return devices_; }

private:
    std::vector<dev_t> devices_; // sorted
};

struct WalkOptions {
    bool subFolders = false;  // descend into sub-folders, depth-first
    bool hiddenNames = false; // take names starting with "." (files and folders)
    // Which file names to stat and report (the name's bytes); empty: every file.
    std::function<bool(std::string_view name)> nameFilter;
};

struct WalkCallbacks {
    // A regular file (or a link to one) whose name passed the filter, as the
    // folder's path followed by the name. False stops the walk.
    std::function<bool(const std::string& path)> file;
    // Asked between directory entries; false stops the walk (cancel).
    std::function<bool()> keepGoing;
    // A folder about to be read (its path ends in "/").
    std::function<void(const std::string& folder)> enteringFolder;
};

enum class WalkEnd { done, stopped };

struct WalkStats {
    size_t folders = 0;       // folders read
    size_t pseudoSkipped = 0; // folders left alone because of their file system
};

// Walks root (its own files; with subFolders its sub-folders too). A folder
// that cannot be read adds nothing and the walk goes on with the next one.
WalkEnd WalkFolder(const std::string& root, const WalkOptions& options, const PseudoFileSystems& pseudo,
                   const WalkCallbacks& callbacks, WalkStats* stats = nullptr);

} // namespace velmora::app

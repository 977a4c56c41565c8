// Shared pieces of the reader fuzz targets: the input handed to the readers as
// an in-memory file (a memfd reached through a named link, so no disk write per
// input), a sandbox folder on tmpfs for extraction with the checks that
// nothing escaped it, the report's bookkeeping rule, one sampled extraction
// with all of those checks, and the byte readers for the targets' own walks
// of the raw records. Linux only.
#pragma once

#include "archive/Cls_GetFileType.h"
#include "archive/ExtractionReport.h"
#include "archive/Mod_DiskIO.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <signal.h>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace velmora::fuzz {

// A broken rule: named on stderr, then the fuzzer keeps the input as a crash.
[[noreturn]] inline void fail(std::string_view what, std::string_view detail = {})
{
    std::fprintf(stderr, "fuzz check failed: %.*s %.*s\n", static_cast<int>(what.size()), what.data(),
                 static_cast<int>(detail.size()), detail.data());
    std::abort();
}

inline void check(bool ok, std::string_view what, std::string_view detail = {})
{
    if (!ok)
        fail(what, detail);
}

// Little-endian record fields, for the targets' own walks of raw headers.
inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16)
           | (static_cast<uint32_t>(p[3]) << 24);
}

// A name every reader shows as stored (no code page or escaping involved).
inline bool printable_ascii(std::string_view s)
{
    for (const char c : s)
        if (c < 0x20 || c > 0x7E)
            return false;
    return true;
}

// A folder of this process on tmpfs (the temporary folder where there is no
// /dev/shm), removed with everything in it when the fuzzer exits normally.
class ScratchRoot {
public:
    explicit ScratchRoot(std::string_view tag)
    {
        namespace fs = std::filesystem;
        const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        path_ = base / ("velmora-" + std::string(tag) + "-fuzz." + std::to_string(::getpid()));
        std::error_code ec;
        fs::remove_all(path_, ec);
        fs::create_directories(path_, ec);
        if (ec)
            fail("cannot create the scratch folder", path_.string());
    }
    ~ScratchRoot()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchRoot(const ScratchRoot&) = delete;
    ScratchRoot& operator=(const ScratchRoot&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The fuzzer's input as a regular file that lives in memory. The readers open
// archives by path (stat, then open and pread), so each name asked for is a
// symbolic link to /proc/self/fd/N: the dispatcher sees the extension it
// needs (.tar, .lzh) and BinaryFile sees a regular file of the input's size.
class MemoryArchive {
public:
    explicit MemoryArchive(const std::filesystem::path& folder) : folder_(folder)
    {
        fd_ = ::memfd_create("velmora-fuzz-input", MFD_CLOEXEC);
        if (fd_ < 0)
            fail("memfd_create failed");
    }
    ~MemoryArchive()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    MemoryArchive(const MemoryArchive&) = delete;
    MemoryArchive& operator=(const MemoryArchive&) = delete;

    // Makes the file hold exactly these bytes.
    void assign(const uint8_t* data, size_t size)
    {
        if (::ftruncate(fd_, static_cast<off_t>(size)) != 0)
            fail("ftruncate of the memory file failed");
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                fail("pwrite to the memory file failed");
            done += static_cast<size_t>(n);
        }
    }

    // A path naming the file, ending in `name` (made once per name).
    std::string path(const std::string& name)
    {
        namespace fs = std::filesystem;
        const fs::path link = folder_ / name;
        std::error_code ec;
        if (!fs::is_symlink(link, ec)) {
            fs::create_symlink("/proc/self/fd/" + std::to_string(fd_), link, ec);
            if (ec)
                fail("cannot link the memory file", link.string());
        }
        return link.string();
    }

private:
    std::filesystem::path folder_;
    int fd_ = -1;
};

// Extraction into <root>/sandbox/out, beside a sentinel file. After a run
// nothing may exist in the sandbox but the sentinel (unchanged) and the output
// folder, no link inside the output folder may resolve outside it, no file in
// it may be the sentinel under another name, and no temporary file may be
// left behind. clear() empties the output folder for the next input.
class Sandbox {
public:
    explicit Sandbox(const std::filesystem::path& root)
        : sandbox_(root / "sandbox"), out_(sandbox_ / "out"), sentinel_(sandbox_ / "sentinel")
    {
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::create_directories(out_, ec);
        if (std::FILE* f = std::fopen(sentinel_.c_str(), "wb")) {
            std::fwrite(sentinel_text.data(), 1, sentinel_text.size(), f);
            std::fclose(f);
        }
        struct stat st {};
        if (ec || ::lstat(sentinel_.c_str(), &st) != 0)
            fail("cannot create the sandbox", sandbox_.string());
        sentinel_ino_ = st.st_ino;
        out_canonical_ = fs::canonical(out_);
    }

    // The output folder, as the readers take it.
    std::string out_path() const { return out_.string(); }
    const std::filesystem::path& out() const { return out_; }

    // Checks the rules above. names_may_look_temporary: some entry name could
    // itself look like a temporary file, so leftovers are not judged.
    void verify(bool names_may_look_temporary = false) const
    {
        namespace fs = std::filesystem;
        std::error_code ec;
        for (const auto& item : fs::directory_iterator(sandbox_, ec)) {
            const fs::path& p = item.path();
            if (p == out_) {
                check(item.is_directory() && !item.is_symlink(), "the output folder was replaced");
            } else if (p == sentinel_) {
                check(item.is_regular_file() && !item.is_symlink(), "the sentinel was replaced");
            } else {
                fail("written outside the output folder:", p.filename().string());
            }
        }
        check(!ec, "cannot walk the sandbox");
        struct stat st {};
        check(::lstat(sentinel_.c_str(), &st) == 0 && st.st_ino == sentinel_ino_
                  && static_cast<size_t>(st.st_size) == sentinel_text.size(),
              "the sentinel was changed");
        std::string text(sentinel_text.size(), '\0');
        if (std::FILE* f = std::fopen(sentinel_.c_str(), "rb")) {
            text.resize(std::fread(text.data(), 1, text.size(), f));
            std::fclose(f);
        }
        check(text == sentinel_text, "the sentinel's bytes were changed");

        // A file with more names than the output folder holds is a hard
        // link to something outside it.
        std::map<ino_t, std::pair<nlink_t, nlink_t>> links;
        for (auto it = fs::recursive_directory_iterator(out_, fs::directory_options::none, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            const fs::path& p = it->path();
            struct stat ls {};
            if (::lstat(p.c_str(), &ls) != 0)
                continue;
            if (S_ISLNK(ls.st_mode)) {
                // Where the link leads, every link on the way followed;
                // a loop or a dangling tail still resolves lexically.
                std::error_code lec;
                const fs::path target = fs::weakly_canonical(p, lec);
                if (!lec)
                    check(is_inside(target, out_canonical_), "a link leads outside the output folder:",
                          p.string() + " -> " + target.string());
            } else if (S_ISREG(ls.st_mode)) {
                check(ls.st_ino != sentinel_ino_, "the sentinel was linked into the output folder", p.string());
                if (ls.st_nlink > 1)
                    ++links[ls.st_ino].first, links[ls.st_ino].second = ls.st_nlink;
                if (!names_may_look_temporary)
                    check(p.filename().string().find(".velmora-") == std::string::npos,
                          "a temporary file was left behind:", p.string());
            } else if (!S_ISDIR(ls.st_mode)) {
                fail("a special file was made:", p.string());
            }
        }
        for (const auto& [ino, seen] : links)
            check(seen.first == seen.second, "a hard link leads outside the output folder");
    }

    // Empties the output folder.
    void clear() const
    {
        namespace fs = std::filesystem;
        std::error_code ec;
        if (fs::is_empty(out_, ec) && !ec)
            return;
        fs::remove_all(out_, ec);
        fs::create_directories(out_, ec);
        check(!ec, "cannot recreate the output folder");
    }

    static bool is_inside(const std::filesystem::path& p, const std::filesystem::path& folder)
    {
        const std::string s = p.lexically_normal().string();
        const std::string f = folder.string();
        return s == f || (s.size() > f.size() && s.compare(0, f.size(), f) == 0 && s[f.size()] == '/');
    }

private:
    static constexpr std::string_view sentinel_text = "sentinel: nothing may touch this file\n";
    std::filesystem::path sandbox_;
    std::filesystem::path out_;
    std::filesystem::path sentinel_;
    std::filesystem::path out_canonical_;
    ino_t sentinel_ino_ = 0;
};

// Extracted files beyond this size fail to write (EFBIG) instead of filling
// memory: a few hundred bytes of Deflate can claim gigabytes.
inline void limit_output_file_size(uint64_t bytes = uint64_t{64} << 20)
{
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, bytes};
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

// The bytes of a regular file (not followed through a final symbolic link),
// or nothing.
inline std::optional<std::vector<uint8_t>> regular_file_bytes(const std::filesystem::path& p)
{
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
    std::FILE* f = std::fopen(p.c_str(), "rb");
    if (!f)
        return std::nullopt;
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
    std::fclose(f);
    return bytes;
}

// Which entries' files can be judged by their own records: those whose path
// no other entry names, and on whose way no other entry but a folder lies
// (a later entry of the same name, or a file or link where a folder of the
// path should be, changes what is found there). Folder entries count only
// for the path they name.
inline std::vector<bool> lone_paths(const std::vector<std::optional<std::string>>& paths,
                                    const std::vector<bool>& is_folder)
{
    const auto under = [](const std::string& x, const std::string& folder) {
        return folder.empty()
               || (x.size() > folder.size() && x.compare(0, folder.size(), folder) == 0 && x[folder.size()] == '/');
    };
    std::vector<bool> lone(paths.size(), false);
    for (size_t i = 0; i < paths.size(); ++i) {
        if (!paths[i] || paths[i]->empty())
            continue;
        const std::string& a = *paths[i];
        bool alone = true;
        for (size_t j = 0; j < paths.size() && alone; ++j) {
            if (i == j || !paths[j])
                continue;
            const std::string& b = *paths[j];
            alone = a != b && (is_folder[j] || !under(a, b)) && !under(b, a);
        }
        lone[i] = alone;
    }
    return lone;
}

// Every selected entry has exactly one outcome, no entry that was not
// selected has any, and nothing is left pending.
inline void check_report(const ExtractionReport& report, const std::vector<bool>& selection)
{
    int64_t selected = 0;
    for (int32_t k = 1; k <= report.entry_count(); ++k) {
        const bool asked = static_cast<size_t>(k) < selection.size() && selection[static_cast<size_t>(k)];
        selected += asked;
        const EntryOutcome o = report.outcome(k);
        if (asked)
            check(o == EntryOutcome::extracted || o == EntryOutcome::skipped || o == EntryOutcome::failed,
                  "a selected entry has no outcome:", std::to_string(k));
        else
            check(o == EntryOutcome::not_selected, "an entry not selected has an outcome:", std::to_string(k));
    }
    check(report.selected_count() == selected, "selected_count disagrees with the selection");
    check(report.count(EntryOutcome::pending) == 0, "entries left pending");
    check(report.count(EntryOutcome::extracted) + report.count(EntryOutcome::skipped)
                  + report.count(EntryOutcome::failed)
              == selected,
          "the outcome counts do not sum to the selected entries");
}

// Which entries of `count` one extraction asks for: all of a small archive;
// of a large one the first 48, the last 16 and every 97th between, so that
// an input of thousands of entries costs tens of files, not thousands.
inline std::vector<bool> pick_entries(int32_t count)
{
    std::vector<bool> all(static_cast<size_t>(count > 0 ? count : 0) + 1, false);
    for (int32_t k = 1; k <= count; ++k)
        all[static_cast<size_t>(k)] = count <= 64 || k <= 48 || k > count - 16 || k % 97 == 0;
    return all;
}

// What a reader target keeps from input to input: its scratch folder, the
// input as an in-memory file under `name` (its extension picks the reader),
// and the extraction sandbox; output files are capped in size.
struct ReaderFixture {
    ReaderFixture(std::string_view tag, const std::string& name)
        : root(tag), archive(root.path()), sandbox(root.path()), path(archive.path(name))
    {
        limit_output_file_size();
    }
    ScratchRoot root;
    MemoryArchive archive;
    Sandbox sandbox;
    std::string path;
};

// One extraction of a sample of a loaded archive's entries (pick_entries):
// what was asked for, and where each entry's file should be.
struct SampledExtraction {
    Selection selection;
    std::vector<int32_t> chosen;                    // the entry numbers asked for
    std::vector<std::optional<std::string>> paths;  // each one's place under the output folder
    std::vector<bool> folders;                      // each one is a folder
    std::vector<bool> lone;                         // lone_paths: its file can be judged by its record
};

// Extracts the sample into the sandbox and checks the report's bookkeeping
// and that nothing escaped; the caller then judges the files and clears the
// sandbox.
inline SampledExtraction extract_sample(Cls_GetFileType& files, ReaderFixture& f)
{
    SampledExtraction x;
    const int32_t count = files.FileCount();
    x.selection = pick_entries(count);
    bool temporary_looking = false;
    for (int32_t k = 1; k <= count; ++k) {
        if (!x.selection[static_cast<size_t>(k)])
            continue;
        const std::string name = files.FileName(k);
        temporary_looking |= name.find(".velmora-") != std::string::npos;
        x.chosen.push_back(k);
        x.paths.push_back(contained_entry_path(name));
        x.folders.push_back(files.IsDir(k));
    }
    std::string to = f.sandbox.out_path();
    files.UnPack(x.selection, to);
    check_report(files.state().report, x.selection);
    f.sandbox.verify(temporary_looking);
    x.lone = lone_paths(x.paths, x.folders);
    return x;
}

} // namespace velmora::fuzz

// Helpers for the tests of archives of any size: sparse files with a few
// marked blocks, files compared piece by piece, Python scripts run at test
// time, archive-probe run as a child whose peak memory is measured, and the
// temporary files an abandoned entry must not leave behind.
#pragma once

#include "support/Extraction.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace velmora::test {

inline constexpr uint64_t KiB = 1024;
inline constexpr uint64_t MiB = 1024 * KiB;
inline constexpr uint64_t GiB = 1024 * MiB;

// A block of text that tells where it sits, so data moved by a wrong offset
// (a size or position cut to 32 bits) shows up as a difference.
inline std::string marker_at(uint64_t offset)
{
    std::string text = "<velmora marker at " + std::to_string(offset) + ">";
    while (text.size() < 4096)
        text += text;
    return text.substr(0, 4096);
}

// Whether the folder's file system has `bytes` free: the multi-gigabyte
// tests write their extracted files in full and skip (saying so) where they
// would fill the disk.
inline bool has_free_space(const std::filesystem::path& folder, uint64_t bytes)
{
    std::error_code ec;
    const auto space = std::filesystem::space(folder, ec);
    return !ec && space.available >= bytes;
}

// Free space the tests of one multi-gigabyte entry need: the archive, the
// extracted file and a reference copy.
inline constexpr uint64_t large_test_space = 16 * GiB;

// A file of `size` bytes, all zeros (a hole) except a marker at each offset.
inline bool make_sparse_file(const std::filesystem::path& p, uint64_t size, const std::vector<uint64_t>& marks)
{
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    for (const uint64_t at : marks) {
        const std::string m = marker_at(at).substr(0, static_cast<size_t>(std::min<uint64_t>(4096, size - at)));
        ok = ok && ::pwrite(fd, m.data(), m.size(), static_cast<off_t>(at)) == static_cast<ssize_t>(m.size());
    }
    return ::close(fd) == 0 && ok;
}

// Markers at the start, around 2 GiB and 4 GiB (where 32-bit arithmetic
// breaks) and near the end of a file of `size` bytes.
inline std::vector<uint64_t> boundary_marks(uint64_t size)
{
    std::vector<uint64_t> marks{0};
    for (const uint64_t b : {2 * GiB, 4 * GiB})
        if (b + 8 * KiB < size) {
            marks.push_back(b - 1000);
            marks.push_back(b + 5000);
        }
    marks.push_back(size - std::min<uint64_t>(size, 3000));
    return marks;
}

// The first offset at which two files differ (a size difference counts at
// the end of the shorter one); nothing when they are equal.
inline std::optional<uint64_t> first_difference(const std::filesystem::path& a, const std::filesystem::path& b)
{
    FILE* fa = std::fopen(a.c_str(), "rb");
    FILE* fb = std::fopen(b.c_str(), "rb");
    std::optional<uint64_t> diff;
    if (!fa || !fb) {
        diff = 0;
    } else {
        std::vector<char> ba(4 * MiB), bb(4 * MiB);
        uint64_t at = 0;
        for (;;) {
            const size_t na = std::fread(ba.data(), 1, ba.size(), fa);
            const size_t nb = std::fread(bb.data(), 1, bb.size(), fb);
            const size_t n = std::min(na, nb);
            const auto m = std::mismatch(ba.begin(), ba.begin() + static_cast<std::ptrdiff_t>(n), bb.begin());
            if (m.first != ba.begin() + static_cast<std::ptrdiff_t>(n)) {
                diff = at + static_cast<uint64_t>(m.first - ba.begin());
                break;
            }
            if (na != nb) {
                diff = at + n;
                break;
            }
            if (na == 0)
                break;
            at += n;
        }
    }
    if (fa)
        std::fclose(fa);
    if (fb)
        std::fclose(fb);
    return diff;
}

// Runs `script` with python3 and the arguments; the exit status (and the
// output, when asked for).
inline int run_python(const TempDir& dir, const std::string& script, const std::vector<std::string>& args,
                      std::string* output = nullptr)
{
    static int counter = 0;
    const auto path = dir / ("script" + std::to_string(++counter) + ".py");
    write_file(path, script);
    std::string command = "python3 " + shell_quote(path.string());
    for (const std::string& a : args)
        command += " " + shell_quote(a);
    return run_command(command + " 2>&1", output);
}

// A Python file object over a real file that turns runs of zeros into holes:
// archives with multi-gigabyte entries written by Python's own zipfile and
// tarfile take almost no disk. Seeks and tells as a file does.
inline const char* python_sparse_writer = R"PY(
import io, os
class SparseWriter(io.RawIOBase):
    def __init__(self, path):
        self.f = open(path, 'wb')
        self.pos = 0
        self.end = 0
    def writable(self): return True
    def seekable(self): return True
    def write(self, b):
        b = memoryview(b).cast('B').tobytes()
        n = len(b)
        if b != (ZERO_MIB if n == len(ZERO_MIB) else bytes(n)):
            self.f.seek(self.pos)
            self.f.write(b)
        self.pos += n
        self.end = max(self.end, self.pos)
        return n
    def seek(self, off, whence=0):
        self.pos = off if whence == 0 else (self.pos + off if whence == 1 else self.end + off)
        return self.pos
    def tell(self): return self.pos
    def flush(self):
        if not self.f.closed:
            self.f.flush()
    def close(self):
        if not self.closed:
            self.f.truncate(self.end)
            self.f.close()
        super().close()
ZERO_MIB = bytes(1 << 20)
def copy_file(src_path, dest):
    with open(src_path, 'rb') as src:
        while True:
            b = src.read(len(ZERO_MIB))
            if not b:
                break
            dest.write(b)
)PY";

// What archive-probe did as a child process.
struct ProbeRun {
    int status = -1;      // exit status (-1: did not exit normally)
    std::string out;      // standard output
    std::string err;      // standard error
    long peak_kib = 0;    // peak resident memory (ru_maxrss)
    double seconds = 0;   // wall time
};

// Runs archive-probe with the arguments, its output captured in `dir`.
inline ProbeRun run_probe_measured(const TempDir& dir, const std::vector<std::string>& args)
{
    ProbeRun r;
    const std::string probe = probe_path();
    const auto out_path = dir / "probe.out";
    const auto err_path = dir / "probe.err";
    std::vector<std::string> argv_text{probe};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, probe.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return r;
    int wstatus = 0;
    struct rusage usage{};
    if (::wait4(pid, &wstatus, 0, &usage) != pid)
        return r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    r.peak_kib = usage.ru_maxrss;
    r.out = file_text(out_path);
    r.err = file_text(err_path);
    return r;
}

// The most an extraction may hold in memory, whatever its entries' sizes.
// A build with AddressSanitizer maps shadow memory and keeps freed blocks in
// quarantine: there the bound is the same plus what a 1 MiB entry costs.
inline constexpr long memory_bound_kib = 64 * 1024;

// Extracts `archive` into `out` with archive-probe and checks its peak
// memory against the bound and against extracting `small_archive` (the same
// format with a 1 MiB entry): the entry's size must not show.
inline ProbeRun extract_with_bounded_memory(const TempDir& dir, const std::filesystem::path& archive,
                                            const std::filesystem::path& small_archive,
                                            const std::filesystem::path& out)
{
    const auto small_out = dir / "small-out";
    const ProbeRun small = run_probe_measured(dir, {"extract", small_archive.string(), small_out.string()});
    EXPECT_EQ(small.status, 0) << small.out << small.err;
    std::filesystem::remove_all(small_out);

    const ProbeRun r = run_probe_measured(dir, {"extract", archive.string(), out.string()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const long bound = small.peak_kib < memory_bound_kib / 2 ? memory_bound_kib : memory_bound_kib + small.peak_kib;
    EXPECT_LT(r.peak_kib, bound) << "1 MiB entry: " << small.peak_kib << " KiB";
    EXPECT_LT(r.peak_kib - small.peak_kib, 32 * 1024) << "1 MiB entry: " << small.peak_kib << " KiB";
    std::printf("[ measured ] %s: %.1f s, peak %ld KiB (1 MiB entry: %ld KiB)\n",
                archive.filename().c_str(), r.seconds, r.peak_kib, small.peak_kib);
    return r;
}

// Temporary files of abandoned or unfinished entries (".NAME.velmora-XXXXXX")
// anywhere under root.
inline std::vector<std::filesystem::path> leftover_temp_files(const std::filesystem::path& root)
{
    std::vector<std::filesystem::path> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->path().filename().string().find(".velmora-") != std::string::npos)
            out.push_back(it->path());
    return out;
}

} // namespace velmora::test

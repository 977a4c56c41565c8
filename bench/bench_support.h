// Shared pieces of the benchmarks that race our extraction against the tools
// a user would otherwise run: starting a tool with its output thrown away and
// timing it (wall clock and the child's CPU), reading a file whole, a
// deterministic byte stream for test data, and the median of a round's times.
// Linux only (posix_spawn, wait4).
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace velmora::bench {

// One run of a command: seconds of wall clock and of the child's CPU, and its
// peak resident memory; -1 for all when it could not be started (or failed,
// where failure counts).
struct timing {
    double wall = -1;
    double cpu = -1;
    long max_rss_kib = -1;
};

inline double cpu_seconds(const rusage& u)
{
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec)
           + static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs argv with stdin, stdout and stderr on /dev/null, in `cwd` when one is
// given. A non-zero exit is a failure unless any_exit (bsdtar exits 1 on
// folders it is asked to print; such callers check the output apart).
inline timing run_command(const std::vector<std::string>& args, const std::filesystem::path& cwd = {},
                          bool any_exit = false, const std::string& stdout_path = "/dev/null")
{
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::filesystem::path old;
    if (!cwd.empty()) {
        old = std::filesystem::current_path();
        std::filesystem::current_path(cwd);
    }
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    int status = -1;
    const bool spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    rusage usage{};
    const bool waited = spawned && wait4(pid, &status, 0, &usage) == pid;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!cwd.empty())
        std::filesystem::current_path(old);
    if (!waited || !WIFEXITED(status) || (!any_exit && WEXITSTATUS(status) != 0))
        return {};
    return {seconds, cpu_seconds(usage), usage.ru_maxrss};
}

// The wall-clock seconds of a run (standard output into `out_file`), -1 on failure.
inline double run_timed(const std::vector<std::string>& args, const std::string& out_file = "/dev/null")
{
    return run_command(args, {}, false, out_file).wall;
}

// A tool of a race: its name and the command that extracts `archive` into
// the folder `out`.
struct extract_tool {
    std::string name;
    std::vector<std::string> (*command)(const std::string& archive, const std::string& out);
};

inline bool have(const std::string& tool)
{
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::vector<uint8_t> read_all(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Deterministic xorshift64* stream for generated test data.
struct rng {
    uint64_t s;
    uint64_t next()
    {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 0x2545F4914F6CDD1DULL;
    }
};

// Mixed data: text-like runs of words and numbers (compresses about 3:1)
// with stretches of random bytes (does not compress), about 3 to 1 by length.
inline std::string make_content(rng& r, size_t size)
{
    static constexpr std::array<const char*, 24> words = {
        "archive", "entry",   "folder", "stored",  "deflate", "window", "length", "distance",
        "header",  "central", "local",  "version", "method",  "extra",  "record", "offset",
        "the",     "and",     "of",     "to",      "in",      "with",   "data",   "time"};
    std::string out;
    out.reserve(size);
    while (out.size() < size) {
        if (r.next() % 4 == 0) {
            const size_t n = 64 + r.next() % 512;
            for (size_t i = 0; i < n; ++i)
                out.push_back(static_cast<char>(r.next() & 0xFF));
        } else {
            const size_t n = 8 + r.next() % 64;
            for (size_t i = 0; i < n; ++i) {
                out += words[r.next() % words.size()];
                out += (r.next() % 8 == 0) ? std::to_string(r.next() % 100000) + "\n" : std::string(" ");
            }
        }
    }
    out.resize(size);
    return out;
}

// The median of a round's times (the upper one of an even count); 0 for none.
inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace velmora::bench

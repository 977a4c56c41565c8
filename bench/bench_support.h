// Helpers of the benchmarks that time whole programs against each other:
// deterministic test data, a program run timed by the wall clock with its
// output thrown away, and the median of interleaved rounds.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace velmora::bench {

// Deterministic xorshift64* stream.
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

// Runs argv with stdout and stderr to /dev/null (or stdout to `out_file`);
// the wall-clock seconds, or -1 on failure.
inline double run_timed(const std::vector<std::string>& args, const std::string& out_file = "/dev/null")
{
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    int status = -1;
    const bool spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!spawned || waitpid(pid, &status, 0) != pid)
        return -1;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

inline bool have(const std::string& tool)
{
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace velmora::bench

// Extraction of single compressed tarballs and of 7-Zip's LZMA and BZip2 ZIPs:
// archive-probe against the library's own command-line tool on the same file
// (xz -d -T1, bzip2 -d, zstd -d, 7z x -mmt=1), output written to a
// memory-backed folder. Rounds are interleaved tool by tool in one run; each
// case reports both medians and `ratio` = ours / the tool's (below 1.1 is
// within 10%).
#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace velmora::bench;

namespace {

constexpr int rounds = 9;
constexpr size_t tar_size = 32u << 20;

struct Case {
    std::string name;
    std::string archive;                                   // in the work folder
    std::string make;                                      // shell command that makes it (in the work folder)
    std::vector<std::string> (*reference)(const std::string& archive, const std::string& out_dir);
    bool reference_to_stdout;                              // the reference writes to stdout: out_dir/data.tar
};

fs::path g_work;
std::map<std::string, std::map<std::string, std::vector<double>>> g_times; // case -> tool -> seconds

const std::vector<Case>& cases()
{
    static const std::vector<Case> list = {
        {"tar.xz", "data.tar.xz", "xz -6 -T1 -k -c data.tar > data.tar.xz",
         [](const std::string& a, const std::string&) { return std::vector<std::string>{"xz", "-d", "-T1", "-c", a}; },
         true},
        {"tar.bz2", "data.tar.bz2", "bzip2 -9 -k -c data.tar > data.tar.bz2",
         [](const std::string& a, const std::string&) { return std::vector<std::string>{"bzip2", "-d", "-c", a}; },
         true},
        {"tar.zst", "data.tar.zst", "zstd -q -9 -c data.tar > data.tar.zst",
         [](const std::string& a, const std::string&) { return std::vector<std::string>{"zstd", "-q", "-d", "-c", a}; },
         true},
        {"zip-lzma", "lzma.zip", "7z a -tzip -mm=LZMA -mmt=1 lzma.zip data.tar > /dev/null",
         [](const std::string& a, const std::string& o) {
             return std::vector<std::string>{"7z", "x", "-y", "-mmt=1", "-o" + o, a};
         },
         false},
        {"zip-bzip2", "bzip2.zip", "7z a -tzip -mm=BZip2 -mmt=1 bzip2.zip data.tar > /dev/null",
         [](const std::string& a, const std::string& o) {
             return std::vector<std::string>{"7z", "x", "-y", "-mmt=1", "-o" + o, a};
         },
         false},
    };
    return list;
}

bool make_archives()
{
    const fs::path shm = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    g_work = shm / ("velmora-compressed-bench-" + std::to_string(getpid()));
    fs::create_directories(g_work / "tree");
    rng r{0x2545F4914F6CDD1DULL};
    for (int k = 0; k < 8; ++k) {
        std::ofstream f(g_work / "tree" / ("part" + std::to_string(k) + ".bin"), std::ios::binary);
        const std::string s = make_content(r, tar_size / 8);
        f.write(s.data(), static_cast<std::streamsize>(s.size()));
    }
    const std::string cd = "cd " + g_work.string() + " && ";
    if (std::system((cd + "tar cf data.tar tree").c_str()) != 0)
        return false;
    fs::remove_all(g_work / "tree");
    for (const Case& c : cases())
        if (std::system((cd + c.make).c_str()) != 0)
            return false;
    return true;
}

void measure()
{
    const fs::path out = g_work / "out";
    for (int round = 0; round < rounds; ++round) {
        for (const Case& c : cases()) {
            const std::string archive = (g_work / c.archive).string();
            fs::remove_all(out);
            fs::create_directories(out);
            g_times[c.name]["archive-probe"].push_back(
                run_timed({VELMORA_PROBE_PATH, "extract", archive, out.string()}));
            fs::remove_all(out);
            fs::create_directories(out);
            g_times[c.name]["reference"].push_back(c.reference_to_stdout
                                                       ? run_timed(c.reference(archive, out.string()),
                                                                   (out / "data.tar").string())
                                                       : run_timed(c.reference(archive, out.string())));
        }
    }
    fs::remove_all(out);
}

void BM_Compressed(benchmark::State& state, std::string name, std::string tool)
{
    const auto& times = g_times[name][tool];
    if (std::any_of(times.begin(), times.end(), [](double t) { return t < 0; })) {
        state.SkipWithError("the tool failed");
        return;
    }
    size_t i = 0;
    for (auto _ : state)
        state.SetIterationTime(times[i++ % times.size()]);
    const double ours = median(g_times[name]["archive-probe"]);
    const double reference = median(g_times[name]["reference"]);
    state.counters["median_s"] = median(times);
    state.counters["ratio"] = reference > 0 ? ours / reference : 0;
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    for (const char* tool : {"tar", "xz", "bzip2", "zstd", "7z"}) {
        if (!have(tool)) {
            std::fprintf(stderr, "compressed_extract_bench: %s not found, skipped\n", tool);
            return 0;
        }
    }
    if (!make_archives()) {
        std::fprintf(stderr, "compressed_extract_bench: could not make the archives\n");
        fs::remove_all(g_work);
        return 1;
    }
    measure();
    for (const Case& c : cases())
        for (const char* tool : {"archive-probe", "reference"})
            benchmark::RegisterBenchmark(("compressed/" + c.name + "/" + tool).c_str(), BM_Compressed, c.name,
                                         std::string(tool))
                ->UseManualTime()
                ->Iterations(rounds)
                ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(g_work);
    return 0;
}

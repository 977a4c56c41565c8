// End-to-end extraction: archive-probe against unzip, 7-Zip and bsdtar on the
// same two archives (20,000 small files; four large files), written to a
// memory-backed folder. Rounds are interleaved tool by tool so that load from
// other processes falls on every tool alike; the wall-clock times are measured
// first and then reported through Google Benchmark with manual timing, and
// each tool's counter `vs_probe` is its median time over ours (above 1: we are faster).
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

using namespace velmora::bench;

namespace {

constexpr int rounds = 5;
constexpr int small_files = 20000;
constexpr int small_folders = 100;
constexpr int large_files = 4;
constexpr size_t large_file_size = 36u << 20; // 144 MiB in all

void write_text(const fs::path& p, const std::string& s)
{
    std::ofstream f(p, std::ios::binary);
    f.write(s.data(), static_cast<std::streamsize>(s.size()));
}

struct Tool {
    std::string name;
    std::vector<std::string> (*command)(const std::string& archive, const std::string& out);
};

const std::vector<Tool>& tools()
{
    static const std::vector<Tool> list = {
        {"archive-probe", [](const std::string& a, const std::string& o) {
             return std::vector<std::string>{VELMORA_PROBE_PATH, "extract", a, o};
         }},
        {"unzip", [](const std::string& a, const std::string& o) {
             return std::vector<std::string>{"unzip", "-o", "-q", a, "-d", o};
         }},
        {"7z", [](const std::string& a, const std::string& o) {
             return std::vector<std::string>{"7z", "x", "-y", "-mmt=1", "-o" + o, a};
         }},
        {"bsdtar", [](const std::string& a, const std::string& o) {
             return std::vector<std::string>{"bsdtar", "-xf", a, "-C", o};
         }},
    };
    return list;
}

// Times per archive and tool, one per round.
std::map<std::string, std::map<std::string, std::vector<double>>> g_times;
fs::path g_work;

bool g_keep = false;

// VELMORA_EXTRACT_BENCH_DIR names a folder whose archives are kept and
// reused between runs (for profiling); otherwise a fresh one is made and removed.
bool make_archives()
{
    if (const char* keep = std::getenv("VELMORA_EXTRACT_BENCH_DIR")) {
        g_work = keep;
        g_keep = true;
        if (fs::exists(g_work / "small.zip") && fs::exists(g_work / "large.zip"))
            return true;
    } else {
        const fs::path shm = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        g_work = shm / ("velmora-extract-bench-" + std::to_string(getpid()));
    }
    fs::create_directories(g_work);
    rng r{0x9E3779B97F4A7C15ULL};

    const fs::path small = g_work / "small";
    for (int d = 0; d < small_folders; ++d)
        fs::create_directories(small / ("dir" + std::to_string(d)));
    for (int k = 0; k < small_files; ++k) {
        // 7.2 KiB on average: about 144 MB in all.
        const size_t size = 512 + r.next() % 13824;
        write_text(small / ("dir" + std::to_string(k % small_folders)) / ("file" + std::to_string(k) + ".txt"),
                   make_content(r, size));
    }
    const fs::path large = g_work / "large";
    fs::create_directories(large);
    for (int k = 0; k < large_files; ++k)
        write_text(large / ("big" + std::to_string(k) + ".bin"), make_content(r, large_file_size));

    const std::string cd = "cd " + g_work.string() + " && ";
    const bool ok = std::system((cd + "zip -q -r small.zip small && zip -q -r large.zip large").c_str()) == 0;
    fs::remove_all(small);
    fs::remove_all(large);
    return ok;
}

void measure()
{
    for (int round = 0; round < rounds; ++round) {
        for (const char* archive : {"small", "large"}) {
            const std::string zip = (g_work / (std::string(archive) + ".zip")).string();
            for (const Tool& t : tools()) {
                const fs::path out = g_work / "out";
                fs::remove_all(out);
                fs::create_directories(out);
                g_times[archive][t.name].push_back(run_timed(t.command(zip, out.string())));
            }
        }
    }
    fs::remove_all(g_work / "out");
}

void BM_Extract(benchmark::State& state, std::string archive, std::string tool)
{
    const auto& times = g_times[archive][tool];
    if (std::any_of(times.begin(), times.end(), [](double t) { return t < 0; })) {
        state.SkipWithError("the tool failed");
        return;
    }
    size_t i = 0;
    for (auto _ : state)
        state.SetIterationTime(times[i++ % times.size()]);
    const double ours = median(g_times[archive]["archive-probe"]);
    state.counters["median_s"] = median(times);
    state.counters["vs_probe"] = ours > 0 ? median(times) / ours : 0;
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    for (const char* tool : {"zip", "unzip", "7z", "bsdtar"}) {
        if (!have(tool)) {
            std::fprintf(stderr, "extract_bench: %s not found, skipped\n", tool);
            return 0;
        }
    }
    if (!make_archives()) {
        std::fprintf(stderr, "extract_bench: could not make the archives\n");
        if (!g_keep)
            fs::remove_all(g_work);
        return 1;
    }
    measure();
    for (const char* archive : {"small", "large"})
        for (const Tool& t : tools())
            benchmark::RegisterBenchmark(("extract/" + std::string(archive) + "/" + t.name).c_str(), BM_Extract,
                                         std::string(archive), t.name)
                ->UseManualTime()
                ->Iterations(rounds)
                ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!g_keep)
        fs::remove_all(g_work);
    return 0;
}

// Peak memory while one 5 GiB entry is extracted: archive-probe (the core as
// the window drives it) against unzip and 7z x on the same Zip64 archive,
// written by Info-ZIP zip from a sparse file (deflated zeros, so the archive
// is a few MB and the run is bound by decoding and writing). Each tool writes
// the file to disk in a scratch folder (VELMORA_BENCH_DIR, default the
// temporary folder; it needs 5 GiB free). Rounds are interleaved tool by
// tool; the counters are the median peak resident set (ru_maxrss) in MiB and
// the median wall clock.
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace velmora::bench;

namespace {

constexpr int rounds = 3;
constexpr uint64_t entry_size = uint64_t{5} << 30;

fs::path g_work;
fs::path g_archive;

const std::vector<extract_tool>& tools()
{
    static const std::vector<extract_tool> list = {
        {"probe", [](const std::string& a, const std::string& o) { return std::vector<std::string>{VELMORA_PROBE_PATH, "extract", a, o}; }},
        {"unzip", [](const std::string& a, const std::string& o) { return std::vector<std::string>{"unzip", "-q", "-o", a, "-d", o}; }},
        {"7z", [](const std::string& a, const std::string& o) { return std::vector<std::string>{"7z", "x", "-y", "-o" + o, a}; }},
    };
    return list;
}

bool make_archive()
{
    const char* dir = std::getenv("VELMORA_BENCH_DIR");
    g_work = fs::path(dir ? dir : fs::temp_directory_path().string()) / ("velmora-memory-bench." + std::to_string(getpid()));
    fs::create_directories(g_work);
    const fs::path big = g_work / "big.bin";
    if (std::FILE* f = std::fopen(big.c_str(), "wb"))
        std::fclose(f);
    std::error_code ec;
    fs::resize_file(big, entry_size, ec); // sparse: no disk space taken
    if (ec)
        return false;
    g_archive = g_work / "big.zip";
    const bool ok = run_command({"zip", "-q", "-1", g_archive.string(), "big.bin"}, g_work).wall >= 0;
    fs::remove(big);
    return ok;
}

std::map<std::string, std::vector<timing>> g_runs;

void measure()
{
    const fs::path out = g_work / "out";
    for (int round = 0; round < rounds; ++round) {
        for (const extract_tool& t : tools()) {
            fs::remove_all(out);
            fs::create_directories(out);
            timing r = run_command(t.command(g_archive.string(), out.string()));
            std::error_code ec;
            if (fs::file_size(out / "big.bin", ec) != entry_size)
                r = {};
            g_runs[t.name].push_back(r);
        }
    }
    fs::remove_all(out);
}

void BM_LargeEntryMemory(benchmark::State& state, std::string tool_name)
{
    std::vector<double> wall, rss;
    for (const timing& r : g_runs[tool_name]) {
        if (r.wall < 0) {
            state.SkipWithError("the extraction failed");
            return;
        }
        wall.push_back(r.wall);
        rss.push_back(static_cast<double>(r.max_rss_kib) / 1024.0);
    }
    for (auto _ : state)
        state.SetIterationTime(median(wall));
    state.counters["peak_rss_MiB"] = median(rss);
    state.counters["wall_s"] = median(wall);
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    for (const char* t : {"zip", "unzip", "7z"}) {
        if (!have(t)) {
            std::fprintf(stderr, "large_entry_memory_bench: %s not found, skipped\n", t);
            return 0;
        }
    }
    if (!make_archive()) {
        std::fprintf(stderr, "large_entry_memory_bench: cannot make the archive in %s\n", g_work.c_str());
        fs::remove_all(g_work);
        return 1;
    }
    measure();
    for (const extract_tool& t : tools())
        benchmark::RegisterBenchmark(("LargeEntryMemory/5GiB/" + t.name).c_str(), BM_LargeEntryMemory, t.name)
            ->UseManualTime()
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(g_work);
    return 0;
}

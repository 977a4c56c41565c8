// LZH and ARJ extraction: our decoders against the tools a user would
// otherwise run on the same archives (lhasa, jlha, unar and 7-Zip for LZH;
// arj, unar and 7-Zip for ARJ), each writing every member to a memory-backed
// folder. Ours runs in process: the archive read whole, each member decoded
// through a sink that updates the entry's CRC and writes the file, and the
// CRC compared; "probe" is the whole reader (archive-probe extract: listing,
// output files, times, checks), spawned like the tools. Rounds are
// interleaved tool by tool; the wall-clock times are measured first and
// reported through Google Benchmark with manual timing; `vs_ours` is a tool's median over ours (above 1: we are faster).
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include "../tests/support/LhaArjArchives.h"
#include "archive/Cls_CRC32.h"
#include "codecs/Crc16.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace velmora;
using namespace velmora::bench;

namespace {

constexpr int rounds = 5;
constexpr int files = 3;
constexpr size_t file_size = size_t{8} << 20; // 24 MiB in all

// Writes the output file and keeps the entry's CRC, as a reader's sink does.
class file_crc_sink final : public ByteSink {
public:
    file_crc_sink(const fs::path& p, bool crc16) : f_(std::fopen(p.c_str(), "wb")), crc16_(crc16) {}
    ~file_crc_sink() override
    {
        if (f_) std::fclose(f_);
    }
    bool write(std::span<const uint8_t> d) override
    {
        if (crc16_)
            crc_ = crc16_update(static_cast<uint16_t>(crc_), d);
        else
            crc_ = crc32_update(crc_, d);
        return f_ && std::fwrite(d.data(), 1, d.size(), f_) == d.size();
    }
    uint32_t crc() const { return crc_; }

private:
    std::FILE* f_;
    bool crc16_;
    uint32_t crc_ = 0;
};

// Our extraction; -1 when a member fails or its CRC differs.
double ours_lzh(const std::string& archive, const std::string& out)
{
    const auto start = std::chrono::steady_clock::now();
    const std::vector<uint8_t> a = read_all(archive);
    int k = 0;
    for (const auto& m : test::list_lzh(a)) {
        const auto method = lha_method_from_id(m.method);
        if (!method) return -1;
        SpanSource src(std::span<const uint8_t>(a).subspan(m.data_offset, m.packed_size));
        file_crc_sink sink(fs::path(out) / ("f" + std::to_string(k++)), true);
        if (LhaDecoder(*method).decode(src, sink, m.size) != DecodeStatus::ok || sink.crc() != m.crc16) return -1;
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double ours_arj(const std::string& archive, const std::string& out)
{
    const auto start = std::chrono::steady_clock::now();
    const std::vector<uint8_t> a = read_all(archive);
    int k = 0;
    for (const auto& m : test::list_arj(a)) {
        SpanSource src(std::span<const uint8_t>(a).subspan(m.data_offset, m.packed_size));
        file_crc_sink sink(fs::path(out) / ("f" + std::to_string(k++)), false);
        if (ArjDecoder(m.method).decode(src, sink, m.size) != DecodeStatus::ok || sink.crc() != m.crc32) return -1;
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct tool {
    std::string name;
    std::function<double(const std::string& archive, const std::string& out)> run;
};

tool spawned(const std::string& name, std::function<std::vector<std::string>(const std::string&, const std::string&)> f)
{
    return {name, [f](const std::string& a, const std::string& o) { return run_timed(f(a, o)); }};
}

std::vector<tool> lzh_tools()
{
    return {{"ours", ours_lzh},
            spawned("probe", [](auto& a, auto& o) { return std::vector<std::string>{VELMORA_PROBE_PATH, "extract", a, o}; }),
            spawned("lhasa", [](auto& a, auto& o) { return std::vector<std::string>{"lhasa", "xqfw=" + o, a}; }),
            spawned("jlha", [](auto& a, auto& o) { return std::vector<std::string>{"jlha", "xqfw=" + o, a}; }),
            spawned("unar", [](auto& a, auto& o) { return std::vector<std::string>{"unar", "-q", "-f", "-o", o, a}; }),
            spawned("7z", [](auto& a, auto& o) { return std::vector<std::string>{"7z", "x", "-y", "-mmt=1", "-o" + o, a}; })};
}

std::vector<tool> arj_tools()
{
    return {{"ours", ours_arj},
            spawned("probe", [](auto& a, auto& o) { return std::vector<std::string>{VELMORA_PROBE_PATH, "extract", a, o}; }),
            spawned("arj", [](auto& a, auto& o) { return std::vector<std::string>{"arj", "x", "-y", a, o + "/"}; }),
            spawned("unar", [](auto& a, auto& o) { return std::vector<std::string>{"unar", "-q", "-f", "-o", o, a}; }),
            spawned("7z", [](auto& a, auto& o) { return std::vector<std::string>{"7z", "x", "-y", "-mmt=1", "-o" + o, a}; })};
}

// Many small files: where each entry's own cost (headers, output files,
// times, the window's progress) counts more than decoding.
constexpr int small_files = 2000;
constexpr size_t small_file_size = 6000;

struct archive_case {
    std::string name;    // the archive's file name in the work folder
    std::string command; // how to make it from f0..f2 (or the folder small/)
    bool lzh;
    uint64_t bytes;      // what it extracts to
};

const std::vector<archive_case>& archives()
{
    static const std::vector<archive_case> list = {
        {"lh5.lzh", "jlha c2o5 lh5.lzh f0 f1 f2", true, files * file_size},
        {"lh7.lzh", "jlha c2o7 lh7.lzh f0 f1 f2", true, files * file_size},
        {"small.lzh", "cd small && jlha c2o5 ../small.lzh *", true, small_files * small_file_size},
        {"m1.arj", "arj a -y -m1 m1.arj f0 f1 f2", false, files * file_size},
        {"m4.arj", "arj a -y -m4 m4.arj f0 f1 f2", false, files * file_size},
        {"small.arj", "cd small && arj a -y -m1 ../small.arj '*'", false, small_files * small_file_size},
    };
    return list;
}

std::map<std::string, std::map<std::string, std::vector<double>>> g_times;
fs::path g_work;

bool make_archives()
{
    const fs::path shm = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    g_work = shm / ("velmora-lzh-arj-bench-" + std::to_string(getpid()));
    fs::create_directories(g_work);
    rng r{0x9E3779B97F4A7C15ULL};
    for (int k = 0; k < files; ++k) {
        std::ofstream f(g_work / ("f" + std::to_string(k)), std::ios::binary);
        const std::string s = make_content(r, file_size);
        f.write(s.data(), static_cast<std::streamsize>(s.size()));
    }
    fs::create_directories(g_work / "small");
    for (int k = 0; k < small_files; ++k) {
        std::ofstream f(g_work / "small" / ("s" + std::to_string(k) + ".txt"), std::ios::binary);
        const std::string s = make_content(r, small_file_size);
        f.write(s.data(), static_cast<std::streamsize>(s.size()));
    }
    for (const auto& a : archives())
        if (std::system(("cd " + g_work.string() + " && " + a.command + " >/dev/null 2>&1").c_str()) != 0) return false;
    return true;
}

void measure()
{
    for (int round = 0; round < rounds; ++round) {
        for (const auto& a : archives()) {
            for (const tool& t : a.lzh ? lzh_tools() : arj_tools()) {
                const fs::path out = g_work / "out";
                fs::remove_all(out);
                fs::create_directories(out);
                g_times[a.name][t.name].push_back(t.run((g_work / a.name).string(), out.string()));
            }
        }
    }
    fs::remove_all(g_work / "out");
}

void BM_Extract(benchmark::State& state, std::string archive, std::string tool_name)
{
    const auto& times = g_times[archive][tool_name];
    if (std::any_of(times.begin(), times.end(), [](double t) { return t < 0; })) {
        state.SkipWithError("failed");
        return;
    }
    size_t i = 0;
    for (auto _ : state) state.SetIterationTime(times[i++ % times.size()]);
    const double ours = median(g_times[archive]["ours"]);
    state.counters["median_s"] = median(times);
    const auto it = std::find_if(archives().begin(), archives().end(), [&](const archive_case& a) { return a.name == archive; });
    state.counters["MB_per_s"] = double(it->bytes) / 1e6 / median(times);
    state.counters["vs_ours"] = ours > 0 ? median(times) / ours : 0;
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    for (const char* t : {"jlha", "lhasa", "arj", "unar", "7z"}) {
        if (!have(t)) {
            std::fprintf(stderr, "lzh_arj_bench: %s not found, skipped\n", t);
            return 0;
        }
    }
    if (!make_archives()) {
        std::fprintf(stderr, "lzh_arj_bench: could not make the archives\n");
        fs::remove_all(g_work);
        return 1;
    }
    measure();
    for (const auto& a : archives())
        for (const tool& t : a.lzh ? lzh_tools() : arj_tools())
            benchmark::RegisterBenchmark(("extract/" + a.name + "/" + t.name).c_str(), BM_Extract, a.name, t.name)
                ->UseManualTime()
                ->Iterations(rounds)
                ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(g_work);
    return 0;
}

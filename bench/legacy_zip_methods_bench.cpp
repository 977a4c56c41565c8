// Shrink, Implode and PPMd: our streaming decoders against Info-ZIP unzip and
// 7-Zip on the same one-entry archives (8 MiB of real text; Shrink and
// Implode streams from the test encoders, PPMd from 7-Zip at -mx=5 and -mx=9).
// Ours runs in process through SpanSource into a CRC-32 sink; the tools run
// as `unzip -p` and `7zz e -so` with output to /dev/null (both check the
// CRC too); `probe` is archive-probe extracting the entry into a file, the
// reader as the window drives it. Rounds are interleaved tool by tool; each line reports its median
// wall time, and `vs_ours` is that median over ours (above 1: we are faster).
#include "../tests/codecs/legacy_zip_test_codecs.h"
#include "../tests/support/ZipEntries.h"

#include <benchmark/benchmark.h>

#include "bench_support.h"
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace velmora;
using namespace velmora::bench;

namespace {

constexpr int rounds = 7;
constexpr size_t text_size = size_t{8} << 20;

// Real text: the packages' copyright notices of a Debian system (or the folder
// named by VELMORA_BENCH_TEXT_DIR), else generated words.
std::vector<uint8_t> real_text()
{
    std::vector<uint8_t> t;
    const char* env = std::getenv("VELMORA_BENCH_TEXT_DIR");
    const fs::path dir = env ? env : "/usr/share/doc";
    std::error_code ec;
    std::vector<fs::path> files;
    for (auto it = fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file(ec) && it->path().filename() == "copyright")
            files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
        const auto b = read_all(f);
        t.insert(t.end(), b.begin(), b.end());
        if (t.size() >= text_size)
            break;
    }
    if (t.size() < text_size) {
        const auto more = test::make_sample(test::sample_kind::text, text_size - t.size());
        t.insert(t.end(), more.begin(), more.end());
    }
    t.resize(text_size);
    return t;
}


class crc_sink final : public ByteSink {
public:
    bool write(std::span<const uint8_t> data) override
    {
        crc = static_cast<uint32_t>(::crc32(crc, data.data(), static_cast<uInt>(data.size())));
        total += data.size();
        return true;
    }
    uint32_t crc = 0;
    uint64_t total = 0;
};

// Our decoders on every entry of the archive, read from disk like the tools
// do; -1 when an entry fails or its CRC or size is wrong.
double run_ours(const fs::path& archive)
{
    const auto start = std::chrono::steady_clock::now();
    const auto zip = read_all(archive);
    for (const auto& e : test::raw_zip_entries(zip)) {
        SpanSource in(e.stored);
        crc_sink sink;
        DecodeStatus st = DecodeStatus::unsupported;
        if (e.method == 1)
            st = ShrinkDecoder().decode(in, sink, e.size);
        else if (e.method == 6)
            st = ImplodeDecoder().decode(in, sink, e.size, e.flags);
        else if (e.method == 98)
            st = Ppmd8Decoder().decode(in, sink, e.size);
        if (st != DecodeStatus::ok || sink.crc != e.crc || sink.total != e.size)
            return -1;
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct archive_case {
    std::string name;
    bool unzip_reads;   // Info-ZIP unzip decodes the method
};

fs::path g_work;
std::vector<archive_case> g_archives;
std::vector<std::string> g_tools;
std::map<std::string, std::map<std::string, std::vector<double>>> g_times;

bool make_archives()
{
    const fs::path shm = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    g_work = shm / ("velmora-legacy-bench-" + std::to_string(getpid()));
    fs::create_directories(g_work);
    const auto text = real_text();
    const auto put = [&](const std::string& name, uint16_t method, uint16_t flags, std::vector<uint8_t> stored) {
        const auto zip = test::make_raw_zip({{"text.txt", method, flags, std::move(stored), text}});
        std::ofstream out(g_work / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(zip.data()), static_cast<std::streamsize>(zip.size()));
        g_archives.push_back({name, true});
    };
    put("shrink.zip", 1, 0, test::shrink_encode(text));
    put("implode_8k_3trees.zip", 6, 6, test::implode_encode(text, 6));
    put("implode_4k_2trees.zip", 6, 0, test::implode_encode(text, 0));

    const std::string seven = have("7zz") ? "7zz" : "7z";
    {
        std::ofstream out(g_work / "text.txt", std::ios::binary);
        out.write(reinterpret_cast<const char*>(text.data()), static_cast<std::streamsize>(text.size()));
    }
    for (const char* level : {"5", "9"}) {
        const std::string name = std::string("ppmd_mx") + level + ".zip";
        if (std::system(("cd " + g_work.string() + " && " + seven + " a -tzip -mm=PPMd -mx=" + level + " " + name +
                         " text.txt >/dev/null")
                            .c_str()) != 0)
            return false;
        g_archives.push_back({name, false});
    }
    fs::remove(g_work / "text.txt");
    return true;
}

void measure()
{
    for (int round = 0; round < rounds; ++round) {
        for (const auto& a : g_archives) {
            const std::string zip = (g_work / a.name).string();
            for (const auto& tool : g_tools) {
                double t = -1;
                if (tool == "ours") {
                    t = run_ours(zip);
                } else if (tool == "probe") {
                    // The reader as the window drives it, writing the file.
                    const fs::path out = g_work / "out";
                    fs::remove_all(out);
                    fs::create_directories(out);
                    t = run_timed({VELMORA_PROBE_PATH, "extract", zip, out.string()});
                    fs::remove_all(out);
                } else if (tool == "unzip") {
                    t = a.unzip_reads ? run_timed({"unzip", "-p", zip}) : -2;
                } else {
                    t = run_timed({tool, "e", "-so", "-mmt=1", zip});
                }
                g_times[a.name][tool].push_back(t);
            }
        }
    }
}

void BM_Decode(benchmark::State& state, std::string archive, std::string tool)
{
    const auto& times = g_times[archive][tool];
    if (std::any_of(times.begin(), times.end(), [](double t) { return t < 0; })) {
        state.SkipWithError(times.empty() || times[0] != -2 ? "the decoder failed" : "method not supported");
        return;
    }
    size_t i = 0;
    for (auto _ : state)
        state.SetIterationTime(times[i++ % times.size()]);
    const double ours = median(g_times[archive]["ours"]);
    state.counters["median_s"] = median(times);
    state.counters["MB/s"] = static_cast<double>(text_size) / 1e6 / median(times);
    state.counters["vs_ours"] = ours > 0 ? median(times) / ours : 0;
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    g_tools.push_back("ours");
    g_tools.push_back("probe");
    for (const char* tool : {"unzip", "7zz", "7z"})
        if (have(tool))
            g_tools.push_back(tool);
    if (!make_archives()) {
        std::fprintf(stderr, "legacy_zip_methods_bench: could not make the archives\n");
        fs::remove_all(g_work);
        return 1;
    }
    measure();
    for (const auto& a : g_archives)
        for (const auto& t : g_tools)
            benchmark::RegisterBenchmark(("decode/" + a.name + "/" + t).c_str(), BM_Decode, a.name, t)
                ->UseManualTime()
                ->Iterations(rounds)
                ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(g_work);
    return 0;
}

// RAR 5 extraction: our header walk, decoder and checksum check against unar
// and bsdtar on the same archives. `ours` runs the decoder in memory from the
// archive file to a checksumming sink; `probe` (archive-probe, the reader as
// the window drives it) and the peers run as processes writing every entry
// as a file into a scratch folder, so their times include process start (the
// tiny `stored` archive shows that cost). Rounds are interleaved tool by
// tool; medians of wall-clock and of CPU time are reported, CPU time being
// the steadier one on a shared machine. Extra archives: VELMORA_RAR5_BENCH
// (colon-separated paths).
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "archive/BinaryFile.h"
#include "archive/Cls_CRC32.h"
#include "codecs/Blake2sp.h"
#include "codecs/Rar5Decoder.h"
#include "formats/catalogue/Rar5Headers.h"

namespace fs = std::filesystem;
using namespace velmora;
using namespace velmora::bench;

namespace {

constexpr int rounds = 7;

double cpu_now()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// A sink that keeps the CRC-32 and BLAKE2sp of what it is given.
class check_sink final : public ByteSink {
public:
    explicit check_sink(bool blake) : blake_(blake) {}
    bool write(std::span<const uint8_t> data) override
    {
        if (blake_)
            hash.update(data);
        else
            crc = crc32_update(crc, data);
        total += data.size();
        return true;
    }
    uint32_t crc = 0;
    Blake2sp hash;
    uint64_t total = 0;

private:
    bool blake_;
};

// Reads, walks and decodes the whole archive; false when a file does not
// decode or check. out_bytes gets the unpacked total.
bool extract_ours(const std::string& path, uint64_t& out_bytes)
{
    std::vector<uint8_t> bytes;
    if (!read_whole_file(path, bytes))
        return false;
    const auto l = rar5::read_headers(bytes);
    Rar5Decoder dec;
    out_bytes = 0;
    for (const auto& r : l.records) {
        if (r.is_service() || r.is_dir() || r.encrypted() || r.data_size == 0 || r.split_before() || r.split_after())
            continue;
        check_sink sink(r.blake2sp.has_value());
        SpanSource src(std::span<const uint8_t>(bytes).subspan(r.data_offset, r.data_size));
        if (r.method() == 0) {
            sink.write(std::span<const uint8_t>(bytes).subspan(r.data_offset, r.data_size));
        } else {
            dec.set_dictionary(r.dictionary_size(), r.extended_distances());
            if (dec.decode(src, sink, r.unpacked_size, r.solid()) != DecodeStatus::ok)
                return false;
        }
        if (r.blake2sp ? sink.hash.finish() != *r.blake2sp : sink.crc != r.crc32.value_or(sink.crc))
            return false;
        out_bytes += sink.total;
    }
    return true;
}

struct archive_entry {
    std::string name;
    std::string path;
    uint64_t out_bytes = 0;
};

// "probe": the whole reader as the window drives it (listing, checks and
// every file written); it and the peers write every entry as a file into a
// scratch folder.
const char* const tool_names[] = {"ours", "probe", "unar", "bsdtar"};

// Every entry to standard output: only to count what a tool gives.
std::vector<std::string> command(const std::string& tool, const std::string& path)
{
    if (tool == "unar")
        return {"unar", "-q", "-o", "-", path};
    return {"bsdtar", "-xOf", path};
}

// The timed extraction: every entry written as a file into `out`.
std::vector<std::string> extract_command(const std::string& tool, const std::string& path, const std::string& out)
{
    if (tool == "probe")
        return {VELMORA_PROBE_PATH, "extract", path, out};
    if (tool == "unar")
        return {"unar", "-q", "-f", "-o", out, path};
    return {"bsdtar", "-xf", path, "-C", out};
}

// Bytes a tool writes for the whole archive (unar 1.10 writes nothing for
// solid RAR 5 archives and still exits 0).
uint64_t output_size(const std::vector<std::string>& args)
{
    std::string cmd;
    for (const auto& a : args)
        cmd += "'" + a + "' ";
    FILE* p = popen((cmd + "2>/dev/null").c_str(), "r");
    if (!p)
        return 0;
    std::vector<char> buf(1 << 16);
    uint64_t total = 0;
    for (size_t n; (n = fread(buf.data(), 1, buf.size(), p)) > 0;)
        total += n;
    pclose(p);
    return total;
}

std::map<std::string, std::map<std::string, uint64_t>> g_written;

std::map<std::string, std::map<std::string, std::vector<timing>>> g_times;

void measure(std::vector<archive_entry>& archives)
{
    for (int round = 0; round < rounds; ++round) {
        for (auto& a : archives) {
            for (const char* tool : tool_names) {
                timing t;
                if (std::string(tool) == "ours") {
                    const auto w0 = std::chrono::steady_clock::now();
                    const double c0 = cpu_now();
                    if (extract_ours(a.path, a.out_bytes)) {
                        t.cpu = cpu_now() - c0;
                        t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
                    }
                } else {
                    if (round == 0 && std::string(tool) != "probe")
                        g_written[a.name][tool] = output_size(command(tool, a.path));
                    const fs::path out = fs::temp_directory_path() / ("velmora-rar5-bench." + std::to_string(getpid()));
                    fs::remove_all(out);
                    fs::create_directories(out);
                    t = run_command(extract_command(tool, a.path, out.string()), {}, true);
                    fs::remove_all(out);
                }
                g_times[a.name][tool].push_back(t);
            }
        }
    }
}

void BM_Rar5(benchmark::State& state, std::string archive, std::string tool, uint64_t out_bytes)
{
    const auto& times = g_times[archive][tool];
    if (tool != "ours" && tool != "probe" && g_written[archive][tool] != out_bytes) {
        state.SkipWithError(("wrote " + std::to_string(g_written[archive][tool]) + " of " + std::to_string(out_bytes)
                             + " bytes").c_str());
        return;
    }
    std::vector<double> wall, cpu;
    for (const auto& t : times) {
        if (t.wall < 0) {
            state.SkipWithError("the tool failed on this archive");
            return;
        }
        wall.push_back(t.wall);
        cpu.push_back(t.cpu);
    }
    size_t i = 0;
    for (auto _ : state)
        state.SetIterationTime(wall[i++ % wall.size()]);
    std::vector<double> ours_cpu;
    for (const auto& t : g_times[archive]["ours"])
        ours_cpu.push_back(t.cpu);
    state.counters["median_wall_s"] = median(wall);
    state.counters["median_cpu_s"] = median(cpu);
    state.counters["cpu_vs_ours"] = median(ours_cpu) > 0 ? median(cpu) / median(ours_cpu) : 0;
    state.counters["out_MB_per_cpu_s"] = median(cpu) > 0 ? out_bytes / 1e6 / median(cpu) : 0;
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    for (const char* tool : {"unar", "bsdtar"}) {
        if (std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) != 0) {
            std::fprintf(stderr, "rar5_bench: %s not found, skipped\n", tool);
            return 0;
        }
    }
    const fs::path data = fs::path(__FILE__).parent_path().parent_path() / "tests" / "data" / "rar";
    std::vector<archive_entry> archives = {
        {"stored", (data / "rar5_stored.rar").string()},
        {"large_64MiB", (data / "rar5_sharpcompress_large.rar").string()},
        {"arm_filter", (data / "rar5_arm.rar").string()},
        {"e8_filter", (data / "rar5_sharpcompress_comment.rar").string()},
        {"solid", (data / "rar5_solid.rar").string()},
    };
    if (const char* extra = std::getenv("VELMORA_RAR5_BENCH")) {
        std::string list = extra;
        for (size_t start = 0; start <= list.size();) {
            const size_t end = std::min(list.find(':', start), list.size());
            const std::string p = list.substr(start, end - start);
            if (!p.empty())
                archives.push_back({fs::path(p).filename().string(), p});
            start = end + 1;
        }
    }
    measure(archives);
    for (const auto& a : archives)
        for (const char* tool : tool_names)
            benchmark::RegisterBenchmark(("rar5/" + a.name + "/" + tool).c_str(), BM_Rar5, a.name, std::string(tool),
                                         a.out_bytes)
                ->UseManualTime()
                ->Iterations(rounds)
                ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

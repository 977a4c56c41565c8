// ARC and cabinet extraction: our decoders against the tools users would
// otherwise run on the same archive (arc and unar for ARC; cabextract, gcab
// and 7-Zip for cabinets), every side writing the files into a memory-backed
// folder. The ARC archives are made by arc (crunched and squashed); the
// cabinets repeat the folders of two real ones (LZX 2^21 from makecab,
// Quantum 2^18) so that decoding, not start-up, dominates, and gcab makes an
// MSZIP one. Rounds are interleaved tool by tool; each tool's counter
// `vs_ours` is its median time over ours (above 1: we are faster), for
// wall-clock time and, since other load on the machine stretches wall-clock
// time, for CPU time (user + system) too. "ours" runs the decoders in this
// process; "probe" is the whole reader (archive-probe: listing, the
// extraction run, CRC and checksum checks, temporary files), a process like
// the tools, whose start-up (a few milliseconds) is part of their time.
#include "../tests/support/ArcBuilder.h"
#include "../tests/support/CabFolders.h"
#include "codecs/ArcDecoder.h"

#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace velmora;
using namespace velmora::bench;

namespace {

constexpr int rounds = 5;
constexpr int lzx_copies = 8;      // 8 x 14 MiB
constexpr int quantum_copies = 64; // 64 x 512 KiB

fs::path g_work;

void write_all(const fs::path& p, std::span<const uint8_t> bytes)
{
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

template <typename F>
timing time_ours(F&& extract)
{
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    const bool ok = extract();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    getrusage(RUSAGE_SELF, &after);
    if (!ok)
        return {};
    return {seconds, cpu_seconds(after) - cpu_seconds(before)};
}

// Writes decoded output straight to a file, as a reader's sink would.
class FileSink final : public ByteSink {
public:
    explicit FileSink(const fs::path& p) : f_(std::fopen(p.c_str(), "wb")) {}
    ~FileSink() override
    {
        if (f_)
            std::fclose(f_);
    }
    bool write(std::span<const uint8_t> data) override
    {
        return f_ && std::fwrite(data.data(), 1, data.size(), f_) == data.size();
    }

private:
    std::FILE* f_;
};

bool extract_arc(const fs::path& archive, const fs::path& out)
{
    const auto bytes = read_all(archive);
    ArcDecoder decoder;
    for (const auto& e : test::arc_walk(bytes)) {
        SpanSource src(std::span<const uint8_t>(bytes).subspan(e.data_offset, e.packed_size));
        FileSink sink(out / e.name);
        if (decoder.decode(e.method, src, sink, e.size) != DecodeStatus::ok)
            return false;
    }
    return true;
}

// Streams each folder a block at a time into the files that lie in it, as a
// reader extracting whole folders would.
bool extract_cab(const fs::path& archive, const fs::path& out)
{
    const auto bytes = read_all(archive);
    const test::Cabinet cab = test::cab_read(bytes);
    LzxDecoder lzx;
    QuantumDecoder quantum;
    std::vector<uint8_t> frame(LzxDecoder::frame_size);
    for (size_t f = 0; f < cab.folders.size(); ++f) {
        const auto& folder = cab.folders[f];
        const bool is_lzx = folder.method() == 3;
        if ((is_lzx ? lzx.reset(folder.window_bits()) : quantum.reset(folder.window_bits())) != DecodeStatus::ok)
            return false;
        std::vector<std::pair<const test::CabFile*, std::FILE*>> files;
        for (const auto& file : cab.files)
            if (file.folder == f)
                files.emplace_back(&file, std::fopen((out / file.name).c_str(), "wb"));
        uint64_t at = 0;
        bool ok = true;
        for (const auto& block : folder.blocks) {
            const std::span<uint8_t> o(frame.data(), block.uncompressed);
            if ((is_lzx ? lzx.decode_block(block.data, o) : quantum.decode_block(block.data, o)) != DecodeStatus::ok) {
                ok = false;
                break;
            }
            for (auto& [file, fp] : files) {
                const uint64_t lo = std::max<uint64_t>(at, file->offset);
                const uint64_t hi = std::min<uint64_t>(at + o.size(), uint64_t{file->offset} + file->size);
                if (lo < hi && fp)
                    std::fwrite(o.data() + (lo - at), 1, hi - lo, fp);
            }
            at += o.size();
        }
        for (auto& [file, fp] : files)
            if (fp)
                std::fclose(fp);
        if (!ok)
            return false;
    }
    return true;
}

// A cabinet whose `copies` folders all point at the CFDATA blocks of the
// source cabinet's first folder, one file per folder.
bool repeat_folder(const fs::path& source, int copies, const fs::path& target)
{
    const auto src = read_all(source);
    const test::Cabinet cab = test::cab_read(src);
    if (cab.folders.empty() || cab.files.empty())
        return false;
    // The source's first CFFOLDER record (36-byte header, no reserve fields).
    if (src.size() < 44 || (src[30] & 4))
        return false;
    const uint32_t file_size = cab.files[0].size;
    std::vector<uint8_t> out(src.begin(), src.begin() + 36);
    auto le = [&out](uint32_t v, int n) {
        for (int i = 0; i < n; ++i)
            out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    const uint32_t folders_end = 36 + 8 * static_cast<uint32_t>(copies);
    std::vector<uint8_t> files;
    for (int k = 0; k < copies; ++k) {
        const std::string name = "copy" + std::to_string(k) + ".bin";
        for (int i = 0; i < 4; ++i)
            files.push_back(static_cast<uint8_t>(file_size >> (8 * i)));
        files.insert(files.end(), {0, 0, 0, 0, static_cast<uint8_t>(k), static_cast<uint8_t>(k >> 8), 0x21, 0x50, 0, 0x60,
                                   0x20, 0});
        files.insert(files.end(), name.begin(), name.end());
        files.push_back(0);
    }
    const uint32_t data_at = folders_end + static_cast<uint32_t>(files.size());
    uint32_t old_data_at = 0;
    for (int i = 3; i >= 0; --i)
        old_data_at = (old_data_at << 8) | src[36 + i];
    for (int k = 0; k < copies; ++k) {
        le(data_at, 4);
        out.push_back(src[40]);
        out.push_back(src[41]);
        out.push_back(src[42]);
        out.push_back(src[43]);
    }
    out.insert(out.end(), files.begin(), files.end());
    // The data blocks: everything from the source folder's first CFDATA to the end.
    out.insert(out.end(), src.begin() + old_data_at, src.end());
    const auto size = static_cast<uint32_t>(out.size());
    for (int i = 0; i < 4; ++i) {
        out[8 + i] = static_cast<uint8_t>(size >> (8 * i));
        out[16 + i] = static_cast<uint8_t>(folders_end >> (8 * i)); // coffFiles
    }
    out[26] = static_cast<uint8_t>(copies);
    out[27] = static_cast<uint8_t>(copies >> 8);
    out[28] = static_cast<uint8_t>(copies);
    out[29] = static_cast<uint8_t>(copies >> 8);
    out[30] = out[31] = 0; // no previous or next cabinet
    write_all(target, out);
    return true;
}

std::vector<uint8_t> text_like(size_t n, uint64_t seed)
{
    static const char* words[] = {"archive ", "entry ", "crunched ", "squashed ", "the ", "and ", "of ",
                                  "header ", "method ", "ARC ",  "5.21 ",    "data\r\n"};
    std::vector<uint8_t> v;
    while (v.size() < n) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        const char* w = (seed >> 60) < 12 ? words[seed >> 60] : "x";
        v.insert(v.end(), w, w + std::char_traits<char>::length(w));
        if ((seed >> 20) % 7 == 0) {
            const auto num = std::to_string((seed >> 24) % 100000);
            v.insert(v.end(), num.begin(), num.end());
        }
    }
    v.resize(n);
    return v;
}

struct Case {
    std::string archive;
    std::map<std::string, std::function<timing(const fs::path& out)>> tools;
};

std::vector<Case> g_cases;
std::map<std::string, std::map<std::string, std::vector<timing>>> g_times;

bool make_cases(const fs::path& data)
{
    const fs::path src = g_work / "src";
    fs::create_directories(src);
    // One file: unar 1.10 stops on the second large entry of an archive, and
    // takes nothing of 16 MiB or more for ARC.
    write_all(src / "text.txt", text_like(15u << 20, 1));
    if (run_command({"gcab", "-c", "-z", (g_work / "mszip.cab").string(), "text.txt"}, src).wall < 0)
        return false;
    for (const char* cmd : {"a", "aq"}) {
        const std::string name = std::string(cmd) + ".arc";
        if (run_command({"arc", cmd, (g_work / name).string(), "text.txt"}, src).wall < 0)
            return false;
    }
    if (!repeat_folder(data / "cab" / "mspack" / "large-files-cab.cab", lzx_copies, g_work / "lzx.cab") ||
        !repeat_folder(data / "cab" / "mspack" / "cve-2010-2801-qtm-flush.cab", quantum_copies, g_work / "quantum.cab"))
        return false;
    for (const char* arc : {"a.arc", "aq.arc"}) {
        const fs::path a = g_work / arc;
        g_cases.push_back(Case{arc,
                               {{"ours", [a](const fs::path& o) { return time_ours([&] { return extract_arc(a, o); }); }},
                                {"probe", [a](const fs::path& o) {
                                     return run_command({VELMORA_PROBE_PATH, "extract", a.string(), o.string()}, o);
                                 }},
                                {"arc", [a](const fs::path& o) { return run_command({"arc", "xo", a.string()}, o); }},
                                {"unar", [a](const fs::path& o) {
                                     return run_command({"unar", "-q", "-f", "-D", "-o", o.string(), a.string()}, o);
                                 }}}});
    }
    for (const char* cab : {"lzx.cab", "quantum.cab"}) {
        const fs::path c = g_work / cab;
        g_cases.push_back(
            Case{cab,
                 {{"ours", [c](const fs::path& o) { return time_ours([&] { return extract_cab(c, o); }); }},
                  {"probe", [c](const fs::path& o) {
                       return run_command({VELMORA_PROBE_PATH, "extract", c.string(), o.string()}, o);
                   }},
                  {"cabextract", [c](const fs::path& o) { return run_command({"cabextract", "-q", "-d", o.string(), c.string()}, o); }},
                  {"7z", [c](const fs::path& o) {
                       return run_command({"7z", "x", "-y", "-mmt=1", "-o" + o.string(), c.string()}, o);
                   }}}});
    }
    // MSZIP: the whole reader only (the in-process "ours" takes LZX and
    // Quantum folders), against cabextract, gcab and 7-Zip.
    const fs::path m = g_work / "mszip.cab";
    g_cases.push_back(Case{
        "mszip.cab",
        {{"ours", [m](const fs::path& o) { return run_command({VELMORA_PROBE_PATH, "extract", m.string(), o.string()}, o); }},
         {"cabextract", [m](const fs::path& o) { return run_command({"cabextract", "-q", "-d", o.string(), m.string()}, o); }},
         {"gcab", [m](const fs::path& o) { return run_command({"gcab", "-x", "-C", o.string(), m.string()}, o); }},
         {"7z", [m](const fs::path& o) { return run_command({"7z", "x", "-y", "-mmt=1", "-o" + o.string(), m.string()}, o); }}}});
    fs::remove_all(src);
    return true;
}

void measure()
{
    const fs::path out = g_work / "out";
    for (int round = 0; round < rounds; ++round)
        for (const auto& c : g_cases)
            for (const auto& [tool, run] : c.tools) {
                fs::remove_all(out);
                fs::create_directories(out);
                g_times[c.archive][tool].push_back(run(out));
            }
    fs::remove_all(out);
}

double median(const std::vector<timing>& times, double timing::*field)
{
    std::vector<double> v;
    for (const auto& t : times)
        v.push_back(t.*field);
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void BM_Extract(benchmark::State& state, std::string archive, std::string tool)
{
    const auto& times = g_times[archive][tool];
    if (std::any_of(times.begin(), times.end(), [](const timing& t) { return t.wall < 0; })) {
        state.SkipWithError("the extraction failed");
        return;
    }
    size_t i = 0;
    for (auto _ : state)
        state.SetIterationTime(times[i++ % times.size()].wall);
    const auto& ours = g_times[archive]["ours"];
    const double wall = median(times, &timing::wall);
    const double cpu = median(times, &timing::cpu);
    const double our_wall = median(ours, &timing::wall);
    const double our_cpu = median(ours, &timing::cpu);
    state.counters["median_s"] = wall;
    state.counters["cpu_s"] = cpu;
    state.counters["vs_ours"] = our_wall > 0 ? wall / our_wall : 0;
    state.counters["cpu_vs_ours"] = our_cpu > 0 ? cpu / our_cpu : 0;
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    for (const char* tool : {"arc", "unar", "cabextract", "gcab", "7z"}) {
        if (std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) != 0) {
            std::fprintf(stderr, "arc_cab_bench: %s not found, skipped\n", tool);
            return 0;
        }
    }
    const fs::path shm = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    g_work = shm / ("velmora-arc-cab-bench-" + std::to_string(getpid()));
    fs::create_directories(g_work);
    // The repository's test data, beside this file's folder.
    if (!make_cases(fs::path(__FILE__).parent_path().parent_path() / "tests" / "data")) {
        std::fprintf(stderr, "arc_cab_bench: could not make the archives\n");
        fs::remove_all(g_work);
        return 1;
    }
    measure();
    for (const auto& c : g_cases)
        for (const auto& [tool, run] : c.tools)
            benchmark::RegisterBenchmark(("extract/" + c.archive + "/" + tool).c_str(), BM_Extract, c.archive, tool)
                ->UseManualTime()
                ->Iterations(rounds)
                ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(g_work);
    return 0;
}

// RAR 2.9-4.x extraction: our decoder against unar and bsdtar on the same
// archives, each writing every entry to a memory-backed folder. Our side is
// this program run again with --extract (walk the blocks, decode, check each
// CRC-32, write the files), so process start-up counts for every tool alike;
// `probe` is the whole reader as the window drives it (archive-probe).
// Archives: a non-solid and a solid archive of the same 9 MiB of mixed files
// (text, binary stretches, x86 code through the E8 filter, audio through the
// audio filter) written by the test writer, and two WinRAR archives from
// tests/data (20 MB from LZ blocks; 242 MB from LZ and PPMd blocks). Rounds are
// interleaved tool by tool; each tool's counter `vs_ours` is its median time
// over ours (above 1: we are faster). A tool that fails shows as 0.
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "../tests/support/Rar3TestWriter.h"
#include "../tests/support/RarBlockWalker.h"
#include "archive/Cls_CRC32.h"
#include "codecs/Rar3Decoder.h"

namespace fs = std::filesystem;
using namespace velmora;
using namespace velmora::bench;

namespace {

constexpr int rounds = 5;

// ---------------------------------------------------------------------------
// Our extractor (the --extract mode).

class file_sink final : public ByteSink {
public:
    explicit file_sink(const fs::path& p) : f_(std::fopen(p.c_str(), "wb")) {}
    ~file_sink() override
    {
        if (f_)
            std::fclose(f_);
    }
    bool write(std::span<const uint8_t> data) override
    {
        crc = crc32_update(crc, data);
        return f_ && std::fwrite(data.data(), 1, data.size(), f_) == data.size();
    }
    uint32_t crc = 0;

private:
    std::FILE* f_;
};

int extract(const fs::path& archive, const fs::path& out)
{
    const std::vector<uint8_t> file = read_all(archive);
    const test::rar_archive a = test::walk_rar(file);
    if (a.entries.empty())
        return 1;
    Rar3Decoder decoder;
    bool first = true;
    int failures = 0;
    for (const test::rar_entry& e : a.entries) {
        std::string name = e.name;
        std::replace(name.begin(), name.end(), '\\', '/');
        const fs::path target = out / name;
        if (e.is_dir()) {
            fs::create_directories(target);
            continue;
        }
        fs::create_directories(target.parent_path());
        file_sink sink(target);
        const auto packed = test::rar_packed_data(file, e);
        if (e.stored()) {
            sink.write(packed.first(std::min<size_t>(packed.size(), e.unp_size)));
        } else {
            SpanSource src(packed);
            if (decoder.decode(src, sink, e.unp_size, e.solid() && !first) != DecodeStatus::ok)
                ++failures;
            first = false;
        }
        if (sink.crc != e.crc)
            ++failures;
    }
    return failures == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------
// The archives.

std::vector<uint8_t> text_like(std::mt19937& r, size_t n)
{
    static const char* const words[] = {"archive", "entry",  "folder",  "stored", "window", "length", "distance",
                                        "header",  "filter", "version", "method", "record", "offset", "the",
                                        "and",     "of",     "to",      "in",     "with",   "data",   "time"};
    std::vector<uint8_t> v;
    while (v.size() < n) {
        if (r() % 6 == 0) {
            for (unsigned i = 0, k = 64 + r() % 256; i < k; ++i)
                v.push_back(static_cast<uint8_t>(r()));
        } else {
            for (unsigned i = 0, k = 8 + r() % 48; i < k; ++i) {
                const std::string w = words[r() % std::size(words)];
                v.insert(v.end(), w.begin(), w.end());
                const std::string sep = r() % 8 == 0 ? " " + std::to_string(r() % 100000) + "\n" : " ";
                v.insert(v.end(), sep.begin(), sep.end());
            }
        }
    }
    v.resize(n);
    return v;
}

std::vector<uint8_t> code_like(std::mt19937& r, size_t n)
{
    std::vector<uint8_t> v;
    static const uint8_t ops[] = {0x55, 0x89, 0xE5, 0x8B, 0x45, 0x08, 0x83, 0xEC, 0x10, 0xC3, 0x90, 0x48, 0x8D};
    std::vector<uint32_t> targets(64);
    for (auto& t : targets)
        t = r() % (1u << 20);
    while (v.size() < n) {
        if (r() % 6 == 0) {
            v.push_back(0xE8);
            const uint32_t rel = targets[r() % targets.size()] - static_cast<uint32_t>(v.size());
            for (int k = 0; k < 4; ++k)
                v.push_back(static_cast<uint8_t>(rel >> (8 * k)));
        } else {
            for (unsigned i = 0, k = 2 + r() % 6; i < k; ++i)
                v.push_back(ops[r() % std::size(ops)]);
        }
    }
    v.resize(n);
    return v;
}

std::vector<uint8_t> audio_like(std::mt19937& r, size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(128 + 80 * std::sin(static_cast<double>(i / 2) / (9.0 + i % 2)) + r() % 9 - 4);
    return v;
}

struct bench_archive {
    std::string name;
    fs::path path;
    uint64_t bytes_out = 0;
};

std::vector<bench_archive> g_archives;
fs::path g_work;

bool make_archives()
{
    const fs::path shm = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    g_work = shm / ("velmora-rar3-bench-" + std::to_string(getpid()));
    fs::create_directories(g_work);

    std::mt19937 r(2024);
    std::vector<test::rar3_entry_input> entries;
    std::vector<std::string> names;
    constexpr size_t file_size = 768 * 1024;
    for (int k = 0; k < 12; ++k) {
        test::rar3_entry_input e;
        if (k % 4 == 1) {
            e.data = code_like(r, file_size);
            e.filters.push_back({0, 200000, Rar3FilterKind::e8});
        } else if (k == 6) {
            e.data = audio_like(r, file_size);
            e.filters.push_back({0, 120000, Rar3FilterKind::audio, 2});
        } else {
            e.data = text_like(r, file_size);
        }
        e.new_tables = k % 3 == 0;
        names.push_back("dir" + std::to_string(k % 3) + "/file" + std::to_string(k) + ".bin");
        entries.push_back(std::move(e));
    }
    uint64_t total = 0;
    for (const auto& e : entries)
        total += e.data.size();
    test::rar3_stream_options opt;
    opt.block_items = 60000;
    opt.max_chain = 48;
    // The same files without filters as well: libarchive 3.6 stops at the
    // first E8 or audio filter block, so only those archives compare with it.
    std::vector<test::rar3_entry_input> plain = entries;
    for (auto& e : plain)
        e.filters.clear();
    for (const bool filtered : {true, false}) {
        for (const bool solid : {false, true}) {
            const std::vector<uint8_t> a = test::rar3_make_archive(names, filtered ? entries : plain, solid, opt);
            const std::string name = std::string(solid ? "solid" : "nonsolid") + (filtered ? "" : "_plain");
            const fs::path p = g_work / (name + ".rar");
            std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(a.data()), static_cast<std::streamsize>(a.size()));
            g_archives.push_back({name + "_9MiB", p, total});
        }
    }
    const fs::path data = fs::path(__FILE__).parent_path() / "../tests/data/rar/rar3";
    for (const auto& [name, file] : {std::pair{"winrar_lz_20MB", "test_read_format_rar_multi_lzss_blocks.rar"},
                                     std::pair{"winrar_lz_ppmd_242MB", "test_read_format_rar_ppmd_lzss_conversion.rar"}}) {
        const fs::path p = data / file;
        if (!fs::exists(p))
            continue;
        const auto bytes = read_all(p);
        const test::rar_archive a = test::walk_rar(bytes);
        uint64_t out = 0;
        for (const auto& e : a.entries)
            out += e.unp_size;
        g_archives.push_back({name, p, out});
    }
    return true;
}

// ---------------------------------------------------------------------------
// Timing.

std::string g_self;

const std::vector<extract_tool>& tools()
{
    static const std::vector<extract_tool> list = {
        {"ours", [](const std::string& a, const std::string& o) { return std::vector<std::string>{g_self, "--extract", a, o}; }},
        // The whole reader as the window drives it: listing, checks, files.
        {"probe", [](const std::string& a, const std::string& o) { return std::vector<std::string>{VELMORA_PROBE_PATH, "extract", a, o}; }},
        {"unar", [](const std::string& a, const std::string& o) { return std::vector<std::string>{"unar", "-q", "-f", "-o", o, a}; }},
        {"bsdtar", [](const std::string& a, const std::string& o) { return std::vector<std::string>{"bsdtar", "-xf", a, "-C", o}; }},
    };
    return list;
}

std::map<std::string, std::map<std::string, std::vector<double>>> g_times;

void measure()
{
    for (int round = 0; round < rounds; ++round) {
        for (const bench_archive& a : g_archives) {
            for (const extract_tool& t : tools()) {
                const fs::path out = g_work / "out";
                fs::remove_all(out);
                fs::create_directories(out);
                g_times[a.name][t.name].push_back(run_timed(t.command(a.path.string(), out.string())));
            }
        }
    }
    fs::remove_all(g_work / "out");
}

void BM_ExtractRar3(benchmark::State& state, const bench_archive* a, std::string tool_name)
{
    const auto& times = g_times[a->name][tool_name];
    const bool failed = std::any_of(times.begin(), times.end(), [](double t) { return t < 0; });
    const double med = failed ? 0 : median(times);
    for (auto _ : state)
        state.SetIterationTime(med);
    const double ours = median(g_times[a->name]["ours"]);
    state.counters["MB_per_s"] = med > 0 ? static_cast<double>(a->bytes_out) / med / 1e6 : 0;
    state.counters["vs_ours"] = med > 0 && ours > 0 ? med / ours : 0;
    state.counters["failed"] = failed ? 1 : 0;
}


} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--extract")
        return extract(argv[2], argv[3]);
    g_self = fs::canonical("/proc/self/exe").string();
    if (!have("unar") || !have("bsdtar") || !make_archives()) {
        std::fprintf(stderr, "rar3_bench: needs unar and bsdtar\n");
        return 1;
    }
    measure();
    for (const bench_archive& a : g_archives)
        for (const extract_tool& t : tools())
            benchmark::RegisterBenchmark(("ExtractRar3/" + a.name + "/" + t.name).c_str(), BM_ExtractRar3, &a, t.name)
                ->UseManualTime()
                ->Iterations(1)
                ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(g_work);
    return 0;
}

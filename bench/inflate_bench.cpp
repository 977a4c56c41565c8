// Inflate throughput (output bytes per second) against zlib's inflate,
// libdeflate_deflate_decompress and memcpy of the same size, on real files of
// three classes (text, binaries, mixed) compressed by zlib at levels 1, 6 and
// 9, and Deflate64 against Deflate on streams made by 7-Zip. Ours runs twice:
// the whole-buffer Inflate, and the stream decoder pulling from a source over
// the packed bytes and pushing to a sink that copies into a preallocated
// buffer (what extraction does, minus the disk). The references decode whole
// buffers into a buffer of known size. The decoders run in turn within each
// round, so the per-round ratios survive machine drift.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <malloc.h>
#include <unistd.h>

#include "codecs/InflateDecoder.h"
#include "codecs/Mod_Inflate64.h"

namespace fs = std::filesystem;
using bytes = std::vector<uint8_t>;

using namespace velmora::bench;

namespace {

constexpr size_t class_budget = 8u << 20; // per class; three classes make 24 MiB

bytes read_all(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Regular files under the roots, walked in sorted order, until the budget is met.
bytes gather(const std::vector<std::string>& roots, size_t budget, bool (*want)(const fs::path&))
{
    bytes out;
    for (const auto& root : roots) {
        std::error_code ec;
        if (!fs::exists(root, ec)) continue;
        std::vector<fs::path> files;
        if (fs::is_regular_file(root, ec)) {
            files.push_back(root);
        } else {
            for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
                 it != fs::recursive_directory_iterator(); it.increment(ec)) {
                if (ec) break;
                if (it->is_regular_file(ec) && !it->is_symlink(ec) && want(it->path())) files.push_back(it->path());
            }
            std::sort(files.begin(), files.end());
        }
        for (const auto& f : files) {
            const auto b = read_all(f);
            out.insert(out.end(), b.begin(), b.begin() + static_cast<ptrdiff_t>(std::min(b.size(), budget - out.size())));
            if (out.size() >= budget) return out;
        }
    }
    return out;
}

bool any_file(const fs::path&) { return true; }
bool text_file(const fs::path& p)
{
    const auto e = p.extension().string();
    return e == ".h" || e == ".pm" || e == ".pod" || e == ".txt" || e == ".tcc" || p.extension().empty();
}

// The three classes, from files every Debian 12 build machine here has.
const std::map<std::string, bytes>& corpus()
{
    static const std::map<std::string, bytes> c = [] {
        std::map<std::string, bytes> m;
        m["text"] = gather({"/usr/include/c++/12", "/usr/share/perl/5.36", "/usr/include"}, class_budget, text_file);
        m["binary"] = gather({"/usr/bin/cmake", "/usr/bin/git", "/usr/bin/perl", "/usr/bin/gdb", "/usr/bin/python3.11"},
                             class_budget, any_file);
        m["mixed"] = gather({"/usr/lib/python3.11", "/usr/lib/x86_64-linux-gnu/libstdc++.so.6"}, class_budget, any_file);
        return m;
    }();
    return c;
}

bytes zlib_raw(const bytes& in, int level)
{
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    bytes out(deflateBound(&z, static_cast<uLong>(in.size())));
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Raw method-8 or method-9 stream of the single entry 7-Zip writes for `in`.
std::optional<bytes> seven_zip_raw(const bytes& in, const char* method)
{
    const auto dir = fs::temp_directory_path() / ("velmora-inflate-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    {
        std::ofstream(dir / "in.bin", std::ios::binary).write(reinterpret_cast<const char*>(in.data()), static_cast<std::streamsize>(in.size()));
    }
    const std::string cmd = "cd '" + dir.string() + "' && 7z a -tzip -mm=" + method + " -mx=5 -bd -bso0 -bse0 out.zip in.bin >/dev/null 2>&1";
    std::optional<bytes> result;
    if (std::system(cmd.c_str()) == 0) {
        const bytes zip = read_all(dir / "out.zip");
        // Local file header: sig(4) ver(2) flags(2) method(2) time(2) date(2) crc(4) csize(4) usize(4) nlen(2) xlen(2)
        auto le16 = [&](size_t o) { return static_cast<size_t>(zip[o] | zip[o + 1] << 8); };
        auto le32 = [&](size_t o) { return le16(o) | le16(o + 2) << 16; };
        if (zip.size() > 30 && le32(0) == 0x04034b50) {
            const size_t at = 30 + le16(26) + le16(28), csize = le32(18);
            if (at + csize <= zip.size()) result = bytes(zip.begin() + static_cast<ptrdiff_t>(at), zip.begin() + static_cast<ptrdiff_t>(at + csize));
        }
    }
    fs::remove_all(dir);
    return result;
}

// Copies the output into a preallocated buffer; refuses to overflow it.
class copy_sink final : public velmora::ByteSink {
public:
    explicit copy_sink(bytes& dst) : next_(dst.data()), left_(dst.size()) {}
    bool write(std::span<const uint8_t> data) override
    {
        if (data.size() > left_) return false;
        std::memcpy(next_, data.data(), data.size());
        next_ += data.size();
        left_ -= data.size();
        return true;
    }

private:
    uint8_t* next_;
    size_t left_;
};

bool stream_decode(velmora::InflateDecoder& decoder, const bytes& packed, bytes& out)
{
    velmora::SpanSource source(packed);
    copy_sink sink(out);
    return decoder.decode(source, sink, out.size()) == velmora::DecodeStatus::ok && decoder.total_out() == out.size();
}

// CPU time of this thread: the machines these run on are shared, and time
// spent preempted says nothing about a decoder.
double thread_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double seconds_of(auto&& f)
{
    const double t0 = thread_seconds();
    f();
    return thread_seconds() - t0;
}

// One round: ours, zlib, libdeflate, memcpy on the same stream.
void BM_Inflate(benchmark::State& state, std::string cls, int level)
{
    const bytes& original = corpus().at(cls);
    const bytes packed = zlib_raw(original, level);
    const double mb = static_cast<double>(original.size()) / 1e6;
    bytes out(original.size()), copy(original.size()), streamed(original.size());
    z_stream z{};
    inflateInit2(&z, -15);
    libdeflate_decompressor* ld = libdeflate_alloc_decompressor();
    velmora::InflateDecoder decoder(false);
    std::vector<double> ours, stream, zl, ldf, ldfresh, mem, r_zlib, r_ld, r_fresh, rs_zlib, rs_ld;
    bool warm_up = true;
    for (auto _ : state) {
        bytes data = packed;
        int32_t result = 0;
        const double t_ours = seconds_of([&] { result = velmora::Inflate(data, static_cast<int32_t>(original.size()) - 1, false); });
        if (result != 0 || data != original) {
            state.SkipWithError("our output differs");
            break;
        }
        bool stream_ok = false;
        const double t_stream = seconds_of([&] { stream_ok = stream_decode(decoder, packed, streamed); });
        if (!stream_ok || streamed != original) {
            state.SkipWithError("our streamed output differs");
            break;
        }
        const double t_zlib = seconds_of([&] {
            inflateReset(&z);
            z.next_in = const_cast<Bytef*>(packed.data());
            z.avail_in = static_cast<uInt>(packed.size());
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            inflate(&z, Z_FINISH);
        });
        const double t_ld = seconds_of([&] {
            libdeflate_deflate_decompress(ld, packed.data(), packed.size(), out.data(), out.size(), nullptr);
        });
        // Like ours, into a std::vector made for the call.
        const double t_fresh = seconds_of([&] {
            bytes fresh(original.size());
            libdeflate_deflate_decompress(ld, packed.data(), packed.size(), fresh.data(), fresh.size(), nullptr);
            benchmark::DoNotOptimize(fresh.data());
        });
        const double t_mem = seconds_of([&] {
            std::memcpy(copy.data(), original.data(), original.size());
            benchmark::DoNotOptimize(copy.data());
        });
        if (warm_up) { // the first round fills caches and the allocator
            warm_up = false;
            continue;
        }
        ours.push_back(mb / t_ours);
        stream.push_back(mb / t_stream);
        rs_zlib.push_back(t_zlib / t_stream);
        rs_ld.push_back(t_ld / t_stream);
        ldfresh.push_back(mb / t_fresh);
        r_fresh.push_back(t_fresh / t_ours);
        zl.push_back(mb / t_zlib);
        ldf.push_back(mb / t_ld);
        mem.push_back(mb / t_mem);
        r_zlib.push_back(t_zlib / t_ours);
        r_ld.push_back(t_ld / t_ours);
    }
    inflateEnd(&z);
    libdeflate_free_decompressor(ld);
    std::string rounds, stream_rounds;
    for (size_t i = 0; i < r_zlib.size(); ++i) {
        char buf[64];
        std::snprintf(buf, sizeof buf, " %.2f/%.2f", r_zlib[i], r_ld[i]);
        rounds += buf;
        std::snprintf(buf, sizeof buf, " %.2f/%.2f", rs_zlib[i], rs_ld[i]);
        stream_rounds += buf;
    }
    std::fprintf(stderr, "%-7s L%d  ours/zlib and ours/libdeflate per round:%s\n", cls.c_str(), level, rounds.c_str());
    std::fprintf(stderr, "%-7s L%d  stream/zlib and stream/libdeflate per round:%s\n", cls.c_str(), level, stream_rounds.c_str());
    state.counters["MB"] = mb;
    state.counters["ratio"] = static_cast<double>(original.size()) / static_cast<double>(packed.size());
    state.counters["ours_MBps"] = median(ours);
    state.counters["stream_MBps"] = median(stream);
    state.counters["stream/zlib"] = median(rs_zlib);
    state.counters["stream/libdeflate"] = median(rs_ld);
    state.counters["min_stream/libdeflate"] = rs_ld.empty() ? 0 : *std::min_element(rs_ld.begin(), rs_ld.end());
    state.counters["zlib_MBps"] = median(zl);
    state.counters["libdeflate_MBps"] = median(ldf);
    state.counters["libdeflate_fresh_MBps"] = median(ldfresh);
    state.counters["memcpy_MBps"] = median(mem);
    state.counters["ours/libdeflate_fresh"] = median(r_fresh);
    state.counters["ours/zlib"] = median(r_zlib);
    state.counters["ours/libdeflate"] = median(r_ld);
    state.counters["min_ours/zlib"] = r_zlib.empty() ? 0 : *std::min_element(r_zlib.begin(), r_zlib.end());
}

// Deflate64 against Deflate, both from 7-Zip at the same level on the same
// input, and each against libdeflate on the Deflate stream.
void BM_Deflate64(benchmark::State& state, std::string cls)
{
    static std::map<std::string, std::pair<std::optional<bytes>, std::optional<bytes>>> streams;
    const bytes& original = corpus().at(cls);
    if (!streams.count(cls)) streams[cls] = {seven_zip_raw(original, "Deflate"), seven_zip_raw(original, "Deflate64")};
    const auto& [plain, d64] = streams[cls];
    if (!plain || !d64) {
        state.SkipWithError("7z not available");
        for (auto _ : state) {
        }
        return;
    }
    const double mb = static_cast<double>(original.size()) / 1e6;
    bytes out(original.size()), streamed(original.size());
    libdeflate_decompressor* ld = libdeflate_alloc_decompressor();
    velmora::InflateDecoder decoder(true);
    std::vector<double> v64, v8, vld, ratio, vs64;
    bool warm_up = true;
    for (auto _ : state) {
        bytes a = *d64, b = *plain;
        int32_t ra = 0, rb = 0;
        const double t64 = seconds_of([&] { ra = velmora::Inflate(a, static_cast<int32_t>(original.size()) - 1, true); });
        const double t8 = seconds_of([&] { rb = velmora::Inflate(b, static_cast<int32_t>(original.size()) - 1, false); });
        const double tld = seconds_of([&] { libdeflate_deflate_decompress(ld, plain->data(), plain->size(), out.data(), out.size(), nullptr); });
        bool stream_ok = false;
        const double ts64 = seconds_of([&] { stream_ok = stream_decode(decoder, *d64, streamed); });
        if (ra != 0 || rb != 0 || a != original || b != original || !stream_ok || streamed != original) {
            state.SkipWithError("our output differs");
            break;
        }
        if (warm_up) {
            warm_up = false;
            continue;
        }
        v64.push_back(mb / t64);
        vs64.push_back(mb / ts64);
        v8.push_back(mb / t8);
        vld.push_back(mb / tld);
        ratio.push_back(t8 / t64);
    }
    libdeflate_free_decompressor(ld);
    state.counters["ours64_MBps"] = median(v64);
    state.counters["stream64_MBps"] = median(vs64);
    state.counters["ours8_MBps"] = median(v8);
    state.counters["libdeflate8_MBps"] = median(vld);
    state.counters["64/8"] = median(ratio);
}

const bool registered = [] {
    // Freed memory stays with the process, so no contender's buffers pay the
    // page faults of fresh mappings (very costly on virtual machines).
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    for (const char* cls : {"text", "binary", "mixed"}) {
        for (int level : {1, 6, 9})
            benchmark::RegisterBenchmark(("inflate/" + std::string(cls) + "/L" + std::to_string(level)).c_str(), BM_Inflate, cls, level)
                ->Iterations(16)
                ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("deflate64_vs_deflate/7z/" + std::string(cls)).c_str(), BM_Deflate64, cls)
            ->Iterations(16)
            ->Unit(benchmark::kMillisecond);
    }
    return true;
}();

} // namespace

BENCHMARK_MAIN();

// CRC-32 throughput on one 64 MiB buffer: Cls_CRC32::CalcCRC32File against
// zlib's crc32 and libdeflate_crc32, plus our other paths (128-bit PCLMULQDQ
// folding and the table-only fallback) where the CPU has them. They
// run in interleaved rounds so drifts in clock speed hit all alike; each of
// our rounds reports its ratio to the references measured just before it.
#include "archive/Cls_CRC32.h"

#include <algorithm>
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include <ctime>
#include <cstdio>
#include <libdeflate.h>
#include <random>
#include <string>
#include <vector>
#include <zlib.h>

using namespace velmora::bench;

namespace {

constexpr size_t buffer_size = size_t{64} << 20;
constexpr int rounds = 5;

const std::vector<uint8_t>& buffer()
{
    static const std::vector<uint8_t> data = [] {
        std::vector<uint8_t> d(buffer_size);
        std::mt19937_64 rng(2024);
        for (size_t i = 0; i + 8 <= d.size(); i += 8) {
            const uint64_t v = rng();
            for (int k = 0; k < 8; ++k)
                d[i + static_cast<size_t>(k)] = static_cast<uint8_t>(v >> (8 * k));
        }
        return d;
    }();
    return data;
}

enum which { zlib_crc, libdeflate_crc, portable_crc, pclmul_crc, ours_crc, which_count };

// GB/s of each contender in each round, filled as the rounds run.
double gbps[which_count][rounds] = {};

// CPU time of this thread: other work on a shared machine does not count
// against whichever contender happens to run beside it.
double thread_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

uint32_t run_once(which w, const std::vector<uint8_t>& d, velmora::Cls_CRC32& ours)
{
    switch (w) {
    case zlib_crc:
        return static_cast<uint32_t>(crc32(0, d.data(), static_cast<uInt>(d.size())));
    case libdeflate_crc:
        return libdeflate_crc32(0, d.data(), d.size());
    case portable_crc:
        return velmora::crc32_update_portable(0, d);
    case pclmul_crc:
        return velmora::crc32_update_by(velmora::crc32_method::pclmul, 0, d);
    case ours_crc:
    case which_count:
        break;
    }
    return static_cast<uint32_t>(ours.CalcCRC32File(d));
}

void bm_crc32(benchmark::State& state, which w, int round)
{
    const auto& d = buffer();
    velmora::Cls_CRC32 ours;
    const uint32_t expected = static_cast<uint32_t>(crc32(0, d.data(), static_cast<uInt>(d.size())));
    const double start = thread_seconds();
    uint32_t value = 0;
    for (auto _ : state) {
        value = run_once(w, d, ours);
        benchmark::DoNotOptimize(value);
    }
    const double spent = thread_seconds() - start;
    if (value != expected) {
        state.SkipWithError("wrong CRC-32");
        return;
    }
    const double bytes = static_cast<double>(d.size()) * static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    gbps[w][round] = bytes / spent / 1e9;
    state.counters["GB/s"] = gbps[w][round];
    if (w == ours_crc) {
        state.counters["vs_zlib"] = gbps[w][round] / gbps[zlib_crc][round];
        state.counters["vs_libdeflate"] = gbps[w][round] / gbps[libdeflate_crc][round];
        state.counters["vs_portable"] = gbps[w][round] / gbps[portable_crc][round];
    }
}

} // namespace

int main(int argc, char** argv)
{
    static const char* const names[which_count] = {"zlib_crc32", "libdeflate_crc32", "crc32_update_portable",
                                                   "crc32_update_by_pclmul", "CalcCRC32File"};
    for (int round = 0; round < rounds; ++round) {
        // The references run first in each round so ours can compare with them.
        for (int w = 0; w < which_count; ++w) {
            if (w == pclmul_crc && !velmora::crc32_method_available(velmora::crc32_method::pclmul))
                continue;
            const std::string name = std::string("crc32_64MiB/") + names[w] + "/round:" + std::to_string(round + 1);
            benchmark::RegisterBenchmark(name.c_str(), bm_crc32, static_cast<which>(w), round)
                ->Unit(benchmark::kMillisecond)
                ->MinTime(0.3);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    buffer();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::vector<double> per[which_count], vs_zlib, vs_libdeflate;
    for (int round = 0; round < rounds; ++round) {
        if (gbps[ours_crc][round] <= 0 || gbps[zlib_crc][round] <= 0 || gbps[libdeflate_crc][round] <= 0)
            continue;
        for (int w = 0; w < which_count; ++w)
            per[w].push_back(gbps[w][round]);
        vs_zlib.push_back(gbps[ours_crc][round] / gbps[zlib_crc][round]);
        vs_libdeflate.push_back(gbps[ours_crc][round] / gbps[libdeflate_crc][round]);
    }
    if (!vs_zlib.empty()) {
        static const char* const method_names[] = {"slicing-by-16", "PCLMULQDQ", "VPCLMULQDQ"};
        std::printf("\nCRC-32 over 64 MiB, median of %zu interleaved rounds (CalcCRC32File uses %s):\n",
                    vs_zlib.size(), method_names[static_cast<int>(velmora::crc32_fast_method())]);
        for (int w = 0; w < which_count; ++w)
            if (median(per[w]) > 0)
                std::printf("  %-24s %6.2f GB/s\n", names[w], median(per[w]));
        std::printf("  ours/zlib %.2f  ours/libdeflate %.2f\n", median(vs_zlib), median(vs_libdeflate));
    }
    return 0;
}

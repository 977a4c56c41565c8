// Throughput of Unreduce (output bytes per second, streams made by the test
// encoder from a few MB of real text at factors 1-4) and of ZipDecryptArray
// (bytes per second), with memcpy of the same size as the physical limit and
// a byte-by-byte key schedule through Cls_CRC32 as the plain baseline.
#include "../tests/codecs/reduce_test_codec.h"
#include "archive/Cls_CRC32.h"
#include "codecs/Mod_Reduce.h"
#include "formats/zip/Cls_Encrypt.h"

#include <benchmark/benchmark.h>

#include "bench_support.h"
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

namespace fs = std::filesystem;
using namespace velmora;
using namespace velmora::bench;

namespace {

constexpr size_t text_size = 4u << 20;

// Real text: the packages' copyright notices of a Debian system (or the folder
// named by VELMORA_BENCH_TEXT_DIR), else the corpus's text samples repeated.
const std::vector<uint8_t>& real_text()
{
    static const std::vector<uint8_t> text = [] {
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
            const fs::path legacy = fs::path(VELMORA_CORPUS_DIR) / "zip-legacy";
            std::vector<uint8_t> sample = read_all(legacy / "implode_hamlet_2048.out");
            const auto first = read_all(legacy / "first.txt");
            sample.insert(sample.end(), first.begin(), first.end());
            while (!sample.empty() && t.size() < text_size)
                t.insert(t.end(), sample.begin(), sample.end());
        }
        t.resize(text_size);
        return t;
    }();
    return text;
}

const std::vector<uint8_t>& reduced_stream(int factor)
{
    static std::map<int, std::vector<uint8_t>> streams;
    auto& s = streams[factor];
    if (s.empty()) {
        s = test::reduce_encode(real_text(), factor);
        // Refuse to time a stream that does not round-trip.
        std::vector<uint8_t> check = s;
        Unreduce(check, static_cast<int16_t>(factor + 1), static_cast<int32_t>(real_text().size()) - 1);
        if (check != real_text())
            std::abort();
    }
    return s;
}

void BM_Unreduce(benchmark::State& state)
{
    const int factor = static_cast<int>(state.range(0));
    const auto& stream = reduced_stream(factor);
    const auto out_last = static_cast<int32_t>(real_text().size()) - 1;
    std::vector<uint8_t> data;
    for (auto _ : state) {
        data = stream;   // Unreduce replaces its input; the copy is part of the cost
        Unreduce(data, static_cast<int16_t>(factor + 1), out_last);
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(real_text().size()));
    state.counters["ratio%"] = 100.0 * static_cast<double>(stream.size()) / static_cast<double>(real_text().size());
}
BENCHMARK(BM_Unreduce)->DenseRange(1, 4)->Unit(benchmark::kMillisecond);

void BM_Memcpy(benchmark::State& state)
{
    const auto& src = real_text();
    std::vector<uint8_t> dst(src.size());
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), src.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(src.size()));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

std::vector<uint8_t> random_block(size_t n)
{
    std::mt19937 rng(1);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<uint8_t>(rng());
    return v;
}

void BM_ZipDecryptArray(benchmark::State& state)
{
    std::vector<uint8_t> data = random_block(text_size);
    Cls_Encrypt enc;
    enc.ZipPrepareKey(data, "bench password");
    for (auto _ : state) {
        enc.ZipDecryptArray(data);
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_ZipDecryptArray)->Unit(benchmark::kMillisecond);

// The key schedule done the plain way: member keys, a table read through
// Cls_CRC32::GetcrcTable for every step.
class naive_zip_crypto {
public:
    void decrypt(std::vector<uint8_t>& data)
    {
        for (auto& b : data) {
            const uint32_t t = (key2_ & 0xFFFF) | 2;
            const auto c = static_cast<uint8_t>(b ^ ((t * (t ^ 1)) >> 8));
            update(c);
            b = c;
        }
    }

private:
    uint32_t crc(uint32_t x, uint8_t b) const
    {
        return (x >> 8) ^ static_cast<uint32_t>(crc_.GetcrcTable(static_cast<int16_t>((x ^ b) & 0xFF)));
    }
    void update(uint8_t c)
    {
        key0_ = crc(key0_, c);
        key1_ = (key1_ + (key0_ & 0xFF)) * 134775813u + 1;
        key2_ = crc(key2_, static_cast<uint8_t>(key1_ >> 24));
    }
    Cls_CRC32 crc_;
    uint32_t key0_ = 0x12345678u, key1_ = 0x23456789u, key2_ = 0x34567890u;
};

void BM_ZipDecryptNaive(benchmark::State& state)
{
    std::vector<uint8_t> data = random_block(text_size);
    naive_zip_crypto naive;
    for (auto _ : state) {
        naive.decrypt(data);
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_ZipDecryptNaive)->Unit(benchmark::kMillisecond);

// For scale: zlib's CRC-32 over the same bytes (one table step per byte too).
void BM_Crc32Zlib(benchmark::State& state)
{
    const std::vector<uint8_t> data = random_block(text_size);
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32(0, data.data(), static_cast<uInt>(data.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_Crc32Zlib)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

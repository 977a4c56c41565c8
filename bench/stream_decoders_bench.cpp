// The library-backed decoders and the Unix compress decoder against the
// command-line tools on the same files (xz -d, bzip2 -d, zstd -d, uncompress,
// gzip -d, each writing to /dev/null), and WinZip AES entries against the
// same entries unencrypted plus libcrypto's own AES-CTR and HMAC-SHA1 over the
// same bytes. Rounds are interleaved so that load from other processes falls
// on every contestant alike. The CPU time (user + system, the tools' from
// wait4) is reported through Google Benchmark with manual timing, the wall
// time beside it; `vs_ours` is a contestant's median CPU time over ours
// (above 1: we are faster). Our CPU time is the whole process's, so the
// bzip2 decoder's worker threads count; its wall time is what it gains, and
// the sequential path (libbz2 over the whole stream) runs beside it.
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include "codecs/Bzip2Decoder.h"
#include "codecs/Crypto.h"
#include "codecs/LzmaAloneDecoder.h"
#include "codecs/LzmaDecoder.h"
#include "codecs/UnixCompressDecoder.h"
#include "codecs/WinZipAesSource.h"
#include "codecs/XzDecoder.h"
#include "codecs/ZstdDecoder.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <ctime>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using namespace velmora;
using namespace velmora::bench;

namespace {

constexpr int rounds = 7;
constexpr size_t data_size = size_t{48} << 20;

// Text-like runs of words and numbers with stretches of random bytes.
std::vector<uint8_t> make_content(size_t size)
{
    static constexpr std::array<const char*, 16> words = {"archive", "entry", "folder", "stored", "stream", "window",
                                                          "length",  "block", "header", "the",    "and",    "of",
                                                          "to",      "with",  "data",   "time"};
    rng r{0x9E3779B97F4A7C15ULL};
    std::vector<uint8_t> out;
    out.reserve(size);
    while (out.size() < size) {
        if (r.next() % 5 == 0) {
            const size_t n = 64 + r.next() % 512;
            for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(r.next()));
        } else {
            const size_t n = 8 + r.next() % 64;
            for (size_t i = 0; i < n; ++i) {
                const std::string w = std::string(words[r.next() % words.size()]) +
                                      ((r.next() % 8 == 0) ? std::to_string(r.next() % 100000) + "\n" : " ");
                out.insert(out.end(), w.begin(), w.end());
            }
        }
    }
    out.resize(size);
    return out;
}

void write_all(const fs::path& p, std::span<const uint8_t> d)
{
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(d.data()), static_cast<std::streamsize>(d.size()));
}

// The time a contestant took: CPU seconds (user + system) and wall seconds.
// The CPU time is what is compared: on a machine shared with other work the
// wall time mostly measures the waiting.
struct Took {
    double cpu = -1;
    double wall = -1;
};

double process_cpu_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Runs argv with standard input from `in` (empty: none) and output to
// /dev/null; its CPU and wall time, or -1 on failure.
Took run_timed(const std::vector<std::string>& args, const std::string& in = {})
{
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!in.empty()) posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    int status = -1;
    rusage usage{};
    const bool spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!spawned || wait4(pid, &status, 0, &usage) != pid) return {};
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    auto seconds = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6; };
    return {seconds(usage.ru_utime) + seconds(usage.ru_stime), wall};
}


// Reads a file with read(2) in the pieces the decoder asks for, as a reader's
// file source would.
class FileSource final : public ByteSource {
public:
    explicit FileSource(const fs::path& p) : fd_(::open(p.c_str(), O_RDONLY)) {}
    ~FileSource() override
    {
        if (fd_ >= 0) ::close(fd_);
    }
    size_t read(std::span<uint8_t> out) override
    {
        const ssize_t n = fd_ < 0 ? -1 : ::read(fd_, out.data(), out.size());
        return n > 0 ? static_cast<size_t>(n) : 0;
    }

private:
    int fd_;
};

Took seconds_of(const std::function<bool()>& f)
{
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = process_cpu_seconds();
    const bool ok = f();
    const double cpu = process_cpu_seconds() - cpu_start;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return ok ? Took{cpu, wall} : Took{};
}

struct Contest {
    std::string group;    // what is decoded
    std::string name;     // who decodes it
    std::function<Took()> run;
};

std::map<std::string, std::map<std::string, std::vector<Took>>> g_times;
std::map<std::string, std::string> g_ours; // group -> the name of our contestant
fs::path g_work;

double median(const std::vector<Took>& took, double Took::*which)
{
    std::vector<double> v;
    for (const Took& t : took) v.push_back(t.*which);
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Our decoder reading the file and discarding the output; false unless it
// ended well with the whole output.
template <typename Decode>
std::function<Took()> ours(fs::path file, Decode decode)
{
    return [file, decode]() {
        return seconds_of([&] {
            FileSource in(file);
            DiscardSink sink;
            return decode(in, sink) == DecodeStatus::ok && sink.total == data_size;
        });
    };
}

std::vector<Contest> single_file_contests()
{
    std::vector<Contest> v;
    const auto data = make_content(data_size);
    const fs::path plain = g_work / "data";
    write_all(plain, data);
    struct Format {
        std::string tool, ext, compress, decompress;
    };
    const std::vector<Format> formats = {
        {"xz", "xz", "xz -6 -T1 -c", "xz"}, {"bzip2", "bz2", "bzip2 -9 -c", "bzip2"},
        {"zstd", "zst", "zstd -q -12 -T1 -c", "zstd"}, {"compress", "Z", "compress -c", "uncompress"}};
    for (const auto& f : formats) {
        if (!have(f.tool)) continue;
        const fs::path packed = g_work / ("data." + f.ext);
        if (std::system((f.compress + " " + plain.string() + " > " + packed.string()).c_str()) != 0) continue;
        const std::string group = f.ext;
        auto add_ours = [&](const std::string& name, std::function<Took()> run) {
            v.push_back({group, name, std::move(run)});
            g_ours[group] = name;
        };
        auto add_tool = [&](const std::string& name, std::vector<std::string> argv, bool from_stdin = false) {
            v.push_back({group, name, [argv, from_stdin, packed] {
                             auto a = argv;
                             if (!from_stdin) a.push_back(packed.string());
                             return run_timed(a, from_stdin ? packed.string() : std::string());
                         }});
        };
        if (f.tool == "xz") {
            add_ours("XzDecoder", ours(packed, [](ByteSource& i, ByteSink& o) { return XzDecoder().decode(i, o); }));
            add_tool("xz -d", {"xz", "-d", "-c", "-T1"});
        } else if (f.tool == "bzip2") {
            v.push_back({group, "Bzip2Decoder sequential", ours(packed, [](ByteSource& i, ByteSink& o) {
                             return Bzip2Decoder(Bzip2Decoder::Streams::concatenated, Bzip2Decoder::sequential)
                                 .decode(i, o);
                         })});
            add_ours("Bzip2Decoder", ours(packed, [](ByteSource& i, ByteSink& o) { return Bzip2Decoder().decode(i, o); }));
            add_tool("bzip2 -d", {"bzip2", "-d", "-c"});
        } else if (f.tool == "zstd") {
            add_ours("ZstdDecoder", ours(packed, [](ByteSource& i, ByteSink& o) { return ZstdDecoder().decode(i, o); }));
            add_tool("zstd -d", {"zstd", "-q", "-d", "-c"});
        } else {
            add_ours("UnixCompressDecoder",
                     ours(packed, [](ByteSource& i, ByteSink& o) { return UnixCompressDecoder().decode(i, o); }));
            add_tool("uncompress", {"uncompress", "-c"});
            if (have("gzip")) add_tool("gzip -d", {"gzip", "-d", "-c"}, true);
        }
    }
    fs::remove(plain);
    return v;
}

// A WinZip AES-256 entry over `inner` (the entry's data as stored before
// encryption): salt, verifier, encrypted data, code.
std::vector<uint8_t> encrypt_entry(std::span<const uint8_t> inner, const std::string& password)
{
    const uint8_t strength = 3;
    std::vector<uint8_t> salt(WinZipAesSource::salt_size(strength), 0x42);
    const size_t key_len = WinZipAesSource::key_size(strength);
    std::vector<uint8_t> keys(2 * key_len + 2);
    const std::vector<uint8_t> pw(password.begin(), password.end());
    crypto::pbkdf2_hmac(crypto::Hash::sha1, pw, salt, WinZipAesSource::key_iterations, keys);
    std::vector<uint8_t> out = salt;
    out.insert(out.end(), keys.end() - 2, keys.end());
    const size_t start = out.size();
    out.insert(out.end(), inner.begin(), inner.end());
    crypto::AesCtrLittleEndian ctr;
    ctr.init(std::span(keys).first(key_len));
    ctr.apply(std::span(out).subspan(start));
    std::vector<uint8_t> mac(crypto::sha1_size);
    crypto::hmac(crypto::Hash::sha1, std::span(keys).subspan(key_len, key_len), std::span(out).subspan(start), mac);
    out.insert(out.end(), mac.begin(), mac.begin() + WinZipAesSource::code_size);
    return out;
}

// libcrypto alone over n bytes in 128 KiB pieces: AES-256-CTR (its own,
// big-endian counter) or HMAC-SHA1.
Took libcrypto_alone(const std::vector<uint8_t>& bytes, bool aes)
{
    std::vector<uint8_t> buf(128u << 10);
    const std::vector<uint8_t> key(32, 7), iv(16, 0);
    return seconds_of([&] {
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        EVP_MAC_CTX* mctx = EVP_MAC_CTX_new(mac);
        OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", const_cast<char*>("SHA1"), 0),
                               OSSL_PARAM_construct_end()};
        bool ok = aes ? EVP_DecryptInit_ex(ctx, EVP_aes_256_ctr(), nullptr, key.data(), iv.data()) == 1
                      : EVP_MAC_init(mctx, key.data(), 20, params) == 1;
        for (size_t pos = 0; ok && pos < bytes.size(); pos += buf.size()) {
            const size_t n = std::min(buf.size(), bytes.size() - pos);
            std::copy_n(bytes.begin() + pos, n, buf.begin());
            int len = 0;
            ok = aes ? EVP_DecryptUpdate(ctx, buf.data(), &len, buf.data(), static_cast<int>(n)) == 1
                     : EVP_MAC_update(mctx, buf.data(), n) == 1;
        }
        uint8_t out[20];
        size_t outl = 0;
        if (!aes && ok) ok = EVP_MAC_final(mctx, out, &outl, sizeof out) == 1;
        EVP_MAC_CTX_free(mctx);
        EVP_MAC_free(mac);
        EVP_CIPHER_CTX_free(ctx);
        return ok;
    });
}

std::vector<Contest> aes_contests()
{
    std::vector<Contest> v;
    const auto data = make_content(data_size);
    // The LZMA entry as 7-Zip would store it: ZIP LZMA header, then raw LZMA1.
    std::vector<uint8_t> lzma_entry;
    {
        const fs::path plain = g_work / "aes-data";
        write_all(plain, data);
        const fs::path alone = g_work / "aes-data.lzma";
        if (std::system(("xz --format=lzma -6 -c " + plain.string() + " > " + alone.string()).c_str()) != 0) return v;
        const auto a = read_all(alone);
        lzma_entry = {0x10, 0x02, 0x05, 0x00};
        lzma_entry.insert(lzma_entry.end(), a.begin(), a.begin() + 5);  // properties
        lzma_entry.insert(lzma_entry.end(), a.begin() + 13, a.end());    // the data, with its end marker
        fs::remove(plain);
        fs::remove(alone);
    }
    auto stored = std::make_shared<std::vector<uint8_t>>(data);
    auto stored_aes = std::make_shared<std::vector<uint8_t>>(encrypt_entry(data, "bench"));
    auto lzma = std::make_shared<std::vector<uint8_t>>(lzma_entry);
    auto lzma_aes = std::make_shared<std::vector<uint8_t>>(encrypt_entry(lzma_entry, "bench"));
    const std::vector<uint8_t> pw = {'b', 'e', 'n', 'c', 'h'};

    auto through_aes = [pw](std::shared_ptr<std::vector<uint8_t>> entry, bool lzma_inside) {
        return [pw, entry, lzma_inside] {
            return seconds_of([&] {
                SpanSource raw(*entry);
                WinZipAesSource source(raw, entry->size(), 3);
                if (source.open(pw) != WinZipAesSource::OpenResult::ok) return false;
                DiscardSink sink;
                DecodeStatus s = DecodeStatus::ok;
                if (lzma_inside) {
                    s = LzmaDecoder().decode(source, sink, data_size, true);
                } else {
                    std::vector<uint8_t> buf(128u << 10);
                    for (size_t n; (n = source.read(buf)) > 0;) sink.write(std::span(buf).first(n));
                }
                return s == DecodeStatus::ok && source.finish() == WinZipAesSource::Authentication::ok &&
                       sink.total == data_size;
            });
        };
    };
    v.push_back({"aes_stored", "WinZipAesSource", through_aes(stored_aes, false)});
    v.push_back({"aes_stored", "copy unencrypted", [stored] {
                     return seconds_of([&] {
                         SpanSource in(*stored);
                         DiscardSink sink;
                         std::vector<uint8_t> buf(128u << 10);
                         for (size_t n; (n = in.read(buf)) > 0;) sink.write(std::span(buf).first(n));
                         return sink.total == data_size;
                     });
                 }});
    v.push_back({"aes_stored", "libcrypto AES-256-CTR", [stored] { return libcrypto_alone(*stored, true); }});
    v.push_back({"aes_stored", "libcrypto HMAC-SHA1", [stored] { return libcrypto_alone(*stored, false); }});
    g_ours["aes_stored"] = "WinZipAesSource";

    v.push_back({"aes_lzma", "LzmaDecoder over WinZipAesSource", through_aes(lzma_aes, true)});
    v.push_back({"aes_lzma", "LzmaDecoder unencrypted", [lzma] {
                     return seconds_of([&] {
                         SpanSource in(*lzma);
                         DiscardSink sink;
                         return LzmaDecoder().decode(in, sink, data_size, true) == DecodeStatus::ok &&
                                sink.total == data_size;
                     });
                 }});
    v.push_back({"aes_lzma", "libcrypto AES-256-CTR", [lzma] { return libcrypto_alone(*lzma, true); }});
    v.push_back({"aes_lzma", "libcrypto HMAC-SHA1", [lzma] { return libcrypto_alone(*lzma, false); }});
    g_ours["aes_lzma"] = "LzmaDecoder over WinZipAesSource";
    return v;
}

std::vector<Contest> g_contests;

void measure()
{
    for (int round = 0; round < rounds; ++round) {
        // Alternate the order within a group from round to round.
        for (size_t k = 0; k < g_contests.size(); ++k) {
            const Contest& c = g_contests[round % 2 == 0 ? k : g_contests.size() - 1 - k];
            g_times[c.group][c.name].push_back(c.run());
        }
    }
}

void BM_Decode(benchmark::State& state, std::string group, std::string name)
{
    const auto& times = g_times[group][name];
    if (std::any_of(times.begin(), times.end(), [](const Took& t) { return t.cpu < 0; })) {
        state.SkipWithError("the run failed");
        return;
    }
    size_t i = 0;
    for (auto _ : state) state.SetIterationTime(times[i++ % times.size()].cpu);
    const double cpu = median(times, &Took::cpu);
    const double ours_cpu = median(g_times[group][g_ours[group]], &Took::cpu);
    state.counters["cpu_ms"] = cpu * 1000;
    state.counters["wall_ms"] = median(times, &Took::wall) * 1000;
    state.counters["MB/s"] = data_size / cpu / 1e6;
    state.counters["vs_ours"] = ours_cpu > 0 ? cpu / ours_cpu : 0;
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    const fs::path shm = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    g_work = shm / ("velmora-stream-bench-" + std::to_string(getpid()));
    fs::create_directories(g_work);
    g_contests = single_file_contests();
    for (auto& c : aes_contests()) g_contests.push_back(std::move(c));
    measure();
    for (const auto& c : g_contests)
        benchmark::RegisterBenchmark(("decode/" + c.group + "/" + c.name).c_str(), BM_Decode, c.group, c.name)
            ->UseManualTime()
            ->Iterations(rounds)
            ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(g_work);
    return 0;
}

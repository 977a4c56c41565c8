// Guards the ARC decoders against misreading what the real tools write: every
// method arc 5.21 picks (stored, packed, squeezed, dynamic crunching,
// squashing) must expand to the original files, as arc and unar expand them
// (unar 1.10 fails on arc's squeezed entries; those are checked by arc), and the
// old crunching (methods 5 to 7) and clear codes, which arc no longer writes,
// must expand as arc itself expands them.
#include "codecs/ArcDecoder.h"
#include "support/ArcBuilder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

using namespace velmora;
using namespace velmora::test;

namespace {

// Files that make arc choose each of its methods.
std::map<std::string, std::vector<uint8_t>> method_samples()
{
    std::mt19937 rng(1985);
    std::map<std::string, std::vector<uint8_t>> files;
    std::vector<uint8_t> random(70000); // stored
    for (auto& b : random)
        b = static_cast<uint8_t>(rng());
    files["random.bin"] = random;
    std::vector<uint8_t> runs; // packed: runs of random bytes
    for (int k = 0; k < 200; ++k)
        runs.insert(runs.end(), 1 + rng() % 299, static_cast<uint8_t>(rng()));
    runs.push_back('.');
    files["runs.bin"] = runs;
    // arc 5.21 drops the last byte of a squeezed file that ends in a run of
    // 0x90 (and fails its own CRC check on it); we expand it whole.
    runs.insert(runs.end(), 100, 0x90);
    files["runs90.bin"] = runs;
    std::vector<uint8_t> skewed; // squeezed: skewed byte values without repeated strings
    std::exponential_distribution<double> expo(0.08);
    while (skewed.size() < 80000) {
        auto v = static_cast<uint8_t>(std::min(255.0, expo(rng)));
        if (!skewed.empty() && skewed.back() == v)
            v = static_cast<uint8_t>(v + 1);
        skewed.push_back(v);
    }
    files["skewed.bin"] = skewed;
    std::string text; // crunched or squashed
    for (int i = 0; text.size() < 300000; ++i)
        text += "the quick brown fox " + std::to_string(rng() % 5000) + " jumps over the lazy dog\r\n";
    files["text.txt"] = std::vector<uint8_t>(text.begin(), text.end());
    return files;
}

std::vector<uint8_t> decode_entry(ArcDecoder& d, const std::vector<uint8_t>& archive, const ArcEntry& e,
                                  DecodeStatus& status)
{
    std::vector<uint8_t> out;
    VectorSink sink(out);
    SpanSource src(std::span<const uint8_t>(archive).subspan(e.data_offset, e.packed_size));
    status = d.decode(e.method, src, sink, e.size);
    return out;
}

TEST(ArcToolArchives, EveryMethodArcWritesExpandsToTheOriginalAndAsUnarExpandsIt)
{
    if (!have_tool("arc") || !have_tool("unar"))
        GTEST_SKIP() << "arc or unar missing";
    TempDir dir;
    const auto files = method_samples();
    std::string names;
    for (const auto& [name, bytes] : files) {
        write_file(dir / name, bytes);
        names += " " + name;
    }
    std::set<unsigned> methods;
    // "a" crunches, "aq" squashes; both pick packing, squeezing or storing
    // where those do better.
    for (const char* command : {"a", "aq"}) {
        SCOPED_TRACE(command);
        const std::string archive_name = std::string(command) + ".arc";
        ASSERT_EQ(run_command("cd " + dir.str() + " && arc " + command + " " + archive_name + names + " </dev/null >/dev/null"), 0);
        const auto archive = read_file(dir / archive_name);
        const auto unar_dir = dir / (std::string("unar-") + command);
        run_command("unar -q -f -D -o " + shell_quote(unar_dir.string()) + " " + shell_quote((dir / archive_name).string()) +
                    " >/dev/null 2>&1");
        const auto arc_dir = dir / (std::string("arc-") + command);
        std::filesystem::create_directories(arc_dir);
        run_command("cd " + shell_quote(arc_dir.string()) + " && arc xo ../" + archive_name + " </dev/null >/dev/null 2>&1");
        ArcDecoder decoder;
        const auto entries = arc_walk(archive);
        ASSERT_EQ(entries.size(), files.size());
        for (const auto& e : entries) {
            SCOPED_TRACE(e.name + " method " + std::to_string(e.method));
            methods.insert(e.method);
            DecodeStatus status{};
            const auto out = decode_entry(decoder, archive, e, status);
            EXPECT_EQ(status, DecodeStatus::ok);
            std::string lower = e.name;
            for (auto& c : lower)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            EXPECT_TRUE(out == files.at(lower));
            EXPECT_EQ(arc_crc16(out), e.crc16);
            if (lower != "runs90.bin") {
                EXPECT_TRUE(out == read_file(arc_dir / e.name));
            }
            if (e.method != 4) { // unar gives up on these: "read more data than was available"
                EXPECT_TRUE(out == read_file(unar_dir / e.name));
            }
        }
    }
    EXPECT_EQ(methods, (std::set<unsigned>{2, 3, 4, 8, 9}));
}

// Data for the methods no tool writes: text, a 0x90-heavy run file, and
// enough varied text to fill the 4096-entry tables.
std::vector<std::pair<std::string, std::vector<uint8_t>>> lzw_samples()
{
    std::mt19937 rng(77);
    std::vector<std::pair<std::string, std::vector<uint8_t>>> v;
    v.emplace_back("ONE.TXT", std::vector<uint8_t>{'x'});
    v.emplace_back("ABAB.TXT", std::vector<uint8_t>{'a', 'b', 'a', 'b', 'a', 'b', 'a', 'b', 'a', 'b', 'a'});
    std::vector<uint8_t> runs;
    while (runs.size() < 20000)
        runs.insert(runs.end(), 1 + rng() % 40, static_cast<uint8_t>(rng() % 3 == 0 ? 0x90 : 'a' + rng() % 4));
    v.emplace_back("RUNS.BIN", runs);
    std::string words;
    while (words.size() < 200000)
        words += std::to_string(rng()) + (rng() % 4 ? " and " : " of the archive\n");
    v.emplace_back("FULL.TXT", std::vector<uint8_t>(words.begin(), words.end()));
    return v;
}

// arc x writes whatever the stream decodes to, so it checks the encoder, and
// with it the hashing and probing our decoder shares.
void expect_arc_and_decoder_agree(const std::vector<std::vector<uint8_t>>& entries,
                                  const std::vector<std::pair<std::string, std::vector<uint8_t>>>& originals)
{
    TempDir dir;
    const auto archive = arc_archive(entries);
    write_file(dir / "t.arc", archive);
    ASSERT_EQ(run_command("cd " + dir.str() + " && arc xo t.arc </dev/null >/dev/null 2>&1"), 0);
    ArcDecoder decoder;
    const auto walked = arc_walk(archive);
    ASSERT_EQ(walked.size(), originals.size());
    for (size_t k = 0; k < walked.size(); ++k) {
        SCOPED_TRACE(walked[k].name + " method " + std::to_string(walked[k].method));
        EXPECT_TRUE(read_file(dir / originals[k].first) == originals[k].second) << "arc disagrees";
        DecodeStatus status{};
        const auto out = decode_entry(decoder, archive, walked[k], status);
        EXPECT_EQ(status, DecodeStatus::ok);
        EXPECT_TRUE(out == originals[k].second);
    }
}

TEST(ArcToolArchives, OldCrunchingExpandsAsArcExpandsIt)
{
    if (!have_tool("arc"))
        GTEST_SKIP() << "arc missing";
    const auto samples = lzw_samples();
    for (uint8_t method : {5, 6, 7}) {
        SCOPED_TRACE(int{method});
        std::vector<std::vector<uint8_t>> entries;
        for (const auto& [name, bytes] : samples) {
            const auto input = method == 5 ? bytes : arc_rle_pack(bytes);
            entries.push_back(arc_entry(method, name, arc_old_crunch(input, method == 7), bytes));
        }
        expect_arc_and_decoder_agree(entries, samples);
    }
}

TEST(ArcToolArchives, ClearCodesDropTheRestOfTheirGroupAsArcReadsThem)
{
    if (!have_tool("arc"))
        GTEST_SKIP() << "arc missing";
    const auto samples = lzw_samples();
    // Clears at every group position, and after the codes have widened.
    for (unsigned every : {0u, 1u, 5u, 8u, 13u, 300u, 1500u}) {
        SCOPED_TRACE(every);
        std::vector<std::vector<uint8_t>> entries;
        for (const auto& [name, bytes] : samples) {
            entries.push_back(arc_entry(8, name, arc_lzw(arc_rle_pack(bytes), 12, every), bytes));
            (void)name;
        }
        expect_arc_and_decoder_agree(entries, samples);
        entries.clear();
        for (const auto& [name, bytes] : samples)
            entries.push_back(arc_entry(9, name, arc_lzw(bytes, 13, every), bytes));
        expect_arc_and_decoder_agree(entries, samples);
    }
}

} // namespace

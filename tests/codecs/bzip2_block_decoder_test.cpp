// Guards the block-parallel bzip2 decoder against giving anything other
// than libbz2 over the whole stream gives: other bytes or another status for
// damaged, cut, concatenated or padded files, for a block magic that occurs
// inside a block's data, for output limits at block boundaries, randomised
// blocks, input in 1-byte pieces and a sink that stops; and the splitter's
// scan and the resume prefix against plain bit-by-bit references.
#include "codecs/Bzip2BlockScanner.h"
#include "codecs/Bzip2Decoder.h"
#include "codecs/Bzip2ResumePrefix.h"
#include "support/CodecTestSupport.h"
#include "support/DamageSweep.h"

#include <bzlib.h>
#include <gtest/gtest.h>

#include <random>

// libbz2's table for randomised blocks (bzip2 0.9.0), exported by the library.
extern "C" int BZ2_rNums[512];

using namespace velmora;
using namespace velmora::test;

namespace {

using Scanner = Bzip2BlockScanner;

// A string of bits, most significant first, for taking streams apart and
// putting them together again.
struct bit_string {
    std::vector<uint8_t> bits;

    static bit_string of(std::span<const uint8_t> bytes)
    {
        bit_string s;
        for (uint8_t b : bytes)
            for (int i = 7; i >= 0; --i) s.bits.push_back(b >> i & 1);
        return s;
    }
    uint64_t read(size_t at, unsigned n) const
    {
        uint64_t v = 0;
        for (unsigned i = 0; i < n; ++i) v = v << 1 | bits.at(at + i);
        return v;
    }
    void put(uint64_t v, unsigned n)
    {
        for (unsigned i = n; i-- > 0;) bits.push_back(v >> i & 1);
    }
    void write(size_t at, uint64_t v, unsigned n)
    {
        for (unsigned i = 0; i < n; ++i) bits.at(at + i) = v >> (n - 1 - i) & 1;
    }
    void append(const bit_string& o, size_t from, size_t to)
    {
        bits.insert(bits.end(), o.bits.begin() + static_cast<std::ptrdiff_t>(from),
                    o.bits.begin() + static_cast<std::ptrdiff_t>(to));
    }
    std::vector<uint8_t> bytes() const
    {
        std::vector<uint8_t> out((bits.size() + 7) / 8);
        for (size_t i = 0; i < bits.size(); ++i) out[i / 8] |= static_cast<uint8_t>(bits[i] << (7 - i % 8));
        return out;
    }
    // Every bit position where a magic starts, by a plain bit-by-bit test.
    std::vector<Scanner::Match> magics() const
    {
        std::vector<Scanner::Match> out;
        for (size_t i = 0; i + 48 <= bits.size(); ++i) {
            const uint64_t v = read(i, 48);
            if (v == Scanner::block_magic) out.push_back({i, Scanner::Kind::block});
            if (v == Scanner::end_magic) out.push_back({i, Scanner::Kind::end});
        }
        return out;
    }
};

struct Outcome {
    DecodeStatus status;
    std::vector<uint8_t> bytes;
};

Outcome run(unsigned workers, Bzip2Decoder::Streams streams, std::span<const uint8_t> input,
            uint64_t limit = UINT64_MAX, size_t piece = 0)
{
    Bzip2Decoder d(streams, workers);
    Outcome o;
    chunked_source in(input, piece);
    VectorSink sink(o.bytes);
    o.status = d.decode(in, sink, limit);
    return o;
}

// The parallel decoder, with no worker (the calling thread takes every
// block) and with three, against the sequential one.
void expect_like_sequential(std::span<const uint8_t> input, const std::string& what, uint64_t limit = UINT64_MAX,
                            bool both_modes = true)
{
    for (auto streams : {Bzip2Decoder::Streams::concatenated, Bzip2Decoder::Streams::single}) {
        if (!both_modes && streams == Bzip2Decoder::Streams::single) continue;
        const Outcome want = run(Bzip2Decoder::sequential, streams, input, limit);
        for (unsigned workers : {0u, 3u}) {
            const Outcome got = run(workers, streams, input, limit);
            EXPECT_EQ(decode_status_name(got.status), decode_status_name(want.status))
                << what << ", workers " << workers << (streams == Bzip2Decoder::Streams::single ? ", single" : "");
            EXPECT_TRUE(got.bytes == want.bytes) << what << ", workers " << workers << ": " << got.bytes.size()
                                                 << " bytes against " << want.bytes.size();
        }
    }
}

std::vector<uint8_t> joined(std::initializer_list<std::span<const uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (auto p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Bytes with no run of four equal ones, which bzip2 stores as they are: each
// block of `bzip2 -1` then holds exactly 99981 of them.
std::vector<uint8_t> runless_data(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> out;
    while (out.size() < size) {
        const auto b = static_cast<uint8_t>(rng());
        if (out.size() >= 3 && out[out.size() - 1] == b && out[out.size() - 2] == b && out[out.size() - 3] == b)
            continue;
        out.push_back(b);
    }
    return out;
}

class Bzip2Blocks : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!have_tool("bzip2")) GTEST_SKIP() << "bzip2 is not installed";
    }
    std::vector<uint8_t> bzip2(std::span<const uint8_t> data, int level)
    {
        auto packed = run_filter(dir_, "bzip2 -" + std::to_string(level) + " -c {in}", data);
        EXPECT_TRUE(packed.has_value());
        return packed.value_or(std::vector<uint8_t>{});
    }
    std::optional<std::vector<uint8_t>> bunzip2(std::span<const uint8_t> packed)
    {
        return run_filter(dir_, "bzip2 -d -c {in}", packed, "packed");
    }
    TempDir dir_;
};

// Block starts of a stream made by bzip2 (no magic inside its data), the
// end magic's position last.
std::vector<size_t> block_starts(const bit_string& s)
{
    std::vector<size_t> out;
    for (const auto& m : s.magics()) out.push_back(m.bit);
    return out;
}

} // namespace

// The scan against a bit-by-bit search, over random bytes with magics put in
// at every shift and next to each other, looked for from every kind of start
// and over buffers that grow a few bytes at a time.
TEST(Bzip2BlockScanner, FindsWhatABitByBitSearchFinds)
{
    std::mt19937 rng(5);
    for (int round = 0; round < 20; ++round) {
        bit_string s;
        for (int i = 0; i < 3000; ++i) s.put(rng() & 1, 1);
        for (int k = 0; k < 12; ++k) {
            s.put(k % 3 == 0 ? Scanner::end_magic : Scanner::block_magic, 48);
            for (unsigned i = 0, n = rng() % (k % 4 == 0 ? 3 : 400); i < n; ++i) s.put(rng() & 1, 1);
        }
        const auto bytes = s.bytes();
        auto want = s.magics();
        // What the scan sees: only magics with 7 bytes after their first byte.
        std::erase_if(want, [&](const Scanner::Match& m) { return m.bit / 8 + 8 > bytes.size(); });
        const uint64_t from = rng() % 64;
        std::vector<Scanner::Match> got;
        uint64_t at = from;
        for (size_t size = 0; size <= bytes.size(); size += 1 + rng() % 40) {
            Scanner::Match m{};
            uint64_t resume = 0;
            while (Scanner::find(bytes.data(), size, at, UINT64_MAX, m, resume)) {
                got.push_back(m);
                at = m.bit + 1;
            }
            at = resume;
        }
        Scanner::Match m{};
        uint64_t resume = 0;
        while (Scanner::find(bytes.data(), bytes.size(), at, UINT64_MAX, m, resume)) {
            got.push_back(m);
            at = m.bit + 1;
        }
        std::erase_if(want, [&](const Scanner::Match& w) { return w.bit < from; });
        ASSERT_EQ(got.size(), want.size()) << "round " << round;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].bit, want[i].bit);
            EXPECT_EQ(got[i].kind, want[i].kind);
        }
        // An upper bound stops the scan before a magic at it.
        if (!want.empty()) {
            EXPECT_FALSE(Scanner::find(bytes.data(), bytes.size(), from, want[0].bit, m, resume));
            EXPECT_EQ(resume, want[0].bit);
        }
    }
}

// The made-up first block: libbz2 takes it with any CRC and any alignment,
// gives 4 bytes of that CRC, and ends the stream where the prefix said.
TEST(Bzip2ResumePrefix, DecodesToFourBytesOfTheGivenCrc)
{
    for (const uint32_t crc : {0u, 1u, 0xFFFFFFFFu, 0x80000000u, 0x12345678u, 0xDEADBEEFu}) {
        for (unsigned bit_in_byte = 0; bit_in_byte < 8; ++bit_in_byte) {
            for (const char level : {'1', '9'}) {
                std::vector<uint8_t> prefix;
                ASSERT_TRUE(Bzip2ResumePrefix::build(level, crc, bit_in_byte, prefix));
                bit_string s = bit_string::of(prefix);
                s.bits.resize(s.bits.size() - (bit_in_byte == 0 ? 0 : 8 - bit_in_byte));
                EXPECT_EQ(s.bits.size() % 8, bit_in_byte);
                s.put(Scanner::end_magic, 48);
                s.put(crc, 32);
                const auto stream = s.bytes();
                std::vector<uint8_t> out(64);
                auto out_size = static_cast<unsigned>(out.size());
                ASSERT_EQ(BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(out.data()), &out_size,
                                                     const_cast<char*>(reinterpret_cast<const char*>(stream.data())),
                                                     static_cast<unsigned>(stream.size()), 0, 0),
                          BZ_OK)
                    << crc << " " << bit_in_byte;
                ASSERT_EQ(out_size, Bzip2ResumePrefix::output_bytes);
                EXPECT_EQ(Bzip2ResumePrefix::block_crc(out.data(), out_size), crc);
            }
        }
    }
}

// Round trips through bzip2 at 100k and 900k blocks: empty, one block,
// several; input whole, in random pieces and a byte at a time; every worker
// count; the sink's pieces stay within 16 KiB to 1 MiB.
TEST_F(Bzip2Blocks, RoundTripsWithBzip2)
{
    struct Case {
        int level;
        size_t size;
        size_t piece; // 0: whole
    };
    for (const Case c : {Case{9, 0, 0}, Case{1, 5000, 1}, Case{1, 450000, 0}, Case{1, 450000, 1},
                         Case{1, 450000, 7000}, Case{9, 2600000, 0}, Case{9, 2600000, 100000}}) {
        const auto original = mixed_data(c.size, static_cast<uint32_t>(c.size + c.level));
        const auto packed = bzip2(original, c.level);
        for (unsigned workers : {Bzip2Decoder::automatic, 0u, 1u, 3u}) {
            const std::string what = "level " + std::to_string(c.level) + ", " + std::to_string(c.size) +
                                     " bytes, pieces of " + std::to_string(c.piece) + ", workers " +
                                     std::to_string(workers);
            Bzip2Decoder d(Bzip2Decoder::Streams::concatenated, workers);
            recording_sink sink;
            auto in = c.piece == 0 ? chunked_source(packed, 0)
                                   : chunked_source::random(packed, static_cast<uint32_t>(workers), c.piece);
            ASSERT_EQ(d.decode(in, sink, UINT64_MAX), DecodeStatus::ok) << what;
            EXPECT_TRUE(sink.bytes == original) << what;
            EXPECT_LE(sink.largest(), size_t{1} << 20) << what;
            EXPECT_GE(sink.smallest_but_last(), size_t{16} << 10) << what;
            // The same decoder again: nothing is left over from the last call.
            sink = recording_sink();
            chunked_source again(packed, 0);
            ASSERT_EQ(d.decode(again, sink, UINT64_MAX), DecodeStatus::ok) << what;
            EXPECT_TRUE(sink.bytes == original) << what;
        }
    }
}

// Concatenated streams (as pbzip2 and `cat a.bz2 b.bz2` make them), empty
// streams between them, trailing junk and zeros, a second header cut short.
TEST_F(Bzip2Blocks, ConcatenatedStreamsAndTrailingBytesLikeSequential)
{
    const auto a = bzip2(mixed_data(330000, 1), 1);
    const auto b = bzip2(mixed_data(120000, 2), 9);
    const auto empty = bzip2({}, 9);
    const auto junk = bytes_of("junk after the stream");
    const std::vector<uint8_t> zeros(5, 0);
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> inputs = {
        {"a b", joined({a, b})},
        {"a empty a", joined({a, empty, a})},
        {"b a b", joined({b, a, b})},
        {"a junk", joined({a, junk})},
        {"a zeros b", joined({a, zeros, b})},
        {"a, second header cut", joined({a, std::span(b).first(7)})},
        {"a, second stream cut", joined({a, std::span(b).first(b.size() / 2)})},
        {"a, another BZh", joined({a, bytes_of("BZh9xyzxyzxyz")})},
    };
    for (const auto& [what, input] : inputs) {
        expect_like_sequential(input, what);
        if (what == "a b") {
            EXPECT_TRUE(bunzip2(input) == joined({mixed_data(330000, 1), mixed_data(120000, 2)}));
            EXPECT_EQ(run(0, Bzip2Decoder::Streams::concatenated, input).status, DecodeStatus::ok);
        }
    }
}

// The damage sweep: a stream of four blocks followed by another stream, cut
// at many points and overwritten at many points; the parallel decoder's
// status and output must be the sequential decoder's every time.
TEST_F(Bzip2Blocks, DamageSweepLikeSequential)
{
    const auto first = bzip2(mixed_data(380000, 11), 1);
    const auto second = bzip2(mixed_data(40000, 12), 1);
    const auto good = joined({first, second});
    const size_t step = good.size() / 45;
    size_t n = 0;
    for (const auto& damaged : damaged_forms(good, step)) {
        expect_like_sequential(damaged, "damaged form " + std::to_string(n), UINT64_MAX, n % 2 == 0);
        ++n;
    }
    // Random bit flips, one to three at a time.
    std::mt19937 rng(3);
    for (int i = 0; i < 40; ++i) {
        auto damaged = good;
        for (int k = 0; k <= i % 3; ++k) damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        expect_like_sequential(damaged, "flips " + std::to_string(i));
    }
    // A header and block magic followed by noise: no end within the largest block.
    std::vector<uint8_t> noise = {'B', 'Z', 'h', '1', 0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
    for (int i = 0; i < 400000; ++i) noise.push_back(static_cast<uint8_t>(rng()));
    expect_like_sequential(noise, "noise after a block magic");
}

// A block whose own bits hold both magics: extra selectors (unary codes a
// decoder reads and never uses) are put after a block's selectors, spelling
// the block magic and the end magic. bzip2 -d takes the file as before; the
// parallel decoder must not cut there, alone or with a stream after it.
TEST_F(Bzip2Blocks, MagicInsideABlockIsNoBoundary)
{
    const auto original = mixed_data(420000, 21);
    const auto packed = bzip2(original, 1);
    const bit_string s = bit_string::of(packed);
    const auto starts = block_starts(s);
    ASSERT_GE(starts.size(), 4u); // blocks and the end magic
    for (size_t victim : {size_t{0}, size_t{1}, starts.size() - 2}) {
        const size_t block = starts[victim];
        // magic(48) crc(32) randomised(1) origPtr(24) inUse16(16) inUse(16 each) nGroups(3) nSelectors(15)
        size_t at = block + 48 + 32 + 1 + 24;
        const auto in_use16 = static_cast<unsigned>(s.read(at, 16));
        at += 16 + 16 * static_cast<size_t>(std::popcount(in_use16));
        ASSERT_GE(s.read(at, 3), 4u) << "selectors up to 3 (a run of three ones in the end magic)";
        at += 3;
        const size_t selectors_field = at;
        const auto selectors = static_cast<unsigned>(s.read(at, 15));
        at += 15;
        for (unsigned i = 0; i < selectors; ++i)
            while (s.read(at++, 1) == 1) {
            }
        // Runs of ones in both magics are three at most: they read as
        // selectors, each ended by a 0; one 0 more ends the last.
        bit_string extra;
        extra.put(Scanner::block_magic, 48);
        extra.put(0, 1);
        extra.put(Scanner::end_magic, 48);
        extra.put(0x24924924, 32); // as if a combined CRC followed
        extra.put(0, 1);
        const auto added = static_cast<unsigned>(std::count(extra.bits.begin(), extra.bits.end(), 0));
        bit_string crafted;
        crafted.append(s, 0, at);
        crafted.write(selectors_field, selectors + added, 15);
        crafted.append(extra, 0, extra.bits.size());
        crafted.append(s, at, starts.back() + 80); // up to the combined CRC, without the old padding
        const auto bytes = crafted.bytes();
        ASSERT_GT(crafted.magics().size(), starts.size()) << "the false magics are in place";
        const auto tool = bunzip2(bytes);
        ASSERT_TRUE(tool.has_value()) << "bzip2 -d takes the crafted file";
        ASSERT_TRUE(*tool == original);
        const std::string what = "magics in block " + std::to_string(victim);
        EXPECT_EQ(run(0, Bzip2Decoder::Streams::single, bytes).bytes, original) << what;
        expect_like_sequential(bytes, what);
        expect_like_sequential(joined({bytes, bzip2(mixed_data(150000, 22), 1), bytes_of("junk")}),
                               what + ", another stream after");
    }
}

// Output limits at, just before and just after block boundaries (99981
// bytes a block here), and at the whole size.
TEST_F(Bzip2Blocks, OutputLimitAroundBlockBoundaries)
{
    const auto original = runless_data(5 * 99981 - 1000, 31);
    const auto packed = bzip2(original, 1);
    std::vector<uint64_t> limits = {0, 1, original.size() - 1, original.size(), original.size() + 1};
    for (uint64_t k = 1; k <= 4; ++k)
        for (int d : {-1, 0, 1}) limits.push_back(k * 99981 + static_cast<uint64_t>(static_cast<int64_t>(d)));
    for (uint64_t limit : limits) {
        expect_like_sequential(packed, "limit " + std::to_string(limit), limit, false);
        const Outcome o = run(3, Bzip2Decoder::Streams::single, packed, limit);
        EXPECT_EQ(o.status, limit < original.size() ? DecodeStatus::output_limit : DecodeStatus::ok) << limit;
        EXPECT_EQ(o.bytes.size(), std::min<uint64_t>(limit, original.size()));
        EXPECT_TRUE(std::equal(o.bytes.begin(), o.bytes.end(), original.begin())) << limit;
    }
}

// A sink that refuses stops the decoder with the workers: the status says
// so, nothing is offered after the refusal, what was taken is the start of
// the data, and the decoder is fit for the next file.
TEST_F(Bzip2Blocks, RefusingSinkStopsEveryThread)
{
    const auto original = mixed_data(1200000, 41);
    const auto packed = bzip2(original, 1);
    Bzip2Decoder d(Bzip2Decoder::Streams::concatenated, 3);
    for (uint64_t accept : {uint64_t{0}, uint64_t{262144}, uint64_t{600000}, uint64_t{1100000}}) {
        recording_sink sink(accept);
        chunked_source in(packed, 3000);
        EXPECT_EQ(d.decode(in, sink, UINT64_MAX), DecodeStatus::stopped) << accept;
        EXPECT_EQ(sink.writes_after_refusal, 0u) << accept;
        EXPECT_LE(sink.bytes.size(), accept);
        EXPECT_TRUE(std::equal(sink.bytes.begin(), sink.bytes.end(), original.begin())) << accept;
    }
    recording_sink sink;
    chunked_source in(packed, 0);
    EXPECT_EQ(d.decode(in, sink, UINT64_MAX), DecodeStatus::ok);
    EXPECT_TRUE(sink.bytes == original);
}

// Randomised blocks (written by bzip2 0.9.0, still read by libbz2 and bzip2
// -d): made here from blocks of bytes that bzip2 stores as they are, with
// 0.9.0's mask applied before compressing and the randomised bit set after.
TEST_F(Bzip2Blocks, RandomisedBlocks)
{
    std::vector<uint8_t> original;
    bit_string stream;
    stream.put(0x425A6831, 32); // "BZh1"
    uint32_t combined = 0;
    for (uint32_t k = 0; k < 4; ++k) {
        std::vector<uint8_t> data, masked;
        for (uint32_t seed = 50 + k * 100;; ++seed) {
            data = runless_data(60000 + k * 7000, seed);
            // The mask: a countdown from the next table entry; the byte at
            // which it reaches 1 has its low bit flipped.
            masked = data;
            int to_go = 0;
            size_t table_pos = 0;
            for (auto& b : masked) {
                if (to_go == 0) {
                    to_go = BZ2_rNums[table_pos];
                    table_pos = (table_pos + 1) % 512;
                }
                --to_go;
                b ^= to_go == 1 ? 1 : 0;
            }
            bool has_run = false;
            for (size_t i = 3; i < masked.size() && !has_run; ++i)
                has_run = masked[i] == masked[i - 1] && masked[i] == masked[i - 2] && masked[i] == masked[i - 3];
            if (!has_run) break;
        }
        const bit_string one = bit_string::of(bzip2(masked, 1));
        const auto starts = block_starts(one);
        ASSERT_EQ(starts.size(), 2u);
        const uint32_t crc = Bzip2ResumePrefix::block_crc(data.data(), data.size());
        const size_t at = stream.bits.size();
        stream.append(one, starts[0], starts[1]);
        stream.write(at + 48, crc, 32);
        stream.write(at + 80, 1, 1);
        combined = (combined << 1 | combined >> 31) ^ crc;
        original.insert(original.end(), data.begin(), data.end());
    }
    stream.put(Scanner::end_magic, 48);
    stream.put(combined, 32);
    const auto bytes = stream.bytes();
    const auto tool = bunzip2(bytes);
    ASSERT_TRUE(tool.has_value()) << "bzip2 -d takes the randomised blocks";
    ASSERT_TRUE(*tool == original);
    for (unsigned workers : {0u, 3u}) EXPECT_TRUE(run(workers, Bzip2Decoder::Streams::single, bytes).bytes == original);
    expect_like_sequential(bytes, "randomised");
}

// Guards against Deflate64 streams decoding wrongly: 7-Zip's and other tools'
// method-9 entries must come out with their stored size and CRC, and the
// length extension (symbol 285, and 284 whenever it reaches 258) must read
// its 16 extra bits in Deflate64 mode only.
#include <gtest/gtest.h>

#include <random>

#include "archive/Cls_CRC32.h"
#include "codecs/Mod_Inflate64.h"
#include "inflate_test_helpers.h"
#include "support/TestSupport.h"

namespace velmora {
namespace {

using test::bit_writer;
using test::fixed_dist;
using test::fixed_litlen;
using bytes = std::vector<uint8_t>;

struct match {
    unsigned symbol;
    unsigned extra;
    unsigned extra_bits;
    unsigned dist_code;
    std::optional<unsigned> extension; // 16 bits after the length's own extra bits
};

// One final fixed block: the literals, then the matches, then end of block.
bytes fixed_stream(const std::string& literals, const std::vector<match>& matches)
{
    bit_writer w;
    w.put_bits(1, 1);
    w.put_bits(1, 2);
    for (char c : literals) fixed_litlen().put(w, static_cast<uint8_t>(c));
    for (const auto& m : matches) {
        fixed_litlen().put(w, m.symbol);
        w.put_bits(m.extra, m.extra_bits);
        if (m.extension) w.put_bits(*m.extension, 16);
        fixed_dist().put(w, m.dist_code);
    }
    fixed_litlen().put(w, 256);
    return w.bytes();
}

int32_t inflate(bytes& data, size_t expected, bool d64)
{
    return Inflate(data, static_cast<int32_t>(expected) - 1, d64);
}

TEST(InflateDeflate64, Symbol285Reads16ExtraBits)
{
    for (unsigned x : {0u, 1u, 255u, 40000u, 65535u}) {
        const auto stream = fixed_stream("a", {{285, 0, 0, 0, x}});
        const bytes expected(1 + x + 3, 'a'); // lengths 3..65538
        bytes data = stream;
        EXPECT_EQ(inflate(data, expected.size(), true), 0);
        EXPECT_EQ(data, expected) << x;
        // One byte short of room: a fault.
        data = stream;
        inflate(data, expected.size() - 1, true);
        EXPECT_EQ(data, stream);
    }
    // In Deflate mode 285 is length 258 with no extra bits, as zlib has it.
    const auto plain = fixed_stream("a", {{285, 0, 0, 0, {}}});
    bytes data = plain;
    EXPECT_EQ(inflate(data, 259, false), 0);
    EXPECT_EQ(data, bytes(259, 'a'));
    EXPECT_EQ(test::zlib_inflate_raw(plain, 259), bytes(259, 'a'));
    data = plain;
    EXPECT_EQ(inflate(data, 259, true), 0);
    EXPECT_NE(data, bytes(259, 'a'));
}

TEST(InflateDeflate64, Symbol284ReachingLength258IsExtended)
{
    // 227 + 31 = 258: in Deflate64 the 16 bits that follow give the length.
    const auto d64 = fixed_stream("a", {{284, 31, 5, 0, 1000}});
    bytes data = d64;
    EXPECT_EQ(inflate(data, 1 + 1003, true), 0);
    EXPECT_EQ(data, bytes(1 + 1003, 'a'));

    const auto plain = fixed_stream("a", {{284, 31, 5, 0, {}}});
    data = plain;
    EXPECT_EQ(inflate(data, 259, false), 0);
    EXPECT_EQ(data, bytes(259, 'a'));
    EXPECT_EQ(test::zlib_inflate_raw(plain, 259), bytes(259, 'a'));

    // 227 + 30 = 257 is not extended.
    const auto short_one = fixed_stream("a", {{284, 30, 5, 0, {}}});
    for (bool mode : {false, true}) {
        data = short_one;
        EXPECT_EQ(inflate(data, 258, mode), 0);
        EXPECT_EQ(data, bytes(258, 'a'));
    }
}

// Many longest matches: the output grows past every initial guess and the
// copies overlap their source (distance 3 < length).
TEST(InflateDeflate64, LongestMatchesRepeated)
{
    std::vector<match> matches(120, {285, 0, 0, 2, 65535}); // length 65538, distance 3
    const auto stream = fixed_stream("xyz", matches);
    bytes expected;
    while (expected.size() < 3 + 120 * 65538) expected.insert(expected.end(), {'x', 'y', 'z'});
    expected.resize(3 + 120 * 65538);
    for (int32_t slack : {0, 1 << 30}) {
        bytes data = stream;
        ASSERT_EQ(Inflate(data, static_cast<int32_t>(expected.size()) - 1 + slack, true), 0);
        EXPECT_TRUE(data == expected);
    }
    bytes data = stream;
    Inflate(data, static_cast<int32_t>(expected.size()) - 2, true);
    EXPECT_EQ(data, stream);
}

void expect_zip_entries_decode(const std::filesystem::path& zip_path, unsigned& deflate64_entries, unsigned& zlib_failures)
{
    SCOPED_TRACE(zip_path.filename().string());
    const auto entries = test::zip_entries(test::read_file(zip_path));
    ASSERT_FALSE(entries.empty());
    for (const auto& e : entries) {
        if (e.method != 9) continue;
        SCOPED_TRACE(e.name);
        ++deflate64_entries;
        bytes data = e.data;
        EXPECT_EQ(inflate(data, e.usize, true), 0);
        EXPECT_EQ(data.size(), e.usize);
        EXPECT_EQ(crc32_update(0, data), e.crc);
        // Distance codes 30 and 31 decode in Deflate mode too; none of these
        // streams has a length of 258, so Deflate mode gives the same bytes.
        bytes plain = e.data;
        EXPECT_EQ(inflate(plain, e.usize, false), 0);
        EXPECT_TRUE(plain == data);
        if (!test::zlib_inflate_raw(e.data, e.usize)) ++zlib_failures;
    }
}

TEST(InflateDeflate64, CorpusEntriesDecode)
{
    if (!test::corpus_available()) GTEST_SKIP() << "shared corpus not present";
    unsigned entries = 0, zlib_failures = 0;
    for (const char* name : {"deflate64.zip", "lorem-ipsum-deflate64.zip", "COMPRESS-380.zip", "COMPRESS-380-dd.zip"}) {
        expect_zip_entries_decode(test::corpus_dir() / "zip-legacy" / name, entries, zlib_failures);
        if (HasFatalFailure()) return;
    }
    EXPECT_EQ(entries, 4u);
    EXPECT_EQ(zlib_failures, 2u) << "two of them need distances beyond 32 KiB";
}

TEST(InflateDeflate64, SevenZipFixturesDecode)
{
    unsigned entries = 0, zlib_failures = 0;
    for (const char* name : {"deflate64_mx1.zip", "deflate64_mx9.zip"}) {
        expect_zip_entries_decode(test::data_dir() / "deflate64" / name, entries, zlib_failures);
        if (HasFatalFailure()) return;
    }
    EXPECT_EQ(entries, 4u);
    EXPECT_EQ(zlib_failures, 4u);
}

// Fresh 7-Zip archives of varied data at several levels.
TEST(InflateDeflate64, SevenZipMadeNow)
{
    if (!test::have_tool("7z")) GTEST_SKIP() << "7z not installed";
    test::TempDir dir;
    std::mt19937 rng(64);
    for (int i = 0; i < 6; ++i) {
        bytes b;
        const size_t size = 1000 + rng() % 300000;
        while (b.size() < size) {
            const unsigned r = rng() % 10;
            if (r < 2) {
                b.insert(b.end(), rng() % 2000, 0);
            } else if (r < 5 && b.size() > 70000) {
                const size_t from = b.size() - 1 - rng() % 65000;
                const size_t n = std::min<size_t>(b.size() - from, 2 + rng() % 400);
                for (size_t k = 0; k < n; ++k) b.push_back(b[from + k]);
            } else {
                for (unsigned k = rng() % 300; k > 0; --k) b.push_back(static_cast<uint8_t>('a' + rng() % (i % 2 ? 26 : 4)));
            }
        }
        test::write_file(dir / ("in" + std::to_string(i) + ".bin"), b);
    }
    unsigned entries = 0, zlib_failures = 0;
    for (int level : {1, 5, 9}) {
        const auto zip = dir / ("out" + std::to_string(level) + ".zip");
        ASSERT_EQ(test::run_command("cd " + test::shell_quote(dir.str()) + " && 7z a -tzip -mm=Deflate64 -mx=" + std::to_string(level) +
                                    " -bd -bso0 -bse0 " + test::shell_quote(zip.string()) + " in*.bin"),
                  0);
        expect_zip_entries_decode(zip, entries, zlib_failures);
        if (HasFatalFailure()) return;
    }
    EXPECT_EQ(entries, 18u);
}

} // namespace
} // namespace velmora

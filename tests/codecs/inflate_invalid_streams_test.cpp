// Guards against wrong handling of broken and borderline streams: each failure
// must give its own result, leave Data as given or hand back the partial
// output as documented, show the table message only for bad tables, and never
// allocate the declared size of a hostile entry up front.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstring>

#include "archive/HeadlessWindow.h"
#include "codecs/Mod_Inflate64.h"
#include "inflate_test_helpers.h"
#include "support/TestSupport.h"

namespace velmora {
namespace {

using test::bit_writer;
using test::fixed_dist;
using test::fixed_litlen;
using test::huffman_code;
using test::precode_op;
using bytes = std::vector<uint8_t>;

struct decoded {
    int32_t result;
    bytes data;
    std::vector<HeadlessWindow::Message> messages;
};

decoded run(const bytes& stream, int32_t out_last, bool d64 = false)
{
    HeadlessWindow window;
    bytes data = stream;
    const int32_t r = Inflate(data, out_last, d64, &window);
    return {r, data, window.messages};
}

bytes text(const char* s) { return bytes(s, s + std::strlen(s)); }

void fixed_literals(bit_writer& w, const char* s)
{
    for (; *s; ++s) fixed_litlen().put(w, static_cast<uint8_t>(*s));
}

void stored(bit_writer& w, bool final_block, const bytes& payload, int nlen = -1)
{
    w.put_bits(final_block, 1);
    w.put_bits(0, 2);
    w.align();
    const auto len = static_cast<unsigned>(payload.size());
    const auto n = nlen < 0 ? (~len & 0xFFFF) : static_cast<unsigned>(nlen);
    for (unsigned v : {len & 0xFF, len >> 8, n & 0xFF, n >> 8}) w.put_byte(static_cast<uint8_t>(v));
    for (uint8_t b : payload) w.put_byte(b);
}

void expect_fault(const bytes& stream, int32_t out_last, int32_t result = 0, bool d64 = false)
{
    const auto d = run(stream, out_last, d64);
    EXPECT_EQ(d.result, result);
    EXPECT_EQ(d.data, stream) << "a fault leaves Data as given";
    EXPECT_TRUE(d.messages.empty());
}

void expect_table_failure(const bytes& stream, bool zlib_rejects = true)
{
    const auto d = run(stream, 1000);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.data, stream);
    ASSERT_EQ(d.messages.size(), 1u);
    EXPECT_EQ(d.messages[0].text, "Error in tree creation (Static).");
    EXPECT_EQ(d.messages[0].title, "Error");
    EXPECT_EQ(d.messages[0].icon, MessageIcon::information);
    EXPECT_EQ(test::zlib_inflate_raw(stream, 1000).has_value(), !zlib_rejects);
}

// A dynamic block header for literal/length lengths ll and distance lengths dl,
// sent one length at a time.
void dynamic_header(bit_writer& w, bool final_block, const bytes& ll, const bytes& dl)
{
    w.put_bits(final_block, 1);
    w.put_bits(2, 2);
    bytes all(ll);
    all.insert(all.end(), dl.begin(), dl.end());
    test::put_dynamic_header(w, static_cast<unsigned>(ll.size()), static_cast<unsigned>(dl.size()), test::literal_ops(all));
}

// Literal/length code: 'a' and 'b' 2 bits, end of block 2 bits, 'c' 3 bits, length symbol 257 3 bits.
bytes small_litlen()
{
    bytes ll(257, 0);
    ll['a'] = 2;
    ll['b'] = 2;
    ll[256] = 2;
    ll['c'] = 3;
    ll.push_back(3); // 257
    return ll;
}

TEST(InflateEdges, EmptyFinalFixedBlock)
{
    bit_writer w;
    w.put_bits(1, 1);
    w.put_bits(1, 2);
    fixed_litlen().put(w, 256);
    ASSERT_EQ(w.bytes(), (bytes{0x03, 0x00}));
    for (int32_t out_last : {-1, 0, 100}) {
        const auto d = run(w.bytes(), out_last);
        EXPECT_EQ(d.result, 0);
        EXPECT_TRUE(d.data.empty());
    }
    EXPECT_EQ(test::zlib_inflate_raw(w.bytes(), 0), bytes{});
}

TEST(InflateEdges, OutputPastOutLastIsAFault)
{
    bit_writer w;
    w.put_bits(1, 1);
    w.put_bits(1, 2);
    fixed_literals(w, "abc");
    fixed_litlen().put(w, 256);
    EXPECT_EQ(run(w.bytes(), 2).data, text("abc"));
    EXPECT_EQ(run(w.bytes(), 3).data, text("abc")) << "a larger buffer hands back the bytes produced";
    expect_fault(w.bytes(), 1);
    expect_fault(w.bytes(), -1); // nothing expected: any literal is a fault
    expect_fault(w.bytes(), -7); // a negative size declared: nothing expected either

    // The same through a match: "a" then a copy of 9 at distance 1.
    bit_writer m;
    m.put_bits(1, 1);
    m.put_bits(1, 2);
    fixed_literals(m, "a");
    fixed_litlen().put(m, 264); // length 10
    fixed_dist().put(m, 0);
    fixed_litlen().put(m, 256);
    EXPECT_EQ(run(m.bytes(), 10).data, bytes(11, 'a'));
    expect_fault(m.bytes(), 9);
}

TEST(InflateEdges, DistanceBeforeFirstByteIsAFault)
{
    bit_writer w;
    w.put_bits(1, 1);
    w.put_bits(1, 2);
    fixed_literals(w, "ab");
    fixed_litlen().put(w, 257); // length 3
    fixed_dist().put(w, 2);     // distance 3: one byte before the start
    fixed_litlen().put(w, 256);
    expect_fault(w.bytes(), 100);
    EXPECT_FALSE(test::zlib_inflate_raw(w.bytes(), 100));
}

TEST(InflateEdges, BadTablesShowTheMessage)
{
    { // over-subscribed literal/length code: three 1-bit codes
        bytes ll(257, 0);
        ll['a'] = ll['b'] = ll[256] = 1;
        bit_writer w;
        dynamic_header(w, true, ll, bytes{1, 1});
        expect_table_failure(w.bytes());
    }
    { // incomplete literal/length code
        bytes ll = small_litlen();
        ll[257] = 0;
        bit_writer w;
        dynamic_header(w, true, ll, bytes{1, 1});
        expect_table_failure(w.bytes());
    }
    { // code-length code with only part of its space used
        bit_writer w;
        w.put_bits(1, 1);
        w.put_bits(2, 2);
        bytes precode(19, 0);
        precode[1] = 1;
        precode[2] = 2;
        test::put_dynamic_header(w, 257, 1, {{1}, {2}}, precode, 19);
        expect_table_failure(w.bytes());
    }
    { // first code-length instruction is a repeat of the previous length
        bit_writer w;
        w.put_bits(1, 1);
        w.put_bits(2, 2);
        auto ops = test::literal_ops(small_litlen());
        ops.insert(ops.begin(), precode_op{16, 0});
        test::put_dynamic_header(w, 258, 2, ops);
        expect_table_failure(w.bytes());
    }
    { // a run of zeros past HLIT + HDIST
        bit_writer w;
        w.put_bits(1, 1);
        w.put_bits(2, 2);
        auto ops = test::literal_ops(small_litlen());
        ops.push_back({1});
        ops.push_back({18, 0}); // 11 zeros where 1 length is left
        test::put_dynamic_header(w, 258, 2, ops);
        expect_table_failure(w.bytes());
    }
    { // a failure after a bad stored length keeps result -2
        bit_writer w;
        stored(w, false, text("xy"), 0x1234);
        bytes ll = small_litlen();
        ll[257] = 0;
        dynamic_header(w, true, ll, bytes{1, 1});
        const auto d = run(w.bytes(), 10);
        EXPECT_EQ(d.result, -2);
        EXPECT_EQ(d.data, w.bytes());
        EXPECT_EQ(d.messages.size(), 1u);
    }
}

TEST(InflateEdges, SparseDistanceCodesAreValid)
{
    // RFC 1951 lets a block send one one-bit distance codeword, or none when
    // it holds only literals; Go's compress/flate writes both. zlib reads them,
    // and so must we: refusing them would fail whole archives.
    const bytes ll = small_litlen();
    const huffman_code llc(ll);
    { // a single distance code: "ab" then a copy of 3 at distance 2
        bit_writer w;
        bytes dl(2, 0);
        dl[1] = 1; // distance code 1 = distance 2, codeword "0"
        dynamic_header(w, true, ll, dl);
        llc.put(w, 'a');
        llc.put(w, 'b');
        llc.put(w, 257); // length 3
        w.put_bits(0, 1);
        llc.put(w, 256);
        const auto d = run(w.bytes(), 4);
        EXPECT_EQ(d.result, 0);
        EXPECT_EQ(d.data, text("ababa"));
        EXPECT_TRUE(d.messages.empty());
        EXPECT_EQ(test::zlib_inflate_raw(w.bytes(), 5).value_or(bytes{}), text("ababa"));

        // The unused codeword "1" is a fault, as in zlib.
        bit_writer bad;
        dynamic_header(bad, true, ll, dl);
        llc.put(bad, 'a');
        llc.put(bad, 'b');
        llc.put(bad, 257);
        bad.put_bits(1, 1);
        llc.put(bad, 256);
        expect_fault(bad.bytes(), 100);
        EXPECT_FALSE(test::zlib_inflate_raw(bad.bytes(), 100));
    }
    { // no distance code at all: literals decode, any match is a fault
        bit_writer w;
        dynamic_header(w, false, ll, bytes{0});
        llc.put(w, 'a');
        llc.put(w, 256);
        dynamic_header(w, true, ll, bytes{0});
        llc.put(w, 'b');
        llc.put(w, 256);
        const auto d = run(w.bytes(), 1);
        EXPECT_EQ(d.result, 0);
        EXPECT_EQ(d.data, text("ab"));
        EXPECT_TRUE(d.messages.empty());

        bit_writer bad;
        dynamic_header(bad, true, ll, bytes{0});
        llc.put(bad, 'a');
        llc.put(bad, 257);
        llc.put(bad, 256);
        expect_fault(bad.bytes(), 100);
    }
    { // a single distance code of two bits is still incomplete: refused
        bit_writer w;
        dynamic_header(w, true, ll, bytes{2});
        llc.put(w, 'a');
        llc.put(w, 256);
        expect_table_failure(w.bytes());
    }
}

TEST(InflateEdges, BlockTypeThreeHandsBackTheOutputSoFar)
{
    bit_writer w;
    stored(w, false, text("abc"));
    w.put_bits(1, 1);
    w.put_bits(3, 2);
    const auto d = run(w.bytes(), 100);
    EXPECT_EQ(d.result, -1);
    EXPECT_EQ(d.data, text("abc"));
    EXPECT_TRUE(d.messages.empty());
    EXPECT_FALSE(test::zlib_inflate_raw(w.bytes(), 100));
}

TEST(InflateEdges, StoredBlockRules)
{
    { // NLEN not the complement of LEN: copied anyway, decoding goes on, result -2
        bit_writer w;
        stored(w, false, text("abc"), 0);
        w.put_bits(1, 1);
        w.put_bits(1, 2);
        fixed_literals(w, "d");
        fixed_litlen().put(w, 256);
        const auto d = run(w.bytes(), 3);
        EXPECT_EQ(d.result, -2);
        EXPECT_EQ(d.data, text("abcd"));
        EXPECT_FALSE(test::zlib_inflate_raw(w.bytes(), 100));
    }
    { // LEN runs past the input: -1 with the output so far
        bit_writer w;
        w.put_bits(0, 1);
        w.put_bits(1, 2);
        fixed_literals(w, "xy");
        fixed_litlen().put(w, 256);
        stored(w, true, bytes(10, 'z'));
        bytes cut = w.bytes();
        cut.resize(cut.size() - 4);
        const auto d = run(cut, 100);
        EXPECT_EQ(d.result, -1);
        EXPECT_EQ(d.data, text("xy"));
        EXPECT_FALSE(test::zlib_inflate_raw(cut, 100));
        // ... or does not fit in the output: nothing of it is copied.
        const auto e = run(w.bytes(), 5);
        EXPECT_EQ(e.result, -1);
        EXPECT_EQ(e.data, text("xy"));
        EXPECT_EQ(run(w.bytes(), 11).data, text("xyzzzzzzzzzz"));
    }
    { // an empty stored block when the output is already full copies nothing and goes on
        bit_writer w;
        stored(w, false, text("abc"));
        stored(w, false, {});
        w.put_bits(1, 1);
        w.put_bits(1, 2);
        fixed_litlen().put(w, 256);
        const auto d = run(w.bytes(), 2);
        EXPECT_EQ(d.result, 0);
        EXPECT_EQ(d.data, text("abc"));
    }
    { // the header needs five bytes from where the bit buffer has read to, so a
      // final empty stored block at the very end of the input ends with -1
        bit_writer w;
        stored(w, false, text("abc"));
        stored(w, true, {});
        const auto d = run(w.bytes(), 2);
        EXPECT_EQ(d.result, -1);
        EXPECT_EQ(d.data, text("abc"));
        EXPECT_EQ(test::zlib_inflate_raw(w.bytes(), 2), text("abc"));
        bytes padded = w.bytes();
        padded.push_back(0);
        EXPECT_EQ(run(padded, 2).result, 0);
    }
}

// The bit buffer reads ahead by up to the longest codeword of the table in
// use; bytes read ahead that way count as taken when a stored header is checked.
TEST(InflateEdges, StoredHeaderCountsBytesReadAhead)
{
    // Literal/length code with end of block as the only 1-bit code and codes
    // up to 15 bits: decoding it reads ahead 15 bits while taking only 1.
    bytes ll(257, 0);
    ll[256] = 1;
    for (unsigned s = 0; s < 14; ++s) ll[s] = static_cast<uint8_t>(s + 2);
    ll[14] = 15;
    bit_writer w;
    dynamic_header(w, false, ll, bytes{1, 1});
    huffman_code(ll).put(w, 256);
    stored(w, true, {});
    for (unsigned pad = 0; pad <= 3; ++pad) {
        bytes s = w.bytes();
        s.insert(s.end(), pad, 0);
        const auto d = run(s, 10);
        const auto m = test::run_inflate_model(s, 10, false);
        EXPECT_EQ(d.result, m.result) << pad;
        EXPECT_TRUE(d.data.empty());
        if (pad == 0) {
            EXPECT_EQ(d.result, -1);
        }
        if (pad == 3) {
            EXPECT_EQ(d.result, 0);
        }
    }
}

TEST(InflateEdges, BitsPastTheEndReadAsZeros)
{
    // "ab" in a fixed block cut off before its end-of-block code: the missing
    // bits read as 0, which is the 7-bit end-of-block code.
    for (bool final_block : {true, false}) {
        bit_writer w;
        w.put_bits(final_block, 1);
        w.put_bits(1, 2);
        fixed_literals(w, "ab");
        ASSERT_EQ(w.bytes().size(), 3u);
        const auto d = run(w.bytes(), 10);
        // Not final: the next header reads as a stored block with no input left.
        EXPECT_EQ(d.result, final_block ? 0 : -1);
        EXPECT_EQ(d.data, text("ab"));
        EXPECT_FALSE(test::zlib_inflate_raw(w.bytes(), 10));
    }
}

TEST(InflateEdges, SymbolsPast285AreLengthZero)
{
    bytes ll(288, 0);
    ll['a'] = 2;
    ll['b'] = 2;
    ll[256] = 2;
    ll[286] = 3;
    ll[287] = 3;
    bytes dl(32, 5);
    for (bool d64 : {false, true}) {
        bit_writer w;
        dynamic_header(w, true, ll, dl);
        const huffman_code c(ll), dc(dl);
        c.put(w, 'a');
        c.put(w, 286);
        dc.put(w, 31); // distance 49153 + extra: far before the start, yet no fault
        w.put_bits(0x3FFF, 14);
        c.put(w, 'b');
        c.put(w, 287);
        dc.put(w, 0);
        c.put(w, 256);
        const auto d = run(w.bytes(), 1, d64);
        EXPECT_EQ(d.result, 0);
        EXPECT_EQ(d.data, text("ab"));
        EXPECT_FALSE(test::zlib_inflate_raw(w.bytes(), 10));
    }
}

// Once the input is used up every symbol reads as the all-zero codeword; when
// that is symbol 286 (nothing copied) the decoder would spin for ever.
TEST(InflateEdges, EndlessLengthZeroSymbolsAtEndOfInputAreAFault)
{
    bytes ll(288, 0);
    ll[286] = 1; // the all-zero codeword
    ll['a'] = 2;
    ll[256] = 2;
    bit_writer w;
    dynamic_header(w, true, ll, bytes{1, 1});
    huffman_code(ll).put(w, 'a');
    expect_fault(w.bytes(), 1000);
    const auto m = test::run_inflate_model(w.bytes(), 1000, false);
    EXPECT_TRUE(m.fault);
}

TEST(InflateEdges, DistanceCodes30And31InBothModes)
{
    const bytes block(40000, 'q');
    bit_writer w;
    stored(w, false, bytes(block.begin(), block.begin() + 20000));
    stored(w, false, bytes(block.begin() + 20000, block.end()));
    w.put_bits(1, 1);
    w.put_bits(1, 2);
    fixed_literals(w, "X");
    fixed_litlen().put(w, 257);
    fixed_dist().put(w, 30); // 32769 + 2
    w.put_bits(2, 14);
    fixed_litlen().put(w, 256);
    bytes expected = block;
    expected.push_back('X');
    expected.insert(expected.end(), 3, 'q');
    for (bool d64 : {false, true}) {
        const auto d = run(w.bytes(), static_cast<int32_t>(expected.size()) - 1, d64);
        EXPECT_EQ(d.result, 0);
        EXPECT_EQ(d.data, expected);
    }
    EXPECT_FALSE(test::zlib_inflate_raw(w.bytes(), expected.size()));
}

long peak_rss_kib()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// A declared size far larger than the stream produces must not be allocated.
TEST(InflateEdges, OutputGrowsWithTheStreamNotTheDeclaredSize)
{
    const bytes zeros(3'000'000, 0);
    const auto packed = test::zlib_deflate_raw(zeros, 9);
    ASSERT_LT(packed.size(), 10000u);
    bytes data = packed;
    const long before = peak_rss_kib();
    ASSERT_EQ(Inflate(data, 1'258'686'015, false), 0);
    EXPECT_EQ(data, zeros);
    EXPECT_LT(data.capacity(), 2 * zeros.size());
    EXPECT_LT(peak_rss_kib() - before, 200 * 1024);

    if (!test::corpus_available()) GTEST_SKIP() << "shared corpus not present";
    const auto zip = test::read_file(test::corpus_dir() / "zip-legacy/raw_deflate64_index_out_of_bounds.zip");
    bytes raw(zip.begin() + 30 + (zip[26] | zip[27] << 8) + (zip[28] | zip[29] << 8), zip.end());
    const uint32_t usize = zip[22] | zip[23] << 8 | zip[24] << 16 | static_cast<uint32_t>(zip[25]) << 24;
    ASSERT_EQ(usize, 1258686016u);
    for (bool d64 : {true, false}) {
        bytes entry = raw;
        Inflate(entry, static_cast<int32_t>(usize - 1), d64);
        EXPECT_LT(entry.capacity(), 64u << 20);
    }
    EXPECT_LT(peak_rss_kib() - before, 200 * 1024);
}

} // namespace
} // namespace velmora

// Guards the stream decoder against depending on how its input and output are
// cut: whatever the piece sizes of the source and wherever the sink stops it,
// it must give the whole-buffer results, say exactly where each stream ends,
// carry a window from stream to stream, stop a bomb at the output limit in
// bounded memory, and call every cut-off stream truncated.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <random>

#include "archive/Cls_CRC32.h"
#include "archive/HeadlessWindow.h"
#include "codecs/InflateDecoder.h"
#include "codecs/Mod_Inflate64.h"
#include "inflate_test_helpers.h"
#include "support/StreamTestSupport.h"
#include "support/TestSupport.h"

namespace velmora {
namespace {

using bytes = std::vector<uint8_t>;
using test::bit_writer;
using test::chunked_source;
using test::fixed_dist;
using test::fixed_litlen;
using test::recording_sink;

constexpr size_t MiB = size_t{1} << 20;

struct streamed {
    DecodeStatus status;
    inflate_fault fault;
    bytes out;
    uint64_t total_in;
    uint64_t total_out;
    size_t sink_pieces;
};

streamed stream_decode(InflateDecoder& d, chunked_source src, uint64_t limit, uint64_t refuse_at = UINT64_MAX)
{
    recording_sink sink(refuse_at);
    const DecodeStatus s = d.decode(src, sink, limit);
    EXPECT_EQ(sink.writes_after_refusal, 0u) << "the decoder went on writing after the sink refused";
    EXPECT_LE(src.reads_after_end, 1u) << "the decoder kept reading after the end of the input";
    return {s, d.fault(), sink.bytes, d.total_in(), d.total_out(), sink.pieces.size()};
}

streamed stream_decode(const bytes& in, uint64_t limit, bool d64, inflate_rules rules, uint32_t seed, size_t max_piece)
{
    InflateDecoder d(d64, rules);
    return stream_decode(d, chunked_source::random(in, seed, max_piece), limit);
}

// Text-like bytes: words, runs of one byte, random stretches, and repeats from
// up to 60 KiB back.
bytes sample_data(std::mt19937& rng, size_t size)
{
    static const char* const words[] = {"the ", "archive ", "window ", "stream ", "of ", "deflate ", "block ", "\n"};
    bytes b;
    b.reserve(size);
    while (b.size() < size) {
        const unsigned r = rng() % 16;
        if (r < 8) {
            for (const char* w = words[rng() % 8]; *w; ++w) b.push_back(static_cast<uint8_t>(*w));
        } else if (r < 10) {
            b.insert(b.end(), 1 + rng() % 300, static_cast<uint8_t>(rng()));
        } else if (r < 12) {
            for (unsigned k = 1 + rng() % 200; k > 0; --k) b.push_back(static_cast<uint8_t>(rng()));
        } else if (b.size() > 100) {
            const size_t from = b.size() - 1 - rng() % std::min<size_t>(b.size() - 1, 60000);
            const size_t n = std::min<size_t>(b.size() - from, 3 + rng() % 500);
            for (size_t k = 0; k < n; ++k) b.push_back(b[from + k]);
        }
    }
    b.resize(size);
    return b;
}

// A raw stream in parts, each with its own level and strategy (deflateParams
// ends a block at each change): stored, fixed and dynamic blocks in one stream.
bytes zlib_mixed_stream(const bytes& data, const std::vector<std::pair<int, int>>& parts)
{
    z_stream z{};
    deflateInit2(&z, parts[0].first, Z_DEFLATED, -15, 8, parts[0].second);
    bytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 64 * parts.size() + 64);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const size_t piece = data.size() / parts.size() + 1;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) deflateParams(&z, parts[i].first, parts[i].second);
        const size_t from = std::min(data.size(), i * piece);
        z.next_in = const_cast<Bytef*>(data.data() + from);
        z.avail_in = static_cast<uInt>(std::min(data.size(), from + piece) - from);
        deflate(&z, i + 1 == parts.size() ? Z_FINISH : Z_NO_FLUSH);
    }
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// A fixed-Huffman match written with the symbol and distance code that cover
// `length` (3..258, or 3..65538 in Deflate64) and `dist` (1..65536).
void put_match(bit_writer& w, uint32_t length, uint32_t dist, bool d64)
{
    static constexpr uint16_t lbase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static constexpr uint8_t lextra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    if (d64 && length >= 258) {
        fixed_litlen().put(w, 285);
        w.put_bits(length - 3, 16);
    } else {
        unsigned k = 28;
        while (lbase[k] > length) --k;
        fixed_litlen().put(w, 257 + k);
        w.put_bits(length - lbase[k], lextra[k]);
    }
    unsigned d = 0;
    while (d < 31) {
        const unsigned e = d < 4 ? 0 : d / 2 - 1;
        const unsigned base = d < 4 ? d + 1 : ((2u + (d & 1)) << e) + 1;
        if (dist < base + (1u << e)) break;
        ++d;
    }
    const unsigned e = d < 4 ? 0 : d / 2 - 1;
    const unsigned base = d < 4 ? d + 1 : ((2u + (d & 1)) << e) + 1;
    fixed_dist().put(w, d);
    w.put_bits(dist - base, e);
}

// A fixed block of one zero byte and groups of eight matches of 258 at
// distance 1: 258 x 8 x groups + 1 zeros from 13 bytes a group. The literal
// and the first match fill three bytes, so the groups start byte-aligned.
bytes zero_bomb(size_t groups)
{
    bit_writer head;
    head.put_bits(1, 1);
    head.put_bits(1, 2);
    fixed_litlen().put(head, 0);
    put_match(head, 258, 1, false);
    bit_writer group;
    for (int i = 0; i < 8; ++i) put_match(group, 258, 1, false);
    bytes s = head.bytes();
    EXPECT_EQ(s.size(), 3u);
    EXPECT_EQ(group.bytes().size(), 13u);
    for (size_t g = 0; g < groups; ++g) s.insert(s.end(), group.bytes().begin(), group.bytes().end());
    bit_writer tail;
    fixed_litlen().put(tail, 256);
    s.insert(s.end(), tail.bytes().begin(), tail.bytes().end());
    return s;
}

long peak_rss_kib()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// Whole-buffer results (the decoder's vector mode under whole_entry rules,
// which Inflate maps onto its results) against the stream decoder under the
// same rules fed in random pieces, for one stream and one limit.
void expect_stream_matches_whole_buffer(const bytes& stream, uint64_t limit, bool d64, uint32_t seed, const std::string& what)
{
    InflateDecoder whole(d64, inflate_rules::whole_entry);
    bytes expected;
    const DecodeStatus ws = whole.decode(stream, expected, limit);
    const size_t max_piece = seed % 3 == 0 ? 7 : seed % 3 == 1 ? 4096 : 300000;
    const auto s = stream_decode(stream, limit, d64, inflate_rules::whole_entry, seed, max_piece);
    ASSERT_EQ(decode_status_name(s.status), decode_status_name(ws)) << what;
    ASSERT_EQ(static_cast<int>(s.fault), static_cast<int>(whole.fault())) << what;
    ASSERT_EQ(s.out.size(), expected.size()) << what;
    ASSERT_TRUE(s.out == expected) << what;
    if (ws == DecodeStatus::ok) {
        ASSERT_EQ(s.total_in, whole.total_in()) << what;
    }
}

TEST(InflateStreaming, AgreesWithWholeBufferWhateverThePieceSizes)
{
    std::mt19937 rng(2024);
    unsigned zlib_checked = 0;
    for (int i = 0; i < 120; ++i) {
        // Mostly small streams; a few run past several output flushes.
        const size_t size = i % 20 == 0 ? 2 * MiB + rng() % MiB : rng() % 3 == 0 ? rng() % 300 : rng() % 70000;
        const bytes data = sample_data(rng, size);
        static constexpr int strategies[] = {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE, Z_FILTERED};
        const bytes good = test::zlib_deflate_raw(data, static_cast<int>(rng() % 10), strategies[rng() % 5]);
        const std::string what = "stream " + std::to_string(i) + " of " + std::to_string(size);

        // Valid: under RFC 1951 rules, the bytes zlib gives, and the end
        // where zlib finds it, with bytes after the stream left unread.
        bytes followed = good;
        followed.insert(followed.end(), {0x1F, 0x8B, 0x08, 0x00, 0x55});
        const auto z = test::zlib_inflate_raw_ex(followed, size);
        ASSERT_TRUE(z) << what;
        const auto s = stream_decode(followed, size, false, inflate_rules::rfc1951, rng(), rng() % 2 ? 5 : 200000);
        ASSERT_EQ(s.status, DecodeStatus::ok) << what;
        ASSERT_TRUE(s.out == data) << what;
        ASSERT_EQ(s.total_in, z->consumed) << what;
        ASSERT_EQ(s.total_in, good.size()) << what;
        ++zlib_checked;

        for (bool d64 : {false, true}) {
            expect_stream_matches_whole_buffer(good, size, d64, rng(), what);
            expect_stream_matches_whole_buffer(good, size > 0 ? size - 1 : 0, d64, rng(), what + " one byte short");
            if (HasFatalFailure()) return;
        }
        // Damaged and cut copies: whatever the whole-buffer decoder does with
        // them, the stream decoder does too.
        bytes bad = good;
        for (unsigned f = 1 + rng() % 3; f > 0 && !bad.empty(); --f) bad[rng() % bad.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        if (rng() % 2) bad.resize(rng() % (bad.size() + 1));
        expect_stream_matches_whole_buffer(bad, size + rng() % 1000, rng() % 2, rng(), what + " damaged");
        if (HasFatalFailure()) return;
    }
    for (int i = 0; i < 400; ++i) {
        bytes noise(rng() % 400);
        for (auto& b : noise) b = static_cast<uint8_t>(rng());
        expect_stream_matches_whole_buffer(noise, rng() % 5000, rng() % 2, rng(), "noise " + std::to_string(i));
        if (HasFatalFailure()) return;
    }
    EXPECT_EQ(zlib_checked, 120u);
}

TEST(InflateStreaming, PiecesAreLargeBoundedAndStopWhenRefused)
{
    std::mt19937 rng(7);
    const bytes data = sample_data(rng, 5 * MiB + 12345);
    const bytes packed = test::zlib_deflate_raw(data, 6);

    InflateDecoder d(false);
    SpanSource plain(packed);
    recording_sink sink;
    ASSERT_EQ(d.decode(plain, sink, data.size()), DecodeStatus::ok);
    ASSERT_TRUE(sink.bytes == data);
    EXPECT_EQ(d.total_out(), data.size());
    ASSERT_GE(sink.pieces.size(), 5u);
    for (size_t i = 0; i < sink.pieces.size(); ++i) {
        EXPECT_LE(sink.pieces[i], MiB) << "output is handed over at least every 1 MiB";
        if (i + 1 < sink.pieces.size()) {
            EXPECT_GE(sink.pieces[i], 16u << 10) << "pieces are not needlessly small";
        }
    }

    // Refused at any point, by any sink piece: stopped at once, with what was
    // taken a prefix of the output. The same decoder object serves every run.
    for (uint64_t refuse_at : {uint64_t{0}, uint64_t{1}, uint64_t{16} << 10, uint64_t{MiB} + 5, uint64_t{data.size()} - 1}) {
        const auto s = stream_decode(d, chunked_source::random(packed, static_cast<uint32_t>(refuse_at), 100000), data.size(), refuse_at);
        EXPECT_EQ(s.status, DecodeStatus::stopped) << refuse_at;
        EXPECT_EQ(s.fault, inflate_fault::none);
        EXPECT_LE(s.out.size(), refuse_at);
        EXPECT_TRUE(std::equal(s.out.begin(), s.out.end(), data.begin())) << refuse_at;
    }
    // A stored stream stops the same way.
    const bytes stored = test::zlib_deflate_raw(bytes(data.begin(), data.begin() + 300000), 0);
    InflateDecoder r(false);
    const auto s = stream_decode(r, chunked_source::random(stored, 3, 70000), 300000, 100000);
    EXPECT_EQ(s.status, DecodeStatus::stopped);
    EXPECT_TRUE(std::equal(s.out.begin(), s.out.end(), data.begin()));
}

// A gzip reader decodes member after member: each stream must end exactly
// where zlib says, with the bytes read past it handed back.
TEST(InflateStreaming, TotalInMarksTheEndOfEachConcatenatedStream)
{
    std::mt19937 rng(11);
    std::vector<bytes> originals;
    bytes all;
    std::vector<size_t> ends;
    for (int i = 0; i < 40; ++i) {
        originals.push_back(sample_data(rng, rng() % 4 == 0 ? rng() % 10 : rng() % 150000));
        bytes s;
        switch (rng() % 4) {
        case 0: s = test::zlib_deflate_raw(originals.back(), 0); break; // ends with a stored block
        case 1: s = test::zlib_deflate_raw(originals.back(), 1, Z_FIXED); break;
        case 2: s = zlib_mixed_stream(originals.back(), {{9, Z_DEFAULT_STRATEGY}, {0, Z_DEFAULT_STRATEGY}, {6, Z_HUFFMAN_ONLY}}); break;
        default: s = test::zlib_deflate_raw(originals.back(), 9); break;
        }
        all.insert(all.end(), s.begin(), s.end());
        ends.push_back(all.size());
        // An 8-byte trailer, as gzip has, between the streams.
        for (int k = 0; k < 8; ++k) all.push_back(static_cast<uint8_t>(rng()));
    }
    size_t at = 0;
    InflateDecoder d(false);
    for (size_t i = 0; i < originals.size(); ++i) {
        const std::span<const uint8_t> rest(all.data() + at, all.size() - at);
        chunked_source src = i % 2 ? chunked_source::random(rest, static_cast<uint32_t>(i), 1000) : chunked_source(rest, [] { return SIZE_MAX; });
        recording_sink sink;
        ASSERT_EQ(d.decode(src, sink, originals[i].size()), DecodeStatus::ok) << i;
        ASSERT_TRUE(sink.bytes == originals[i]) << i;
        ASSERT_EQ(at + d.total_in(), ends[i]) << i;
        // What was read past the end is exactly the bytes that follow it.
        const auto unused = d.unused_input();
        ASSERT_EQ(d.total_in() + unused.size() + src.remaining(), rest.size()) << i;
        ASSERT_TRUE(std::equal(unused.begin(), unused.end(), rest.begin() + static_cast<ptrdiff_t>(d.total_in()))) << i;
        at = ends[i] + 8;
    }
}

// CAB's MSZIP: each block a complete stream whose matches may reach into the
// blocks before it.
TEST(InflateStreaming, WindowCarriesFromStreamToStream)
{
    std::mt19937 rng(5);
    const bytes data = sample_data(rng, 400000);
    constexpr size_t block = 32768;
    std::vector<bytes> packed;
    for (size_t at = 0; at < data.size(); at += block) {
        const bytes dict(data.begin() + static_cast<ptrdiff_t>(at - std::min(at, block)), data.begin() + static_cast<ptrdiff_t>(at));
        const bytes part(data.begin() + static_cast<ptrdiff_t>(at), data.begin() + static_cast<ptrdiff_t>(std::min(data.size(), at + block)));
        packed.push_back(test::zlib_deflate_raw_with_dictionary(part, 6, dict));
    }
    InflateDecoder d(false);
    bytes joined;
    unsigned refused_without_window = 0;
    for (size_t i = 0; i < packed.size(); ++i) {
        recording_sink sink;
        auto src = chunked_source::random(packed[i], static_cast<uint32_t>(i), 3000);
        ASSERT_EQ(d.decode(src, sink, block, i > 0), DecodeStatus::ok) << i;
        joined.insert(joined.end(), sink.bytes.begin(), sink.bytes.end());
        // Without the window the block reaches before its first byte.
        InflateDecoder fresh(false);
        recording_sink ignored;
        SpanSource again(packed[i]);
        if (fresh.decode(again, ignored, block) == DecodeStatus::data_error && fresh.fault() == inflate_fault::bad_distance)
            ++refused_without_window;
    }
    EXPECT_TRUE(joined == data);
    EXPECT_GE(refused_without_window, packed.size() / 2);

    // A zlib preset dictionary (up to 64 KiB of it is kept).
    const bytes dict = sample_data(rng, 90000);
    bytes text(dict.end() - 20000, dict.end());
    text.insert(text.end(), dict.begin() + 40000, dict.begin() + 50000);
    const bytes with_dict = test::zlib_deflate_raw_with_dictionary(text, 9, dict);
    ASSERT_EQ(test::zlib_inflate_raw_ex(with_dict, text.size(), dict).value_or(test::zlib_result{}).out, text);
    InflateDecoder p(false);
    p.set_dictionary(dict);
    recording_sink sink;
    SpanSource src(with_dict);
    ASSERT_EQ(p.decode(src, sink, text.size(), true), DecodeStatus::ok);
    EXPECT_TRUE(sink.bytes == text);
}

TEST(InflateStreaming, OutputLimitStopsABombInBoundedMemory)
{
    constexpr size_t groups = 160000; // 330 MB of zeros from 2 MB
    const bytes bomb = zero_bomb(groups);
    const uint64_t full = uint64_t{groups} * 8 * 258 + 258 + 1;

    InflateDecoder d(false);
    const auto limited = stream_decode(d, chunked_source::random(bomb, 1, 100000), 3 * MiB + 17);
    EXPECT_EQ(limited.status, DecodeStatus::output_limit);
    EXPECT_EQ(limited.fault, inflate_fault::output_limit);
    EXPECT_EQ(limited.out.size(), limited.total_out);
    EXPECT_LE(limited.total_out, 3 * MiB + 17);
    EXPECT_GT(limited.total_out, 3 * MiB + 17 - 258);
    EXPECT_TRUE(std::all_of(limited.out.begin(), limited.out.end(), [](uint8_t b) { return b == 0; }));

    // The whole bomb, through a sink that keeps nothing: memory stays with
    // the decoder's buffers, far below the output.
    const long before = peak_rss_kib();
    SpanSource src(bomb);
    DiscardSink discard;
    ASSERT_EQ(d.decode(src, discard, UINT64_MAX), DecodeStatus::ok);
    EXPECT_EQ(discard.total, full);
    EXPECT_EQ(d.total_in(), bomb.size());
    EXPECT_LT(peak_rss_kib() - before, 64 * 1024) << "memory followed the output";
}

TEST(InflateStreaming, EveryCutIsTruncated)
{
    std::mt19937 rng(3);
    const bytes data = sample_data(rng, 6000);
    const bytes stream = zlib_mixed_stream(data, {{0, Z_DEFAULT_STRATEGY}, {6, Z_FIXED}, {9, Z_DEFAULT_STRATEGY}, {1, Z_HUFFMAN_ONLY}});
    bit_writer d64;
    d64.put_bits(1, 1);
    d64.put_bits(1, 2);
    for (const char* p = "deflate64"; *p; ++p) fixed_litlen().put(d64, static_cast<uint8_t>(*p));
    put_match(d64, 40000, 9, true);
    fixed_litlen().put(d64, 256);

    for (const auto& [full, is_d64, expected] : {std::tuple{stream, false, data}, std::tuple{d64.bytes(), true, bytes{}}}) {
        InflateDecoder whole(is_d64, inflate_rules::whole_entry);
        bytes complete;
        ASSERT_EQ(whole.decode(full, complete, 100000), DecodeStatus::ok);
        if (!is_d64) {
            ASSERT_TRUE(complete == expected);
        }
        InflateDecoder d(is_d64);
        for (size_t cut = 0; cut < full.size(); ++cut) {
            const bytes head(full.begin(), full.begin() + static_cast<ptrdiff_t>(cut));
            const auto s = stream_decode(d, chunked_source::random(head, static_cast<uint32_t>(cut), 64), 100000);
            ASSERT_EQ(s.status, DecodeStatus::truncated) << cut;
            ASSERT_EQ(s.fault, inflate_fault::input_end) << cut;
            ASSERT_TRUE(std::equal(s.out.begin(), s.out.end(), complete.begin())) << cut << ": output so far is a prefix";
            expect_stream_matches_whole_buffer(head, 100000, is_d64, static_cast<uint32_t>(cut), "cut " + std::to_string(cut));
            if (HasFatalFailure()) return;
        }
    }
}

// Matches of up to 65538 bytes at distances up to 65536, across the window
// slides of a stream of several MiB: the stream decoder against the
// whole-buffer path (which never slides) and the plain model.
TEST(InflateStreaming, Deflate64LongMatchesAcrossWindowSlides)
{
    std::mt19937 rng(64);
    bit_writer w;
    w.put_bits(1, 1);
    w.put_bits(1, 2);
    size_t produced = 0;
    auto literals = [&](size_t n) {
        for (size_t k = 0; k < n; ++k) fixed_litlen().put(w, rng() % 256);
        produced += n;
    };
    literals(70000);
    for (int m = 0; m < 80; ++m) {
        const uint32_t length = m % 4 == 0 ? 65538 : 3 + rng() % 65536;
        const uint32_t dist = m % 5 == 0 ? 65536 : m % 5 == 1 ? 1 + rng() % 7 : 1 + rng() % 65536;
        put_match(w, length, dist, true);
        produced += length;
        if (m % 10 == 0) literals(1 + rng() % 5000);
    }
    fixed_litlen().put(w, 256);
    const bytes stream = w.bytes();
    ASSERT_GT(produced, 3 * MiB);

    const auto model = test::run_inflate_model(stream, static_cast<int32_t>(produced) - 1, true);
    ASSERT_FALSE(model.fault);
    ASSERT_EQ(model.data.size(), produced);
    bytes whole = stream;
    ASSERT_EQ(Inflate(whole, static_cast<int32_t>(produced) - 1, true), 0);
    ASSERT_TRUE(whole == model.data);
    for (size_t max_piece : {size_t{1} << 20, size_t{33}}) {
        const auto s = stream_decode(stream, produced, true, inflate_rules::rfc1951, 9, max_piece);
        ASSERT_EQ(s.status, DecodeStatus::ok);
        EXPECT_TRUE(s.out == model.data);
        EXPECT_EQ(s.total_in, stream.size());
    }
    // In Deflate mode the same stream reads 285 as 258: a different, shorter output.
    EXPECT_NE(stream_decode(stream, produced, false, inflate_rules::rfc1951, 9, 1 << 20).out, model.data);
}

// A long Deflate64 match that runs over a point where the decoder hands its
// output on (every 256 KiB after the first 320 KiB), followed by more than
// a buffer's worth of short matches: the decoder must still hand the output
// on and slide its window, not write on past its buffer (found by the
// inflate fuzz target; ASan reports the overrun).
TEST(InflateStreaming, Deflate64LongMatchOverAFlushPoint)
{
    constexpr size_t first_flush = (size_t{64} << 10) + (size_t{256} << 10);
    for (const size_t before : {size_t{100}, size_t{65000}}) {
        SCOPED_TRACE(before);
        bit_writer w;
        w.put_bits(1, 1);
        w.put_bits(1, 2);
        for (const char c : std::string_view("abcdefgh")) fixed_litlen().put(w, static_cast<uint8_t>(c));
        size_t produced = 8;
        const auto fill_to = [&](size_t to) {
            while (produced + 258 <= to) {
                put_match(w, 258, 1 + produced % 5, true);
                produced += 258;
            }
            for (; produced < to; ++produced) fixed_litlen().put(w, 'b' + produced % 3);
        };
        fill_to(first_flush - before);
        put_match(w, 65538, 7, true);
        produced += 65538;
        fill_to(produced + (size_t{1500} << 10));
        for (int k = 0; k < 100; ++k) fixed_litlen().put(w, 'c' + k % 7);
        produced += 100;
        fixed_litlen().put(w, 256);
        const bytes stream = w.bytes();

        bytes whole = stream;
        ASSERT_EQ(Inflate(whole, static_cast<int32_t>(produced) - 1, true), 0);
        ASSERT_EQ(whole.size(), produced);
        for (size_t max_piece : {size_t{1} << 20, size_t{7}}) {
            const auto s = stream_decode(stream, produced + 100, true, inflate_rules::whole_entry, 5, max_piece);
            ASSERT_EQ(s.status, DecodeStatus::ok);
            EXPECT_TRUE(s.out == whole);
        }
    }
}

TEST(InflateStreaming, Deflate64EntriesOfRealArchives)
{
    std::vector<std::filesystem::path> zips = {test::data_dir() / "deflate64" / "deflate64_mx1.zip",
                                               test::data_dir() / "deflate64" / "deflate64_mx9.zip"};
    if (test::corpus_available()) {
        for (const char* name : {"deflate64.zip", "lorem-ipsum-deflate64.zip", "COMPRESS-380.zip"})
            zips.push_back(test::corpus_dir() / "zip-legacy" / name);
    }
    unsigned entries = 0;
    for (const auto& zip : zips) {
        for (const auto& e : test::zip_entries(test::read_file(zip))) {
            if (e.method != 9) continue;
            ++entries;
            for (uint32_t seed : {1u, 2u}) {
                const auto s = stream_decode(e.data, e.usize, true, inflate_rules::rfc1951, seed, seed == 1 ? 1 : 65536);
                EXPECT_EQ(s.status, DecodeStatus::ok) << zip << " " << e.name;
                EXPECT_EQ(s.out.size(), e.usize) << zip << " " << e.name;
                EXPECT_EQ(crc32_update(0, s.out), e.crc) << zip << " " << e.name;
                EXPECT_EQ(s.total_in, e.data.size()) << zip << " " << e.name;
            }
        }
    }
    EXPECT_GE(entries, 4u);
}

// The two rule sets differ only where the input ends and in stored headers.
TEST(InflateStreaming, StoredBlocksUnderBothRules)
{
    auto stored = [](bit_writer& w, bool final_block, const bytes& payload, int nlen = -1) {
        w.put_bits(final_block, 1);
        w.put_bits(0, 2);
        w.align();
        const auto len = static_cast<unsigned>(payload.size());
        const auto n = nlen < 0 ? (~len & 0xFFFF) : static_cast<unsigned>(nlen);
        for (unsigned v : {len & 0xFF, len >> 8, n & 0xFF, n >> 8}) w.put_byte(static_cast<uint8_t>(v));
        for (uint8_t b : payload) w.put_byte(b);
    };
    const bytes abc = {'a', 'b', 'c'};
    { // a wrong NLEN
        bit_writer w;
        stored(w, true, abc, 0x1234);
        const auto strict = stream_decode(w.bytes(), 100, false, inflate_rules::rfc1951, 1, 2);
        EXPECT_EQ(strict.status, DecodeStatus::data_error);
        EXPECT_EQ(strict.fault, inflate_fault::stored_length);
        InflateDecoder lenient(false, inflate_rules::whole_entry);
        auto src = chunked_source::bytewise(w.bytes());
        const auto s = stream_decode(lenient, std::move(src), 100);
        EXPECT_EQ(s.status, DecodeStatus::ok);
        EXPECT_EQ(s.out, abc);
        EXPECT_TRUE(lenient.stored_length_mismatch());
    }
    { // a final empty stored block at the very end of the input
        bit_writer w;
        stored(w, false, abc);
        stored(w, true, {});
        const auto strict = stream_decode(w.bytes(), 100, false, inflate_rules::rfc1951, 1, 3);
        EXPECT_EQ(strict.status, DecodeStatus::ok);
        EXPECT_EQ(strict.total_in, w.bytes().size());
        const auto lenient = stream_decode(w.bytes(), 100, false, inflate_rules::whole_entry, 1, 3);
        EXPECT_EQ(lenient.status, DecodeStatus::truncated);
        EXPECT_EQ(lenient.fault, inflate_fault::stored_short);
        EXPECT_EQ(lenient.out, abc);
    }
    { // stored blocks longer than the pieces they arrive in, and than the limit
        std::mt19937 rng(8);
        bytes payload(65535);
        for (auto& b : payload) b = static_cast<uint8_t>(rng());
        bit_writer w;
        stored(w, false, payload);
        stored(w, true, payload);
        for (inflate_rules rules : {inflate_rules::rfc1951, inflate_rules::whole_entry}) {
            const auto s = stream_decode(w.bytes(), 2 * payload.size(), false, rules, 4, 1000);
            EXPECT_EQ(s.status, DecodeStatus::ok);
            EXPECT_TRUE(std::equal(payload.begin(), payload.end(), s.out.begin()));
            EXPECT_TRUE(std::equal(payload.begin(), payload.end(), s.out.begin() + 65535));
            const auto cut = stream_decode(w.bytes(), 2 * payload.size() - 1, false, rules, 4, 1000);
            EXPECT_EQ(cut.status, DecodeStatus::output_limit);
            EXPECT_EQ(cut.fault, rules == inflate_rules::rfc1951 ? inflate_fault::output_limit : inflate_fault::stored_short);
            EXPECT_EQ(cut.out.size(), payload.size()) << "nothing of the block that does not fit is given";
        }
    }
}

TEST(InflateStreaming, BadTableShowsTheMessageWhenAWindowIsGiven)
{
    // An over-subscribed literal/length code: three 1-bit codes.
    bytes ll(257, 0);
    ll['a'] = ll['b'] = ll[256] = 1;
    bytes all(ll);
    all.push_back(1);
    all.push_back(1);
    bit_writer w;
    w.put_bits(1, 1);
    w.put_bits(2, 2);
    test::put_dynamic_header(w, 257, 2, test::literal_ops(all));
    for (bool with_window : {false, true}) {
        HeadlessWindow window;
        InflateDecoder d(false, inflate_rules::rfc1951, with_window ? &window : nullptr);
        const auto s = stream_decode(d, chunked_source::bytewise(w.bytes()), 100);
        EXPECT_EQ(s.status, DecodeStatus::data_error);
        EXPECT_EQ(s.fault, inflate_fault::bad_table);
        ASSERT_EQ(window.messages.size(), with_window ? 1u : 0u);
        if (with_window) {
            EXPECT_EQ(window.messages[0].text, "Error in tree creation (Static).");
        }
    }
}

} // namespace
} // namespace velmora

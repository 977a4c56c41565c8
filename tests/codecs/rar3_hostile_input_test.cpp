// Guards the RAR 2.9-4.x decoder against damaged and hostile packed data and
// against callers that stop it: truncation at every length, corrupted bytes,
// sources that give a few bytes at a time, a sink that refuses, wrong sizes,
// hand-made streams that break each rule of the format, and solid entries
// after a failure. Nothing may crash or hang, the same input must always give
// the same result however it is cut, and output before a failure is a prefix
// of the true output.
#include "support/Rar3TestSupport.h"
#include "support/Rar3TestWriter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

using namespace velmora;
using namespace velmora::test;

namespace {

struct fixture_stream {
    std::vector<uint8_t> packed;
    std::vector<uint8_t> expected;
    bool ppmd = false; // slow to decode in a sanitizer build
};

// An LZ stream with two table blocks, an E8 and a delta filter.
const fixture_stream& lz_fixture()
{
    static const fixture_stream f = [] {
        std::mt19937 r(42);
        std::vector<uint8_t> data;
        while (data.size() < 24000) {
            const char* w = (r() % 5 == 0) ? "\xE8\x10\x20\x00\x00" : "entry filter window ";
            data.insert(data.end(), w, w + std::strlen(w));
            if (r() % 4 == 0)
                data.push_back(static_cast<uint8_t>(r()));
        }
        rar3_stream_options o;
        o.block_items = 2500;
        rar3_entry_input e{data, {{200, 6000, Rar3FilterKind::e8}, {9000, 4000, Rar3FilterKind::delta, 2}}, true, true};
        return fixture_stream{Rar3LzWriter(o).encode({e})[0], data, false};
    }();
    return f;
}

// A PPMd entry written by WinRAR.
const fixture_stream& ppmd_fixture()
{
    static const fixture_stream f = [] {
        const std::vector<uint8_t> file = read_file(data_dir() / "rar/rar3/test_read_format_rar_compress_best.rar");
        const rar_archive a = walk_rar(file);
        const auto decoded = rar3_decode_all(file, a);
        const auto packed = rar_packed_data(file, a.entries.at(0));
        return fixture_stream{{packed.begin(), packed.end()}, decoded.at(0).data, true};
    }();
    return f;
}

struct result {
    DecodeStatus status;
    std::vector<uint8_t> out;
};

// Decoders are reused (a non-solid entry starts afresh), as readers reuse them.
result decode(std::span<const uint8_t> packed, uint64_t out_size, size_t piece = 0)
{
    static Rar3Decoder whole, pieces;
    Rar3Decoder& d = piece ? pieces : whole;
    chunked_source src(packed, piece);
    result r;
    VectorSink sink(r.out);
    r.status = d.decode(src, sink, out_size, false);
    return r;
}

bool is_prefix(const std::vector<uint8_t>& part, const std::vector<uint8_t>& whole)
{
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

class Rar3Truncation : public ::testing::TestWithParam<const fixture_stream& (*)()> {};

TEST_P(Rar3Truncation, EveryPrefixFailsCleanlyWithCorrectOutputSoFar)
{
    const fixture_stream& f = GetParam()();
    ASSERT_EQ(decode(f.packed, f.expected.size()).out, f.expected);
    // Every cut near either end, and more spread between (PPMd decoding is
    // slow in a sanitizer build, so its stream gets fewer).
    const size_t near = f.ppmd ? 40 : 300;
    std::vector<size_t> cuts;
    const size_t size = f.packed.size();
    for (size_t n = 0; n < size; ++n)
        if (n < near || n + near >= size || n % std::max<size_t>(1, size / near) == 0)
            cuts.push_back(n);
    for (const size_t n : cuts) {
        const result r = decode(std::span(f.packed).first(n), f.expected.size());
        if (r.status == DecodeStatus::ok) {
            // Only the end mark or the range coder's last bytes were cut off.
            EXPECT_TRUE(r.out == f.expected) << "cut at " << n;
            EXPECT_GE(n + 16, size) << "cut at " << n;
            continue;
        }
        EXPECT_TRUE(r.status == DecodeStatus::truncated || r.status == DecodeStatus::data_error)
            << "cut at " << n << ": " << decode_status_name(r.status);
        EXPECT_TRUE(is_prefix(r.out, f.expected)) << "cut at " << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, Rar3Truncation, ::testing::Values(&lz_fixture, &ppmd_fixture));

class Rar3Corruption : public ::testing::TestWithParam<const fixture_stream& (*)()> {};

// Changed bytes: any status, but the same one (and the same output) whether
// the input comes whole or in pieces of 1 to 7 bytes, and a success has the
// full size.
TEST_P(Rar3Corruption, SameResultWholeOrInPiecesAndNoCrash)
{
    const fixture_stream& f = GetParam()();
    std::mt19937 rng(7);
    const int rounds = f.ppmd ? 80 : 250;
    for (int round = 0; round < rounds; ++round) {
        std::vector<uint8_t> bad = f.packed;
        const int changes = 1 + static_cast<int>(rng() % 4);
        for (int k = 0; k < changes; ++k) {
            const size_t at = rng() % bad.size();
            if (rng() % 2)
                bad[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
            else
                bad[at] = static_cast<uint8_t>(rng());
        }
        const result whole = decode(bad, f.expected.size());
        const result pieces = decode(bad, f.expected.size(), 1 + rng() % 7);
        ASSERT_EQ(whole.status, pieces.status) << "round " << round;
        ASSERT_TRUE(whole.out == pieces.out) << "round " << round;
        if (whole.status == DecodeStatus::ok) {
            EXPECT_EQ(whole.out.size(), f.expected.size());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, Rar3Corruption, ::testing::Values(&lz_fixture, &ppmd_fixture));

TEST(Rar3OutputSize, SmallerSizeGivesPrefixLargerSizeFails)
{
    const fixture_stream& f = lz_fixture();
    const result half = decode(f.packed, f.expected.size() / 2);
    ASSERT_EQ(half.status, DecodeStatus::ok);
    EXPECT_TRUE(half.out == std::vector<uint8_t>(f.expected.begin(), f.expected.begin() + static_cast<long>(f.expected.size() / 2)));

    // The end mark comes before the size is reached.
    const result more = decode(f.packed, f.expected.size() + 10);
    EXPECT_EQ(more.status, DecodeStatus::data_error);
    EXPECT_TRUE(is_prefix(more.out, f.expected));

    // Without an end mark the input runs out.
    rar3_entry_input e{f.expected, {}, true, false};
    const std::vector<uint8_t> unmarked = Rar3LzWriter().encode({e})[0];
    EXPECT_EQ(decode(unmarked, f.expected.size()).status, DecodeStatus::ok);
    EXPECT_EQ(decode(unmarked, f.expected.size() + 1).status, DecodeStatus::truncated);

    // An empty entry with no packed data.
    const result empty = decode({}, 0);
    EXPECT_EQ(empty.status, DecodeStatus::ok);
    EXPECT_TRUE(empty.out.empty());
}

// A sink that refuses stops the decoder; a solid entry after it is refused,
// a fresh entry decodes normally.
TEST(Rar3Sink, RefusalStopsAndBlocksSolidContinuation)
{
    const fixture_stream& f = lz_fixture();
    Rar3Decoder d;
    std::vector<uint8_t> out;
    VectorSink small(out, 1000);
    SpanSource src(f.packed);
    EXPECT_EQ(d.decode(src, small, f.expected.size(), false), DecodeStatus::stopped);
    EXPECT_TRUE(is_prefix(out, f.expected));

    SpanSource again(f.packed);
    DiscardSink discard;
    EXPECT_EQ(d.decode(again, discard, f.expected.size(), true), DecodeStatus::data_error);
    EXPECT_EQ(discard.total, 0u);

    SpanSource fresh(f.packed);
    std::vector<uint8_t> all;
    VectorSink sink(all);
    EXPECT_EQ(d.decode(fresh, sink, f.expected.size(), false), DecodeStatus::ok);
    EXPECT_TRUE(all == f.expected);
}

// A PPMd block asking for more model memory than the caller allows is
// refused before anything is allocated; at the limit it decodes.
TEST(Rar3PpmdMemory, ModelLargerThanTheLimitIsRefused)
{
    const fixture_stream& f = ppmd_fixture(); // asks for 25 MiB
    Rar3Decoder d;
    d.set_ppm_memory_limit(24u << 20);
    SpanSource src(f.packed);
    DiscardSink sink;
    EXPECT_EQ(d.decode(src, sink, f.expected.size(), false), DecodeStatus::no_memory);
    EXPECT_EQ(sink.total, 0u);

    d.set_ppm_memory_limit(25u << 20);
    SpanSource again(f.packed);
    std::vector<uint8_t> out;
    VectorSink all(out);
    EXPECT_EQ(d.decode(again, all, f.expected.size(), false), DecodeStatus::ok);
    EXPECT_TRUE(out == f.expected);
}

// ---------------------------------------------------------------------------
// Hand-made streams. Tables: every precode symbol 5 bits, every main symbol
// 9 bits, distance 6, low distance 5, length 5 bits, so a symbol's codeword
// is its number.

class hand_stream {
public:
    hand_stream& tables()
    {
        w_.put(0, 1); // LZ
        w_.put(0, 1); // fresh lengths
        for (int i = 0; i < 20; ++i)
            w_.put(5, 4);
        auto lengths = [&](unsigned count, unsigned len) {
            for (unsigned i = 0; i < count; ++i)
                w_.put(len, 5); // precode symbol = the length (old lengths are 0)
        };
        lengths(299, 9);
        lengths(60, 6);
        lengths(17, 5);
        lengths(28, 5);
        return *this;
    }
    hand_stream& main(unsigned sym)
    {
        w_.put(sym, 9);
        return *this;
    }
    hand_stream& bits(uint32_t v, unsigned n)
    {
        w_.put(v, n);
        return *this;
    }
    hand_stream& literals(const std::string& s)
    {
        for (const char c : s)
            main(static_cast<uint8_t>(c));
        return *this;
    }
    // Symbol 257 and a filter record (flags, then body bytes).
    hand_stream& filter(unsigned flags, const std::vector<uint8_t>& body)
    {
        main(257);
        const size_t n = body.size();
        if (n <= 6) {
            w_.put(flags | static_cast<unsigned>(n - 1), 8);
        } else if (n <= 262) {
            w_.put(flags | 6, 8);
            w_.put(static_cast<uint32_t>(n - 7), 8);
        } else {
            w_.put(flags | 7, 8);
            w_.put(static_cast<uint32_t>(n), 16);
        }
        for (const uint8_t b : body)
            w_.put(b, 8);
        return *this;
    }
    hand_stream& end_mark()
    {
        main(256);
        w_.put(0, 2);
        return *this;
    }
    std::vector<uint8_t> take() { return w_.take(); }

private:
    rar3_bit_writer w_;
};

// Filter record bodies: VM numbers (2 selector bits, then 4/8/16/32 bits) and bytes.
class record_body {
public:
    record_body& number(uint32_t v)
    {
        if (v < 16) {
            w_.put(0, 2);
            w_.put(v, 4);
        } else if (v < 256) {
            w_.put(1, 2);
            w_.put(v, 8);
        } else if (v < 65536) {
            w_.put(2, 2);
            w_.put(v, 16);
        } else {
            w_.put(3, 2);
            w_.put(v, 32);
        }
        return *this;
    }
    record_body& bytes(const std::vector<uint8_t>& b)
    {
        for (const uint8_t x : b)
            w_.put(x, 8);
        return *this;
    }
    std::vector<uint8_t> take() { return w_.take(); }

private:
    rar3_bit_writer w_;
};

// A new program record (0x80 | 0x20): program 1, block at `offset`, `length` bytes, `code`.
std::vector<uint8_t> new_program(uint32_t offset, uint32_t length, const std::vector<uint8_t>& code)
{
    return record_body().number(1).number(offset).number(length).number(static_cast<uint32_t>(code.size())).bytes(code).take();
}

// A program that is no standard filter but passes the XOR check.
std::vector<uint8_t> unknown_program()
{
    std::vector<uint8_t> code = rar3_filter_program(Rar3FilterKind::e8);
    code[10] ^= 0x5A;
    code[11] ^= 0x5A;
    return code;
}

// Tables whose first length is a repeat of the previous one, of which there is none.
std::vector<uint8_t> repeat_without_previous_length()
{
    rar3_bit_writer w;
    w.put(0, 1);
    w.put(0, 1);
    // Precode: symbols 0 and 16 one bit each, the rest unused.
    for (int i = 0; i < 20; ++i) {
        if (i == 0 || i == 16) {
            w.put(1, 4);
        } else {
            w.put(0, 4);
        }
    }
    w.put(1, 1); // symbol 16 (codeword 1): repeat the previous length, of which there is none
    w.put(0, 3);
    return w.take();
}

struct hand_case {
    const char* name;
    std::function<std::vector<uint8_t>()> stream;
    uint64_t out_size;
    DecodeStatus expected;
    const char* output; // what must have been written (nullptr: nothing to check)
};

const hand_case hand_cases[] = {
    {"literals", [] { return hand_stream().tables().literals("abc").end_mark().take(); }, 3, DecodeStatus::ok, "abc"},
    {"repeat_last_before_any_match_does_nothing",
     [] { return hand_stream().tables().main(258).literals("ab").end_mark().take(); }, 2, DecodeStatus::ok, "ab"},
    {"short_match", [] { return hand_stream().tables().literals("ab").main(263).bits(1, 2).end_mark().take(); }, 4,
     DecodeStatus::ok, "abab"},
    {"old_distance_before_any_match",
     [] { return hand_stream().tables().literals("ab").main(259).bits(0, 5).end_mark().take(); }, 4,
     DecodeStatus::data_error, nullptr},
    {"distance_before_first_byte",
     [] { return hand_stream().tables().literals("a").main(271).bits(9, 6).end_mark().take(); }, 4,
     DecodeStatus::data_error, nullptr},
    {"repeat_length_first", repeat_without_previous_length, 1, DecodeStatus::data_error, nullptr},
    {"ppmd_block_without_model", [] { return std::vector<uint8_t>{0x80, 0, 0, 0, 0, 0, 0, 0}; }, 1,
     DecodeStatus::data_error, nullptr},
    {"ppmd_order_one", [] { return std::vector<uint8_t>{0xA0, 0x00, 0, 0, 0, 0, 0, 0}; }, 1, DecodeStatus::data_error,
     nullptr},
    {"unknown_filter_program",
     [] { return hand_stream().tables().filter(0xA0, new_program(0, 4, unknown_program())).literals("abcd").end_mark().take(); },
     4, DecodeStatus::unsupported, ""},
    {"filter_program_fails_xor_check",
     [] {
         std::vector<uint8_t> code = rar3_filter_program(Rar3FilterKind::e8);
         code[5] ^= 1;
         return hand_stream().tables().filter(0xA0, new_program(0, 4, code)).literals("abcd").end_mark().take();
     },
     4, DecodeStatus::data_error, ""},
    {"filter_block_beyond_vm_memory",
     [] {
         return hand_stream().tables().filter(0xA0, new_program(0, 0x3C000, rar3_filter_program(Rar3FilterKind::e8)))
             .literals("abcd").end_mark().take();
     },
     4, DecodeStatus::data_error, ""},
    {"filter_program_number_beyond_known",
     [] {
         return hand_stream().tables().filter(0xA0, record_body().number(3).number(0).number(4).take()).literals("ab")
             .end_mark().take();
     },
     2, DecodeStatus::data_error, ""},
    {"filter_record_cut_short",
     [] {
         return hand_stream().tables().filter(0xA0, record_body().number(1).number(0).take()).literals("ab").end_mark().take();
     },
     2, DecodeStatus::data_error, ""},
    {"filter_block_starting_before_pending_one",
     [] {
         const auto e8 = rar3_filter_program(Rar3FilterKind::e8);
         return hand_stream().tables()
             .filter(0xA0, new_program(100, 8, e8))
             .filter(0x00, record_body().number(50).take())
             .literals("ab")
             .end_mark().take();
     },
     2, DecodeStatus::data_error, ""},
    {"filter_far_beyond_entry_never_runs",
     [] {
         return hand_stream().tables()
             .filter(0xA0, new_program(0xFFFFFF00u, 8, rar3_filter_program(Rar3FilterKind::e8)))
             .literals("xyz").end_mark().take();
     },
     3, DecodeStatus::ok, "xyz"},
    {"delta_filter_with_zero_channels",
     [] {
         return hand_stream().tables().filter(0xA0, new_program(0, 4, rar3_filter_program(Rar3FilterKind::delta)))
             .literals("abcd").end_mark().take();
     },
     4, DecodeStatus::data_error, ""},
    {"end_mark_before_size", [] { return hand_stream().tables().literals("ab").end_mark().take(); }, 3,
     DecodeStatus::data_error, "ab"},
};

class Rar3HandStream : public ::testing::TestWithParam<hand_case> {};

TEST_P(Rar3HandStream, GivesItsStatus)
{
    const hand_case& c = GetParam();
    const std::vector<uint8_t> stream = c.stream();
    const result r = decode(stream, c.out_size);
    EXPECT_EQ(r.status, c.expected) << decode_status_name(r.status);
    if (c.output) {
        EXPECT_EQ(std::string(r.out.begin(), r.out.end()), c.output);
    }
    const result bytewise = decode(stream, c.out_size, 1);
    EXPECT_EQ(bytewise.status, r.status);
}

INSTANTIATE_TEST_SUITE_P(Rules, Rar3HandStream, ::testing::ValuesIn(hand_cases),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

} // namespace

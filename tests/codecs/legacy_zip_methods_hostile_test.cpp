// Guards the Shrink, Implode and PPMd decoders against hostile and awkward
// input and output: streams cut short or corrupted, bad codes and trees, PPMd
// headers asking for too much memory or unknown settings, input arriving a
// byte at a time, and a sink that refuses or must see bounded pieces. None may
// crash, hang, read out of bounds or report ok with the wrong amount of output.
#include "legacy_zip_test_codecs.h"
#include "support/TestSupport.h"
#include "support/ZipEntries.h"

#include <gtest/gtest.h>

#include <random>

using namespace velmora;
using namespace velmora::test;

namespace {

struct stream_case {
    std::string name;
    uint16_t method, flags;
    std::vector<uint8_t> stored;
    std::vector<uint8_t> content;
};

// PPMd streams come from 7-Zip when it is installed, else from the corpus.
std::vector<stream_case> ppmd_cases()
{
    std::vector<stream_case> out;
    for (const char* tool : {"7zz", "7z"}) {
        if (!have_tool(tool))
            continue;
        TempDir dir;
        const auto data = make_sample(sample_kind::text, 400000, 11);
        write_file(dir / "t.txt", data);
        if (run_command("cd " + shell_quote(dir.str()) + " && " + tool + " a -tzip -mm=PPMd -mo=6 -mmem=1m t.zip t.txt >/dev/null") == 0) {
            const auto e = raw_zip_entries(read_file(dir / "t.zip"));
            if (e.size() == 1)
                out.push_back({"ppmd_7zip", 98, 0, e[0].stored, data});
        }
        break;
    }
    if (corpus_available()) {
        const auto e = raw_zip_entries(read_file(corpus_dir() / "zip" / "test_read_format_zip_ppmd8.zipx"));
        std::vector<uint8_t> content;
        if (e.size() == 1 && decode_zip_method(98, 0, e[0].stored, e[0].size).status == DecodeStatus::ok)
            out.push_back({"ppmd_corpus", 98, 0, e[0].stored, decode_zip_method(98, 0, e[0].stored, e[0].size).out});
    }
    return out;
}

const std::vector<stream_case>& cases()
{
    static const std::vector<stream_case> all = [] {
        std::vector<stream_case> v;
        const auto text = make_sample(sample_kind::text, 400000, 21);
        v.push_back({"shrink", 1, 0, shrink_encode(text, {3000}), text});
        for (const uint16_t flags : {0, 6}) {
            const auto data = make_sample(flags ? sample_kind::text : sample_kind::binary, 300000, 22);
            v.push_back({"implode_" + std::to_string(flags), 6, flags, implode_encode(data, flags), data});
        }
        for (auto& p : ppmd_cases())
            v.push_back(std::move(p));
        return v;
    }();
    return all;
}

} // namespace

TEST(LegacyZipMethodsHostile, CasesArePresent)
{
    // Shrink and both Implode settings always; PPMd needs 7-Zip or the corpus.
    EXPECT_GE(cases().size(), 3u);
    for (const auto& c : cases()) {
        const auto r = decode_zip_method(c.method, c.flags, c.stored, c.content.size());
        EXPECT_EQ(r.status, DecodeStatus::ok) << c.name;
        EXPECT_TRUE(r.out == c.content) << c.name;
    }
}

TEST(LegacyZipMethodsHostile, TruncatedStreamsAreReportedNotPadded)
{
    for (const auto& c : cases()) {
        const size_t n = c.stored.size();
        // PPMd's last bytes hold the end marker 7-Zip writes after the data,
        // which the decoder does not read; cut it only in its first half.
        std::vector<size_t> cuts = {0, 1, 2, 3, 7, n / 3, n / 2};
        if (c.method != 98)
            cuts.insert(cuts.end(), {n - 2, n - 1});
        for (const size_t cut : cuts) {
            SCOPED_TRACE(c.name + " cut at " + std::to_string(cut));
            const auto r = decode_zip_method(c.method, c.flags, std::span(c.stored).first(cut), c.content.size());
            EXPECT_TRUE(r.status == DecodeStatus::truncated || r.status == DecodeStatus::data_error)
                << decode_status_name(r.status);
            EXPECT_LT(r.out.size(), c.content.size());
        }
    }
}

TEST(LegacyZipMethodsHostile, CorruptedStreamsNeverOverrunTheExpectedSize)
{
    std::mt19937 rng(5);
    for (const auto& c : cases()) {
        // Keep the runs short: a few KB of each stream.
        const size_t keep = std::min<size_t>(c.stored.size(), 6000);
        for (int round = 0; round < 60; ++round) {
            std::vector<uint8_t> bad(c.stored.begin(), c.stored.begin() + static_cast<std::ptrdiff_t>(keep));
            const int flips = 1 + static_cast<int>(rng() % 8);
            for (int f = 0; f < flips; ++f) {
                // PPMd: leave the parameter word alone so the model memory stays small.
                const size_t lo = c.method == 98 ? 2 : 0;
                bad[lo + rng() % (bad.size() - lo)] ^= static_cast<uint8_t>(1 + rng() % 255);
            }
            const uint64_t size = 1 + rng() % 100000;
            const auto r = decode_zip_method(c.method, c.flags, bad, size, SIZE_MAX, 4);
            SCOPED_TRACE(c.name + " round " + std::to_string(round));
            EXPECT_LE(r.out.size(), size);
            if (r.status == DecodeStatus::ok) {
                EXPECT_EQ(r.out.size(), size);
            }
            if (c.method == 1 || c.method == 6) {
                // Whatever ours accepts, the reference accepts with the same bytes.
                std::vector<uint8_t> ref;
                const bool ref_ok = c.method == 1 ? shrink_reference_decode(bad, size, ref)
                                                  : implode_reference_decode(bad, size, c.flags, ref);
                if (r.status == DecodeStatus::ok) {
                    EXPECT_TRUE(ref_ok && ref == r.out);
                }
                if (c.method == 6) {
                    EXPECT_EQ(ref_ok, r.status == DecodeStatus::ok);
                }
            }
        }
    }
}

// An expected size past the real end: Shrink and Implode run out of input;
// PPMd meets the end marker 7-Zip writes after the data and says so rather
// than decoding the marker's escape as more bytes.
TEST(LegacyZipMethodsHostile, ExpectedSizePastTheEndOfTheStream)
{
    for (const auto& c : cases()) {
        SCOPED_TRACE(c.name);
        const auto r = decode_zip_method(c.method, c.flags, c.stored, c.content.size() + 10);
        if (c.name == "ppmd_7zip") {
            EXPECT_EQ(decode_status_name(r.status), "data_error");
            EXPECT_TRUE(r.out == c.content);
        } else if (c.method != 98) {
            EXPECT_EQ(decode_status_name(r.status), "truncated");
        } else {
            EXPECT_NE(r.status, DecodeStatus::ok);
        }
    }
}

TEST(LegacyZipMethodsHostile, OneByteInputPiecesGiveTheSameOutput)
{
    for (const auto& c : cases()) {
        const auto r = decode_zip_method(c.method, c.flags, c.stored, c.content.size(), 1);
        EXPECT_EQ(r.status, DecodeStatus::ok) << c.name;
        EXPECT_TRUE(r.out == c.content) << c.name;
    }
}

TEST(LegacyZipMethodsHostile, SinkPiecesAreBoundedAndARefusalStops)
{
    for (const auto& c : cases()) {
        SCOPED_TRACE(c.name);
        {
            SpanSource in(c.stored);
            recording_sink sink;
            std::vector<uint8_t> unused;
            DecodeStatus st;
            if (c.method == 1)
                st = ShrinkDecoder().decode(in, sink, c.content.size());
            else if (c.method == 6)
                st = ImplodeDecoder().decode(in, sink, c.content.size(), c.flags);
            else
                st = Ppmd8Decoder().decode(in, sink, c.content.size());
            EXPECT_EQ(st, DecodeStatus::ok);
            EXPECT_EQ(sink.bytes.size(), c.content.size());
            for (size_t i = 0; i < sink.pieces.size(); ++i) {
                EXPECT_LE(sink.pieces[i], size_t{1} << 20);
                if (i + 1 < sink.pieces.size()) {
                    EXPECT_GE(sink.pieces[i], size_t{16} << 10);
                }
            }
        }
        if (c.content.size() < (size_t{64} << 10))
            continue;
        SpanSource in(c.stored);
        recording_sink sink(size_t{32} << 10);
        DecodeStatus st;
        if (c.method == 1)
            st = ShrinkDecoder().decode(in, sink, c.content.size());
        else if (c.method == 6)
            st = ImplodeDecoder().decode(in, sink, c.content.size(), c.flags);
        else
            st = Ppmd8Decoder().decode(in, sink, c.content.size());
        EXPECT_EQ(st, DecodeStatus::stopped);
        EXPECT_LT(sink.bytes.size(), c.content.size());
    }
}

TEST(LegacyZipMethodsHostile, EmptyEntriesNeedNoInput)
{
    for (const uint16_t method : {1, 6, 98}) {
        const auto r = decode_zip_method(method, 6, {}, 0);
        EXPECT_EQ(r.status, DecodeStatus::ok) << method;
        EXPECT_TRUE(r.out.empty());
    }
}

// Shrink control codes and undefined codes, each also refused by the reference.
TEST(LegacyZipMethodsHostile, ShrinkBadCodes)
{
    const auto codes9 = [](std::initializer_list<unsigned> codes, unsigned grow_to = 9) {
        lsb_bit_writer w;
        unsigned bits = 9;
        for (const unsigned c : codes) {
            w.put(c, bits);
            if (c == 1 && grow_to > bits)
                ++bits;
        }
        return w.take();
    };
    struct bad_case {
        const char* what;
        std::vector<uint8_t> stream;
    };
    lsb_bit_writer past13;
    past13.put('x', 9);
    for (unsigned bits = 9; bits <= 13; ++bits) {
        past13.put(256, bits);
        past13.put(1, bits);
    }
    past13.put('y', 13);
    const bad_case bad[] = {
        {"unknown sub-code 3", codes9({'a', 256, 3, 'b', 'c'})},
        {"sub-code 0", codes9({'a', 256, 0, 'b', 'c'})},
        {"undefined first code", codes9({300, 'a', 'b'})},
        {"code beyond the next free one", codes9({'a', 'b', 260, 'c'})},
        // 'A' 'B' make 257 = AB; 257 makes 258 = BA; the partial clear frees
        // both (leaves); 257 is then read while its prefix chain is gone.
        {"orphan after partial clear", codes9({'A', 'B', 257, 256, 2, 257, 'c'})},
        {"code size past 13 bits", past13.take()},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.what);
        const auto r = decode_zip_method(1, 0, b.stream, 100);
        EXPECT_EQ(decode_status_name(r.status), "data_error");
        std::vector<uint8_t> ref;
        EXPECT_FALSE(shrink_reference_decode(b.stream, 100, ref));
    }
}

// Tree descriptions that do not make a complete prefix code of the right size.
TEST(LegacyZipMethodsHostile, ImplodeBadTrees)
{
    const auto tree = [](std::initializer_list<uint8_t> desc) {
        std::vector<uint8_t> v = {static_cast<uint8_t>(desc.size() - 1)};
        v.insert(v.end(), desc);
        return v;
    };
    const auto good64 = tree({0xF5, 0xF5, 0xF5, 0xF5});   // 4 x 16 symbols of 6 bits
    struct bad_case {
        const char* what;
        std::vector<uint8_t> length_tree;
    };
    const bad_case bad[] = {
        {"too few symbols", tree({0xF5, 0xF5, 0xF5})},
        {"too many symbols", tree({0xF5, 0xF5, 0xF5, 0xF5, 0x05})},
        {"incomplete (64 codes of 7 bits)", tree({0xF6, 0xF6, 0xF6, 0xF6})},
        {"over-subscribed (64 codes of 5 bits)", tree({0xF4, 0xF4, 0xF4, 0xF4})},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.what);
        std::vector<uint8_t> stream = b.length_tree;
        stream.insert(stream.end(), good64.begin(), good64.end());
        stream.resize(stream.size() + 64, 0x55);
        const auto r = decode_zip_method(6, 0, stream, 100);
        EXPECT_EQ(decode_status_name(r.status), "data_error");
        std::vector<uint8_t> ref;
        EXPECT_FALSE(implode_reference_decode(stream, 100, 0, ref));
    }
    // The same trees with the good one in place decode.
    std::vector<uint8_t> fine = good64;
    fine.insert(fine.end(), good64.begin(), good64.end());
    fine.resize(fine.size() + 64, 0x55);
    EXPECT_EQ(decode_zip_method(6, 0, fine, 100).status, DecodeStatus::ok);
}

TEST(LegacyZipMethodsHostile, PpmdParameterWords)
{
    // order - 1 (4 bits) | memory MiB - 1 (8 bits) << 4 | restore method << 12
    const auto word = [](unsigned order, unsigned mib, unsigned restore) {
        return static_cast<uint16_t>((order - 1) | (mib - 1) << 4 | restore << 12);
    };
    struct header_case {
        const char* what;
        uint16_t word;
        uint32_t limit_mib;
        DecodeStatus expected;
    };
    const header_case cases[] = {
        {"order 1", word(1, 1, 0), 256, DecodeStatus::data_error},
        {"restore method 2 (freeze)", word(6, 1, 2), 256, DecodeStatus::unsupported},
        {"restore method 3", word(6, 1, 3), 256, DecodeStatus::data_error},
        {"256 MiB past a 16 MiB limit", word(6, 256, 0), 16, DecodeStatus::no_memory},
        {"17 MiB past a 16 MiB limit", word(6, 17, 1), 16, DecodeStatus::no_memory},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> stream = {static_cast<uint8_t>(c.word), static_cast<uint8_t>(c.word >> 8), 0, 0, 0, 0, 0, 0};
        EXPECT_EQ(decode_zip_method(98, 0, stream, 10, SIZE_MAX, c.limit_mib).status, c.expected);
    }
    // The most the format allows (256 MiB, order 16) is allocated and runs;
    // an all-0xFF range-coder start is refused.
    const uint16_t w = word(16, 256, 1);
    std::vector<uint8_t> stream = {static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8), 0x00, 0x12, 0x34, 0x56};
    stream.resize(4096, 0xA5);
    const auto r = decode_zip_method(98, 0, stream, 1000);
    EXPECT_TRUE(r.status == DecodeStatus::ok || r.status == DecodeStatus::data_error || r.status == DecodeStatus::truncated)
        << decode_status_name(r.status);
    std::vector<uint8_t> ones = {static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8), 0xFF, 0xFF, 0xFF, 0xFF, 0};
    EXPECT_EQ(decode_zip_method(98, 0, ones, 10).status, DecodeStatus::data_error);
    // Header or range-coder start cut short.
    EXPECT_EQ(decode_zip_method(98, 0, std::span(stream).first(1), 10).status, DecodeStatus::truncated);
    EXPECT_EQ(decode_zip_method(98, 0, std::span(stream).first(4), 10).status, DecodeStatus::truncated);
}

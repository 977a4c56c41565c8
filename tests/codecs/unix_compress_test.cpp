// Guards the Unix compress decoder against getting the code width, the
// padding of a code group at a width change or CLEAR, the table's full state
// or the KwKwK case wrong at any maximum width: files from ncompress at every
// width from 9 to 16 bits, checked against the original and against
// uncompress and gzip -d on whole, cut and damaged files, and files without
// block mode.
#include "codecs/UnixCompressDecoder.h"
#include "support/CodecTestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

using namespace velmora;
using namespace velmora::test;

namespace {

DecodeStatus expand(std::span<const uint8_t> z, std::vector<uint8_t>& out, size_t piece = SIZE_MAX)
{
    static UnixCompressDecoder decoder; // one object for all: nothing may carry over
    out.clear();
    chunked_source in(z, piece);
    VectorSink sink(out);
    return decoder.decode(in, sink);
}

// Text, then random bytes (the ratio drops and block mode clears the table),
// runs (long strings and KwKwK codes), and text again.
std::vector<uint8_t> sample(size_t size, uint32_t seed)
{
    auto v = mixed_data(size, seed);
    const size_t run = std::min<size_t>(40000, size / 4);
    std::fill_n(v.begin() + static_cast<ptrdiff_t>(size / 2), run, 'a');
    return v;
}

// A plain LZW encoder for what ncompress no longer writes: files without
// block mode (the table starts at 256 and is never cleared). The code width
// follows the decoder's view of the table (one entry behind the encoder's),
// and the current group of eight codes is padded before each widening.
std::vector<uint8_t> encode_without_block_mode(std::span<const uint8_t> data, unsigned maxbits)
{
    std::vector<uint8_t> out = {0x1F, 0x9D, static_cast<uint8_t>(maxbits)};
    uint64_t acc = 0;
    unsigned acc_bits = 0;
    auto put = [&](uint32_t code, unsigned n) {
        acc |= uint64_t{code} << acc_bits;
        for (acc_bits += n; acc_bits >= 8; acc_bits -= 8, acc >>= 8) out.push_back(static_cast<uint8_t>(acc));
    };
    const uint32_t maxmax = uint32_t{1} << maxbits;
    std::map<std::pair<uint32_t, uint8_t>, uint32_t> table;
    uint32_t enc_free = 256, dec_free = 256, maxcode = 511;
    unsigned n = 9, in_group = 0;
    bool first = true;
    auto emit = [&](uint32_t code) {
        if (dec_free > maxcode) {
            if (in_group != 0) put(0, (8 - in_group) * n);
            in_group = 0;
            ++n;
            maxcode = n == maxbits ? maxmax : (uint32_t{1} << n) - 1;
        }
        put(code, n);
        in_group = (in_group + 1) % 8;
        if (!first && dec_free < maxmax) ++dec_free;
        first = false;
    };
    if (data.empty()) return out;
    uint32_t w = data[0];
    for (size_t i = 1; i < data.size(); ++i) {
        const auto it = table.find({w, data[i]});
        if (it != table.end()) {
            w = it->second;
            continue;
        }
        emit(w);
        if (enc_free < maxmax) table[{w, data[i]}] = enc_free++;
        w = data[i];
    }
    emit(w);
    if (acc_bits > 0) out.push_back(static_cast<uint8_t>(acc));
    return out;
}

bool have_ncompress() { return have_tool("compress") && have_tool("uncompress"); }

// Files from ncompress at each maximum width, block mode (its default).
class UnixCompressWidths : public ::testing::TestWithParam<unsigned> {
protected:
    void SetUp() override
    {
        if (!have_ncompress()) GTEST_SKIP() << "ncompress is not installed";
    }
    std::vector<uint8_t> compress(std::span<const uint8_t> data)
    {
        auto z = run_filter(dir_, "compress -c -b " + std::to_string(GetParam()) + " {in}", data);
        EXPECT_TRUE(z.has_value());
        return z.value_or(std::vector<uint8_t>{});
    }
    // uncompress's verdict and output on z; our decoder must give the same.
    void expect_as_uncompress(std::span<const uint8_t> z, const std::string& what, size_t piece = SIZE_MAX)
    {
        std::vector<uint8_t> out;
        const DecodeStatus st = expand(z, out, piece);
        const auto reference = run_filter(dir_, "uncompress -c {in}", z);
        EXPECT_EQ(st == DecodeStatus::ok, reference.has_value()) << what << ": " << decode_status_name(st);
        if (st == DecodeStatus::ok && reference) {
            EXPECT_TRUE(out == *reference) << what << ": " << out.size() << " bytes, uncompress " << reference->size();
        } else {
            EXPECT_EQ(st, DecodeStatus::data_error) << what;
        }
        if (st == DecodeStatus::ok && have_tool("gzip")) {
            const auto by_gzip = run_filter(dir_, "gzip -d -c < {in}", z);
            ASSERT_TRUE(by_gzip.has_value()) << what;
            EXPECT_TRUE(out == *by_gzip) << what;
        }
    }
    TempDir dir_;
};

} // namespace

// ncompress 4.2.4 writes 9-bit files that neither its own uncompress nor
// gzip -d reads back (its encoder keeps 9-bit codes when the table is full,
// where the decoders widen to 10): at 9 bits the readers are the reference,
// at 10 to 16 bits the original as well.
TEST_P(UnixCompressWidths, ExpandsWhatCompressWrote)
{
    const unsigned bits = GetParam();
    for (size_t size : {size_t{0}, size_t{1}, size_t{700}, size_t{1u << 20}}) {
        const auto original = sample(std::max<size_t>(size, 1), bits * 31 + static_cast<uint32_t>(size));
        const auto data = std::vector<uint8_t>(original.begin(), original.begin() + static_cast<ptrdiff_t>(size));
        const auto z = compress(data);
        ASSERT_GE(z.size(), 3u);
        EXPECT_EQ(z[2], 0x80 | bits) << "the header says what was asked for";
        expect_as_uncompress(z, "size " + std::to_string(size));
        if (size > 1000) expect_as_uncompress(z, "one byte at a time", 1);
        std::vector<uint8_t> out;
        const DecodeStatus st = expand(z, out, 2 * bits + 1);
        if (bits > 9) {
            EXPECT_EQ(st, DecodeStatus::ok) << size;
            EXPECT_TRUE(out == data) << size;
        }
    }
}

// The format has no end marker: a cut file gives what its codes hold, which
// is what uncompress and gzip -d give for it, wherever the cut falls.
TEST_P(UnixCompressWidths, CutFilesAsUncompressTakesThem)
{
    const auto z = compress(sample(200000, GetParam()));
    for (size_t cut = 3; cut < z.size(); cut += 1 + cut / 3)
        expect_as_uncompress(std::span(z).first(cut), "cut at " + std::to_string(cut));
}

// Damage the format cannot see gives other output, the same as uncompress
// gives; damage it can see (a code not yet in the table) is refused by both.
TEST_P(UnixCompressWidths, DamagedFilesAsUncompressTakesThem)
{
    const auto z = compress(sample(100000, GetParam() + 100));
    std::mt19937 rng(GetParam());
    for (int i = 0; i < 24; ++i) {
        auto damaged = z;
        const size_t at = 3 + rng() % (damaged.size() - 3);
        damaged[at] ^= static_cast<uint8_t>(1 + rng() % 255);
        expect_as_uncompress(damaged, "damage at " + std::to_string(at), 4099);
    }
}

INSTANTIATE_TEST_SUITE_P(Ncompress, UnixCompressWidths, ::testing::Range(9u, 17u),
                         [](const auto& p) { return std::to_string(p.param) + "_bits"; });

// Without block mode, at every width: the files are first shown to read back
// right with uncompress and gzip -d, so the encoder above is no second guess.
TEST(UnixCompressWithoutBlockMode, ExpandsAsUncompressAndGzipDo)
{
    if (!have_ncompress() || !have_tool("gzip")) GTEST_SKIP();
    TempDir dir;
    for (unsigned bits = 9; bits <= 16; ++bits) {
        const auto data = sample(300000, 500 + bits);
        const auto z = encode_without_block_mode(data, bits);
        ASSERT_EQ(run_filter(dir, "uncompress -c {in}", z), data) << bits;
        ASSERT_EQ(run_filter(dir, "gzip -d -c < {in}", z), data) << bits;
        std::vector<uint8_t> out;
        ASSERT_EQ(expand(z, out, 1 + bits), DecodeStatus::ok) << bits;
        EXPECT_TRUE(out == data) << bits;
    }
}

TEST(UnixCompressHeader, RefusesWhatIsNotACompressFile)
{
    struct Case {
        std::vector<uint8_t> bytes;
        DecodeStatus expected;
    };
    const std::vector<Case> cases = {
        {{}, DecodeStatus::truncated},
        {{0x1F, 0x9D}, DecodeStatus::truncated},
        {{0x1F, 0x8B, 0x90, 0x41, 0x00}, DecodeStatus::data_error},  // gzip's magic
        {{0x1F, 0x9D, 0x91, 0x41, 0x00}, DecodeStatus::unsupported}, // 17-bit codes
        {{0x1F, 0x9D, 0x88, 0x41, 0x00}, DecodeStatus::data_error},  // 8-bit codes cannot hold a table
        {{0x1F, 0x9D, 0x90}, DecodeStatus::ok},                      // an empty file
        {{0x1F, 0x9D, 0x90, 0x41, 0x00}, DecodeStatus::ok},          // "A"
        {{0x1F, 0x9D, 0x90, 0x00, 0x03}, DecodeStatus::data_error},  // the first code must be a byte: 0x100
        {{0x1F, 0x9D, 0x90, 0x41, 0x02, 0x02}, DecodeStatus::ok},    // "A", then code 0x101 = KwKwK
        {{0x1F, 0x9D, 0x90, 0x41, 0x04, 0x02}, DecodeStatus::data_error}, // "A", then code 0x102: not yet defined
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        std::vector<uint8_t> out;
        EXPECT_EQ(expand(cases[i].bytes, out), cases[i].expected) << "case " << i;
    }
    // The KwKwK case above: "A", then 0x101 read as the string being defined
    // ("A" + its first byte).
    std::vector<uint8_t> out;
    ASSERT_EQ(expand(std::vector<uint8_t>{0x1F, 0x9D, 0x90, 0x41, 0x02, 0x02}, out), DecodeStatus::ok);
    EXPECT_EQ(std::string(out.begin(), out.end()), "AAA");
}

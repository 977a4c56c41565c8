// Guards the LHA and ARJ decoders against damaged and hostile streams: bad
// code tables (over-subscribed, incomplete, lengths past 16, counts past the
// symbol set), copies from beyond the window or before the first byte,
// truncation at every kind of boundary, flipped bits, a sink that refuses,
// and input handed over a byte at a time. Each must end with a status, never
// a crash, a hang or output past the expected size.
#include "support/LhaArjArchives.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>

using namespace velmora;
using namespace velmora::test;

namespace {

// Builds MSB-first bit streams as the LHA and ARJ coders write them.
class bit_writer {
public:
    bit_writer& put(uint32_t value, unsigned n)
    {
        for (unsigned i = n; i-- > 0;) {
            acc_ = static_cast<uint8_t>((acc_ << 1) | ((value >> i) & 1));
            if (++count_ == 8) {
                bytes_.push_back(acc_);
                acc_ = 0;
                count_ = 0;
            }
        }
        return *this;
    }
    std::vector<uint8_t> bytes() const
    {
        std::vector<uint8_t> b = bytes_;
        if (count_) b.push_back(static_cast<uint8_t>(acc_ << (8 - count_)));
        return b;
    }

private:
    std::vector<uint8_t> bytes_;
    uint8_t acc_ = 0;
    unsigned count_ = 0;
};

DecodeStatus decode_lha(lha_method m, const std::vector<uint8_t>& in, uint64_t size, std::vector<uint8_t>* out = nullptr)
{
    std::vector<uint8_t> sink_bytes;
    SpanSource src(in);
    VectorSink sink(sink_bytes);
    const DecodeStatus s = LhaDecoder(m).decode(src, sink, size);
    EXPECT_LE(sink_bytes.size(), size);
    if (out) *out = sink_bytes;
    return s;
}

DecodeStatus decode_arj(uint8_t method, const std::vector<uint8_t>& in, uint64_t size)
{
    std::vector<uint8_t> sink_bytes;
    SpanSource src(in);
    VectorSink sink(sink_bytes);
    const DecodeStatus s = ArjDecoder(method).decode(src, sink, size);
    EXPECT_LE(sink_bytes.size(), size);
    return s;
}

// A block header of the static-Huffman coder whose three codes are each a
// single symbol with no bits: count (16), then for the code-length code,
// the literal/length code and the offset code a count of 0 and the symbol.
bit_writer single_symbol_block(unsigned count, unsigned c_sym, unsigned p_sym, unsigned p_bits)
{
    bit_writer w;
    w.put(count, 16).put(0, 5).put(0, 5).put(0, 9).put(c_sym, 9).put(0, p_bits).put(p_sym, p_bits);
    return w;
}

TEST(LhaArjDamagedStreams, BadCodeTablesAreDataErrors)
{
    struct row {
        const char* what;
        std::vector<uint8_t> stream;
    };
    const std::vector<row> rows = {
        // Three code-length lengths of 1 bit: over-subscribed.
        {"over-subscribed code-length code", bit_writer().put(1, 16).put(3, 5).put(1, 3).put(1, 3).put(1, 3).put(0, 2).bytes()},
        // The code-length code is one symbol (4: length 2), three literal
        // lengths of 2 bits: incomplete.
        {"incomplete literal/length code", bit_writer().put(1, 16).put(0, 5).put(4, 5).put(3, 9).bytes()},
        // 511 literal/length lengths: more than the 510 symbols.
        {"literal/length count past 510", bit_writer().put(1, 16).put(0, 5).put(4, 5).put(511, 9).bytes()},
        // Single literal/length symbol 510: no such symbol.
        {"single literal/length symbol 510", bit_writer().put(1, 16).put(0, 5).put(0, 5).put(0, 9).put(510, 9).bytes()},
        // A code-length length of 7 + 10 = 17 bits.
        {"code length past 16", bit_writer().put(1, 16).put(1, 5).put(7, 3).put(0x3FF, 10).put(0, 1).bytes()},
        // Offset symbol 14 in -lh5- (NP = 14): a distance beyond 8 KiB.
        {"offset symbol past NP", single_symbol_block(1, 256, 14, 4).bytes()},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<uint8_t> padded = r.stream;
        padded.resize(padded.size() + 16, 0); // the failure is not for want of input
        EXPECT_EQ(decode_lha(lha_method::lh5, padded, 100), DecodeStatus::data_error);
    }
}

TEST(LhaArjDamagedStreams, CopiesBeforeTheFirstByte)
{
    // -lh5-: the window starts as spaces (lhasa, LHa), so a copy from
    // 4097..8192 back at the start gives spaces.
    bit_writer w = single_symbol_block(2, 256, 13, 4);
    w.put(0, 12).put(0xFFF, 12); // two copies of 3: distances 4097 and 8192
    std::vector<uint8_t> out;
    EXPECT_EQ(decode_lha(lha_method::lh5, w.bytes(), 6, &out), DecodeStatus::ok);
    EXPECT_EQ(std::string(out.begin(), out.end()), "      ");
    // -lh4-: 4 KiB window, so offset symbol 13 is already too far.
    EXPECT_EQ(decode_lha(lha_method::lh4, w.bytes(), 6), DecodeStatus::data_error);

    // ARJ methods 1-3: nothing lies before the first byte.
    const auto arj = single_symbol_block(1, 256, 1, 5).bytes(); // a copy of 3 from distance 2
    EXPECT_EQ(decode_arj(1, arj, 3), DecodeStatus::data_error);
    // ARJ method 4: a literal, then a copy of 3 from distance 2.
    const auto fastest = bit_writer().put(0, 1).put('A', 8).put(1, 1).put(0, 1).put(0, 1).put(0, 1).put(1, 9).bytes();
    EXPECT_EQ(decode_arj(4, fastest, 4), DecodeStatus::data_error);

    // LArc -lz5-: a copy of 18 from slot 0 at the start reads LArc's
    // starting window: thirteen 0x00, then 0x01.
    std::vector<uint8_t> lz5_out;
    EXPECT_EQ(decode_lha(lha_method::lz5, {0x00, 0x00, 0x0F}, 18, &lz5_out), DecodeStatus::ok);
    std::vector<uint8_t> want(13, 0x00);
    want.resize(18, 0x01);
    EXPECT_EQ(lz5_out, want);
}

TEST(LhaArjDamagedStreams, OtherRefusals)
{
    EXPECT_EQ(decode_arj(5, {1, 2, 3}, 3), DecodeStatus::unsupported);
    EXPECT_FALSE(ArjDecoder::supported(5));
    EXPECT_EQ(decode_lha(lha_method::lhd, {}, 1), DecodeStatus::data_error);
    EXPECT_EQ(decode_lha(lha_method::lhd, {}, 0), DecodeStatus::ok);
    EXPECT_FALSE(lha_method_from_id("lh2").has_value());
    EXPECT_FALSE(lha_method_from_id("LH5").has_value());
    EXPECT_FALSE(lha_method_from_id("pm2").has_value());
    EXPECT_EQ(lha_method_from_id("-lh7-"), lha_method::lh7);
    // An empty block (count 0) is followed by the next header.
    bit_writer w;
    w.put(0, 16).put(0, 5).put(0, 5).put(0, 9).put('x', 9).put(0, 4).put(0, 4); // empty
    w.put(3, 16).put(0, 5).put(0, 5).put(0, 9).put('y', 9).put(0, 4).put(0, 4);
    std::vector<uint8_t> out;
    EXPECT_EQ(decode_lha(lha_method::lh5, w.bytes(), 3, &out), DecodeStatus::ok);
    EXPECT_EQ(std::string(out.begin(), out.end()), "yyy");
}

// Real streams of every method: made by the tools where they exist, else
// taken from the committed public archives.
struct sample {
    std::string name;
    bool arj;
    uint8_t arj_method;
    lha_method method;
    std::vector<uint8_t> packed;
    std::vector<uint8_t> plain;
};

std::vector<sample> make_samples()
{
    std::vector<sample> out;
    TempDir dir;
    std::string text;
    std::mt19937 rng(5);
    while (text.size() < 60000) text += std::to_string(rng() % 1000) + (rng() % 5 ? " data " : " window\n");
    write_file(dir / "t.txt", text);
    auto add_lzh = [&](const std::vector<uint8_t>& a, const std::string& label) {
        for (const auto& m : list_lzh(a)) {
            if (m.method == "lhd" || m.size == 0) continue;
            const decode_result r = decode_lzh_member(a, m);
            if (r.status != DecodeStatus::ok) continue;
            out.push_back({label + ":" + m.method, false, 0, *lha_method_from_id(m.method),
                           std::vector<uint8_t>(a.begin() + m.data_offset, a.begin() + m.data_offset + m.packed_size),
                           r.bytes});
            return;
        }
    };
    if (have_tool("jlha")) {
        for (const char* o : {"o5", "o6", "o7"}) {
            const std::string name = std::string(o) + ".lzh";
            run_command("cd " + shell_quote(dir.str()) + " && jlha c2" + o + " " + name + " t.txt >/dev/null 2>&1");
            add_lzh(read_file(dir / name), "jlha");
        }
    }
    for (const char* f : {"lharc113_lh1.lzh", "lha_amiga_122_lh4.lzh", "larc333_lz5.lzs", "generated_lzs_lzs.lzs"})
        add_lzh(read_file(data_dir() / "lzh" / "lhasa" / f), f);
    if (have_tool("arj")) {
        for (int m = 1; m <= 4; m += 3) {
            const std::string name = "m" + std::to_string(m) + ".arj";
            run_command("cd " + shell_quote(dir.str()) + " && arj a -y -m" + std::to_string(m) + " " + name +
                        " t.txt >/dev/null 2>&1");
            const auto a = read_file(dir / name);
            for (const auto& m2 : list_arj(a)) {
                out.push_back({"arj:m" + std::to_string(m), true, m2.method, lha_method::lh0,
                               std::vector<uint8_t>(a.begin() + m2.data_offset, a.begin() + m2.data_offset + m2.packed_size),
                               decode_arj_member(a, m2).bytes});
            }
        }
    }
    return out;
}

decode_result decode_sample(const sample& s, std::span<const uint8_t> packed, uint64_t size, size_t piece = SIZE_MAX,
                            uint64_t sink_limit = UINT64_MAX)
{
    decode_result r;
    chunked_source src(packed, piece);
    VectorSink sink(r.bytes, sink_limit);
    r.status = s.arj ? ArjDecoder(s.arj_method).decode(src, sink, size) : LhaDecoder(s.method).decode(src, sink, size);
    return r;
}

class LhaArjDamagedSamples : public ::testing::Test {
protected:
    static void SetUpTestSuite() { samples_ = new std::vector<sample>(make_samples()); }
    static void TearDownTestSuite()
    {
        delete samples_;
        samples_ = nullptr;
    }
    static std::vector<sample>* samples_;
};
std::vector<sample>* LhaArjDamagedSamples::samples_ = nullptr;

TEST_F(LhaArjDamagedSamples, SamplesCoverEveryCoder)
{
    // -lh1-, -lh4-, -lz5-, -lzs- always; -lh5- to -lh7- from jlha; ARJ 1 and 4 from arj.
    EXPECT_EQ(samples_->size(), 4u + (have_tool("jlha") ? 3 : 0) + (have_tool("arj") ? 2 : 0));
    for (const auto& s : *samples_) EXPECT_EQ(decode_sample(s, s.packed, s.plain.size()).bytes, s.plain) << s.name;
}

TEST_F(LhaArjDamagedSamples, TruncatedInputIsReportedAsTruncated)
{
    for (const auto& s : *samples_) {
        SCOPED_TRACE(s.name);
        for (size_t keep : {size_t{0}, size_t{1}, size_t{2}, size_t{5}, s.packed.size() / 3, s.packed.size() / 2,
                            s.packed.size() - 2}) {
            const decode_result r = decode_sample(s, std::span(s.packed).first(keep), s.plain.size());
            // Cut input may still decode into a bad copy, but never to "ok".
            EXPECT_TRUE(r.status == DecodeStatus::truncated || r.status == DecodeStatus::data_error)
                << keep << ": " << decode_status_name(r.status);
            // What came out before the cut is the start of the real data.
            EXPECT_TRUE(std::equal(r.bytes.begin(), r.bytes.end(), s.plain.begin())) << keep;
        }
    }
}

TEST_F(LhaArjDamagedSamples, FlippedBitsNeverCrashOrOverrun)
{
    std::mt19937 rng(9);
    for (const auto& s : *samples_) {
        SCOPED_TRACE(s.name);
        for (int trial = 0; trial < 60; ++trial) {
            std::vector<uint8_t> bad = s.packed;
            for (int k = 0; k < 1 + trial % 4; ++k) bad[rng() % bad.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
            // Ask for more than the real size too: the decoder must still stop.
            const uint64_t size = s.plain.size() + (trial % 2 ? 100000 : 0);
            const decode_result r = decode_sample(s, bad, size);
            EXPECT_LE(r.bytes.size(), size);
            if (r.status == DecodeStatus::ok) {
                EXPECT_EQ(r.bytes.size(), size);
            }
        }
    }
}

TEST_F(LhaArjDamagedSamples, OneBytePiecesAndARefusingSink)
{
    for (const auto& s : *samples_) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(decode_sample(s, s.packed, s.plain.size(), 1).bytes, s.plain);
        EXPECT_EQ(decode_sample(s, s.packed, s.plain.size(), 3).bytes, s.plain);
        // The sink refuses its first piece: the decoder stops at once.
        const decode_result r = decode_sample(s, s.packed, s.plain.size(), SIZE_MAX, 10);
        EXPECT_EQ(r.status, DecodeStatus::stopped);
        EXPECT_TRUE(r.bytes.empty());
    }
}

// Long output from a short stream: a one-symbol code repeats a literal with
// no input at all; the decoders produce exactly the size asked and stop, in
// pieces of at least 16 KiB and at most 1 MiB.
TEST(LhaArjDamagedStreams, OutputComesInBoundedPieces)
{
    struct piece_sink final : ByteSink {
        std::vector<size_t> pieces;
        bool write(std::span<const uint8_t> d) override
        {
            pieces.push_back(d.size());
            return true;
        }
    };
    const auto stream = single_symbol_block(0xFFFF, 'z', 0, 4).bytes();
    for (uint64_t size : {uint64_t{1}, uint64_t{65535}, uint64_t{3} << 20}) {
        SpanSource src(stream);
        piece_sink sink;
        // 0xFFFF symbols per block; the next header reads past the end.
        const DecodeStatus s = LhaDecoder(lha_method::lh5).decode(src, sink, size);
        EXPECT_EQ(s, size <= 0xFFFF ? DecodeStatus::ok : DecodeStatus::truncated) << size;
        for (size_t i = 0; i + 1 < sink.pieces.size(); ++i) {
            EXPECT_GE(sink.pieces[i], size_t{16} << 10);
            EXPECT_LE(sink.pieces[i], size_t{1} << 20);
        }
    }
}

} // namespace

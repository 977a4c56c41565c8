// Guards against the fast decoder drifting from the documented behaviour on
// unusual or broken input (odd Huffman codes, truncation, zero-filled bits past
// the end, stored-block header rules, faults mid-block): every result, fault
// and message must match a plain model of that behaviour.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "archive/HeadlessWindow.h"
#include "codecs/Mod_Inflate64.h"
#include "inflate_test_helpers.h"

namespace velmora {
namespace {

using test::bit_writer;
using test::huffman_code;

// Random complete code lengths for `used` leaves, no longer than 15 bits.
std::vector<uint8_t> random_complete_depths(std::mt19937& rng, unsigned used)
{
    std::vector<uint8_t> leaves = {0};
    while (leaves.size() < used) {
        // Prefer shallow leaves now and then so that short and long codes both occur.
        size_t i = rng() % leaves.size();
        if (rng() % 3 == 0) i = static_cast<size_t>(std::min_element(leaves.begin(), leaves.end()) - leaves.begin());
        if (leaves[i] >= 15) continue;
        const uint8_t d = static_cast<uint8_t>(leaves[i] + 1);
        leaves[i] = d;
        leaves.push_back(d);
    }
    return leaves;
}

// Lengths for `alphabet` symbols with `used` of them coded; `must` is always coded.
std::vector<uint8_t> random_code(std::mt19937& rng, unsigned alphabet, unsigned used, int must)
{
    std::vector<unsigned> syms(alphabet);
    for (unsigned s = 0; s < alphabet; ++s) syms[s] = s;
    std::shuffle(syms.begin(), syms.end(), rng);
    if (must >= 0) std::iter_swap(syms.begin(), std::find(syms.begin(), syms.end(), static_cast<unsigned>(must)));
    const auto depths = random_complete_depths(rng, used);
    std::vector<uint8_t> lens(alphabet, 0);
    for (unsigned i = 0; i < used; ++i) lens[syms[i]] = depths[i];
    return lens;
}

std::vector<test::precode_op> run_length_ops(std::mt19937& rng, const std::vector<uint8_t>& lens)
{
    std::vector<test::precode_op> ops;
    size_t i = 0;
    while (i < lens.size()) {
        size_t run = 1;
        while (i + run < lens.size() && lens[i + run] == lens[i]) ++run;
        if (lens[i] == 0 && run >= 11 && rng() % 2) {
            const size_t n = std::min<size_t>(run, 138);
            ops.push_back({18, static_cast<unsigned>(n - 11)});
            i += n;
        } else if (lens[i] == 0 && run >= 3 && rng() % 2) {
            const size_t n = std::min<size_t>(run, 10);
            ops.push_back({17, static_cast<unsigned>(n - 3)});
            i += n;
        } else if (i > 0 && lens[i] == lens[i - 1] && run >= 3 && rng() % 2) {
            const size_t n = std::min<size_t>(run, 6);
            ops.push_back({16, static_cast<unsigned>(n - 3)});
            i += n;
        } else {
            ops.push_back({lens[i]});
            ++i;
        }
    }
    return ops;
}

struct stream_maker {
    std::mt19937& rng;
    bool d64;
    bit_writer w;
    size_t produced = 0;

    static constexpr uint16_t lbase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static constexpr uint8_t lextra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

    void symbols(const huffman_code& ll, const huffman_code& dist, unsigned count)
    {
        std::vector<unsigned> lits, lens, dists;
        for (unsigned s = 0; s < ll.lens.size(); ++s) {
            if (!ll.lens[s]) continue;
            (s < 256 ? lits : lens).push_back(s);
        }
        for (unsigned s = 0; s < dist.lens.size(); ++s)
            if (dist.lens[s]) dists.push_back(s);
        lens.erase(std::remove(lens.begin(), lens.end(), 256u), lens.end());
        for (unsigned k = 0; k < count; ++k) {
            if (!lits.empty() && (lens.empty() || dists.empty() || rng() % 100 < 55 || produced == 0)) {
                ll.put(w, lits[rng() % lits.size()]);
                ++produced;
                continue;
            }
            if (lens.empty() || dists.empty()) break;
            const unsigned sym = lens[rng() % lens.size()];
            ll.put(w, sym);
            size_t length = 0;
            auto put_extension = [&] {
                const unsigned x = rng() % 4 == 0 ? 65535 : rng() % 600;
                w.put_bits(x, 16);
                return size_t{x} + 3;
            };
            if (d64 && sym == 285) {
                length = put_extension();
            } else if (sym <= 285) {
                const unsigned e = lextra[sym - 257];
                const unsigned v = rng() % 8 == 0 ? (1u << e) - 1 : static_cast<unsigned>(rng() & ((1u << e) - 1));
                w.put_bits(v, e);
                length = lbase[sym - 257] + v;
                if (d64 && length == 258) length = put_extension();
            }
            // A distance that mostly stays within the output so far.
            unsigned ds = dists[rng() % dists.size()];
            for (int tries = 0; tries < 8 && ds >= 4 && ((2u + (ds & 1)) << (ds / 2 - 1)) + 1 > produced; ++tries)
                ds = dists[rng() % dists.size()];
            dist.put(w, ds);
            if (ds >= 4) {
                const unsigned e = ds / 2 - 1;
                const unsigned base = ((2u + (ds & 1)) << e) + 1;
                const unsigned room = produced >= base ? static_cast<unsigned>(produced - base) : 0;
                const unsigned v = std::min<unsigned>((1u << e) - 1, room > 0 ? static_cast<unsigned>(rng() % (room + 1)) : 0);
                w.put_bits(v, e);
            }
            produced += length;
        }
    }

    void block(bool final_block)
    {
        const unsigned kind = rng() % 20;
        w.put_bits(final_block, 1);
        if (kind < 3) { // stored
            w.put_bits(0, 2);
            w.align();
            const unsigned len = rng() % 4 == 0 ? rng() % 4 : rng() % 400;
            const unsigned nlen = rng() % 10 == 0 ? static_cast<unsigned>(rng() & 0xFFFF) : (~len & 0xFFFF);
            w.put_byte(static_cast<uint8_t>(len));
            w.put_byte(static_cast<uint8_t>(len >> 8));
            w.put_byte(static_cast<uint8_t>(nlen));
            w.put_byte(static_cast<uint8_t>(nlen >> 8));
            for (unsigned i = 0; i < len; ++i) w.put_byte(static_cast<uint8_t>(rng()));
            produced += len;
        } else if (kind == 3) {
            w.put_bits(3, 2);
        } else if (kind < 9) {
            w.put_bits(1, 2);
            symbols(test::fixed_litlen(), test::fixed_dist(), rng() % 600);
            test::fixed_litlen().put(w, 256);
        } else {
            w.put_bits(2, 2);
            const unsigned hlit = 257 + rng() % 32;
            const unsigned hdist = 1 + rng() % 32;
            const unsigned used_ll = rng() % 4 == 0 ? 2 + rng() % 8 : 2 + rng() % (hlit - 1);
            auto ll = random_code(rng, hlit, used_ll, rng() % 20 ? 256 : -1);
            auto dl = random_code(rng, hdist, std::min(hdist, 1 + static_cast<unsigned>(rng() % 32)), -1);
            if (hdist == 1 || rng() % 30 == 0) dl[rng() % hdist] ^= 1; // often incomplete or over-subscribed
            if (rng() % 40 == 0) ll[rng() % hlit] = static_cast<uint8_t>(rng() % 16);
            std::vector<uint8_t> all(ll);
            all.insert(all.end(), dl.begin(), dl.end());
            auto ops = run_length_ops(rng, all);
            if (rng() % 40 == 0) ops.insert(ops.begin(), {16, 0});                 // repeat with nothing before
            if (rng() % 40 == 0) ops.push_back({18, static_cast<unsigned>(rng() % 128)}); // past the end
            std::optional<std::vector<uint8_t>> precode;
            unsigned hclen = 19;
            if (rng() % 25 == 0) {
                precode = std::vector<uint8_t>(19, 4);
                (*precode)[rng() % 19] = static_cast<uint8_t>(rng() % 8); // usually a broken code-length code
            }
            if (rng() % 25 == 0) hclen = 4 + rng() % 15; // lengths not sent read as 0
            test::put_dynamic_header(w, hlit, hdist, ops, precode, hclen);
            const huffman_code llc(ll), dc(dl);
            symbols(llc, dc, rng() % 3000);
            if (ll[256]) llc.put(w, 256);
        }
    }

    std::vector<uint8_t> make()
    {
        const unsigned blocks = 1 + rng() % 4;
        for (unsigned b = 0; b < blocks; ++b) block(b + 1 == blocks && rng() % 12 != 0);
        auto bytes = w.bytes();
        switch (rng() % 8) {
        case 0: bytes.resize(rng() % (bytes.size() + 1)); break;                         // truncated
        case 1: bytes.push_back(static_cast<uint8_t>(rng())); break;                     // trailing byte
        case 2: if (!bytes.empty()) bytes[rng() % bytes.size()] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
        default: break;
        }
        return bytes;
    }
};

struct tally {
    std::map<std::string, unsigned> seen;
    void note(const test::model_outcome& m)
    {
        if (m.table_failure) ++seen["table failure"];
        else if (m.fault) ++seen["fault"];
        else ++seen["result " + std::to_string(m.result)];
    }
};

void expect_same_as_model(const std::vector<uint8_t>& stream, int32_t out_last, bool d64, tally& t, const std::string& what)
{
    const auto m = test::run_inflate_model(stream, out_last, d64);
    t.note(m);
    HeadlessWindow window;
    auto data = stream;
    const int32_t r = Inflate(data, out_last, d64, &window);
    ASSERT_EQ(r, m.result) << what;
    if (m.fault) {
        ASSERT_TRUE(data == stream) << what << " should be left unchanged";
    } else {
        ASSERT_EQ(data.size(), m.data.size()) << what;
        ASSERT_TRUE(data == m.data) << what;
    }
    if (m.table_failure) {
        ASSERT_EQ(window.messages.size(), 1u) << what;
        EXPECT_EQ(window.messages[0].text, "Error in tree creation (Static).");
        EXPECT_EQ(window.messages[0].title, "Error");
        EXPECT_EQ(window.messages[0].icon, MessageIcon::information);
    } else {
        ASSERT_TRUE(window.messages.empty()) << what;
    }
}

int32_t pick_out_last(std::mt19937& rng, size_t produced)
{
    const auto p = static_cast<int64_t>(produced);
    switch (rng() % 6) {
    case 0: return -1;
    case 1: return static_cast<int32_t>(std::max<int64_t>(-1, p - 1 - static_cast<int64_t>(rng() % 50)));
    case 2: return static_cast<int32_t>(p + rng() % 5000);
    default: return static_cast<int32_t>(p - 1);
    }
}

TEST(InflateModelAgreement, RandomStreamsInBothModes)
{
    std::mt19937 rng(99);
    tally t;
    for (int i = 0; i < 3000; ++i) {
        const bool d64 = rng() % 2;
        stream_maker sm{rng, d64, {}};
        const auto stream = sm.make();
        const int32_t out_last = pick_out_last(rng, std::min<size_t>(sm.produced, 4'000'000));
        for (bool mode : {d64, !d64}) {
            expect_same_as_model(stream, mode == d64 ? out_last : out_last + 70000, mode, t,
                                 "stream " + std::to_string(i) + (mode ? " Deflate64" : " Deflate"));
            if (HasFatalFailure()) return;
        }
    }
    for (const auto& [k, n] : t.seen) std::printf("  %-14s %u\n", k.c_str(), n);
    // Every kind of ending occurred often enough to mean something.
    for (const char* k : {"result 0", "result -1", "result -2", "fault", "table failure"}) EXPECT_GE(t.seen[k], 30u) << k;
}

TEST(InflateModelAgreement, DamagedZlibStreams)
{
    std::mt19937 rng(4242);
    tally t;
    for (int i = 0; i < 1500; ++i) {
        std::vector<uint8_t> original(rng() % 20000);
        for (size_t k = 0; k < original.size(); ++k) original[k] = static_cast<uint8_t>(rng() % 4 ? 'a' + rng() % 6 : rng());
        auto stream = test::zlib_deflate_raw(original, static_cast<int>(rng() % 10), rng() % 3 ? Z_DEFAULT_STRATEGY : Z_FIXED);
        const unsigned flips = 1 + rng() % 3;
        for (unsigned f = 0; f < flips && !stream.empty(); ++f) stream[rng() % stream.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        if (rng() % 3 == 0) stream.resize(rng() % (stream.size() + 1));
        const int32_t out_last = pick_out_last(rng, original.size());
        expect_same_as_model(stream, out_last, rng() % 2, t, "damaged stream " + std::to_string(i));
        if (HasFatalFailure()) return;
    }
    EXPECT_GE(t.seen["fault"] + t.seen["table failure"], 100u);
}

TEST(InflateModelAgreement, RandomBytes)
{
    std::mt19937 rng(31337);
    tally t;
    for (int i = 0; i < 3000; ++i) {
        std::vector<uint8_t> stream(rng() % 200);
        for (auto& b : stream) b = static_cast<uint8_t>(rng());
        expect_same_as_model(stream, pick_out_last(rng, rng() % 3000), rng() % 2, t, "random bytes " + std::to_string(i));
        if (HasFatalFailure()) return;
    }
}

} // namespace
} // namespace velmora

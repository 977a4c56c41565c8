// Guards Unreduce against wrong length/distance splits, follower-set indexing
// and copy handling at each reduction factor, by expanding what an
// independent encoder made from varied data.
#include "archive/Cls_CRC32.h"
#include "codecs/Mod_Reduce.h"
#include "reduce_test_codec.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace velmora;
using namespace velmora::test;

namespace {

std::vector<uint8_t> random_bytes(std::mt19937& rng, size_t n, unsigned alphabet = 256)
{
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<uint8_t>(rng() % alphabet);
    return v;
}

std::vector<uint8_t> text_like(std::mt19937& rng, size_t n)
{
    static const char* words[] = {"the ", "archive ", "follower ", "set ", "of ", "reduced ", "data\r\n",
                                  "to ", "be ", "or ", "not ", "PKZIP ", "\x90", "entry ", "Hamlet. "};
    std::vector<uint8_t> v;
    while (v.size() < n) {
        const std::string w = words[rng() % std::size(words)];
        v.insert(v.end(), w.begin(), w.end());
    }
    v.resize(n);
    return v;
}

// Expands and compares; returns the stats so callers can check coverage.
reduce_encode_stats round_trip(const std::vector<uint8_t>& original, int factor, reduce_encode_options opt = {})
{
    reduce_encode_stats st;
    std::vector<uint8_t> data = reduce_encode(original, factor, &st, opt);
    const int16_t status = Unreduce(data, static_cast<int16_t>(factor + 1), static_cast<int32_t>(original.size()) - 1);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(data.size(), original.size());
    EXPECT_TRUE(data == original) << "first difference at "
                                  << (std::mismatch(data.begin(), data.end(), original.begin(), original.end()).first
                                      - data.begin());
    return st;
}

} // namespace

class ReduceRoundTrip : public ::testing::TestWithParam<int> {};

TEST_P(ReduceRoundTrip, VariedData)
{
    const int factor = GetParam();
    std::mt19937 rng(1000 + factor);
    std::vector<std::vector<uint8_t>> inputs = {
        {},                                         // nothing
        {'a'},
        {reduce_dle},
        std::vector<uint8_t>(5000, 0),              // zeros: long overlapping copies
        std::vector<uint8_t>(3000, reduce_dle),     // runs of the DLE byte itself
        random_bytes(rng, 20000),                   // incompressible: literals and full sets
        random_bytes(rng, 20000, 4),                // small alphabet: short copies, small sets
        random_bytes(rng, 20000, 2),
        text_like(rng, 60000),
    };
    std::vector<uint8_t> all_values(512);
    for (size_t i = 0; i < all_values.size(); ++i)
        all_values[i] = static_cast<uint8_t>(i * 7);
    inputs.push_back(all_values);
    // Alternating DLE with other bytes: DLE 0 pairs next to copies of DLEs.
    std::vector<uint8_t> dle_mix;
    for (int i = 0; i < 4000; ++i)
        dle_mix.push_back(static_cast<uint8_t>(i % 3 == 0 ? reduce_dle : (i % 7 == 0 ? 0 : rng() % 5)));
    inputs.push_back(dle_mix);
    // Eight leading bytes, each followed by one of 32 others: full sets.
    std::vector<uint8_t> pairs;
    for (int i = 0; i < 20000; ++i) {
        const auto lead = static_cast<uint8_t>(32 * (rng() % 8));
        pairs.push_back(lead);
        pairs.push_back(static_cast<uint8_t>(lead + 1 + rng() % 31));
    }
    inputs.push_back(pairs);

    reduce_encode_stats total;
    for (const auto& in : inputs) {
        SCOPED_TRACE(in.size());
        const auto st = round_trip(in, factor);
        total.literal_dles += st.literal_dles;
        total.overlapping_copies += st.overlapping_copies;
        total.extra_length_bytes += st.extra_length_bytes;
        for (size_t k = 0; k < 3; ++k)
            total.set_kinds[k] += st.set_kinds[k];
    }
    EXPECT_GT(total.literal_dles, 0u);
    EXPECT_GT(total.overlapping_copies, 0u);
    EXPECT_GT(total.extra_length_bytes, 0u);
    EXPECT_GT(total.set_kinds[0], 0u);
    EXPECT_GT(total.set_kinds[1], 0u);
    EXPECT_GT(total.set_kinds[2], 0u);
}

TEST_P(ReduceRoundTrip, LongestDistanceAndLength)
{
    const int factor = GetParam();
    const size_t max_dist = reduce_max_distance(factor);
    const size_t max_len = reduce_max_length(factor);
    std::mt19937 rng(77 + factor);
    // A random block repeated exactly max_dist later; random filler keeps any
    // nearer match from being found.
    const std::vector<uint8_t> block = random_bytes(rng, max_len + 40);
    std::vector<uint8_t> in = block;
    const std::vector<uint8_t> filler = random_bytes(rng, max_dist - block.size());
    in.insert(in.end(), filler.begin(), filler.end());
    in.insert(in.end(), block.begin(), block.end());

    const auto st = round_trip(in, factor);
    EXPECT_EQ(st.longest_distance, max_dist);
    EXPECT_EQ(st.longest_length, max_len);
}

TEST_P(ReduceRoundTrip, SetSizesOfEveryIndexWidth)
{
    const int factor = GetParam();
    std::mt19937 rng(5 + factor);
    const std::vector<uint8_t> in = text_like(rng, 30000);
    // Capping the sets forces sizes 1, 2, 3.. and so index widths 1 to 5,
    // including sizes that are not powers of two.
    for (const unsigned cap : {0u, 1u, 2u, 3u, 5u, 9u, 17u, 31u}) {
        SCOPED_TRACE(cap);
        round_trip(in, factor, {cap, 32});
    }
}

INSTANTIATE_TEST_SUITE_P(Factors, ReduceRoundTrip, ::testing::Values(1, 2, 3, 4),
                         [](const ::testing::TestParamInfo<int>& p) { return "Factor" + std::to_string(p.param); });

TEST(ReduceRoundTripRandom, ManySmallBuffersAgainstTheReferenceExpander)
{
    // Short random inputs at every factor, and random garbage streams: the
    // fast decoder must match the step-by-step expander byte for byte.
    std::mt19937 rng(2024);
    for (int iter = 0; iter < 240; ++iter) {
        const int factor = 1 + iter % 4;
        const auto in = random_bytes(rng, rng() % 3000, 1 + rng() % 256);
        round_trip(in, factor);

        const auto garbage = random_bytes(rng, rng() % 600);
        const int32_t out_last = static_cast<int32_t>(rng() % 5000) - 1;
        std::vector<uint8_t> data = garbage;
        Unreduce(data, static_cast<int16_t>(factor + 1), out_last);
        EXPECT_EQ(data, reference_unreduce(garbage, factor + 1, out_last)) << "iteration " << iter;
    }
}

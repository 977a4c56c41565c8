// Guards the parts of the RAR 2.9-4.x stream that the real archives at hand
// exercise thinly or not at all: table changes with and without kept
// lengths, low-distance repeats, short and far distances up to the 4 MiB
// window edge, filter records placed ahead of their block and reusing
// programs and lengths, the audio filter, and solid groups with empty entries
// and tables carried over. Archives come from the test writer; each must
// decode to its source data, and unar must agree.
#include "support/Rar3TestSupport.h"
#include "support/Rar3TestWriter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>

using namespace velmora;
using namespace velmora::test;

namespace {

std::vector<uint8_t> words(size_t n, uint32_t seed)
{
    static const char* const vocabulary[] = {"archive", "entry", "window", "filter", "delta", "the", "and",
                                             "of",      "table", "symbol", "length", "distance", "block", "\n"};
    std::mt19937 r(seed);
    std::vector<uint8_t> v;
    while (v.size() < n) {
        const std::string w = vocabulary[r() % std::size(vocabulary)];
        v.insert(v.end(), w.begin(), w.end());
        v.push_back(' ');
        if (r() % 9 == 0)
            for (unsigned i = 0, k = 1 + r() % 24; i < k; ++i)
                v.push_back(static_cast<uint8_t>(r()));
    }
    v.resize(n);
    return v;
}


// x86-like code: CALL and JMP opcodes with near relative targets among filler.
std::vector<uint8_t> code_like(size_t n, uint32_t seed)
{
    std::mt19937 r(seed);
    std::vector<uint8_t> v;
    while (v.size() < n) {
        if (r() % 4 == 0) {
            v.push_back(r() % 3 == 0 ? 0xE9 : 0xE8);
            const int32_t rel = static_cast<int32_t>(r() % 40000) - 20000;
            for (int k = 0; k < 4; ++k)
                v.push_back(static_cast<uint8_t>(static_cast<uint32_t>(rel) >> (8 * k)));
        } else {
            static const uint8_t ops[] = {0x55, 0x89, 0xE5, 0x8B, 0x45, 0x08, 0x83, 0xEC, 0x10, 0xC3, 0x90};
            v.push_back(ops[r() % std::size(ops)]);
        }
    }
    v.resize(n);
    return v;
}

// Interleaved 8-bit samples of slow waves, one per channel.
std::vector<uint8_t> audio_like(size_t n, unsigned channels, uint32_t seed)
{
    std::mt19937 r(seed);
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        const unsigned c = static_cast<unsigned>(i % channels);
        const double t = static_cast<double>(i / channels);
        v[i] = static_cast<uint8_t>(128 + 90 * std::sin(t / (7.0 + c)) + static_cast<int>(r() % 7) - 3);
    }
    return v;
}

struct entry_plan {
    std::vector<uint8_t> data;
    std::vector<rar3_filter_use> filters;
    bool new_tables = true;
};

struct stream_case {
    const char* name;
    bool solid;
    rar3_stream_options options;
    std::function<std::vector<entry_plan>()> entries;
};

std::vector<entry_plan> one(std::vector<uint8_t> data, std::vector<rar3_filter_use> filters = {})
{
    return {{std::move(data), std::move(filters), true}};
}

rar3_stream_options opts(size_t block_items, bool keep_old, bool low_repeat, bool literals_only = false)
{
    rar3_stream_options o;
    o.block_items = block_items;
    o.keep_old_lengths = keep_old;
    o.low_dist_repeat = low_repeat;
    o.literals_only = literals_only;
    return o;
}

// Far repeats: a 4 KiB random piece again after 9 KiB (one length bonus),
// after 300 KiB (two), and at the window's last distance, 4 MiB - 1. The
// filler between is zeros, which the encoder packs quickly into long matches.
std::vector<uint8_t> far_repeats()
{
    const std::vector<uint8_t> piece = random_bytes(4096, 7);
    std::vector<uint8_t> v = piece;
    auto filler = [&](size_t n) { v.insert(v.end(), n, 0); };
    filler(9000);
    v.insert(v.end(), piece.begin(), piece.end());
    filler(300000);
    const size_t start = v.size();
    v.insert(v.end(), piece.begin(), piece.end());
    filler((1u << 22) - 1 - (v.size() - start));
    v.insert(v.end(), piece.begin(), piece.end()); // exactly 4 MiB - 1 after the copy at `start`
    return v;
}

const stream_case cases[] = {
    {"one_block", false, opts(0, true, true), [] { return one(words(150000, 1)); }},
    {"tables_every_400_symbols_kept_lengths", false, opts(400, true, true), [] { return one(words(120000, 2)); }},
    {"tables_every_400_symbols_fresh_lengths", false, opts(400, false, true), [] { return one(words(120000, 3)); }},
    {"no_low_distance_repeats", false, opts(0, true, false), [] { return one(words(120000, 4)); }},
    {"literals_only", false, opts(0, true, true, true), [] { return one(random_bytes(40000, 5)); }},
    {"far_and_window_edge_distances", false, opts(0, true, true), [] { return one(far_repeats()); }},
    {"e8_filter", false, opts(0, true, true),
     [] { return one(code_like(90000, 6), {{1000, 60000, Rar3FilterKind::e8}}); }},
    {"e8e9_filter_record_far_ahead", false, opts(0, true, true),
     [] { return one(code_like(90000, 7), {{5000, 70000, Rar3FilterKind::e8e9, 0, 0, 3000}}); }},
    {"delta_filters_reusing_program_and_length", false, opts(0, true, true),
     [] {
         return one(audio_like(120000, 3, 8), {{0, 30000, Rar3FilterKind::delta, 3},
                                               {30000, 30000, Rar3FilterKind::delta, 3},
                                               {60000, 30000, Rar3FilterKind::delta, 3},
                                               {95000, 20000, Rar3FilterKind::delta, 3, 0, 260}});
     }},
    {"audio_filter_two_channels", false, opts(0, true, true),
     [] { return one(audio_like(80000, 2, 9), {{2000, 60000, Rar3FilterKind::audio, 2}}); }},
    {"mixed_filters", false, opts(500, true, true),
     [] {
         std::vector<uint8_t> v = code_like(40000, 10);
         const auto a = audio_like(40000, 4, 11);
         v.insert(v.end(), a.begin(), a.end());
         return one(v, {{0, 40000, Rar3FilterKind::e8e9}, {40000, 40000, Rar3FilterKind::audio, 4}});
     }},
    {"solid_group", true, opts(700, true, true),
     [] {
         std::vector<entry_plan> e;
         e.push_back({words(30000, 12), {}, true});
         e.push_back({code_like(50000, 13), {{100, 40000, Rar3FilterKind::e8}}, false});
         e.push_back({words(30000, 12), {}, false}); // repeats the first entry
         e.push_back({audio_like(30000, 2, 14), {{0, 30000, Rar3FilterKind::audio, 2}}, true});
         e.push_back({code_like(20000, 15), {{500, 15000, Rar3FilterKind::e8}}, false});
         // Empty: stored, as WinRAR writes it. Last, because unar 1.10 loses
         // its place in a solid group after an empty entry.
         e.push_back({{}, {}, true});
         return e;
     }},
    {"separate_streams", false, opts(0, true, true),
     [] {
         std::vector<entry_plan> e;
         e.push_back({words(30000, 16), {}, true});
         e.push_back({{}, {}, true});
         e.push_back({code_like(50000, 17), {{100, 40000, Rar3FilterKind::e8}}, true});
         return e;
     }},
};

class Rar3SynthesizedStream : public ::testing::TestWithParam<stream_case> {};

TEST_P(Rar3SynthesizedStream, DecodesToSourceAndUnarAgrees)
{
    const stream_case& c = GetParam();
    const std::vector<entry_plan> plan = c.entries();
    std::vector<rar3_entry_input> inputs;
    std::vector<std::string> names;
    for (size_t i = 0; i < plan.size(); ++i) {
        inputs.push_back({plan[i].data, plan[i].filters, plan[i].new_tables, true});
        names.push_back("entry" + std::to_string(i) + ".bin");
    }
    const std::vector<uint8_t> archive = rar3_make_archive(names, inputs, c.solid, c.options);
    const rar_archive a = walk_rar(archive);
    ASSERT_TRUE(a.ok);
    ASSERT_EQ(a.entries.size(), plan.size());

    const std::vector<rar3_decoded> ours = rar3_decode_all(archive, a);
    for (size_t i = 0; i < plan.size(); ++i) {
        SCOPED_TRACE(names[i]);
        ASSERT_EQ(ours[i].status, DecodeStatus::ok) << decode_status_name(ours[i].status);
        EXPECT_TRUE(ours[i].data == plan[i].data);
    }

    if (!have_tool("unar"))
        GTEST_SKIP() << "unar not installed";
    TempDir dir;
    const std::filesystem::path path = dir / "synthesized.rar";
    write_file(path, archive);
    for (size_t i = 0; i < plan.size(); ++i) {
        SCOPED_TRACE(names[i]);
        const auto theirs = unar_entry(path, i);
        ASSERT_TRUE(theirs.has_value()) << "unar failed";
        EXPECT_TRUE(*theirs == plan[i].data);
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, Rar3SynthesizedStream, ::testing::ValuesIn(cases),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

} // namespace

// Guards Shrink and Implode against streams that real archives seldom hold:
// partial clears, 13-bit codes, the KwKwK code, copies from the zeroed
// dictionary, the extra length byte, all four Implode settings. A test encoder
// makes the streams; our decoder, the plain reference decoder and Info-ZIP
// unzip must all give back the input.
#include "legacy_zip_test_codecs.h"
#include "support/TestSupport.h"
#include "support/ZipEntries.h"

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;

namespace {

struct sample_case {
    const char* name;
    sample_kind kind;
    size_t size;
};
constexpr sample_case samples[] = {
    {"text", sample_kind::text, 300000},          {"binary", sample_kind::binary, 200000},
    {"runs", sample_kind::runs, 120000},          {"random", sample_kind::random, 60000},
    {"zeros_then_text", sample_kind::zeros_then_text, 40000}, {"one_byte", sample_kind::text, 1},
};

// Extracts every entry with unzip -p and compares it with its content.
void expect_unzip_agrees(const std::vector<raw_zip_new_entry>& entries)
{
    if (!have_tool("unzip"))
        return;
    TempDir dir;
    write_file(dir / "t.zip", make_raw_zip(entries));
    for (const auto& e : entries) {
        std::string peer;
        EXPECT_EQ(run_command("unzip -p " + shell_quote((dir / "t.zip").string()) + " " + e.name, &peer), 0) << e.name;
        EXPECT_TRUE(same_bytes(e.content, peer)) << e.name;
    }
}

} // namespace

TEST(ShrinkRoundTrip, OurDecoderTheReferenceAndUnzipRestoreTheInput)
{
    std::vector<raw_zip_new_entry> entries;
    shrink_encode_stats total;
    for (const auto& sc : samples) {
        // 0: clear only when all 8192 codes are taken; else clear often.
        for (const unsigned clear_every : {0u, 700u, 5000u}) {
            SCOPED_TRACE(std::string(sc.name) + " clear_every " + std::to_string(clear_every));
            const auto data = make_sample(sc.kind, sc.size);
            shrink_encode_stats st;
            const auto stream = shrink_encode(data, {clear_every}, &st);
            total.partial_clears += st.partial_clears;
            total.kwkwk += st.kwkwk;
            total.orphans += st.orphans;
            total.max_code_bits = std::max(total.max_code_bits, st.max_code_bits);

            const auto r = decode_zip_method(1, 0, stream, data.size());
            EXPECT_EQ(decode_status_name(r.status), "ok");
            EXPECT_TRUE(r.out == data);
            std::vector<uint8_t> ref;
            EXPECT_TRUE(shrink_reference_decode(stream, data.size(), ref));
            EXPECT_TRUE(ref == data);
            entries.push_back({std::string(sc.name) + "_" + std::to_string(clear_every), 1, 0, stream, data});
        }
    }
    // The samples reach what the test is for.
    EXPECT_GT(total.partial_clears, 10u);
    EXPECT_GT(total.kwkwk, 100u);
    EXPECT_GT(total.orphans, 0u);
    EXPECT_EQ(total.max_code_bits, 13u);
    expect_unzip_agrees(entries);
}

TEST(ImplodeRoundTrip, AllFourSettingsRestoreTheInput)
{
    std::vector<raw_zip_new_entry> entries;
    implode_encode_stats total;
    for (const uint16_t flags : {0, 2, 4, 6}) {
        for (const auto& sc : samples) {
            SCOPED_TRACE(std::string(sc.name) + " flags " + std::to_string(flags));
            const auto data = make_sample(sc.kind, sc.size, flags + 7);
            implode_encode_stats st;
            const auto stream = implode_encode(data, flags, {}, &st);
            total.extra_length_copies += st.extra_length_copies;
            total.prefix_copies += st.prefix_copies;
            total.overlapping_copies += st.overlapping_copies;
            total.longest_code = std::max(total.longest_code, st.longest_code);

            const auto r = decode_zip_method(6, flags, stream, data.size());
            EXPECT_EQ(decode_status_name(r.status), "ok");
            EXPECT_TRUE(r.out == data);
            std::vector<uint8_t> ref;
            EXPECT_TRUE(implode_reference_decode(stream, data.size(), flags, ref));
            EXPECT_TRUE(ref == data);
            entries.push_back({std::string(sc.name) + "_" + std::to_string(flags), 6, flags, stream, data});
        }
    }
    EXPECT_GT(total.extra_length_copies, 100u);
    EXPECT_GT(total.prefix_copies, 0u);
    EXPECT_GT(total.overlapping_copies, 100u);
    EXPECT_GT(total.longest_code, 11u);   // past the decoder's one-lookup table
    expect_unzip_agrees(entries);
}

// Guards the PPMd variant H model against drifting from the encoder: 7-Zip's
// PPMd method (the same model under another range coder) must decode byte
// for byte through Ppmd7Model and Ppmd7zRangeDecoder, at orders 2 to 32 and
// with models small enough to fill up and restart many times (the sub-
// allocator's gluing and restarts decide every later probability); a model
// started again in the arena it used before must decode the same.
#include "codecs/Ppmd7Model.h"
#include "codecs/Ppmd7zRangeDecoder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <span>

using namespace velmora;
using namespace velmora::test;

namespace {

struct span_reader {
    std::span<const uint8_t> data;
    size_t pos = 0;
    uint8_t read_byte() { return pos < data.size() ? data[pos++] : 0; }
};

// Text-like runs mixed with binary stretches and long repeats.
std::vector<uint8_t> model_input(size_t n)
{
    static const char* const vocabulary[] = {"model", "context", "symbol", "escape", "order", "the", "of", "frequency",
                                             "\n",    "suffix",  "unit",   "glue",   "text",  "a",   "to", "memory"};
    std::mt19937 r(99);
    std::vector<uint8_t> v;
    while (v.size() < n) {
        const unsigned kind = r() % 10;
        if (kind < 7) {
            const std::string w = vocabulary[r() % std::size(vocabulary)];
            v.insert(v.end(), w.begin(), w.end());
            v.push_back(kind == 0 ? ',' : ' ');
        } else if (kind < 9) {
            for (unsigned i = 0, k = r() % 64; i < k; ++i)
                v.push_back(static_cast<uint8_t>(r() & (kind == 7 ? 0xFF : 0x0F)));
        } else if (v.size() > 4096) {
            const size_t from = r() % (v.size() - 2048);
            v.insert(v.end(), v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + r() % 2048));
        }
    }
    v.resize(n);
    return v;
}

struct seven_zip_stream {
    unsigned order = 0;
    uint32_t memory = 0;
    std::vector<uint8_t> packed; // from offset 32 of the .7z file: the packed stream, then headers
};

// Compresses `input` with 7-Zip's PPMd (plain headers) and finds the coder's
// properties: the coder record 0x23 (id size 3, with properties), id 03 04 01,
// 5 property bytes (order, memory size).
seven_zip_stream seven_zip_ppmd(const std::vector<uint8_t>& input, unsigned order, unsigned mem_log)
{
    TempDir dir;
    write_file(dir / "in.bin", input);
    const std::string cmd = "cd " + shell_quote(dir.str()) + " && 7z a -bd -m0=PPMd:o=" + std::to_string(order) +
                            ":mem=" + std::to_string(mem_log) + " -mhc=off out.7z in.bin >/dev/null 2>&1";
    seven_zip_stream s;
    if (run_command(cmd) != 0)
        return s;
    const std::vector<uint8_t> file = read_file(dir / "out.7z");
    static const uint8_t coder[] = {0x23, 0x03, 0x04, 0x01, 0x05};
    for (size_t i = 32; i + sizeof coder + 5 <= file.size(); ++i)
        if (std::memcmp(&file[i], coder, sizeof coder) == 0) {
            s.order = file[i + 5];
            std::memcpy(&s.memory, &file[i + 6], 4);
        }
    s.packed.assign(file.begin() + 32, file.end());
    return s;
}

std::vector<int> decode_all(Ppmd7Model& m, const seven_zip_stream& s, size_t count)
{
    m.init(s.order);
    span_reader in{s.packed, 0};
    Ppmd7zRangeDecoder<span_reader> rc(in);
    std::vector<int> out;
    if (!rc.init())
        return out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const int c = m.decode_symbol(rc);
        out.push_back(c);
        if (c < 0)
            break;
    }
    return out;
}

struct model_case {
    unsigned order;
    unsigned mem_log; // model size 2^mem_log bytes
};

class Ppmd7SevenZip : public ::testing::TestWithParam<model_case> {};

TEST_P(Ppmd7SevenZip, DecodesSevenZipStreamsExactly)
{
    if (!have_tool("7z"))
        GTEST_SKIP() << "7z not installed";
    const model_case& c = GetParam();
    const std::vector<uint8_t> input = model_input(250000);
    const seven_zip_stream s = seven_zip_ppmd(input, c.order, c.mem_log);
    ASSERT_EQ(s.order, c.order) << "7z did not write the expected coder";
    ASSERT_EQ(s.memory, 1u << c.mem_log);

    Ppmd7Model m;
    ASSERT_TRUE(m.allocate(s.memory));
    const std::vector<int> first = decode_all(m, s, input.size());
    ASSERT_EQ(first.size(), input.size());
    for (size_t i = 0; i < input.size(); ++i)
        ASSERT_EQ(first[i], input[i]) << "symbol " << i;

    // The same arena, full of the last run's records: a new start must not see them.
    ASSERT_TRUE(m.allocate(s.memory));
    EXPECT_EQ(decode_all(m, s, input.size()), first);
}

INSTANTIATE_TEST_SUITE_P(Orders, Ppmd7SevenZip,
                         ::testing::Values(model_case{2, 16}, model_case{4, 16}, model_case{6, 18}, model_case{8, 20},
                                           model_case{16, 17}, model_case{32, 16}, model_case{32, 20}),
                         [](const auto& param_info) {
                             return "order" + std::to_string(param_info.param.order) + "_mem2e" +
                                    std::to_string(param_info.param.mem_log);
                         });

TEST(Ppmd7Model, RefusesSizesOutsideItsRange)
{
    Ppmd7Model m;
    EXPECT_FALSE(m.allocate(Ppmd7Model::min_memory - 1));
    EXPECT_FALSE(m.allocated());
    EXPECT_TRUE(m.allocate(Ppmd7Model::min_memory));
    EXPECT_TRUE(m.allocated());
}

} // namespace

// Guards the LHA decoders against wrong code tables, window sizes, block
// changes and window slides by decoding what jlha writes at test time (-lh0-,
// -lh5-, -lh6-, -lh7-; header levels 0 to 2; folders) and comparing with the
// original files, the stored CRC-16 and what lhasa prints for the archive.
#include "codecs/Crc16.h"
#include "support/LhaArjArchives.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

using namespace velmora;
using namespace velmora::test;

namespace {

// Text over a small vocabulary (long matches, several Huffman blocks),
// random bytes (stored or near-stored), runs longer than any window, and the
// edge sizes 0 and 1.
std::map<std::string, std::vector<uint8_t>> make_inputs()
{
    std::mt19937 rng(11);
    std::map<std::string, std::vector<uint8_t>> files;
    static const char* words[] = {"archive ", "entry ", "window ", "the ", "of ", "\r\n", "LHarc ", "12345 ", "-lh5- "};
    auto& text = files["text.txt"];
    while (text.size() < 900000) {
        const std::string w = words[rng() % std::size(words)];
        text.insert(text.end(), w.begin(), w.end());
    }
    auto& random = files["random.bin"];
    for (int i = 0; i < 70000; ++i) random.push_back(static_cast<uint8_t>(rng()));
    // Text, then random bytes, then the text again 200 KiB later: a copy
    // from beyond 64 KiB must not happen, one from within must be right.
    auto& mixed = files["sub/mixed.bin"];
    mixed.assign(text.begin(), text.begin() + 40000);
    for (int i = 0; i < 200000; ++i) mixed.push_back(static_cast<uint8_t>(rng() % 7 == 0 ? rng() : 'x'));
    mixed.insert(mixed.end(), text.begin(), text.begin() + 60000);
    files["sub/runs.bin"] = std::vector<uint8_t>(300000, 0xAA);
    files["empty.txt"] = {};
    files["one.txt"] = {'1'};
    return files;
}

struct tool_case {
    const char* options; // jlha's command letters
    const char* method;  // what the compressible files must be stored with
    int level;
};

class LhaToolRoundTrip : public ::testing::TestWithParam<tool_case> {};

TEST_P(LhaToolRoundTrip, MembersMatchTheOriginalsAndLhasa)
{
    if (!have_tool("jlha")) GTEST_SKIP() << "jlha (jlha-utils) is not installed";
    const tool_case& c = GetParam();
    TempDir dir;
    const auto inputs = make_inputs();
    std::filesystem::create_directories(dir / "sub");
    for (const auto& [name, bytes] : inputs) write_file(dir / name, bytes);
    const std::string archive = (dir / "a.lzh").string();
    ASSERT_EQ(run_command("cd " + shell_quote(dir.str()) + " && jlha " + c.options + " a.lzh text.txt random.bin sub " +
                          "sub/mixed.bin sub/runs.bin empty.txt one.txt >/dev/null 2>&1"),
              0);

    const std::vector<uint8_t> a = read_file(archive);
    const auto members = list_lzh(a);
    ASSERT_GE(members.size(), inputs.size());
    std::vector<uint8_t> all;
    size_t files = 0;
    bool saw_folder = false;
    bool saw_method = false;
    for (const auto& m : members) {
        SCOPED_TRACE(m.name + " " + m.method);
        EXPECT_EQ(m.level, c.level);
        if (m.method == "lhd") {
            saw_folder = true;
            EXPECT_EQ(decode_lzh_member(a, m).status, DecodeStatus::ok);
            continue;
        }
        saw_method |= m.method == c.method;
        const decode_result r = decode_lzh_member(a, m);
        ASSERT_EQ(r.status, DecodeStatus::ok);
        EXPECT_EQ(crc16_update(0, r.bytes), m.crc16);
        const auto original = inputs.find(m.name);
        ASSERT_NE(original, inputs.end());
        EXPECT_TRUE(r.bytes == original->second) << "differs from the original";
        all.insert(all.end(), r.bytes.begin(), r.bytes.end());
        ++files;
    }
    EXPECT_TRUE(saw_folder);
    EXPECT_TRUE(saw_method) << "no member stored with -" << c.method << "-";
    EXPECT_GE(files, inputs.size());

    if (have_tool("lhasa")) {
        std::string printed;
        ASSERT_EQ(run_command("lhasa -pq " + shell_quote(archive), &printed), 0);
        EXPECT_TRUE(std::vector<uint8_t>(printed.begin(), printed.end()) == all) << "differs from lhasa -p";
    }
}

INSTANTIATE_TEST_SUITE_P(Jlha, LhaToolRoundTrip,
                         ::testing::Values(tool_case{"c0o5", "lh5", 0}, tool_case{"c1o5", "lh5", 1},
                                           tool_case{"c2o5", "lh5", 2}, tool_case{"c0o6", "lh6", 0},
                                           tool_case{"c1o6", "lh6", 1}, tool_case{"c2o7", "lh7", 2},
                                           tool_case{"c1o7", "lh7", 1}, tool_case{"c2z", "lh0", 2}),
                         [](const auto& row) { return std::string(row.param.options); });

} // namespace

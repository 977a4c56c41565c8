// Guards the ARJ decoders (methods 0 to 4) and the garble unscrambling
// against wrong parameters, bit order or key use by decoding what arj writes
// at test time and comparing with the original files and the stored CRC-32;
// a wrong password must never pass.
#include "archive/Cls_CRC32.h"
#include "support/LhaArjArchives.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

using namespace velmora;
using namespace velmora::test;

namespace {

std::map<std::string, std::vector<uint8_t>> make_inputs()
{
    std::mt19937 rng(7);
    std::map<std::string, std::vector<uint8_t>> files;
    static const char* words[] = {"ARJ ", "archive ", "method ", "fastest ", "the ", "\r\n", "garble ", "999 "};
    auto& text = files["text.txt"];
    while (text.size() < 700000) {
        const std::string w = words[rng() % std::size(words)];
        text.insert(text.end(), w.begin(), w.end());
    }
    auto& random = files["random.bin"];
    for (int i = 0; i < 50000; ++i) random.push_back(static_cast<uint8_t>(rng()));
    // A repeat 20,000 bytes back (inside the 26,624-byte window) after a
    // stretch that does not compress.
    auto& mixed = files["mixed.bin"];
    mixed.assign(text.begin(), text.begin() + 5000);
    for (int i = 0; i < 15000; ++i) mixed.push_back(static_cast<uint8_t>(rng()));
    mixed.insert(mixed.end(), text.begin(), text.begin() + 5000);
    files["runs.bin"] = std::vector<uint8_t>(200000, 0x55);
    files["one.txt"] = {'1'};
    files["empty.txt"] = {};
    return files;
}

struct arj_case {
    const char* name;
    const char* switches;
    const char* password; // "" for none
};

class ArjToolRoundTrip : public ::testing::TestWithParam<arj_case> {};

TEST_P(ArjToolRoundTrip, MembersMatchTheOriginals)
{
    if (!have_tool("arj")) GTEST_SKIP() << "arj is not installed";
    const arj_case& c = GetParam();
    TempDir dir;
    const auto inputs = make_inputs();
    for (const auto& [name, bytes] : inputs) write_file(dir / name, bytes);
    std::string cmd = "cd " + shell_quote(dir.str()) + " && arj a -y " + c.switches;
    if (*c.password) cmd += " " + shell_quote(std::string("-g") + c.password);
    cmd += " a.arj";
    for (const auto& [name, bytes] : inputs) cmd += " " + name;
    ASSERT_EQ(run_command(cmd + " >/dev/null 2>&1"), 0);

    const std::vector<uint8_t> a = read_file(dir / "a.arj");
    const auto members = list_arj(a);
    ASSERT_EQ(members.size(), inputs.size());
    for (const auto& m : members) {
        SCOPED_TRACE(m.name);
        EXPECT_EQ((m.flags & 0x01) != 0, *c.password != 0) << "garble flag";
        const decode_result r = decode_arj_member(a, m, c.password);
        ASSERT_EQ(r.status, DecodeStatus::ok) << "method " << int(m.method);
        EXPECT_EQ(crc32_update(0, r.bytes), m.crc32);
        EXPECT_TRUE(r.bytes == inputs.at(m.name)) << "differs from the original";
        if (*c.password && m.size > 16) {
            // A wrong password decodes to something else, or fails.
            const decode_result wrong = decode_arj_member(a, m, "Secret");
            EXPECT_FALSE(wrong.status == DecodeStatus::ok && crc32_update(0, wrong.bytes) == m.crc32);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Arj, ArjToolRoundTrip,
    ::testing::Values(arj_case{"m0", "-m0", ""}, arj_case{"m1", "-m1", ""}, arj_case{"m2", "-m2", ""},
                      arj_case{"m3", "-m3", ""}, arj_case{"m4", "-m4", ""}, arj_case{"m1_garbled", "-m1", "secret"},
                      arj_case{"m4_garbled", "-m4", "pass word 8"}, arj_case{"m0_garbled", "-m0", "x"},
                      arj_case{"m2_owner", "-m2 -2o", ""}, arj_case{"m1_dos_host", "-m1 -2d", ""}),
    [](const auto& row) { return std::string(row.param.name); });

// Methods 1 to 3 share one decoder; they must each have been used for
// something that compresses (arj stores what does not).
TEST(ArjToolRoundTrip, CompressedMethodsAreWrittenAsAsked)
{
    if (!have_tool("arj")) GTEST_SKIP() << "arj is not installed";
    TempDir dir;
    write_file(dir / "t.txt", std::string(30000, 'a') + "tail");
    for (int method = 1; method <= 4; ++method) {
        const std::string name = "m" + std::to_string(method) + ".arj";
        ASSERT_EQ(run_command("cd " + shell_quote(dir.str()) + " && arj a -y -m" + std::to_string(method) + " " + name +
                              " t.txt >/dev/null 2>&1"),
                  0);
        const auto a = read_file(dir / name);
        const auto members = list_arj(a);
        ASSERT_EQ(members.size(), 1u);
        EXPECT_EQ(members[0].method, method);
        EXPECT_LT(members[0].packed_size, 1000u);
        const decode_result r = decode_arj_member(a, members[0]);
        EXPECT_EQ(r.status, DecodeStatus::ok);
        EXPECT_EQ(std::string(r.bytes.begin(), r.bytes.end()), std::string(30000, 'a') + "tail");
    }
}

// The committed fixtures (arj 3.10, see tests/data/arj/make-fixtures.sh):
// every method, a member garbled with "secret", host MS-DOS, owner data.
TEST(ArjFixtures, MembersDecodeToTheirCrc)
{
    size_t files = 0;
    for (const char* name : {"methods.arj", "dos.arj", "owner.arj"}) {
        SCOPED_TRACE(name);
        const auto a = read_file(data_dir() / "arj" / name);
        for (const auto& m : list_arj(a)) {
            if (m.file_type == 3) continue; // a folder
            SCOPED_TRACE(m.name);
            const decode_result r = decode_arj_member(a, m, "secret");
            ASSERT_EQ(r.status, DecodeStatus::ok);
            EXPECT_EQ(crc32_update(0, r.bytes), m.crc32);
            ++files;
        }
    }
    EXPECT_EQ(files, 10u);
}

} // namespace

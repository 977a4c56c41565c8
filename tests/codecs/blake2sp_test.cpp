// Guards the BLAKE2sp checksum of RAR 5 entries against wrong tree parameters,
// a wrong split of the input over the eight leaves, and final-block handling
// that depends on how the input arrives in pieces.
#include "codecs/Blake2sp.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <fstream>
#include <random>
#include <sstream>

using namespace velmora;
using namespace velmora::test;

namespace {

std::string hex(std::span<const uint8_t> b)
{
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (const uint8_t c : b) {
        s.push_back(digits[c >> 4]);
        s.push_back(digits[c & 15]);
    }
    return s;
}

std::array<uint8_t, 32> plain_blake2s(std::span<const uint8_t> data)
{
    Blake2sp::node n;
    n.init(1, 1, 0, 0, 0, false);
    n.update(data);
    return n.finish();
}

// The same input fed in pieces of varying size must give the same digest.
std::array<uint8_t, 32> blake2sp_in_pieces(std::span<const uint8_t> data, std::mt19937& rng)
{
    Blake2sp h;
    while (!data.empty()) {
        const size_t n = std::min<size_t>(data.size(), rng() % 3 == 0 ? rng() % 1500 : rng() % 70);
        h.update(data.first(n));
        data = data.subspan(n);
    }
    return h.finish();
}

TEST(Blake2sp, ReferenceKnownAnswers)
{
    std::ifstream in(data_dir() / "blake2" / "blake2s-blake2sp-unkeyed-kat.txt");
    ASSERT_TRUE(in) << "KAT file missing";
    std::string line;
    unsigned checked_s = 0, checked_sp = 0;
    std::mt19937 rng(1);
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string name, digest;
        size_t len = 0;
        fields >> name >> len >> digest;
        std::vector<uint8_t> input(len);
        for (size_t i = 0; i < len; ++i)
            input[i] = static_cast<uint8_t>(i);
        SCOPED_TRACE(line);
        if (name == "blake2s") {
            EXPECT_EQ(hex(plain_blake2s(input)), digest);
            ++checked_s;
        } else if (name == "blake2sp") {
            EXPECT_EQ(hex(blake2sp(input)), digest);
            EXPECT_EQ(hex(blake2sp_in_pieces(input, rng)), digest);
            ++checked_sp;
        }
    }
    EXPECT_EQ(checked_s, 256u);
    EXPECT_EQ(checked_sp, 256u);
}

// The KAT inputs stop at 255 bytes, where leaves 4-7 see no data at all.
// These longer digests come from Python's hashlib.blake2s with the tree
// parameters set (fanout 8, depth 2, node offsets, inner size 32, last node),
// an implementation independent of ours; the input is byte i = i mod 251.
TEST(Blake2sp, LongInputsAgreeWithAnIndependentTreeAndAnyPieces)
{
    const struct {
        size_t len;
        const char* digest;
    } cases[] = {
        {1000, "611f1af6610cdaf674ec2c9178f6376ebe234ef50998a3be3f1fa698fb779274"},
        {4109, "d334d108d8154ac7422d9df40ce44367f3d4e840745439901def05c1ecc6720b"},
        {100000, "eb7050ea034453a75de798404d87f5568c4c0c6a7cccba79bd5863a40a33d10b"},
        {1u << 20, "65f05ea2b52b252474eadbcc69d159009c3b7b98e2c630a3056561269d78656e"},
    };
    std::mt19937 rng(2);
    for (const auto& c : cases) {
        std::vector<uint8_t> input(c.len);
        for (size_t i = 0; i < c.len; ++i)
            input[i] = static_cast<uint8_t>(i % 251);
        EXPECT_EQ(hex(blake2sp(input)), c.digest) << c.len;
        EXPECT_EQ(hex(blake2sp_in_pieces(input, rng)), c.digest) << c.len;
    }
}

// The BLAKE2s core against OpenSSL's BLAKE2s-256 on lengths around the block
// edges and beyond the KAT's 255 bytes.
TEST(Blake2sp, CoreAgreesWithOpenSsl)
{
    std::mt19937 rng(3);
    for (const size_t len : {size_t{63}, size_t{64}, size_t{65}, size_t{128}, size_t{129}, size_t{4096}, size_t{70001}}) {
        std::vector<uint8_t> input(len);
        for (auto& b : input)
            b = static_cast<uint8_t>(rng());
        std::array<uint8_t, 32> ref{};
        unsigned ref_len = 0;
        ASSERT_EQ(EVP_Digest(input.data(), input.size(), ref.data(), &ref_len, EVP_blake2s256(), nullptr), 1);
        ASSERT_EQ(ref_len, 32u);
        EXPECT_EQ(hex(plain_blake2s(input)), hex(ref)) << len;
    }
}

} // namespace

// Guards the RAR 5 password check against accepting wrong passwords or
// refusing right ones: the check value rarfile's rar5-psw.rar stores for
// "password" (salt and count from the same header) must be what our PBKDF2
// chain gives, and a damaged check record must leave the decision to the data.
#include "codecs/RarKeys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace velmora;

namespace {

std::vector<uint8_t> unhex(const std::string& h)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}

TEST(RarKeys, Rar5CheckValueOfAStoredArchive)
{
    const auto salt = unhex("7e982cdd1ae21c36c7a391da8d088a68");
    const auto check = unhex("8151cff63649c16e186a220f");
    const auto right = rar_keys::derive_rar5("password", salt, 15);
    ASSERT_TRUE(right.has_value());
    EXPECT_EQ(std::vector<uint8_t>(right->check.begin(), right->check.end()), std::vector<uint8_t>(check.begin(), check.begin() + 8));
    EXPECT_TRUE(rar_keys::rar5_check_matches(*right, check));

    const auto wrong = rar_keys::derive_rar5("Password", salt, 15);
    ASSERT_TRUE(wrong.has_value());
    EXPECT_FALSE(rar_keys::rar5_check_matches(*wrong, check));
    // The three keys of the chain differ from each other.
    EXPECT_NE(right->key, right->hash_key);

    // A record whose own SHA-256 does not match cannot refuse anything.
    auto damaged = check;
    damaged[9] ^= 1;
    EXPECT_TRUE(rar_keys::rar5_check_matches(*wrong, damaged));

    // Exponents above RAR 5's limit are refused before any work.
    EXPECT_FALSE(rar_keys::derive_rar5("password", salt, rar_keys::rar5_max_log2_count + 1).has_value());
}

TEST(RarKeys, TweakedChecksumsDependOnTheHashKey)
{
    const auto salt = unhex("7e982cdd1ae21c36c7a391da8d088a68");
    const auto a = rar_keys::derive_rar5("password", salt, 0);
    const auto b = rar_keys::derive_rar5("passwore", salt, 0);
    ASSERT_TRUE(a && b);
    EXPECT_NE(rar_keys::rar5_tweaked_crc(*a, 0x12345678), rar_keys::rar5_tweaked_crc(*b, 0x12345678));
    EXPECT_NE(rar_keys::rar5_tweaked_crc(*a, 0x12345678), rar_keys::rar5_tweaked_crc(*a, 0x12345679));
    std::array<uint8_t, 32> digest{};
    EXPECT_NE(rar_keys::rar5_tweaked_blake2(*a, digest), rar_keys::rar5_tweaked_blake2(*b, digest));
}

TEST(RarKeys, Rar3KeyDependsOnPasswordAndSalt)
{
    const std::array<uint8_t, 8> salt1{1, 2, 3, 4, 5, 6, 7, 8};
    const std::array<uint8_t, 8> salt2{1, 2, 3, 4, 5, 6, 7, 9};
    const auto a = rar_keys::derive_rar3("password", salt1);
    const auto b = rar_keys::derive_rar3("password", salt2);
    const auto c = rar_keys::derive_rar3("passworD", salt1);
    const auto again = rar_keys::derive_rar3("password", salt1);
    ASSERT_TRUE(a && b && c && again);
    // The same derivation written out in Python's hashlib: 2^18 rounds of
    // UTF-16LE password, salt and round number; IV bytes after rounds 0,
    // 2^14, ...; the key words of the final digest in little-endian order.
    const auto key = unhex("413960312dec09cdfb250251fe1be37c");
    const auto iv = unhex("e32ca60bca0ab1c28908804ee237a3a8");
    EXPECT_EQ(std::vector<uint8_t>(a->key.begin(), a->key.end()), key);
    EXPECT_EQ(std::vector<uint8_t>(a->iv.begin(), a->iv.end()), iv);
    EXPECT_EQ(a->key, again->key);
    EXPECT_EQ(a->iv, again->iv);
    EXPECT_NE(a->key, b->key);
    EXPECT_NE(a->iv, b->iv);
    EXPECT_NE(a->key, c->key);
}

} // namespace

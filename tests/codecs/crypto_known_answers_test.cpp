// Guards the libcrypto wrapper against wrong algorithm choices, lost state
// between incremental calls, and a counter that runs the wrong way: published
// test vectors (FIPS 180, RFC 2202/4231/6070/7693, NIST SP 800-38A), pieces of
// every size against one-shot results, and the WinZip counter checked through
// the inverse cipher.
#include "codecs/Crypto.h"
#include "support/CodecTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace velmora;
using namespace velmora::test;
namespace crypto = velmora::crypto;

namespace {

std::string digest_hex(crypto::Hash h, std::span<const uint8_t> data)
{
    std::vector<uint8_t> out(crypto::digest_size(h));
    EXPECT_TRUE(crypto::digest(h, data, out));
    return to_hex(out);
}

struct DigestVector {
    crypto::Hash hash;
    std::string message;
    size_t repeat;
    std::string expected;
};

} // namespace

TEST(CryptoDigest, PublishedVectorsWholeAndInPieces)
{
    const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const std::vector<DigestVector> vectors = {
        {crypto::Hash::sha1, "abc", 1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {crypto::Hash::sha1, two_blocks, 1, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {crypto::Hash::sha1, "a", 1000000, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {crypto::Hash::sha256, "abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {crypto::Hash::sha256, two_blocks, 1, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {crypto::Hash::sha256, "a", 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {crypto::Hash::blake2s_256, "abc", 1, "508c5e8c327c14e2e1a72ba34eeb452f37458b209ed63a294d999b4c86675982"},
        {crypto::Hash::blake2s_256, "", 1, "69217a3079908094e11121d042354a7c1f55b6482ca1a51e1b250dfd1ed0eef9"},
    };
    for (const auto& v : vectors) {
        if (!crypto::available(v.hash)) {
            ASSERT_EQ(v.hash, crypto::Hash::blake2s_256) << "SHA-1 and SHA-256 are always there";
            continue;
        }
        std::vector<uint8_t> message;
        for (size_t i = 0; i < v.repeat; ++i) message.insert(message.end(), v.message.begin(), v.message.end());
        EXPECT_EQ(digest_hex(v.hash, message), v.expected) << v.message;

        // The same message fed in uneven pieces, with a look at the running
        // digest halfway that must not disturb it.
        crypto::Digest d(v.hash);
        ASSERT_TRUE(d.valid());
        size_t pos = 0;
        for (size_t piece = 1; pos < message.size(); piece = piece * 3 + 1) {
            const size_t n = std::min(piece, message.size() - pos);
            ASSERT_TRUE(d.update(std::span(message).subspan(pos, n)));
            pos += n;
            if (pos >= message.size() / 2 && pos - n < message.size() / 2) {
                std::vector<uint8_t> partial(d.size());
                ASSERT_TRUE(d.peek(partial));
                EXPECT_EQ(to_hex(partial), digest_hex(v.hash, std::span(message).first(pos)));
            }
        }
        std::vector<uint8_t> out(d.size());
        ASSERT_TRUE(d.finish(out));
        EXPECT_EQ(to_hex(out), v.expected);
        // finish() starts over: the empty message next.
        ASSERT_TRUE(d.finish(out));
        EXPECT_EQ(to_hex(out), digest_hex(v.hash, {}));
    }
}

TEST(CryptoDigest, RefusesShortOutput)
{
    crypto::Digest d(crypto::Hash::sha256);
    std::vector<uint8_t> out(31);
    EXPECT_FALSE(d.finish(out));
    EXPECT_FALSE(d.peek(out));
    EXPECT_FALSE(crypto::digest(crypto::Hash::sha1, bytes_of("abc"), std::span(out).first(19)));
}

TEST(CryptoHmac, Rfc2202And4231)
{
    struct Case {
        crypto::Hash hash;
        std::vector<uint8_t> key;
        std::string data;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {crypto::Hash::sha1, std::vector<uint8_t>(20, 0x0b), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {crypto::Hash::sha1, bytes_of("Jefe"), "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {crypto::Hash::sha1, std::vector<uint8_t>(80, 0xaa), "Test Using Larger Than Block-Size Key - Hash Key First",
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {crypto::Hash::sha1, {}, "", "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d"},
        {crypto::Hash::sha256, std::vector<uint8_t>(20, 0x0b), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {crypto::Hash::sha256, bytes_of("Jefe"), "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {crypto::Hash::sha256, std::vector<uint8_t>(131, 0xaa), "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    };
    for (const auto& c : cases) {
        const auto data = bytes_of(c.data);
        std::vector<uint8_t> out(crypto::digest_size(c.hash));
        ASSERT_TRUE(crypto::hmac(c.hash, c.key, data, out));
        EXPECT_EQ(to_hex(out), c.expected) << c.data;

        // Byte by byte, twice on one object: finish() keeps the key.
        crypto::Hmac m(c.hash, c.key);
        ASSERT_TRUE(m.valid());
        for (int round = 0; round < 2; ++round) {
            for (uint8_t b : data) ASSERT_TRUE(m.update(std::span(&b, 1)));
            std::fill(out.begin(), out.end(), 0);
            ASSERT_TRUE(m.finish(out));
            EXPECT_EQ(to_hex(out), c.expected) << c.data << " round " << round;
        }
        // reset() drops what was given so far.
        ASSERT_TRUE(m.update(bytes_of("not part of it")));
        ASSERT_TRUE(m.reset());
        ASSERT_TRUE(m.update(data));
        ASSERT_TRUE(m.finish(out));
        EXPECT_EQ(to_hex(out), c.expected);
    }
    EXPECT_FALSE(crypto::Hmac(crypto::Hash::blake2s_256, bytes_of("key")).valid());
}

TEST(CryptoPbkdf2, Rfc6070AndSha256)
{
    struct Case {
        crypto::Hash hash;
        std::string password, salt;
        uint32_t iterations;
        std::string expected;
    };
    using namespace std::string_literals;
    const std::vector<Case> cases = {
        {crypto::Hash::sha1, "password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
        {crypto::Hash::sha1, "password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
        {crypto::Hash::sha1, "password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
        {crypto::Hash::sha1, "passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
         "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
        {crypto::Hash::sha1, "pass\0word"s, "sa\0lt"s, 4096, "56fa6aa75548099dcc37d7f03425e0c3"},
        {crypto::Hash::sha256, "password", "salt", 1, "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b"},
        {crypto::Hash::sha256, "password", "salt", 4096,
         "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> out(c.expected.size() / 2);
        ASSERT_TRUE(crypto::pbkdf2_hmac(c.hash, bytes_of(c.password), bytes_of(c.salt), c.iterations, out));
        EXPECT_EQ(to_hex(out), c.expected) << c.password << " " << c.iterations;
    }
    std::vector<uint8_t> out(20);
    EXPECT_FALSE(crypto::pbkdf2_hmac(crypto::Hash::sha1, bytes_of("p"), bytes_of("s"), 0, out));
}

TEST(CryptoAesCbc, Sp800_38aDecryptInPieces)
{
    const auto plain = from_hex("6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
                                "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710");
    const auto iv = from_hex("000102030405060708090a0b0c0d0e0f");
    struct Case {
        std::string key, cipher;
    };
    const std::vector<Case> cases = {
        {"2b7e151628aed2a6abf7158809cf4f3c", "7649abac8119b246cee98e9b12e9197d 5086cb9b507219ee95db113a917678b2"
                                             "73bed6b8e3c1743b7116e69e22229516 3ff1caa1681fac09120eca307586e1a7"},
        {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
         "4f021db243bc633d7178183a9fa071e8 b4d9ada9ad7dedf4e5e738763f69145a"
         "571b242012fb7ae07fa9baac3df102e0 08b0e27988598881d920a9e64f5615cd"},
        {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
         "f58c4c04d6e5f1ba779eabfb5f7bfbd6 9cfc4e967edb808d679f777bc6702c7d"
         "39f23369a9d9bacfa530e26304231461 b2eb05e2c39be9fcda6c19078c6a9d1b"},
    };
    for (const auto& c : cases) {
        const auto key = from_hex(c.key);
        auto data = from_hex(c.cipher);
        crypto::AesCbcDecryptor whole;
        ASSERT_TRUE(whole.init(key, iv));
        ASSERT_TRUE(whole.decrypt(data));
        EXPECT_EQ(to_hex(data), to_hex(plain)) << c.key;

        // One block, then three: the chaining value carries over.
        data = from_hex(c.cipher);
        crypto::AesCbcDecryptor pieces;
        ASSERT_TRUE(pieces.init(key, iv));
        ASSERT_TRUE(pieces.decrypt(std::span(data).first(16)));
        EXPECT_FALSE(pieces.decrypt(std::span(data).subspan(16, 15))) << "not a whole block";
        ASSERT_TRUE(pieces.decrypt(std::span(data).subspan(16)));
        EXPECT_EQ(to_hex(data), to_hex(plain)) << c.key;
    }
    crypto::AesCbcDecryptor bad;
    EXPECT_FALSE(bad.init(from_hex("00112233"), iv));
    EXPECT_FALSE(bad.init(from_hex("2b7e151628aed2a6abf7158809cf4f3c"), from_hex("0001")));
}

// Block i of the key stream must be AES(key, i as a 16-byte little-endian
// number), counting from 1. Decrypting one key stream block with CBC and a
// zero IV runs the inverse cipher on it, which must give back the counter.
TEST(CryptoAesCtr, KeyStreamIsTheLittleEndianCounterEncrypted)
{
    for (size_t key_len : {16u, 24u, 32u}) {
        std::vector<uint8_t> key(key_len);
        for (size_t i = 0; i < key_len; ++i) key[i] = static_cast<uint8_t>(i * 7 + key_len);
        constexpr size_t blocks = 70000; // the counter's second and third bytes carry
        std::vector<uint8_t> stream(blocks * 16, 0);
        crypto::AesCtrLittleEndian ctr;
        ASSERT_TRUE(ctr.init(key));
        ASSERT_TRUE(ctr.apply(stream));
        const std::vector<uint8_t> zero_iv(16, 0);
        for (size_t n : {size_t{1}, size_t{2}, size_t{255}, size_t{256}, size_t{257}, size_t{65535}, size_t{65536},
                         size_t{65537}, blocks}) {
            std::vector<uint8_t> block(stream.begin() + (n - 1) * 16, stream.begin() + n * 16);
            crypto::AesCbcDecryptor inverse;
            ASSERT_TRUE(inverse.init(key, zero_iv));
            ASSERT_TRUE(inverse.decrypt(block));
            std::vector<uint8_t> counter(16, 0);
            for (int i = 0; i < 8; ++i) counter[i] = static_cast<uint8_t>(n >> (8 * i));
            EXPECT_EQ(to_hex(block), to_hex(counter)) << "key " << key_len * 8 << " block " << n;
        }
    }
}

TEST(CryptoAesCtr, PiecesOfAnySizeGiveTheSameStream)
{
    const auto key = from_hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    const auto plain = mixed_data(20000, 5);
    auto whole = plain;
    crypto::AesCtrLittleEndian a;
    ASSERT_TRUE(a.init(key));
    ASSERT_TRUE(a.apply(whole));
    EXPECT_NE(whole, plain);

    for (size_t piece : {1u, 15u, 16u, 17u, 4095u, 4097u}) {
        auto data = plain;
        crypto::AesCtrLittleEndian b;
        ASSERT_TRUE(b.init(key));
        for (size_t pos = 0; pos < data.size(); pos += piece)
            ASSERT_TRUE(b.apply(std::span(data).subspan(pos, std::min(piece, data.size() - pos))));
        EXPECT_EQ(data, whole) << "pieces of " << piece;
        // Applying the stream again from a fresh start gives the plain text back.
        ASSERT_TRUE(b.init(key));
        ASSERT_TRUE(b.apply(data));
        EXPECT_EQ(data, plain);
    }
    crypto::AesCtrLittleEndian unkeyed;
    std::vector<uint8_t> x(4);
    EXPECT_FALSE(unkeyed.apply(x));
    EXPECT_FALSE(unkeyed.init(std::vector<uint8_t>(20)));
}

// Guards the rearranged decryption loop against drifting from the PKWARE key
// schedule: it must match the schedule written out step by step, invert
// ZipEncryptArray, and produce entries that Info-ZIP unzip accepts.
#include "archive/Cls_CRC32.h"
#include "formats/zip/Cls_Encrypt.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace velmora;
using namespace velmora::test;

namespace {

constexpr size_t header_size = 12;

// The APPNOTE 6.1 key schedule, one plain step at a time.
struct plain_zip_keys {
    uint32_t k0 = 0x12345678u, k1 = 0x23456789u, k2 = 0x34567890u;
    static uint32_t crc(uint32_t x, uint8_t b) { return (x >> 8) ^ crc32_table()[(x ^ b) & 0xFF]; }
    void update(uint8_t c)
    {
        k0 = crc(k0, c);
        k1 = (k1 + (k0 & 0xFF)) * 134775813u + 1;
        k2 = crc(k2, static_cast<uint8_t>(k1 >> 24));
    }
    uint8_t stream_byte() const
    {
        const uint16_t t = static_cast<uint16_t>(k2 | 2);
        return static_cast<uint8_t>((static_cast<uint32_t>(t) * (t ^ 1)) >> 8);
    }
    explicit plain_zip_keys(std::string_view password)
    {
        for (const char ch : password)
            update(static_cast<uint8_t>(ch));
    }
    void decrypt(std::span<uint8_t> data)
    {
        for (auto& b : data) {
            b ^= stream_byte();
            update(b);
        }
    }
};

std::vector<uint8_t> random_bytes(std::mt19937& rng, size_t n)
{
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<uint8_t>(rng());
    return v;
}

std::string random_password(std::mt19937& rng)
{
    std::string p(rng() % 24, '\0');
    for (auto& ch : p)
        ch = static_cast<char>(1 + rng() % 255);   // any byte, including 0x80..0xFF
    return p;
}

void put16(std::vector<uint8_t>& v, uint32_t x)
{
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void put32(std::vector<uint8_t>& v, uint32_t x)
{
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}

// One stored, encrypted entry in a minimal archive.
std::vector<uint8_t> one_entry_zip(const std::string& name, const std::vector<uint8_t>& encrypted, uint32_t crc,
                                   uint32_t size)
{
    const uint16_t time = 0x6000, date = 0x5264;
    std::vector<uint8_t> z;
    // Local header: sig(4) ver(2) flags(2) method(2) time(2) date(2) crc(4) csize(4) usize(4) nlen(2) xlen(2)
    put32(z, 0x04034B50u);
    put16(z, 20);
    put16(z, 1);
    put16(z, 0);
    put16(z, time);
    put16(z, date);
    put32(z, crc);
    put32(z, static_cast<uint32_t>(encrypted.size()));
    put32(z, size);
    put16(z, static_cast<uint32_t>(name.size()));
    put16(z, 0);
    z.insert(z.end(), name.begin(), name.end());
    z.insert(z.end(), encrypted.begin(), encrypted.end());
    const auto cd = static_cast<uint32_t>(z.size());
    // Central header: sig(4) made(2) need(2) flags(2) method(2) time(2) date(2) crc(4) csize(4) usize(4)
    //                 nlen(2) xlen(2) clen(2) disk(2) iattr(2) eattr(4) offset(4)
    put32(z, 0x02014B50u);
    put16(z, 20);
    put16(z, 20);
    put16(z, 1);
    put16(z, 0);
    put16(z, time);
    put16(z, date);
    put32(z, crc);
    put32(z, static_cast<uint32_t>(encrypted.size()));
    put32(z, size);
    put16(z, static_cast<uint32_t>(name.size()));
    put16(z, 0);
    put16(z, 0);
    put16(z, 0);
    put16(z, 0);
    put32(z, 0);
    put32(z, 0);
    z.insert(z.end(), name.begin(), name.end());
    const auto cd_size = static_cast<uint32_t>(z.size()) - cd;
    // End of central directory: sig(4) disk(2) cd_disk(2) n_here(2) n(2) cd_size(4) cd_offset(4) clen(2)
    put32(z, 0x06054B50u);
    put16(z, 0);
    put16(z, 0);
    put16(z, 1);
    put16(z, 1);
    put32(z, cd_size);
    put32(z, cd);
    put16(z, 0);
    return z;
}

} // namespace

TEST(ZipDecryptionRoundTrip, MatchesThePlainKeySchedule)
{
    std::mt19937 rng(11);
    for (int iter = 0; iter < 300; ++iter) {
        const std::string password = random_password(rng);
        const std::vector<uint8_t> cipher = random_bytes(rng, header_size + rng() % 5000);
        std::vector<uint8_t> fast = cipher;
        Cls_Encrypt enc;
        enc.ZipPrepareKey(fast, password);
        enc.ZipDecryptArray(std::span<uint8_t>(fast).subspan(header_size));

        std::vector<uint8_t> plain = cipher;
        plain_zip_keys(password).decrypt(plain);
        ASSERT_EQ(fast, plain) << "iteration " << iter;
    }
}

TEST(ZipDecryptionRoundTrip, EncryptThenDecrypt)
{
    std::mt19937 rng(12);
    for (int iter = 0; iter < 200; ++iter) {
        const std::string password = iter == 0 ? std::string() : random_password(rng);
        const std::vector<uint8_t> original = random_bytes(rng, iter < 20 ? static_cast<size_t>(iter) : rng() % 4000);
        const int32_t crc = static_cast<int32_t>(crc32_update(0, original));

        std::vector<uint8_t> data = original;
        Cls_Encrypt enc;
        enc.ZipEncryptArray(data, password, crc);
        ASSERT_EQ(data.size(), original.size() + header_size);
        if (original.size() >= 8) {
            EXPECT_NE(std::vector<uint8_t>(data.begin() + header_size, data.end()), original);
        }

        Cls_Encrypt dec;
        dec.ZipPrepareKey(data, password);
        EXPECT_EQ(data[11], static_cast<uint8_t>(static_cast<uint32_t>(crc) >> 24));
        std::span<uint8_t> body = std::span<uint8_t>(data).subspan(header_size);
        dec.ZipDecryptArray(body);
        EXPECT_TRUE(std::equal(body.begin(), body.end(), original.begin(), original.end())) << "iteration " << iter;
    }
}

TEST(ZipDecryptionRoundTrip, EncryptionHeadersAreFresh)
{
    const std::vector<uint8_t> original(100, 'x');
    std::vector<uint8_t> a = original, b = original;
    Cls_Encrypt enc;
    enc.ZipEncryptArray(a, "pw", 0x11223344);
    enc.ZipEncryptArray(b, "pw", 0x11223344);
    EXPECT_NE(a, b);   // 88 random bits: equal only if the generator repeats
}

TEST(ZipDecryptionRoundTrip, ShortHeadersAndEmptyArrays)
{
    std::mt19937 rng(13);
    const std::vector<uint8_t> cipher = random_bytes(rng, header_size);
    std::vector<uint8_t> full = cipher;
    Cls_Encrypt enc;
    enc.ZipPrepareKey(full, "pw");
    // Fewer than 12 bytes: as many are decrypted as there are.
    for (size_t n = 0; n < header_size; ++n) {
        std::vector<uint8_t> part(cipher.begin(), cipher.begin() + static_cast<std::ptrdiff_t>(n));
        enc.ZipPrepareKey(part, "pw");
        EXPECT_TRUE(std::equal(part.begin(), part.end(), full.begin())) << n;
    }
    // An empty array leaves the key stream where it was.
    const std::vector<uint8_t> body = random_bytes(rng, 64);
    std::vector<uint8_t> x = cipher, y = cipher, bx = body, by = body;
    Cls_Encrypt e1, e2;
    e1.ZipPrepareKey(x, "pw");
    e2.ZipPrepareKey(y, "pw");
    e1.ZipDecryptArray({});
    e1.ZipDecryptArray(bx);
    e2.ZipDecryptArray(by);
    EXPECT_EQ(bx, by);
    // An empty password leaves the keys as they start.
    std::vector<uint8_t> with_empty = cipher, plain = cipher;
    enc.ZipPrepareKey(with_empty, "");
    plain_zip_keys("").decrypt(plain);
    EXPECT_EQ(with_empty, plain);
}

TEST(ZipDecryptionRoundTrip, InfoZipUnzipReadsOurEncryption)
{
    if (!have_tool("unzip"))
        GTEST_SKIP() << "unzip not installed";
    TempDir dir;
    std::mt19937 rng(14);
    for (const std::string password : {"secret", "a much longer pass phrase with spaces 0123456789"}) {
        std::vector<uint8_t> original = random_bytes(rng, 3000);
        const uint32_t crc = crc32_update(0, original);
        std::vector<uint8_t> data = original;
        Cls_Encrypt enc;
        enc.ZipEncryptArray(data, password, static_cast<int32_t>(crc));
        const auto zip_path = dir / "ours.zip";
        write_file(zip_path, one_entry_zip("data.bin", data, crc, static_cast<uint32_t>(original.size())));

        const auto out = dir / "out.bin";
        const int rc = run_command("unzip -p -P " + shell_quote(password) + " " + shell_quote(zip_path.string())
                                   + " data.bin > " + shell_quote(out.string()));
        EXPECT_EQ(rc, 0) << password;
        EXPECT_EQ(read_file(out), original) << password;

        // And unzip refuses a wrong password on the same archive.
        std::string ignored;
        EXPECT_NE(run_command("unzip -t -P wrong " + shell_quote(zip_path.string()) + " 2>&1", &ignored), 0);
    }
}

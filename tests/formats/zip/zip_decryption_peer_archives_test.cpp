// Guards traditional ZIP decryption against a wrong key schedule or key
// stream: entries encrypted by Info-ZIP zip and by 7-Zip must decrypt to their
// original bytes, with the check byte the extraction relies on.
#include "archive/Cls_CRC32.h"
#include "formats/zip/Cls_Encrypt.h"
#include "support/TestSupport.h"
#include "zip_decryption_test_entries.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <zlib.h>

#include <fstream>
#include <random>

using namespace velmora;
using namespace velmora::test;

namespace {

constexpr uint16_t flag_encrypted = 0x0001;
constexpr uint16_t flag_data_descriptor = 0x0008;
constexpr size_t header_size = 12;

std::vector<uint8_t> raw_inflate(const std::vector<uint8_t>& in, size_t size)
{
    std::vector<uint8_t> out(size);
    z_stream zs{};
    if (inflateInit2(&zs, -15) != Z_OK)
        return {};
    zs.next_in = const_cast<Bytef*>(in.data());
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&zs, Z_FINISH);
    inflateEnd(&zs);
    if (rc != Z_STREAM_END || zs.total_out != size)
        return {};
    return out;
}

// What the extraction compares decrypted byte 11 with: the CRC's high byte,
// or the DOS time's high byte when the CRC is only known after the data.
uint8_t check_byte(const zip_test_entry& e)
{
    return (e.flags & flag_data_descriptor) ? static_cast<uint8_t>(e.dos_time >> 8)
                                            : static_cast<uint8_t>(e.crc >> 24);
}

struct decrypted {
    uint8_t byte11 = 0;
    std::vector<uint8_t> content;   // after decryption and, for method 8, inflation
};

decrypted decrypt_entry(const zip_test_entry& e, std::string_view password)
{
    decrypted d;
    std::vector<uint8_t> bytes = e.stored;
    if (bytes.size() < header_size)
        return d;
    Cls_Encrypt enc;
    enc.ZipPrepareKey(bytes, password);
    d.byte11 = bytes[11];
    std::vector<uint8_t> body(bytes.begin() + header_size, bytes.end());
    enc.ZipDecryptArray(body);
    d.content = e.method == 8 ? raw_inflate(body, e.usize) : body;
    return d;
}

} // namespace

TEST(ZipDecryptionPeers, InfoZipAnd7ZipEntriesDecryptWithTheirPassword)
{
    const auto dir = data_dir() / "zipcrypto";
    struct archive_case {
        const char* file;
        std::string password;
        bool data_descriptors;   // Info-ZIP writes them for encrypted entries, 7-Zip does not
    };
    const archive_case cases[] = {
        {"infozip.zip", "secret", true},
        {"7zip.zip", "secret", false},
        {"infozip-utf8.zip", "p\xC3\xA4sswort", true},   // the UTF-8 bytes zip was given
    };
    size_t checked = 0;
    for (const auto& ac : cases) {
        const auto entries = zip_test_entries(read_file(dir / ac.file));
        ASSERT_FALSE(entries.empty()) << ac.file;
        for (const auto& e : entries) {
            SCOPED_TRACE(std::string(ac.file) + ": " + e.name);
            ASSERT_TRUE(e.flags & flag_encrypted);
            EXPECT_EQ((e.flags & flag_data_descriptor) != 0, ac.data_descriptors);
            ASSERT_EQ(e.stored.size(), e.csize);

            const decrypted d = decrypt_entry(e, ac.password);
            EXPECT_EQ(d.byte11, check_byte(e));
            EXPECT_EQ(d.content, read_file(dir / e.name));
            EXPECT_EQ(crc32_update(0, d.content), e.crc);
            ++checked;
        }
    }
    EXPECT_EQ(checked, 5u);
}

TEST(ZipDecryptionPeers, WrongPasswordsDoNotGiveTheContent)
{
    const auto dir = data_dir() / "zipcrypto";
    // The UTF-8 password read as Latin-1 bytes (one byte per character) is one
    // of the wrong guesses an extractor may try first.
    const auto utf8_entries = zip_test_entries(read_file(dir / "infozip-utf8.zip"));
    ASSERT_EQ(utf8_entries.size(), 1u);
    EXPECT_TRUE(decrypt_entry(utf8_entries[0], "p\xE4sswort").content.empty());

    for (const char* file : {"infozip.zip", "7zip.zip"}) {
        for (const auto& e : zip_test_entries(read_file(dir / file))) {
            for (const char* wrong : {"Secret", "secret ", "secre", ""}) {
                const decrypted d = decrypt_entry(e, wrong);
                // Stored entries decrypt to other bytes; deflated ones fail to inflate.
                EXPECT_NE(crc32_update(0, d.content), e.crc) << file << " " << e.name << " '" << wrong << "'";
            }
        }
    }
}

TEST(ZipDecryptionPeers, KeyStreamContinuesAcrossCalls)
{
    // Decrypting the body in uneven pieces equals decrypting it at once.
    const auto dir = data_dir() / "zipcrypto";
    const auto entries = zip_test_entries(read_file(dir / "7zip.zip"));
    ASSERT_EQ(entries.size(), 2u);
    const zip_test_entry& e = entries[1];
    const decrypted whole = decrypt_entry(e, "secret");
    ASSERT_FALSE(whole.content.empty());

    std::mt19937 rng(3);
    std::vector<uint8_t> bytes = e.stored;
    Cls_Encrypt enc;
    enc.ZipPrepareKey(bytes, "secret");
    std::span<uint8_t> rest = std::span<uint8_t>(bytes).subspan(header_size);
    while (!rest.empty()) {
        const size_t n = std::min<size_t>(rest.size(), rng() % 40);
        enc.ZipDecryptArray(rest.first(n));   // including empty pieces
        rest = rest.subspan(n);
    }
    EXPECT_EQ(raw_inflate({bytes.begin() + header_size, bytes.end()}, e.usize), whole.content);
}

TEST(ZipDecryptionPeers, CorpusTraditionalEncryption)
{
    if (!corpus_available())
        GTEST_SKIP() << "shared corpus not present";
    const auto path = corpus_dir() / "zip" / "test_read_format_zip_traditional_encryption_data.zip";
    std::ifstream js(path.string() + ".expected.json");
    const auto expected = nlohmann::json::parse(js);
    const std::string password = expected.at("password");
    const auto entries = zip_test_entries(read_file(path));
    ASSERT_EQ(entries.size(), expected.at("entries").size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        const auto& x = expected.at("entries").at(i);
        SCOPED_TRACE(e.name);
        ASSERT_EQ(e.name, x.at("name").get<std::string>());
        ASSERT_TRUE(e.flags & flag_data_descriptor);
        const decrypted d = decrypt_entry(e, password);
        EXPECT_EQ(d.byte11, check_byte(e));
        EXPECT_EQ(d.content.size(), x.at("size").get<size_t>());
        EXPECT_EQ(crc32_update(0, d.content), std::stoul(x.at("crc").get<std::string>(), nullptr, 16));
    }
}

TEST(ZipDecryptionPeers, AesEntryIsNotMistakenForTraditionalEncryption)
{
    if (!corpus_available())
        GTEST_SKIP() << "shared corpus not present";
    // test_encrypted.zip's file is WinZip AES (method 99, extra field 0x9901):
    // its 40 bytes are salt, verifier, data and MAC, not a 12-byte ZipCrypto
    // header. Read as ZipCrypto with its own password, the check byte fails,
    // so an extractor that tried it would ask again rather than write garbage.
    const auto path = corpus_dir() / "zip" / "test_encrypted.zip";
    std::ifstream js(path.string() + ".expected.json");
    const std::string password = nlohmann::json::parse(js).at("password");
    size_t encrypted = 0;
    for (const auto& e : zip_test_entries(read_file(path))) {
        if (!(e.flags & flag_encrypted))
            continue;
        ++encrypted;
        EXPECT_EQ(e.method, 99);
        ASSERT_GE(e.stored.size(), header_size);
        EXPECT_NE(decrypt_entry(e, password).byte11, check_byte(e)) << e.name;
    }
    EXPECT_EQ(encrypted, 1u);
}

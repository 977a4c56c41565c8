// Helpers for the RAR 2.9-4.x decoder tests and fuzz targets: decoding every
// entry of a walked archive in order (entries flagged solid continue the
// stream), unar's output for one entry, sources and sinks that cut a stream
// into pieces, and the RAR 3 data decryption (AES-128-CBC, key and IV from
// the SHA-1 derivation) so that the encrypted test archives can be decoded.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codecs/Rar3Decoder.h"
#include "StreamTestSupport.h"
#include "support/RarBlockWalker.h"
#include "support/TestSupport.h"

namespace velmora::test {
// Its own inline namespace: other helper headers define types of the same
// names, and one test program may link both.
inline namespace rar3_support {

// RAR 3 encryption of entry data: the key and IV come from 2^18 rounds of
// SHA-1 over the password (UTF-16LE) and salt with a 3-byte round counter;
// IV byte k is the last digest byte after round 2^14 k, the key the final
// digest with each 32-bit word's bytes reversed.
inline std::vector<uint8_t> rar3_decrypt(std::span<const uint8_t> data, const std::string& password,
                                         const std::array<uint8_t, 8>& salt)
{
    std::vector<uint8_t> seed;
    for (const char c : password) {
        seed.push_back(static_cast<uint8_t>(c));
        seed.push_back(0);
    }
    seed.insert(seed.end(), salt.begin(), salt.end());
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> sha(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> tmp(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(sha.get(), EVP_sha1(), nullptr);
    uint8_t iv[16], key[16], digest[20];
    unsigned len = 0;
    for (uint32_t i = 0; i < 0x40000; ++i) {
        EVP_DigestUpdate(sha.get(), seed.data(), seed.size());
        const uint8_t counter[3] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i >> 16)};
        EVP_DigestUpdate(sha.get(), counter, 3);
        if (i % 0x4000 == 0) {
            EVP_MD_CTX_copy_ex(tmp.get(), sha.get());
            EVP_DigestFinal_ex(tmp.get(), digest, &len);
            iv[i / 0x4000] = digest[19];
        }
    }
    EVP_DigestFinal_ex(sha.get(), digest, &len);
    for (int i = 0; i < 16; ++i)
        key[i] = digest[i ^ 3];
    const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> aes(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    EVP_DecryptInit_ex(aes.get(), EVP_aes_128_cbc(), nullptr, key, iv);
    EVP_CIPHER_CTX_set_padding(aes.get(), 0);
    std::vector<uint8_t> out(data.size() + 16);
    int n1 = 0, n2 = 0;
    EVP_DecryptUpdate(aes.get(), out.data(), &n1, data.data(), static_cast<int>(data.size() & ~size_t{15}));
    EVP_DecryptFinal_ex(aes.get(), out.data() + n1, &n2);
    out.resize(static_cast<size_t>(n1 + n2));
    return out;
}

struct rar3_decoded {
    DecodeStatus status = DecodeStatus::ok;
    std::vector<uint8_t> data;
};

// Decodes the entries of `a` in order with one decoder; an entry flagged solid
// continues the one before. Stored entries are copied and folders give
// nothing. Encrypted entries are decrypted with `password` first. `piece`
// limits the bytes each source read gives (0: no limit).
inline std::vector<rar3_decoded> rar3_decode_all(std::span<const uint8_t> file, const rar_archive& a, size_t piece = 0,
                                                 const std::string& password = "")
{
    std::vector<rar3_decoded> result;
    Rar3Decoder decoder;
    bool first = true;
    for (const rar_entry& e : a.entries) {
        rar3_decoded r;
        std::vector<uint8_t> packed(rar_packed_data(file, e).begin(), rar_packed_data(file, e).end());
        if (e.encrypted())
            packed = rar3_decrypt(packed, password, e.salt);
        if (e.is_dir()) {
        } else if (e.stored()) {
            packed.resize(std::min<size_t>(packed.size(), e.unp_size));
            r.data = packed;
        } else {
            chunked_source src(packed, piece);
            VectorSink sink(r.data);
            r.status = decoder.decode(src, sink, e.unp_size, e.solid() && !first);
            first = false;
        }
        result.push_back(std::move(r));
    }
    return result;
}

// unar's output for entry `index` (stored order, as lsar numbers them), or
// nothing when unar fails or gives no single file.
inline std::optional<std::vector<uint8_t>> unar_entry(const std::filesystem::path& archive, size_t index)
{
    TempDir dir;
    const std::string cmd = "unar -q -f -D -o " + shell_quote(dir.str()) + " " + shell_quote(archive.string()) + " -i " +
                            std::to_string(index) + " >/dev/null 2>&1";
    if (run_command(cmd) != 0)
        return std::nullopt;
    std::optional<std::vector<uint8_t>> found;
    for (const auto& p : std::filesystem::recursive_directory_iterator(dir.path())) {
        if (!p.is_regular_file())
            continue;
        if (found)
            return std::nullopt;
        found = read_file(p.path());
    }
    return found;
}

} // namespace rar3_support
} // namespace velmora::test

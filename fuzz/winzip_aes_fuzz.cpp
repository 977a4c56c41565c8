// libFuzzer target for WinZipAesSource. The input describes an entry: byte 0
// the strength (1-3) and what to alter, byte 1 the password length, then the
// password, the salt, and the plain data. The target encrypts the entry
// itself (AES one block at a time on the little-endian counter, HMAC-SHA1 over
// the whole cipher text at once), alters one byte when asked, and reads it
// back through the source in odd pieces: the data must come back whole, and
// the verdict must be ok exactly when nothing was altered.
#include "codecs/WinZipAesSource.h"
#include "stream_fuzz_support.h"

#include <openssl/evp.h>

using namespace velmora;
using namespace velmora::fuzz;

namespace {

std::vector<uint8_t> reference_encrypt(std::span<const uint8_t> key, std::span<const uint8_t> plain)
{
    std::vector<uint8_t> out(plain.begin(), plain.end());
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const EVP_CIPHER* cipher = key.size() == 16 ? EVP_aes_128_ecb() : key.size() == 24 ? EVP_aes_192_ecb() : EVP_aes_256_ecb();
    expect(ctx && EVP_EncryptInit_ex(ctx, cipher, nullptr, key.data(), nullptr) == 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    for (size_t block = 0; block * 16 < out.size(); ++block) {
        uint8_t counter[16] = {};
        const uint64_t n = block + 1;
        for (int i = 0; i < 8; ++i) counter[i] = static_cast<uint8_t>(n >> (8 * i));
        uint8_t stream[16];
        int len = 0;
        expect(EVP_EncryptUpdate(ctx, stream, &len, counter, 16) == 1 && len == 16);
        for (size_t i = block * 16; i < std::min(out.size(), block * 16 + 16); ++i) out[i] ^= stream[i - block * 16];
    }
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    const uint8_t strength = 1 + data[0] % 3;
    const unsigned alter = data[0] / 3 % 4; // 0: nothing, 1: the data, 2: the code, 3: the verifier
    const size_t pw_len = std::min<size_t>(data[1], size - 2);
    const std::span<const uint8_t> password(data + 2, pw_len);
    std::span<const uint8_t> rest(data + 2 + pw_len, size - 2 - pw_len);
    const size_t salt_len = WinZipAesSource::salt_size(strength);
    std::vector<uint8_t> salt(salt_len, 0x5A);
    std::copy_n(rest.begin(), std::min(salt_len, rest.size()), salt.begin());
    rest = rest.subspan(std::min(salt_len, rest.size()));

    const size_t key_len = WinZipAesSource::key_size(strength);
    // The source derives its keys on every run; the writer's side keeps the
    // keys of the last password and salt (most mutations leave them alone).
    static std::vector<uint8_t> last_secret, keys;
    std::vector<uint8_t> secret(password.begin(), password.end());
    secret.insert(secret.end(), salt.begin(), salt.end());
    secret.push_back(strength);
    if (secret != last_secret) {
        keys.assign(2 * key_len + 2, 0);
        expect(crypto::pbkdf2_hmac(crypto::Hash::sha1, password, salt, 1000, keys));
        last_secret = secret;
    }
    const auto cipher = reference_encrypt(std::span(keys).first(key_len), rest);
    std::vector<uint8_t> mac(crypto::sha1_size);
    expect(crypto::hmac(crypto::Hash::sha1, std::span(keys).subspan(key_len, key_len), cipher, mac));

    std::vector<uint8_t> stored = salt;
    stored.insert(stored.end(), keys.end() - 2, keys.end());
    stored.insert(stored.end(), cipher.begin(), cipher.end());
    stored.insert(stored.end(), mac.begin(), mac.begin() + WinZipAesSource::code_size);
    const size_t data_start = salt_len + 2;
    size_t altered_at = SIZE_MAX;
    if (alter == 1 && !cipher.empty()) altered_at = data_start + data[1] % cipher.size();
    if (alter == 2) altered_at = stored.size() - 1 - data[1] % WinZipAesSource::code_size;
    if (alter == 3) altered_at = salt_len + data[1] % 2;
    if (altered_at != SIZE_MAX) stored[altered_at] ^= 0x01;

    chunked_source raw = pieces_source(stored, static_cast<uint32_t>(size) * 2654435761u);
    WinZipAesSource source(raw, stored.size(), strength);
    const auto opened = source.open(password);
    if (alter == 3) {
        expect(opened == WinZipAesSource::OpenResult::wrong_password);
        return 0;
    }
    expect(opened == WinZipAesSource::OpenResult::ok);
    expect(source.data_size() == rest.size());
    std::vector<uint8_t> plain(rest.size() + 7);
    size_t got = 0;
    for (size_t n; (n = source.read(std::span(plain).subspan(got, std::min<size_t>(plain.size() - got, 1 + got % 5000)))) > 0;)
        got += n;
    expect(got == rest.size());
    const bool data_intact = altered_at == SIZE_MAX || altered_at >= data_start + cipher.size();
    if (data_intact) expect(std::equal(rest.begin(), rest.end(), plain.begin()));
    const auto verdict = source.finish();
    expect((verdict == WinZipAesSource::Authentication::ok) == (altered_at == SIZE_MAX));
    expect(verdict == WinZipAesSource::Authentication::ok || verdict == WinZipAesSource::Authentication::failed);
    return 0;
}

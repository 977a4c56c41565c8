// libcrypto behind the small interface of Crypto.h. The library is loaded
// the first time an entry needs it: mapping and relocating it costs a few
// milliseconds, which every start of the program would pay otherwise, and
// most archives are not encrypted. The algorithm objects are fetched from the
// default provider once per process (fetching looks the name up in the
// provider tables, which is slow next to hashing a few bytes) and shared
// read-only; every context lives in the object that uses it.
#include "codecs/Crypto.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstring>

#include <dlfcn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

namespace velmora::crypto {
namespace {

// Every libcrypto function the core calls.
#define VELMORA_LIBCRYPTO_FUNCTIONS(X)                                                                                \
    X(EVP_MD_fetch) X(EVP_MD_free) X(EVP_MAC_fetch) X(EVP_MAC_free) X(EVP_CIPHER_fetch) X(EVP_CIPHER_free)           \
    X(EVP_MD_CTX_new) X(EVP_MD_CTX_free) X(EVP_MD_CTX_copy_ex) X(EVP_DigestInit_ex2) X(EVP_DigestUpdate)             \
    X(EVP_DigestFinal_ex) X(EVP_MAC_CTX_new) X(EVP_MAC_CTX_free) X(EVP_MAC_init) X(EVP_MAC_update) X(EVP_MAC_final) \
    X(OSSL_PARAM_construct_utf8_string) X(OSSL_PARAM_construct_end) X(PKCS5_PBKDF2_HMAC) X(EVP_CIPHER_CTX_new)       \
    X(EVP_CIPHER_CTX_free) X(EVP_CIPHER_CTX_set_padding) X(EVP_EncryptInit_ex2) X(EVP_EncryptUpdate)                 \
    X(EVP_DecryptInit_ex2) X(EVP_DecryptUpdate)

// The library's entry points, looked up by name. When the library or any
// function is missing, `loaded` is false and every operation fails.
struct Libcrypto {
#define VELMORA_DECLARE(name) decltype(&::name) name = nullptr;
    VELMORA_LIBCRYPTO_FUNCTIONS(VELMORA_DECLARE)
#undef VELMORA_DECLARE
    bool loaded = false;

    Libcrypto()
    {
        // Never closed: the algorithm objects live until the process ends.
        void* library = ::dlopen(VELMORA_LIBCRYPTO_SONAME, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return;
        bool all = true;
#define VELMORA_LOOK_UP(name)                                                                                         \
    name = reinterpret_cast<decltype(name)>(::dlsym(library, #name));                                                 \
    all = all && name != nullptr;
        VELMORA_LIBCRYPTO_FUNCTIONS(VELMORA_LOOK_UP)
#undef VELMORA_LOOK_UP
        loaded = all;
    }
};

// The algorithms the core uses, fetched once. A name the provider does not
// offer stays null, and whatever needs it reports failure.
struct Algorithms {
    Libcrypto lib;
    EVP_MD* sha1 = nullptr;
    EVP_MD* sha256 = nullptr;
    EVP_MD* blake2s_256 = nullptr;
    EVP_MAC* hmac = nullptr;
    std::array<EVP_CIPHER*, 3> aes_ecb{};
    std::array<EVP_CIPHER*, 3> aes_cbc{};

    Algorithms()
    {
        if (!lib.loaded) return;
        sha1 = lib.EVP_MD_fetch(nullptr, "SHA1", nullptr);
        sha256 = lib.EVP_MD_fetch(nullptr, "SHA256", nullptr);
        blake2s_256 = lib.EVP_MD_fetch(nullptr, "BLAKE2S-256", nullptr);
        hmac = lib.EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        aes_ecb = {lib.EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr),
                   lib.EVP_CIPHER_fetch(nullptr, "AES-192-ECB", nullptr),
                   lib.EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr)};
        aes_cbc = {lib.EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr),
                   lib.EVP_CIPHER_fetch(nullptr, "AES-192-CBC", nullptr),
                   lib.EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr)};
    }
    Algorithms(const Algorithms&) = delete;
    Algorithms& operator=(const Algorithms&) = delete;
    ~Algorithms()
    {
        if (!lib.loaded) return;
        lib.EVP_MD_free(sha1);
        lib.EVP_MD_free(sha256);
        lib.EVP_MD_free(blake2s_256);
        lib.EVP_MAC_free(hmac);
        for (EVP_CIPHER* c : aes_ecb) lib.EVP_CIPHER_free(c);
        for (EVP_CIPHER* c : aes_cbc) lib.EVP_CIPHER_free(c);
    }

    const EVP_MD* md(Hash h) const { return h == Hash::sha1 ? sha1 : h == Hash::sha256 ? sha256 : blake2s_256; }

    // AES-128, -192 and -256 by key length; null for any other length.
    static const EVP_CIPHER* by_key(const std::array<EVP_CIPHER*, 3>& set, size_t key_len)
    {
        switch (key_len) {
        case 16: return set[0];
        case 24: return set[1];
        case 32: return set[2];
        default: return nullptr;
        }
    }
};

const Algorithms& algorithms()
{
    static const Algorithms a;
    return a;
}

// The library's functions, for code that holds an object made through them
// (so the library is loaded).
const Libcrypto& lib() { return algorithms().lib; }

const char* hmac_digest_name(Hash h) { return h == Hash::sha1 ? "SHA1" : "SHA256"; }

// libcrypto takes int lengths; the core never hands it more than this at once.
constexpr size_t max_piece = size_t{1} << 30;

} // namespace

bool available(Hash h) { return algorithms().md(h) != nullptr; }

void cleanse(std::span<uint8_t> secret)
{
    // glibc's explicit_bzero: a clear the compiler may not drop, and no
    // reason to load libcrypto for it.
    if (!secret.empty()) ::explicit_bzero(secret.data(), secret.size());
}

// --- Digest ---------------------------------------------------------------

struct Digest::State {
    EVP_MD_CTX* ctx = lib().EVP_MD_CTX_new();
    ~State() { lib().EVP_MD_CTX_free(ctx); }
};

Digest::Digest(Hash h) : hash_(h)
{
    const EVP_MD* md = algorithms().md(h);
    if (md == nullptr) return;
    auto s = std::make_unique<State>();
    if (s->ctx != nullptr && lib().EVP_DigestInit_ex2(s->ctx, md, nullptr) == 1) state_ = std::move(s);
}

Digest::~Digest() = default;
Digest::Digest(Digest&&) noexcept = default;
Digest& Digest::operator=(Digest&&) noexcept = default;

bool Digest::update(std::span<const uint8_t> data)
{
    return state_ && lib().EVP_DigestUpdate(state_->ctx, data.data(), data.size()) == 1;
}

bool Digest::finish(std::span<uint8_t> out)
{
    if (!state_ || out.size() < size()) return false;
    return lib().EVP_DigestFinal_ex(state_->ctx, out.data(), nullptr) == 1 &&
           lib().EVP_DigestInit_ex2(state_->ctx, algorithms().md(hash_), nullptr) == 1;
}

bool Digest::peek(std::span<uint8_t> out) const
{
    if (!state_ || out.size() < size()) return false;
    State copy;
    return copy.ctx != nullptr && lib().EVP_MD_CTX_copy_ex(copy.ctx, state_->ctx) == 1 &&
           lib().EVP_DigestFinal_ex(copy.ctx, out.data(), nullptr) == 1;
}

bool Digest::reset() { return state_ && lib().EVP_DigestInit_ex2(state_->ctx, algorithms().md(hash_), nullptr) == 1; }

bool digest(Hash h, std::span<const uint8_t> data, std::span<uint8_t> out)
{
    Digest d(h);
    return d.update(data) && d.finish(out);
}

// --- HMAC -----------------------------------------------------------------

struct Hmac::State {
    EVP_MAC_CTX* ctx = nullptr;
    ~State() { lib().EVP_MAC_CTX_free(ctx); }
};

Hmac::Hmac(Hash h, std::span<const uint8_t> key) : hash_(h)
{
    const Algorithms& a = algorithms();
    if (a.hmac == nullptr || h == Hash::blake2s_256) return;
    auto s = std::make_unique<State>();
    s->ctx = lib().EVP_MAC_CTX_new(a.hmac);
    if (s->ctx == nullptr) return;
    OSSL_PARAM params[] = {
        lib().OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(hmac_digest_name(h)), 0),
        lib().OSSL_PARAM_construct_end()};
    // An empty key is a valid HMAC key; libcrypto wants a non-null pointer
    // for it (null means "keep the key set before").
    static const uint8_t no_key = 0;
    const uint8_t* k = key.empty() ? &no_key : key.data();
    if (lib().EVP_MAC_init(s->ctx, k, key.size(), params) == 1) state_ = std::move(s);
}

Hmac::~Hmac() = default;
Hmac::Hmac(Hmac&&) noexcept = default;
Hmac& Hmac::operator=(Hmac&&) noexcept = default;

bool Hmac::update(std::span<const uint8_t> data)
{
    return state_ && lib().EVP_MAC_update(state_->ctx, data.data(), data.size()) == 1;
}

bool Hmac::finish(std::span<uint8_t> out)
{
    if (!state_ || out.size() < size()) return false;
    size_t written = 0;
    return lib().EVP_MAC_final(state_->ctx, out.data(), &written, out.size()) == 1 && written == size() && reset();
}

bool Hmac::reset() { return state_ && lib().EVP_MAC_init(state_->ctx, nullptr, 0, nullptr) == 1; }

bool hmac(Hash h, std::span<const uint8_t> key, std::span<const uint8_t> data, std::span<uint8_t> out)
{
    Hmac m(h, key);
    return m.update(data) && m.finish(out);
}

// --- PBKDF2 ---------------------------------------------------------------

bool pbkdf2_hmac(Hash h, std::span<const uint8_t> password, std::span<const uint8_t> salt, uint32_t iterations,
                 std::span<uint8_t> out)
{
    const EVP_MD* md = algorithms().md(h);
    if (md == nullptr || h == Hash::blake2s_256 || iterations == 0 || iterations > INT_MAX ||
        password.size() > max_piece || salt.size() > max_piece || out.empty() || out.size() > max_piece)
        return false;
    static const uint8_t empty = 0;
    const char* pass = reinterpret_cast<const char*>(password.empty() ? &empty : password.data());
    const uint8_t* s = salt.empty() ? &empty : salt.data();
    return lib().PKCS5_PBKDF2_HMAC(pass, static_cast<int>(password.size()), s, static_cast<int>(salt.size()),
                             static_cast<int>(iterations), md, static_cast<int>(out.size()), out.data()) == 1;
}

// --- AES-CTR with the little-endian counter ---------------------------------

// The key stream is made a batch of blocks at a time: the counter blocks are
// written out and encrypted together in ECB mode, which lets AES-NI work on
// several independent blocks at once (OpenSSL's own CTR mode counts big-endian
// and cannot be used).
struct AesCtrLittleEndian::State {
    static constexpr size_t batch_blocks = 256;
    static constexpr size_t batch_bytes = batch_blocks * aes_block_size;

    EVP_CIPHER_CTX* ctx = lib().EVP_CIPHER_CTX_new();
    uint64_t counter_low = 0;  // the counter's bytes 0-7
    uint64_t counter_high = 0; // bytes 8-15; WinZip never gets there, kept for a true 128-bit count
    std::array<uint8_t, batch_bytes> stream{};
    size_t used = batch_bytes; // key stream bytes of the batch already applied
    bool keyed = false;

    ~State()
    {
        lib().EVP_CIPHER_CTX_free(ctx);
        cleanse(stream);
    }

    bool refill()
    {
        for (size_t b = 0; b < batch_blocks; ++b) {
            if (++counter_low == 0) ++counter_high;
            uint8_t* block = stream.data() + b * aes_block_size;
            if constexpr (std::endian::native == std::endian::little) {
                std::memcpy(block, &counter_low, 8);
                std::memcpy(block + 8, &counter_high, 8);
            } else {
                for (int i = 0; i < 8; ++i) {
                    block[i] = static_cast<uint8_t>(counter_low >> (8 * i));
                    block[8 + i] = static_cast<uint8_t>(counter_high >> (8 * i));
                }
            }
        }
        int written = 0;
        if (lib().EVP_EncryptUpdate(ctx, stream.data(), &written, stream.data(), static_cast<int>(batch_bytes)) != 1 ||
            written != static_cast<int>(batch_bytes))
            return false;
        used = 0;
        return true;
    }
};

AesCtrLittleEndian::AesCtrLittleEndian() = default;
AesCtrLittleEndian::~AesCtrLittleEndian() = default;
AesCtrLittleEndian::AesCtrLittleEndian(AesCtrLittleEndian&&) noexcept = default;
AesCtrLittleEndian& AesCtrLittleEndian::operator=(AesCtrLittleEndian&&) noexcept = default;

bool AesCtrLittleEndian::init(std::span<const uint8_t> key)
{
    const EVP_CIPHER* cipher = Algorithms::by_key(algorithms().aes_ecb, key.size());
    if (cipher == nullptr) return false;
    if (!state_) {
        state_ = std::make_unique<State>();
        if (state_->ctx == nullptr) {
            state_.reset();
            return false;
        }
    }
    State& s = *state_;
    s.keyed = lib().EVP_EncryptInit_ex2(s.ctx, cipher, key.data(), nullptr, nullptr) == 1 &&
              lib().EVP_CIPHER_CTX_set_padding(s.ctx, 0) == 1;
    s.counter_low = 0; // incremented before use: the first block is 1
    s.counter_high = 0;
    s.used = State::batch_bytes;
    return s.keyed;
}

bool AesCtrLittleEndian::apply(std::span<uint8_t> data)
{
    if (!state_ || !state_->keyed) return false;
    State& s = *state_;
    size_t pos = 0;
    while (pos < data.size()) {
        if (s.used == State::batch_bytes && !s.refill()) return false;
        const size_t n = std::min(data.size() - pos, State::batch_bytes - s.used);
        uint8_t* d = data.data() + pos;
        const uint8_t* k = s.stream.data() + s.used;
        size_t i = 0;
        // Eight bytes at a time; memcpy keeps the loads legal at any alignment.
        for (; i + 8 <= n; i += 8) {
            uint64_t x, y;
            std::memcpy(&x, d + i, 8);
            std::memcpy(&y, k + i, 8);
            x ^= y;
            std::memcpy(d + i, &x, 8);
        }
        for (; i < n; ++i) d[i] ^= k[i];
        s.used += n;
        pos += n;
    }
    return true;
}

// --- AES-CBC decryption ---------------------------------------------------

struct AesCbcDecryptor::State {
    EVP_CIPHER_CTX* ctx = lib().EVP_CIPHER_CTX_new();
    bool keyed = false;
    ~State() { lib().EVP_CIPHER_CTX_free(ctx); }
};

AesCbcDecryptor::AesCbcDecryptor() = default;
AesCbcDecryptor::~AesCbcDecryptor() = default;
AesCbcDecryptor::AesCbcDecryptor(AesCbcDecryptor&&) noexcept = default;
AesCbcDecryptor& AesCbcDecryptor::operator=(AesCbcDecryptor&&) noexcept = default;

bool AesCbcDecryptor::init(std::span<const uint8_t> key, std::span<const uint8_t> iv)
{
    const EVP_CIPHER* cipher = Algorithms::by_key(algorithms().aes_cbc, key.size());
    if (cipher == nullptr || iv.size() != aes_block_size) return false;
    if (!state_) {
        state_ = std::make_unique<State>();
        if (state_->ctx == nullptr) {
            state_.reset();
            return false;
        }
    }
    State& s = *state_;
    s.keyed = lib().EVP_DecryptInit_ex2(s.ctx, cipher, key.data(), iv.data(), nullptr) == 1 &&
              lib().EVP_CIPHER_CTX_set_padding(s.ctx, 0) == 1;
    return s.keyed;
}

bool AesCbcDecryptor::decrypt(std::span<uint8_t> data)
{
    if (!state_ || !state_->keyed || data.size() % aes_block_size != 0) return false;
    while (!data.empty()) {
        const size_t n = std::min(data.size(), max_piece);
        int written = 0;
        if (lib().EVP_DecryptUpdate(state_->ctx, data.data(), &written, data.data(), static_cast<int>(n)) != 1 ||
            written != static_cast<int>(n))
            return false;
        data = data.subspan(n);
    }
    return true;
}

} // namespace velmora::crypto

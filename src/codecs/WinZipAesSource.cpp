// WinZip AES: key derivation, the password check before any decryption, and
// the data passed through HMAC-SHA1 (over the encrypted bytes) and AES-CTR.
#include "codecs/WinZipAesSource.h"

#include <algorithm>
#include <vector>

#include "codecs/StreamBuffers.h"

namespace velmora {

// Extra field record: id(2) size(2) data(size); AES record data:
// vendor_version(2) vendor_id(2, "AE") strength(1) method(2)
std::optional<WinZipAesExtra> parse_winzip_aes_extra(std::span<const uint8_t> extra)
{
    constexpr uint16_t aes_header_id = 0x9901;
    constexpr size_t aes_record_size = 7;
    auto le16 = [&](size_t o) { return static_cast<uint16_t>(extra[o] | extra[o + 1] << 8); };
    size_t pos = 0;
    while (pos + 4 <= extra.size()) {
        const uint16_t id = le16(pos);
        const size_t size = le16(pos + 2);
        const size_t data = pos + 4;
        if (size > extra.size() - data) return std::nullopt;
        if (id == aes_header_id) {
            if (size < aes_record_size || extra[data + 2] != 'A' || extra[data + 3] != 'E') return std::nullopt;
            WinZipAesExtra e;
            e.vendor_version = le16(data);
            e.strength = extra[data + 4];
            e.method = le16(data + 5);
            if (e.strength < 1 || e.strength > 3) return std::nullopt;
            return e;
        }
        pos = data + size;
    }
    return std::nullopt;
}

WinZipAesSource::WinZipAesSource(ByteSource& encrypted, uint64_t stored_size, uint8_t strength)
    : in_(encrypted), stored_size_(stored_size), strength_(strength)
{
}

WinZipAesSource::OpenResult WinZipAesSource::open(std::span<const uint8_t> password)
{
    const size_t salt_len = salt_size(strength_);
    if (salt_len == 0) return OpenResult::unsupported;
    if (stored_size_ < overhead(strength_)) return OpenResult::damaged;

    std::array<uint8_t, 16 + verifier_size> salt_and_verifier{};
    const auto head = std::span(salt_and_verifier).first(salt_len + verifier_size);
    if (read_fully(in_, head) != head.size()) {
        auth_ = Authentication::truncated;
        return OpenResult::damaged;
    }
    const auto salt = head.first(salt_len);
    const auto verifier = head.subspan(salt_len);

    // PBKDF2 gives the AES key, the HMAC key and the verifier, in that order.
    const size_t key_len = key_size(strength_);
    std::array<uint8_t, 2 * 32 + verifier_size> derived{};
    const auto keys = std::span(derived).first(2 * key_len + verifier_size);
    if (!crypto::pbkdf2_hmac(crypto::Hash::sha1, password, salt, key_iterations, keys))
        return OpenResult::crypto_failure;
    OpenResult result = OpenResult::ok;
    if (!std::equal(verifier.begin(), verifier.end(), keys.begin() + 2 * key_len)) {
        result = OpenResult::wrong_password;
    } else {
        mac_.emplace(crypto::Hash::sha1, keys.subspan(key_len, key_len));
        if (!mac_->valid() || !ctr_.init(keys.first(key_len))) result = OpenResult::crypto_failure;
    }
    crypto::cleanse(derived);
    if (result != OpenResult::ok) return result;

    data_size_ = stored_size_ - overhead(strength_);
    remaining_ = data_size_;
    opened_ = true;
    auth_ = Authentication::pending;
    if (remaining_ == 0) check_code();
    return OpenResult::ok;
}

size_t WinZipAesSource::read(std::span<uint8_t> out)
{
    if (!opened_ || remaining_ == 0 || out.empty()) return 0;
    const auto want = out.first(static_cast<size_t>(std::min<uint64_t>(out.size(), remaining_)));
    const size_t got = in_.read(want);
    if (got == 0) {
        auth_ = Authentication::truncated;
        remaining_ = 0;
        return 0;
    }
    const auto piece = want.first(got);
    // The code covers the encrypted bytes, so it is fed before decrypting.
    if (!mac_->update(piece) || !ctr_.apply(piece)) {
        auth_ = Authentication::failed;
        remaining_ = 0;
        return 0;
    }
    remaining_ -= got;
    if (remaining_ == 0) check_code();
    return got;
}

WinZipAesSource::Authentication WinZipAesSource::finish()
{
    if (!opened_) return auth_;
    std::vector<uint8_t> scratch;
    try {
        scratch.resize(std::min<uint64_t>(remaining_, uint64_t{64} << 10));
    } catch (const std::bad_alloc&) {
        return auth_ = Authentication::failed;
    }
    while (remaining_ > 0) {
        const auto want = std::span(scratch).first(static_cast<size_t>(std::min<uint64_t>(scratch.size(), remaining_)));
        const size_t got = in_.read(want);
        if (got == 0) {
            remaining_ = 0;
            return auth_ = Authentication::truncated;
        }
        if (!mac_->update(want.first(got))) {
            remaining_ = 0;
            return auth_ = Authentication::failed;
        }
        remaining_ -= got;
    }
    if (auth_ == Authentication::pending) check_code();
    return auth_;
}

void WinZipAesSource::check_code()
{
    std::array<uint8_t, code_size> stored{};
    std::array<uint8_t, crypto::sha1_size> computed{};
    if (read_fully(in_, stored) != stored.size()) {
        auth_ = Authentication::truncated;
        return;
    }
    if (!mac_->finish(computed)) {
        auth_ = Authentication::failed;
        return;
    }
    // Compared in full whatever the first difference, as a check of a
    // secret-keyed code should be.
    uint8_t diff = 0;
    for (size_t i = 0; i < code_size; ++i) diff |= static_cast<uint8_t>(stored[i] ^ computed[i]);
    auth_ = diff == 0 ? Authentication::ok : Authentication::failed;
}

} // namespace velmora

// Guards the CBC decryption between a RAR archive and its decoder against
// losing or repeating bytes where reads cut blocks: whatever the sizes of the
// decoder's reads and of the pieces the archive gives, the plain bytes must
// be those of one whole-buffer decryption, and a last partial block dropped.
#include "codecs/Crypto.h"
#include "codecs/RarAesSource.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace velmora;

namespace {

// Hands out at most `piece` bytes a read.
class PieceSource final : public ByteSource {
public:
    PieceSource(std::span<const uint8_t> data, size_t piece) : data_(data), piece_(piece) {}
    size_t read(std::span<uint8_t> out) override
    {
        const size_t n = std::min({out.size(), data_.size(), piece_});
        std::copy_n(data_.begin(), n, out.begin());
        data_ = data_.subspan(n);
        return n;
    }

private:
    std::span<const uint8_t> data_;
    size_t piece_;
};

TEST(RarAesSource, ReadsOfAnySizeGiveTheWholeBufferDecryption)
{
    std::mt19937 rng(14);
    std::vector<uint8_t> key(32), iv(16), cipher(16 * 97 + 5); // 5 bytes of a cut last block
    for (auto* v : {&key, &iv, &cipher})
        for (auto& b : *v)
            b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> expected(cipher.begin(), cipher.begin() + 16 * 97);
    crypto::AesCbcDecryptor whole;
    ASSERT_TRUE(whole.init(key, iv));
    ASSERT_TRUE(whole.decrypt(expected));

    for (const size_t piece : {size_t{1}, size_t{7}, size_t{16}, size_t{33}, size_t{4096}}) {
        for (const size_t read_size : {size_t{1}, size_t{5}, size_t{16}, size_t{17}, size_t{100}, size_t{65536}}) {
            SCOPED_TRACE(testing::Message() << "piece " << piece << " read " << read_size);
            PieceSource in(cipher, piece);
            RarAesSource aes(in);
            ASSERT_TRUE(aes.init(key, iv));
            std::vector<uint8_t> got;
            std::vector<uint8_t> buf(read_size);
            for (size_t n; (n = aes.read(buf)) > 0;)
                got.insert(got.end(), buf.begin(), buf.begin() + static_cast<ptrdiff_t>(n));
            EXPECT_TRUE(got == expected) << got.size() << " bytes";
        }
    }
}

} // namespace

// CBC decryption between the archive and the decoder. Reads go straight into
// the caller's buffer and are decrypted there; only the bytes of a block cut
// by the caller's buffer are kept here.
#include "codecs/RarAesSource.h"

#include <algorithm>

namespace velmora {

size_t RarAesSource::read(std::span<uint8_t> out)
{
    constexpr size_t block = crypto::aes_block_size;
    size_t done = 0;
    // Plain bytes left over from the last call.
    if (plain_pos_ < plain_len_) {
        const size_t n = std::min(out.size(), plain_len_ - plain_pos_);
        std::copy_n(plain_.begin() + static_cast<ptrdiff_t>(plain_pos_), n, out.begin());
        plain_pos_ += n;
        done = n;
    }
    while (done < out.size()) {
        const size_t room = out.size() - done;
        if (room < block) {
            // Less than a block of room: decrypt one block here and keep the rest.
            while (partial_len_ < block) {
                const size_t got = in_.read(std::span(partial_).subspan(partial_len_));
                if (got == 0)
                    return done;
                partial_len_ += got;
            }
            plain_ = partial_;
            partial_len_ = 0;
            if (!aes_.decrypt(plain_))
                return done;
            std::copy_n(plain_.begin(), room, out.begin() + static_cast<ptrdiff_t>(done));
            plain_pos_ = room;
            plain_len_ = block;
            return out.size();
        }
        // Whole blocks straight into the caller's buffer.
        const std::span<uint8_t> dest = out.subspan(done, room - room % block);
        std::copy_n(partial_.begin(), partial_len_, dest.begin());
        size_t have = partial_len_;
        partial_len_ = 0;
        const size_t got = in_.read(dest.subspan(have));
        have += got;
        const size_t whole = have - have % block;
        // Bytes past the last whole block wait for the next read.
        std::copy_n(dest.begin() + static_cast<ptrdiff_t>(whole), have - whole, partial_.begin());
        partial_len_ = have - whole;
        if (whole > 0 && !aes_.decrypt(dest.first(whole)))
            return done;
        done += whole;
        if (got == 0)
            break;
    }
    return done;
}

} // namespace velmora

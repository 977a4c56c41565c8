// Traditional ZIP decryption (PKWARE APPNOTE 6.1) on the way from the
// archive to the decoder: each piece read is decrypted in place, continuing
// one key stream.
#pragma once

#include "codecs/ByteStream.h"
#include "formats/zip/Cls_Encrypt.h"

namespace velmora {

class ZipCryptoSource final : public ByteSource {
public:
    // keys: set up from the password and already run over the 12-byte header.
    ZipCryptoSource(ByteSource& in, const Cls_Encrypt& keys) : in_(in), keys_(keys) {}

    size_t read(std::span<uint8_t> out) override
    {
        const size_t n = in_.read(out);
        keys_.ZipDecryptArray(out.first(n));
        return n;
    }

private:
    ByteSource& in_;
    Cls_Encrypt keys_;
};

} // namespace velmora

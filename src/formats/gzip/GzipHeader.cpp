// Reading a gzip member header (RFC 1952, section 2.3).
#include "formats/gzip/GzipHeader.h"

namespace velmora {

GzipMemberHeader read_gzip_header(const std::function<uint8_t(uint64_t)>& byte_at, uint64_t size,
                                  uint64_t start, size_t max_text)
{
    GzipMemberHeader h;
    uint64_t pos = start;
    // Past the end of the file every byte reads as zero; that also ends an
    // unterminated text.
    const auto next = [&]() -> uint8_t {
        const uint64_t p = pos++;
        return p < size ? byte_at(p) : 0;
    };
    const auto le16 = [&]() -> uint16_t {
        const uint16_t lo = next();
        return static_cast<uint16_t>(lo | (next() << 8));
    };
    const auto text = [&](std::string& out) {
        while (pos < size) {
            const uint8_t c = next();
            if (c == 0)
                return;
            if (out.size() < max_text)
                out.push_back(static_cast<char>(c));
        }
        ++pos; // the missing terminator
    };

    h.id1 = next();
    h.id2 = next();
    h.CM = next();
    h.FLG = next();
    const uint32_t lo = le16();
    h.MTIME = lo | (static_cast<uint32_t>(le16()) << 16);
    h.XFL = next();
    h.OS = next();
    if (h.FLG & gzip_flag::FEXTRA) {
        const uint16_t XLEN = le16();
        const uint64_t have = pos < size ? size - pos : 0;
        const uint64_t keep = XLEN < have ? XLEN : have;
        for (uint64_t i = 0; i < keep; ++i)
            h.extra.push_back(static_cast<char>(byte_at(pos + i)));
        pos += XLEN;
    }
    if (h.FLG & gzip_flag::FNAME)
        text(h.name);
    if (h.FLG & gzip_flag::FCOMMENT)
        text(h.comment);
    if (h.FLG & gzip_flag::FHCRC)
        h.header_crc = le16();
    if (h.FLG & gzip_flag::ENCRYPTED)
        for (auto& b : h.crypt_header)
            b = next();
    h.complete = pos <= size;
    h.data_start = pos < size ? pos : size;
    return h;
}

} // namespace velmora

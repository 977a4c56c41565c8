// RAR 5 block walk. Each header is read whole (at most 2 MiB), its CRC-32
// checked, and then parsed through a bounds-checked cursor, so a damaged
// header can neither read outside itself nor make the walk go backwards.
#include "formats/catalogue/Rar5Headers.h"

#include <algorithm>
#include <cstring>

#include "archive/BufferedReader.h"
#include "archive/ByteFields.h"
#include "archive/Cls_CRC32.h"
#include "codecs/Crypto.h"

namespace velmora::rar5 {
namespace {

// vint: 7 bits a byte, low bits first, high bit set on every byte but the
// last; at most 10 bytes for 64 bits, the tenth holding only bit 63.
bool read_vint(ByteCursor& c, uint64_t& v)
{
    v = 0;
    for (unsigned i = 0; i < 10; ++i) {
        uint8_t b = 0;
        if (!c.u8(b))
            return false;
        if (i == 9 && (b & 0xFE))
            return false;
        v |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
        if (!(b & 0x80))
            return true;
    }
    return false;
}

bool read_le64(ByteCursor& c, uint64_t& v)
{
    uint32_t lo = 0, hi = 0;
    if (!c.le32(lo) || !c.le32(hi))
        return false;
    v = lo | (static_cast<uint64_t>(hi) << 32);
    return true;
}

template <size_t N>
bool read_array(ByteCursor& c, std::array<uint8_t, N>& out)
{
    std::span<const uint8_t> b;
    if (!c.bytes(N, b))
        return false;
    std::copy(b.begin(), b.end(), out.begin());
    return true;
}

bool read_text(ByteCursor& c, std::string& out)
{
    uint64_t len = 0;
    std::span<const uint8_t> b;
    if (!read_vint(c, len) || len > c.remaining() || !c.bytes(static_cast<size_t>(len), b))
        return false;
    out = bytes_to_string(b);
    return true;
}

// Extra record types of file and service headers.
constexpr uint64_t fhext_crypt = 1, fhext_hash = 2, fhext_htime = 3, fhext_version = 4, fhext_redir = 5,
                   fhext_uowner = 6, fhext_subdata = 7;
// Main header extra record: the locator.
constexpr uint64_t mhext_locator = 1;

bool parse_encryption(ByteCursor& c, encryption_info& e, bool with_iv)
{
    if (!read_vint(c, e.version) || !read_vint(c, e.flags) || !c.u8(e.kdf_count) || !read_array(c, e.salt))
        return false;
    if (with_iv && !read_array(c, e.iv))
        return false;
    if (e.flags & 1) {
        std::array<uint8_t, 12> check{};
        if (!read_array(c, check))
            return false;
        e.check = check;
    }
    return true;
}

bool parse_time_record(ByteCursor& c, record& r)
{
    uint64_t flags = 0;
    if (!read_vint(c, flags))
        return false;
    const bool unix_form = flags & 0x01;
    std::optional<file_time>* const slots[3] = {&r.mtime, &r.ctime, &r.atime};
    const uint64_t present[3] = {0x02, 0x04, 0x08};
    for (int i = 0; i < 3; ++i) {
        if (!(flags & present[i]))
            continue;
        file_time t;
        t.windows = !unix_form;
        if (unix_form) {
            uint32_t v = 0;
            if (!c.le32(v))
                return false;
            t.value = v;
        } else if (!read_le64(c, t.value)) {
            return false;
        }
        *slots[i] = t;
    }
    // Nanoseconds of the Unix form follow, in the same order.
    if (unix_form && (flags & 0x10)) {
        for (int i = 0; i < 3; ++i) {
            if (!(flags & present[i]))
                continue;
            uint32_t ns = 0;
            if (!c.le32(ns))
                return false;
            (*slots[i])->nanoseconds = ns;
        }
    }
    return true;
}

bool parse_owner(ByteCursor& c, owner_info& o)
{
    uint64_t flags = 0;
    if (!read_vint(c, flags))
        return false;
    std::string s;
    if (flags & 0x01) {
        if (!read_text(c, s))
            return false;
        o.user = s;
    }
    if (flags & 0x02) {
        if (!read_text(c, s))
            return false;
        o.group = s;
    }
    uint64_t id = 0;
    if (flags & 0x04) {
        if (!read_vint(c, id))
            return false;
        o.uid = id;
    }
    if (flags & 0x08) {
        if (!read_vint(c, id))
            return false;
        o.gid = id;
    }
    return true;
}

// One extra record's data. A damaged record of a known type is dropped (an
// encryption record still marks the entry encrypted); the header is kept.
void parse_file_extra(uint64_t type, std::span<const uint8_t> data, record& r)
{
    ByteCursor c(data);
    switch (type) {
    case fhext_crypt: {
        encryption_info e;
        if (parse_encryption(c, e, true))
            r.encryption = e;
        else
            r.encryption = encryption_info{};  // still encrypted, parameters unknown
        break;
    }
    case fhext_hash: {
        uint64_t hash_type = 0;
        std::array<uint8_t, 32> h{};
        if (read_vint(c, hash_type) && hash_type == 0 && read_array(c, h))
            r.blake2sp = h;
        break;
    }
    case fhext_htime: {
        record tmp;
        if (parse_time_record(c, tmp)) {
            r.mtime = tmp.mtime;
            r.ctime = tmp.ctime;
            r.atime = tmp.atime;
        }
        break;
    }
    case fhext_version: {
        uint64_t flags = 0, v = 0;
        if (read_vint(c, flags) && read_vint(c, v))
            r.version = v;
        break;
    }
    case fhext_redir: {
        redirection_info info;
        if (read_vint(c, info.type) && read_vint(c, info.flags) && read_text(c, info.target))
            r.redirection = info;
        break;
    }
    case fhext_uowner: {
        owner_info o;
        if (parse_owner(c, o))
            r.owner = o;
        break;
    }
    case fhext_subdata:
        r.service_data.assign(data.begin(), data.end());
        break;
    default:
        break;  // unknown records are skipped
    }
}

// Walks the records of an extra area; false when a record's size does not
// fit in the area.
template <typename Fn>
bool for_each_extra(std::span<const uint8_t> area, Fn fn)
{
    ByteCursor c(area);
    while (c.remaining() > 0) {
        uint64_t size = 0, type = 0;
        if (!read_vint(c, size) || size == 0 || size > c.remaining())
            return false;
        const size_t start = c.pos();
        const size_t end = start + static_cast<size_t>(size);
        if (!read_vint(c, type) || c.pos() > end)
            return false;
        fn(type, area.subspan(c.pos(), end - c.pos()));
        c.seek(end);
    }
    return true;
}

// File and service header fields after the common ones.
bool parse_file_fields(ByteCursor& c, record& r)
{
    uint64_t v = 0;
    if (!read_vint(c, r.file_flags) || !read_vint(c, r.unpacked_size) || !read_vint(c, r.attributes))
        return false;
    if (r.file_flags & fhfl_unix_time) {
        uint32_t t = 0;
        if (!c.le32(t))
            return false;
        r.unix_mtime = t;
    }
    if (r.file_flags & fhfl_crc32) {
        uint32_t crc = 0;
        if (!c.le32(crc))
            return false;
        r.crc32 = crc;
    }
    if (!read_vint(c, r.compression_info) || !read_vint(c, v))
        return false;
    r.host = v;
    return read_text(c, r.name);
}

// Sequential reads over bytes already in memory, with BufferedReader's calls.
class span_reader {
public:
    explicit span_reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint64_t size() const { return bytes_.size(); }
    void seek(uint64_t pos) { pos_ = pos; }
    bool read(size_t n, std::span<const uint8_t>& out)
    {
        if (pos_ > bytes_.size() || bytes_.size() - pos_ < n)
            return false;
        out = bytes_.subspan(static_cast<size_t>(pos_), n);
        pos_ += n;
        return true;
    }
    bool u8(uint8_t& v)
    {
        std::span<const uint8_t> b;
        if (!read(1, b))
            return false;
        v = b[0];
        return true;
    }
    bool le32(uint32_t& v)
    {
        std::span<const uint8_t> b;
        if (!read(4, b))
            return false;
        v = load_le32(b.data());
        return true;
    }

private:
    std::span<const uint8_t> bytes_;
    uint64_t pos_ = 0;
};

std::optional<uint64_t> search_signature(std::span<const uint8_t> head)
{
    const auto it = std::search(head.begin(), head.end(), signature.begin(), signature.end());
    if (it == head.end())
        return std::nullopt;
    return static_cast<uint64_t>(it - head.begin());
}

// The same calls over an archive file. Each read replaces the bytes of the
// one before: the walker is done with a header before it reads the next.
class file_reader {
public:
    explicit file_reader(const BinaryFile& file) : in_(file) {}
    uint64_t size() const { return in_.size(); }
    void seek(uint64_t pos) { in_.seek(pos); }
    bool read(size_t n, std::span<const uint8_t>& out)
    {
        if (!in_.read(n, bytes_))
            return false;
        out = bytes_;
        return true;
    }
    bool u8(uint8_t& v) { return in_.u8(v); }
    bool le32(uint32_t& v) { return in_.le32(v); }

private:
    BufferedReader in_;
    std::vector<uint8_t> bytes_;
};

template <typename Reader>
class walker {
public:
    walker(Reader& in, bool check_crc, const std::array<uint8_t, 32>* header_key = nullptr)
        : in_(in), check_crc_(check_crc)
    {
        if (header_key)
            key_ = *header_key;
    }

    listing run()
    {
        // Usually at the start; else searched for past a stub.
        std::span<const uint8_t> head;
        in_.seek(0);
        std::optional<uint64_t> sig;
        if (in_.read(signature.size(), head) && std::equal(head.begin(), head.end(), signature.begin())) {
            sig = 0;
        } else {
            in_.seek(0);
            const size_t n = static_cast<size_t>(std::min<uint64_t>(in_.size(), max_sfx_size + signature.size()));
            if (in_.read(n, head))
                sig = search_signature(head);
        }
        if (!sig) {
            out_.end = walk_end::no_signature;
            return std::move(out_);
        }
        out_.signature_offset = *sig;
        uint64_t pos = *sig + signature.size();
        for (;;) {
            out_.end_offset = pos;
            if (pos == in_.size()) {
                out_.end = walk_end::end_of_file;
                break;
            }
            const auto next = header_at(pos);
            if (!next)
                break;
            pos = *next;
        }
        find_comment();
        return std::move(out_);
    }

private:
    // Reads and handles the header at pos; the position after its data, or
    // nothing when the walk ends here (out_.end says why).
    std::optional<uint64_t> header_at(uint64_t pos)
    {
        if (decrypting_)
            return encrypted_header_at(pos);
        in_.seek(pos);
        uint32_t stored_crc = 0;
        if (!in_.le32(stored_crc))
            return stop(walk_end::truncated);
        // Header size: a vint of at most 3 bytes.
        uint64_t size = 0;
        unsigned size_len = 0;
        uint8_t b = 0x80;
        while ((b & 0x80) && size_len < 3) {
            if (!in_.u8(b))
                return stop(walk_end::truncated);
            size |= static_cast<uint64_t>(b & 0x7F) << (7 * size_len);
            ++size_len;
        }
        if ((b & 0x80) || size == 0 || size > max_header_size)
            return stop(walk_end::bad_header);
        in_.seek(pos + 4);
        std::span<const uint8_t> covered;  // the size field and the header: what the CRC covers
        if (!in_.read(size_len + static_cast<size_t>(size), covered))
            return stop(walk_end::truncated);
        if (check_crc_ && crc32_update(0, covered) != stored_crc)
            return stop(walk_end::bad_crc);
        return parse_header(pos, covered, size_len, pos + 4 + size_len + size);
    }

    // An encrypted header: a 16-byte IV, then the CRC-32, size and header
    // encrypted with AES-256-CBC and padded to whole blocks.
    std::optional<uint64_t> encrypted_header_at(uint64_t pos)
    {
        constexpr size_t block = crypto::aes_block_size;
        std::span<const uint8_t> got;
        in_.seek(pos);
        if (!in_.read(2 * block, got))
            return stop(walk_end::truncated);
        std::array<uint8_t, block> iv{};
        std::copy_n(got.begin(), block, iv.begin());
        std::array<uint8_t, block> first{};
        std::copy_n(got.begin() + block, block, first.begin());
        crypto::AesCbcDecryptor aes;
        if (!aes.init(*key_, iv) || !aes.decrypt(first))
            return stop(walk_end::bad_header);
        uint64_t size = 0;
        unsigned size_len = 0;
        uint8_t b = 0x80;
        while ((b & 0x80) && size_len < 3) {
            b = first[4 + size_len];
            size |= static_cast<uint64_t>(b & 0x7F) << (7 * size_len);
            ++size_len;
        }
        if ((b & 0x80) || size == 0 || size > max_header_size)
            return stop(check_crc_ ? walk_end::bad_crc : walk_end::bad_header);
        const uint64_t total = 4 + size_len + size;
        const uint64_t padded = (total + block - 1) / block * block;
        in_.seek(pos + block);
        if (!in_.read(static_cast<size_t>(padded), got))
            return stop(walk_end::truncated);
        plain_.assign(got.begin(), got.end());
        if (!aes.init(*key_, iv) || !aes.decrypt(plain_))
            return stop(walk_end::bad_header);
        const std::span<const uint8_t> covered = std::span<const uint8_t>(plain_).subspan(4, static_cast<size_t>(total - 4));
        if (check_crc_ && crc32_update(0, covered) != load_le32(plain_.data()))
            return stop(walk_end::bad_crc);
        return parse_header(pos, covered, size_len, pos + block + padded);
    }

    // The header's fields: `covered` holds the size vint (size_len bytes) and
    // the header; its data starts at data_offset.
    std::optional<uint64_t> parse_header(uint64_t pos, std::span<const uint8_t> covered, unsigned size_len,
                                         uint64_t data_offset)
    {
        const std::span<const uint8_t> body = covered.subspan(size_len);
        ByteCursor c(body);
        uint64_t type = 0, flags = 0, extra_size = 0, data_size = 0;
        if (!read_vint(c, type) || !read_vint(c, flags))
            return stop(walk_end::bad_header);
        if ((flags & hfl_extra) && !read_vint(c, extra_size))
            return stop(walk_end::bad_header);
        if ((flags & hfl_data) && !read_vint(c, data_size))
            return stop(walk_end::bad_header);
        if (extra_size > c.remaining())
            return stop(walk_end::bad_header);
        const size_t fields_end = body.size() - static_cast<size_t>(extra_size);
        ByteCursor fields(body.first(fields_end), c.pos());
        const std::span<const uint8_t> extra = body.subspan(fields_end);

        const bool data_fits = data_offset <= in_.size() && data_size <= in_.size() - data_offset;
        const uint64_t next = data_fits ? data_offset + data_size : in_.size();

        switch (type) {
        case static_cast<uint64_t>(header_type::main):
            if (!main_header(fields, extra))
                return stop(walk_end::bad_header);
            break;
        case static_cast<uint64_t>(header_type::file):
        case static_cast<uint64_t>(header_type::service): {
            record r;
            r.type = static_cast<header_type>(type);
            r.header_offset = pos;
            r.header_flags = flags;
            r.data_offset = data_offset;
            r.data_size = data_size;
            r.data_truncated = !data_fits;
            if (!parse_file_fields(fields, r))
                return stop(walk_end::bad_header);
            if (!for_each_extra(extra, [&](uint64_t t, std::span<const uint8_t> d) { parse_file_extra(t, d, r); }))
                return stop(walk_end::bad_header);
            out_.records.push_back(std::move(r));
            break;
        }
        case static_cast<uint64_t>(header_type::encryption): {
            encryption_info e;
            if (!parse_encryption(fields, e, false))
                return stop(walk_end::bad_header);
            out_.header_encryption = e;
            out_.end_offset = data_offset;
            if (!key_)
                return stop(walk_end::encrypted_headers);
            decrypting_ = true;
            break;
        }
        case static_cast<uint64_t>(header_type::end): {
            uint64_t end_flags = 0;
            if (!read_vint(fields, end_flags))
                return stop(walk_end::bad_header);
            out_.end_flags = end_flags;
            out_.end_offset = data_offset;
            return stop(walk_end::end_header);
        }
        default:
            break;  // unknown headers are stepped over by their sizes
        }
        if (!data_fits)
            return stop(walk_end::truncated);
        return next;
    }

    bool main_header(ByteCursor& fields, std::span<const uint8_t> extra)
    {
        out_.has_main = true;
        if (!read_vint(fields, out_.archive_flags))
            return false;
        if (out_.archive_flags & mhfl_volume_number) {
            uint64_t v = 0;
            if (!read_vint(fields, v))
                return false;
            out_.volume_number = v;
        }
        return for_each_extra(extra, [&](uint64_t type, std::span<const uint8_t> data) {
            if (type != mhext_locator)
                return;
            ByteCursor c(data);
            uint64_t flags = 0, v = 0;
            if (!read_vint(c, flags))
                return;
            if ((flags & 1) && read_vint(c, v))
                out_.quick_open_offset = v;
            if ((flags & 2) && read_vint(c, v))
                out_.recovery_offset = v;
        });
    }

    // The first CMT service header is the archive comment; a stored one of
    // reasonable size is read here.
    void find_comment()
    {
        for (size_t i = 0; i < out_.records.size(); ++i) {
            const record& r = out_.records[i];
            if (!r.is_service() || r.name != "CMT")
                continue;
            out_.comment_record = i;
            std::span<const uint8_t> text;
            in_.seek(r.data_offset);
            if (r.method() == 0 && !r.encrypted() && !r.data_truncated && r.data_size <= max_header_size
                && in_.read(static_cast<size_t>(r.data_size), text)) {
                // RAR stores the comment with a terminating zero.
                while (!text.empty() && text.back() == 0)
                    text = text.first(text.size() - 1);
                out_.comment = bytes_to_string(text);
            }
            return;
        }
    }

    std::nullopt_t stop(walk_end why)
    {
        out_.end = why;
        return std::nullopt;
    }

    Reader& in_;
    bool check_crc_;
    std::optional<std::array<uint8_t, 32>> key_;  // headers after the encryption header are decrypted with it
    bool decrypting_ = false;
    std::vector<uint8_t> plain_;
    listing out_;
};

template <typename Reader>
listing walk(Reader& in, bool check_crc, const std::array<uint8_t, 32>* header_key = nullptr)
{
    try {
        return walker<Reader>(in, check_crc, header_key).run();
    } catch (...) {
        listing failed;
        failed.end = walk_end::bad_header;
        return failed;
    }
}

} // namespace

int64_t file_time::unix_seconds() const
{
    if (!windows)
        return static_cast<int64_t>(value);
    // FILETIME counts 100 ns units from 1601-01-01.
    constexpr int64_t epoch_difference = 11644473600;
    return static_cast<int64_t>(value / 10000000) - epoch_difference;
}

uint64_t record::dictionary_size() const
{
    const unsigned pow = static_cast<unsigned>((compression_info >> 10) & 0x1F);
    switch (algorithm_version()) {
    case 0:
        return uint64_t{128 * 1024} << (pow & 0x0F);
    case 1:
        // RAR 7.0: a power of two from 128 KiB and a fraction in 32nds.
        return (32 + ((compression_info >> 15) & 0x1F)) << (12 + pow);
    default:
        return 0;
    }
}

std::optional<int64_t> record::modification_time() const
{
    if (mtime)
        return mtime->unix_seconds();
    if (unix_mtime)
        return static_cast<int64_t>(*unix_mtime);
    return std::nullopt;
}

std::optional<uint64_t> find_signature(const BinaryFile& file)
{
    const uint64_t limit = std::min<uint64_t>(file.size(), max_sfx_size + signature.size());
    const std::vector<uint8_t> head = file.read_vector(0, static_cast<size_t>(limit));
    return search_signature(head);
}

listing read_headers(const BinaryFile& file, bool check_crc)
{
    if (!file.is_open()) {
        listing none;
        none.end = walk_end::no_signature;
        return none;
    }
    file_reader in(file);
    return walk(in, check_crc);
}

listing read_headers(const BinaryFile& file, const std::array<uint8_t, 32>& header_key, bool check_crc)
{
    if (!file.is_open()) {
        listing none;
        none.end = walk_end::no_signature;
        return none;
    }
    file_reader in(file);
    return walk(in, check_crc, &header_key);
}

listing read_headers(std::span<const uint8_t> bytes, bool check_crc)
{
    span_reader in(bytes);
    return walk(in, check_crc);
}

std::string method_text(unsigned method)
{
    static const char* const texts[] = {"No Compression", "Fastest", "Fast", "Normal", "Good", "Maximum"};
    return method < 6 ? texts[method] : "Unknown";
}

std::string host_text(uint64_t host)
{
    switch (host) {
    case static_cast<uint64_t>(host_os::windows): return "Win32";
    case static_cast<uint64_t>(host_os::unix): return "UNIX";
    default: return "unKnown";
    }
}

std::string version_text(unsigned algorithm_version)
{
    switch (algorithm_version) {
    case 0: return "5.0";
    case 1: return "7.0";
    default: return "Unknown";
    }
}

} // namespace velmora::rar5

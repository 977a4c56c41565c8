// RAR listing. RAR 1.5-4.x blocks are walked from the marker on; file
// headers become entries, the main header gives the archive comment, other
// blocks are stepped over, header CRCs are not checked. RAR 5 archives are
// walked by rar5::read_headers (CRC-checked), encrypted headers with the
// password asked for here. Beside each listed entry a DataRecord keeps what
// extraction needs (Cls_Rar_unpack.cpp).
#include "formats/catalogue/Cls_Rar.h"

#include "archive/RunMessages.h"
#include "archive/BinaryFile.h"
#include "archive/BufferedReader.h"
#include "archive/ByteFields.h"
#include "archive/FileRangeSource.h"
#include "archive/TextDecoding.h"
#include "archive/WindowServices.h"
#include "archive/Cls_CRC32.h"
#include "codecs/ByteStream.h"
#include "codecs/Crypto.h"
#include "codecs/Rar5Decoder.h"
#include "codecs/RarKeys.h"
#include "formats/catalogue/catalogue_common.h"

#include <algorithm>
#include <map>

namespace velmora {

namespace {

// Block header: HEAD_CRC(2) HEAD_TYPE(1) HEAD_FLAGS(2) HEAD_SIZE(2)
constexpr size_t base_header_size = 7;
constexpr uint8_t marker_block = 0x72;
constexpr uint8_t main_block = 0x73;
constexpr uint8_t file_block = 0x74;
constexpr uint8_t comment_block = 0x75;
constexpr uint8_t extra_info_block = 0x76;
constexpr uint8_t sub_block = 0x77;

// Main header after the block header: HighPosAV(2) PosAV(4)
constexpr size_t main_fields_size = 6;

// File header after the block header:
// PACK_SIZE(4) UNP_SIZE(4) HOST_OS(1) FILE_CRC(4) FTIME(4) UNP_VER(1) METHOD(1) NAME_SIZE(2) ATTR(4)
constexpr size_t off_pack_size = 0;
constexpr size_t off_unp_size = 4;
constexpr size_t off_host_os = 8;
constexpr size_t off_file_crc = 9;
constexpr size_t off_ftime = 13;
constexpr size_t off_unp_ver = 17;
constexpr size_t off_method = 18;
constexpr size_t off_name_size = 19;
constexpr size_t off_attr = 21;
constexpr size_t file_fields_size = 25;
// HIGH_PACK_SIZE(4) HIGH_UNP_SIZE(4), present with flag 0x0100
constexpr size_t high_sizes_size = 8;

constexpr uint16_t flag_comment = 0x0002; // main header: comment; file header: read as one too
constexpr uint16_t flag_password = 0x0004;
constexpr uint16_t dictionary_bits = 0x00E0; // all seven set: a directory
constexpr uint16_t flag_large = 0x0100;
constexpr uint16_t flag_unicode = 0x0200;
constexpr uint16_t flag_salt = 0x0400;
// File header flags extraction reads.
constexpr uint16_t flag_split_before = 0x0001;
constexpr uint16_t flag_split_after = 0x0002;
constexpr uint16_t flag_solid = 0x0010;
// Main header flags.
constexpr uint16_t main_volume = 0x0001;
constexpr uint16_t main_locked = 0x0004;
constexpr uint16_t main_solid = 0x0008;
constexpr uint16_t main_encrypted_headers = 0x0080;
constexpr uint8_t host_unix = 3;


// The texts of the block header fields of a marker block.
constexpr uint16_t marker_crc = 0x6152;
constexpr uint16_t marker_flags = 0x1A21;

// The end of a header as its HEAD_SIZE gives it, when HEAD_SIZE covers at
// least the bytes already read; otherwise the stored size cannot be right and
// the header is taken to end where the reading stopped.
std::optional<uint64_t> declared_end(uint64_t start, uint16_t HeadSize, uint64_t read_up_to)
{
    const uint64_t end = start + HeadSize;
    if (end < read_up_to)
        return std::nullopt;
    return end;
}

// Zero-terminated text inside a header: it ends at the first zero byte and
// never runs past the header's end; with no zero before that end the text is
// every byte up to it. No end means no room for a text. More than
// max_text_length bytes without a zero is an overflow.
std::string read_header_text(BufferedReader& in, std::optional<uint64_t> header_end)
{
    if (!header_end || *header_end <= in.pos())
        return {};
    const uint64_t room = *header_end - in.pos();
    const size_t window = static_cast<size_t>(std::min<uint64_t>(room, catalogue::max_text_length + 1));
    const uint64_t start = in.pos();
    std::string text;
    if (in.zstring(window - 1, text))
        return text;
    // No zero within the window: the header's bytes were checked to lie in
    // the file, so the window is all text.
    if (window > catalogue::max_text_length)
        throw walk_error("text too long");
    in.seek(start);
    std::vector<uint8_t> bytes;
    if (!in.read(window, bytes))
        return {};
    return bytes_to_string(bytes);
}

// RAR's packed Unicode names (flag 0x0200): the name field holds the OEM name,
// a zero byte, then a high byte and groups of four 2-bit opcodes, each
// followed by its operands:
//   0: one byte, the low byte of a character in page 0
//   1: one byte, the low byte of a character in the high byte's page
//   2: two bytes, a whole UTF-16 unit
//   3: a run taken from the OEM name: length byte L, plus a correction byte
//      C when L has bit 7 (then (L & 0x7F) + 2 characters OEM[i] + C in the
//      high byte's page; otherwise L + 2 characters OEM[i] as they are).
// Returns nullopt when the packed part does not decode.
std::optional<std::string> decode_unicode_name(std::span<const uint8_t> oem, std::span<const uint8_t> packed)
{
    std::u16string units;
    size_t pos = 0;
    auto take = [&](uint8_t& b) {
        if (pos >= packed.size())
            return false;
        b = packed[pos++];
        return true;
    };
    uint8_t high = 0;
    if (!take(high))
        return std::nullopt;
    // A name never decodes to more characters than the whole field holds
    // bytes; runs are bounded by the OEM name they copy from.
    const size_t max_units = oem.size() + 1 + packed.size();
    uint8_t flags = 0;
    int flag_bits = 0;
    while (pos < packed.size() && units.size() < max_units) {
        if (flag_bits == 0) {
            if (!take(flags))
                break;
            flag_bits = 8;
        }
        uint8_t a = 0;
        uint8_t b = 0;
        switch (flags >> 6) {
        case 0:
            if (!take(a))
                return std::nullopt;
            units.push_back(a);
            break;
        case 1:
            if (!take(a))
                return std::nullopt;
            units.push_back(static_cast<char16_t>(a | (high << 8)));
            break;
        case 2:
            if (!take(a) || !take(b))
                return std::nullopt;
            units.push_back(static_cast<char16_t>(a | (b << 8)));
            break;
        default: {
            if (!take(a))
                return std::nullopt;
            const bool corrected = (a & 0x80) != 0;
            uint8_t correction = 0;
            if (corrected && !take(correction))
                return std::nullopt;
            size_t run = corrected ? (a & 0x7Fu) + 2 : a + 2u;
            for (; run > 0; --run) {
                const size_t i = units.size();
                if (i >= oem.size())
                    return std::nullopt;
                if (corrected)
                    units.push_back(static_cast<char16_t>(static_cast<uint8_t>(oem[i] + correction) | (high << 8)));
                else
                    units.push_back(oem[i]);
            }
            break;
        }
        }
        flags = static_cast<uint8_t>(flags << 2);
        flag_bits -= 2;
    }
    if (const auto nul = units.find(u'\0'); nul != std::u16string::npos)
        units.resize(nul);
    if (units.empty())
        return std::nullopt;

    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t cp = units[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD; // a lone surrogate
        }
        append_utf8(out, cp);
    }
    return out;
}

// The stored name as text. With flag 0x0200 the name is the part before the
// first zero byte, replaced by the packed Unicode name that follows it when
// that decodes; without a zero byte such a name is UTF-8.
std::string entry_name(std::span<const uint8_t> field, uint16_t HeadFlags)
{
    if (HeadFlags & flag_unicode) {
        const auto zero = std::find(field.begin(), field.end(), uint8_t{0});
        if (zero != field.end()) {
            const auto oem = field.subspan(0, static_cast<size_t>(zero - field.begin()));
            const auto packed = field.subspan(oem.size() + 1);
            if (auto name = decode_unicode_name(oem, packed))
                return *name;
            return decode_archive_text(oem);
        }
    }
    return decode_archive_text(field);
}

std::string method_text(uint8_t PackMethod)
{
    switch (PackMethod) {
    case 48: return "No Compression";
    case 49: return "Fastest";
    case 50: return "Fast";
    case 51: return "Normal";
    case 52: return "Good";
    case 53: return "Maximum";
    default: return "Unknown";
    }
}

std::string host_text(uint8_t HostOS)
{
    switch (HostOS) {
    case 0: return "MS-DOS";
    case 1: return "OS/2";
    case 2: return "Win32";
    case 3: return "UNIX";
    default: return "unKnown";
    }
}

// HEAD_SIZE minus a fixed part, computed on signed 16-bit values (below their
// range is an overflow) and taken as an unsigned 16-bit count.
uint16_t remaining_after(uint16_t HeadSize, int fixed)
{
    const int diff = static_cast<int16_t>(HeadSize) - fixed;
    if (diff < INT16_MIN)
        throw walk_error("header size overflow");
    return static_cast<uint16_t>(diff);
}

// Blocks of other types (RAR 3.x service blocks 0x7A: archive comments,
// recovery records, NTFS streams; 0x7B end of archive) are stepped over
// whole: HEAD_SIZE bytes, plus ADD_SIZE data bytes when LONG_BLOCK (0x8000)
// is set. A HEAD_SIZE too small to be a block moves on seven bytes.
constexpr uint16_t long_block = 0x8000;

uint64_t step_over_other_block(BufferedReader& in, uint64_t start, uint16_t HeadFlags, uint16_t HeadSize)
{
    if (HeadSize < base_header_size)
        return in.pos();
    uint64_t next = start + HeadSize;
    uint32_t ADD_SIZE = 0;
    if ((HeadFlags & long_block) && HeadSize >= base_header_size + 4 && in.le32(ADD_SIZE))
        next += ADD_SIZE;
    return next;
}

} // namespace

int16_t Cls_Rar::Get_Contents(const std::string& ZipName)
{
    start_listing(ZipName);
    entries_.assign(1, Entry{});
    main_header_.reset();
    records_.clear();
    facts_ = ArchiveFacts{};
    password_.clear();

    BinaryFile file;
    if (!file.open(ZipName))
        throw walk_error("cannot open the archive");
    if (file.size() < base_header_size)
        return 0;
    if (const auto head = file.read_vector(0, rar5::signature.size());
        std::equal(head.begin(), head.end(), rar5::signature.begin(), rar5::signature.end())) {
        state_.PackFileType = format_code::rar;
        list_rar5(file);
        return 0;
    }
    BufferedReader in(file);
    std::vector<uint8_t> marker;
    if (!in.read(base_header_size, marker))
        return 0;
    if (load_le16(marker.data()) != marker_crc || marker[2] != marker_block
        || load_le16(marker.data() + 3) != marker_flags || load_le16(marker.data() + 5) != base_header_size)
        return 0;

    state_.PackFileType = format_code::rar;
    walk_then_list([&] { walk(in, file); }, [&] { build_listing(); });
    return 0;
}

void Cls_Rar::walk(BufferedReader& in, const BinaryFile& file)
{
    uint64_t pos = base_header_size;
    // One byte or none left: no block can start there.
    while (pos + 1 < in.size()) {
        in.seek(pos);
        BaseHeader h;
        h.start = pos;
        std::vector<uint8_t> b;
        if (!in.read(base_header_size, b))
            return; // a block header cut off by the end of the file
        h.HeadCRC = load_le16(b.data());
        h.HeadType = b[2];
        h.HeadFlags = load_le16(b.data() + 3);
        h.HeadSize = load_le16(b.data() + 5);

        Next next;
        switch (h.HeadType) {
        case marker_block:
            next = in.pos();
            break;
        case main_block:
            next = read_main_header(in, h);
            if (next && facts_.encrypted_headers) {
                walk_encrypted(file, *next);
                return;
            }
            break;
        case file_block:
            next = read_file_header(in, h);
            break;
        case comment_block: {
            // UNP_SIZE(2) UNP_VER(1) METHOD(1) COMM_CRC(2), then the packed comment
            std::vector<uint8_t> fields;
            if (!in.read(6, fields))
                return;
            next = in.pos() + remaining_after(h.HeadSize, 13);
            break;
        }
        case extra_info_block:
            next = in.pos() + remaining_after(h.HeadSize, 7);
            break;
        case sub_block: {
            // DATA_SIZE(4) SUB_TYPE(2) LEVEL(1); the data that follows the
            // header is not stepped over.
            std::vector<uint8_t> fields;
            if (!in.read(7, fields))
                return;
            const int rest = static_cast<int>(h.HeadSize) - 14;
            if (rest < 0)
                throw walk_error("negative sub block size");
            next = in.pos() + static_cast<uint64_t>(rest);
            break;
        }
        default:
            next = step_over_other_block(in, h.start, h.HeadFlags, h.HeadSize);
            break;
        }
        // Every step above moves forward, so the walk ends.
        if (!next)
            return;
        pos = *next;
    }
}

Cls_Rar::Next Cls_Rar::read_main_header(BufferedReader& in, const BaseHeader& h)
{
    std::vector<uint8_t> f;
    if (!in.read(main_fields_size, f))
        return std::nullopt;
    MainHeader m;
    m.HeadCRC = h.HeadCRC;
    m.HeadType = h.HeadType;
    m.HeadFlags = h.HeadFlags;
    m.HeadSize = static_cast<int16_t>(h.HeadSize);
    m.Reserved1 = load_le16(f.data());
    m.Reserved2 = load_le32(f.data() + 2);
    facts_.volume = h.HeadFlags & main_volume;
    facts_.locked = h.HeadFlags & main_locked;
    facts_.solid = h.HeadFlags & main_solid;
    facts_.encrypted_headers = h.HeadFlags & main_encrypted_headers;

    // RAR 2.x keeps its archive comment as a comment block inside the main
    // header, so the next block starts HEAD_SIZE bytes after this one.
    const auto end = declared_end(h.start, h.HeadSize, in.pos());
    if (end && *end > in.size())
        return std::nullopt;
    if (h.HeadFlags & flag_comment)
        m.Comment = decode_archive_text(read_header_text(in, end));
    main_header_ = std::move(m);
    return end ? *end : in.pos();
}

// What extraction needs of a RAR 1.5-4.x file header (all but the data
// position and the salt, which the caller reads).
Cls_Rar::DataRecord Cls_Rar::rar4_record(const Entry& e, uint64_t pack_high, uint64_t unp_high,
                                         std::span<const uint8_t> name)
{
    DataRecord d;
    d.stored_name = bytes_to_string(name);
    d.pack_size = (pack_high << 32) | static_cast<uint32_t>(e.PackSize);
    d.unp_size = (unp_high << 32) | static_cast<uint32_t>(e.UnpSize);
    d.unp_ver = e.UnpVer;
    d.method = e.PackMethod >= '0' ? e.PackMethod - '0' : 99u;
    d.solid = e.HeadFlags & flag_solid;
    d.dir = (e.HeadFlags & dictionary_bits) == dictionary_bits;
    d.split_before = e.HeadFlags & flag_split_before;
    d.split_after = e.HeadFlags & flag_split_after;
    d.crc = e.FileCRC;
    d.unix_mode = e.HostOS == host_unix ? static_cast<int32_t>(e.FileAttr & 0xFFFF) : -1;
    d.stamp = FileStamp::from_dos(static_cast<int16_t>(e.DosDate), static_cast<int16_t>(e.DosTime));
    d.encrypted = e.HeadFlags & flag_password;
    return d;
}

Cls_Rar::Next Cls_Rar::read_file_header(BufferedReader& in, const BaseHeader& h)
{
    std::vector<uint8_t> f;
    if (!in.read(file_fields_size, f))
        return std::nullopt;
    Entry e;
    e.HeadCRC = h.HeadCRC;
    e.HeadType = h.HeadType;
    e.HeadFlags = h.HeadFlags;
    e.HeadSize = static_cast<int16_t>(h.HeadSize);
    e.PackSize = static_cast<int32_t>(load_le32(f.data() + off_pack_size));
    e.UnpSize = static_cast<int32_t>(load_le32(f.data() + off_unp_size));
    e.HostOS = f[off_host_os];
    e.FileCRC = load_le32(f.data() + off_file_crc);
    e.FileTime = load_le32(f.data() + off_ftime);
    e.UnpVer = f[off_unp_ver];
    e.PackMethod = f[off_method];
    e.NameSize = load_le16(f.data() + off_name_size);
    e.FileAttr = load_le32(f.data() + off_attr);
    e.DosDate = static_cast<uint16_t>(e.FileTime >> 16);
    e.DosTime = static_cast<uint16_t>(e.FileTime & 0xFFFF);

    // Archives of 4 GiB and more store the high halves of both sizes before
    // the name; only the packed one matters, to find the next block.
    uint64_t pack_high = 0;
    uint64_t unp_high = 0;
    if (h.HeadFlags & flag_large) {
        std::vector<uint8_t> high;
        if (!in.read(high_sizes_size, high))
            return std::nullopt;
        pack_high = load_le32(high.data());
        unp_high = load_le32(high.data() + 4);
    }
    std::vector<uint8_t> name;
    if (!in.read(e.NameSize, name))
        return std::nullopt;
    e.Name = entry_name(name, h.HeadFlags);

    DataRecord d = rar4_record(e, pack_high, unp_high, name);
    if (h.HeadFlags & flag_salt) {
        // The salt follows the name (RAR 2.9 and later).
        const uint64_t after_name = in.pos();
        std::vector<uint8_t> salt;
        if (in.read(8, salt)) {
            d.salt.emplace();
            std::copy(salt.begin(), salt.end(), d.salt->begin());
        }
        in.seek(after_name);
    }

    // RAR 3.x puts more fields after the name (salt, extended time), all
    // counted in HEAD_SIZE: the packed data starts HEAD_SIZE bytes after the
    // header's start.
    const auto end = declared_end(h.start, h.HeadSize, in.pos());
    if (end && *end > in.size())
        return std::nullopt;

    catalogue::count_entry(state_);
    entries_.push_back(std::move(e));
    Entry& added = entries_.back();
    if (h.HeadFlags & flag_comment)
        added.Comment = decode_archive_text(read_header_text(in, end));
    const uint64_t data_pos = end ? *end : in.pos();
    d.data_pos = data_pos;
    records_.push_back(std::move(d));
    added.DataPos = static_cast<int32_t>(std::min<uint64_t>(data_pos + 1, INT32_MAX));

    if (pack_high != 0) {
        const uint64_t size = (pack_high << 32) | static_cast<uint32_t>(added.PackSize);
        if (size >= in.size())
            return std::nullopt; // the next block would lie past the end of the file
        return data_pos + size;
    }
    // The packed size is a signed 32-bit count here: a position past the
    // 32-bit range, at 0 or before, is a failure; any other backward step
    // would revisit blocks already read and ends the walk.
    const int64_t next_1based = static_cast<int64_t>(data_pos) + 1 + added.PackSize;
    if (next_1based > INT32_MAX)
        throw walk_error("position overflow");
    if (next_1based <= 0)
        throw walk_error("position before the start of the file");
    if (added.PackSize < 0)
        return std::nullopt;
    return static_cast<uint64_t>(next_1based - 1);
}

std::string Cls_Rar::CommentsPack()
{
    return main_header_ ? main_header_->Comment : std::string{};
}

ListedEntry Cls_Rar::listed_of(const Entry& e)
{
    ListedEntry l;
    l.name = e.Name;
    l.comment = e.Comment;
    l.is_dir = (e.HeadFlags & dictionary_bits) == dictionary_bits;
    l.method = method_text(e.PackMethod);
    l.crc32 = static_cast<int32_t>(e.FileCRC);
    l.compressed_size = e.PackSize;
    l.uncompressed_size = e.UnpSize;
    l.encrypted = (e.HeadFlags & flag_password) != 0;
    l.modified = DosDateTimeToDate(static_cast<int16_t>(e.DosDate), static_cast<int16_t>(e.DosTime));
    l.system_made_by = host_text(e.HostOS);
    l.version_made_by = "Unknown";
    l.system_needed = "Unknown";
    l.version_needed = catalogue::version_text(e.UnpVer / 10u, e.UnpVer % 10u);
    return l;
}

void Cls_Rar::walk_encrypted(const BinaryFile& file, uint64_t pos)
{
    constexpr size_t salt_size = 8;
    constexpr size_t block = crypto::aes_block_size;
    WindowServices& w = *state_.window;
    const std::string password = w.input_box(run_text::password_prompt, run_text::password_title);
    if (password.empty()) {
        w.message_box(run_text::invalid_password, program_title, MessageIcon::information);
        return;
    }
    std::map<std::array<uint8_t, salt_size>, rar_keys::rar3_key> keys;
    bool first = true;
    while (pos + salt_size + block <= file.size()) {
        std::array<uint8_t, salt_size> salt{};
        if (!file.read_exact(pos, salt))
            return;
        auto key = keys.find(salt);
        if (key == keys.end()) {
            const auto derived = rar_keys::derive_rar3(password, salt);
            if (!derived)
                return;
            key = keys.emplace(salt, *derived).first;
        }
        // Each header is encrypted on its own, from the IV of its salt.
        const auto decrypt = [&](std::span<uint8_t> bytes) {
            crypto::AesCbcDecryptor aes;
            return aes.init(key->second.key, key->second.iv) && aes.decrypt(bytes);
        };
        std::vector<uint8_t> h(block);
        if (!file.read_exact(pos + salt_size, h) || !decrypt(h))
            return;
        const uint16_t head_size = load_le16(h.data() + 5);
        const uint64_t padded = (uint64_t{head_size} + block - 1) / block * block;
        h.resize(static_cast<size_t>(padded));
        if (head_size < base_header_size || !file.read_exact(pos + salt_size, h) || !decrypt(h)
            || (crc32_update(0, std::span(h).subspan(2, head_size - 2)) & 0xFFFF) != load_le16(h.data())) {
            // The first header tells a wrong password from a damaged archive.
            if (first)
                w.message_box(run_text::invalid_password, program_title, MessageIcon::information);
            return;
        }
        first = false;
        password_ = password;
        const uint8_t type = h[2];
        const uint16_t flags = load_le16(h.data() + 3);
        const uint64_t header_end = pos + salt_size + padded;
        uint64_t add_size = 0;
        if (type == file_block) {
            const size_t fixed = base_header_size + file_fields_size + ((flags & flag_large) ? high_sizes_size : 0);
            if (head_size < fixed)
                return;
            const uint8_t* f = h.data() + base_header_size;
            Entry e;
            e.HeadCRC = load_le16(h.data());
            e.HeadType = type;
            e.HeadFlags = flags;
            e.HeadSize = static_cast<int16_t>(head_size);
            e.PackSize = static_cast<int32_t>(load_le32(f + off_pack_size));
            e.UnpSize = static_cast<int32_t>(load_le32(f + off_unp_size));
            e.HostOS = f[off_host_os];
            e.FileCRC = load_le32(f + off_file_crc);
            e.FileTime = load_le32(f + off_ftime);
            e.UnpVer = f[off_unp_ver];
            e.PackMethod = f[off_method];
            e.NameSize = load_le16(f + off_name_size);
            e.FileAttr = load_le32(f + off_attr);
            e.DosDate = static_cast<uint16_t>(e.FileTime >> 16);
            e.DosTime = static_cast<uint16_t>(e.FileTime & 0xFFFF);
            const uint64_t pack_high = (flags & flag_large) ? load_le32(f + file_fields_size) : 0;
            const uint64_t unp_high = (flags & flag_large) ? load_le32(f + file_fields_size + 4) : 0;
            if (fixed + e.NameSize > head_size)
                return;
            const auto name = std::span<const uint8_t>(h).subspan(fixed, e.NameSize);
            e.Name = entry_name(name, flags);
            e.DataPos = static_cast<int32_t>(std::min<uint64_t>(header_end + 1, INT32_MAX));

            DataRecord d = rar4_record(e, pack_high, unp_high, name);
            d.data_pos = header_end;
            if ((flags & flag_salt) && fixed + e.NameSize + salt_size <= head_size) {
                d.salt.emplace();
                std::copy_n(h.begin() + static_cast<ptrdiff_t>(fixed + e.NameSize), salt_size, d.salt->begin());
            }
            add_size = d.pack_size;
            catalogue::count_entry(state_);
            entries_.push_back(std::move(e));
            records_.push_back(std::move(d));
        } else if (type == 0x7B) {
            return; // end of archive
        } else if ((flags & long_block) && head_size >= base_header_size + 4) {
            add_size = load_le32(h.data() + base_header_size);
        }
        if (add_size > file.size() - std::min(file.size(), header_end))
            return;
        pos = header_end + add_size;
    }
}

namespace {

// What keeps a RAR 1.5-4.x entry from being extracted.
ExtractBlocker rar4_blocker(unsigned unp_ver, unsigned method, bool encrypted, bool dir)
{
    if (dir)
        return {};
    if (encrypted && unp_ver < 29)
        return {OutcomeReason::unsupported_encryption, unp_ver < 20 ? "RAR 1.5 encryption" : "RAR 2.0 encryption"};
    if (method == 0)
        return {};
    switch (unp_ver) {
    case 15:
    case 20:
    case 26:
    case 29:
    case 36:
        break;
    default:
        return {OutcomeReason::unsupported_method, "RAR " + catalogue::version_text(unp_ver / 10u, unp_ver % 10u)};
    }
    if (method > 5)
        return {OutcomeReason::unsupported_method, "RAR method " + std::to_string(method)};
    return {};
}

} // namespace

void Cls_Rar::build_listing()
{
    listing_.clear();
    listing_.reserve(entries_.size());
    for (size_t k = 1; k < entries_.size(); ++k) {
        listing_.push_back(listed_of(entries_[k]));
        if (k - 1 < records_.size()) {
            const DataRecord& d = records_[k - 1];
            listing_.back().blocker = rar4_blocker(d.unp_ver, d.method, d.encrypted, d.dir);
        }
    }
}

// RAR 5: every file header of this volume is an entry (parts continued from
// or into other volumes too, as the RAR 1.5-4.x listing gives them); service
// headers are not, the first CMT one is the archive comment.
void Cls_Rar::list_rar5(const BinaryFile& file)
{
    facts_.rar5 = true;
    rar5::listing l = rar5::read_headers(file);
    if (l.end == rar5::walk_end::encrypted_headers) {
        facts_.encrypted_headers = true;
        if (!ask_header_password(file, l))
            return;
    }
    facts_.solid = l.solid();
    facts_.locked = l.locked();
    facts_.volume = l.volume();
    for (const rar5::record& r : l.records) {
        if (r.is_service())
            continue;
        catalogue::count_entry(state_);
        add_rar5_record(r);
    }
    MainHeader m;
    m.Comment = rar5_comment(file, l);
    main_header_ = std::move(m);
}

bool Cls_Rar::ask_header_password(const BinaryFile& file, rar5::listing& l)
{
    WindowServices& w = *state_.window;
    const auto refuse = [&] {
        w.message_box(run_text::invalid_password, program_title, MessageIcon::information);
        return false;
    };
    const std::string password = w.input_box(run_text::password_prompt, run_text::password_title);
    if (password.empty() || !l.header_encryption)
        return refuse();
    const rar5::encryption_info& e = *l.header_encryption;
    const auto key = rar_keys::derive_rar5(password, e.salt, e.kdf_count);
    if (!key || (e.check && !rar_keys::rar5_check_matches(*key, *e.check)))
        return refuse();
    rar5::listing decrypted = rar5::read_headers(file, key->key);
    // A wrong key turns the first encrypted header into noise.
    if (decrypted.records.empty() && !decrypted.has_main && decrypted.end == rar5::walk_end::bad_crc)
        return refuse();
    l = std::move(decrypted);
    password_ = password;
    return true;
}

void Cls_Rar::add_rar5_record(const rar5::record& r)
{
    ListedEntry e;
    e.name = r.name;
    e.is_dir = r.is_dir();
    e.method = rar5::method_text(r.method());
    e.crc32 = r.crc32 ? static_cast<int32_t>(*r.crc32) : 0;
    e.compressed_size = static_cast<int64_t>(std::min<uint64_t>(r.data_size, INT64_MAX));
    e.uncompressed_size = r.unpacked_size_unknown() ? 0 : static_cast<int64_t>(std::min<uint64_t>(r.unpacked_size, INT64_MAX));
    e.encrypted = r.encrypted();
    e.system_made_by = rar5::host_text(r.host);
    e.version_made_by = "Unknown";
    e.system_needed = "Unknown";
    e.version_needed = rar5::version_text(r.algorithm_version());

    DataRecord d;
    d.stored_name = r.name;
    d.data_pos = r.data_offset;
    d.pack_size = r.data_size;
    d.unp_size = r.unpacked_size;
    d.unp_size_unknown = r.unpacked_size_unknown();
    d.unp_ver = r.algorithm_version() == 0 ? 50 : r.algorithm_version() == 1 ? 70 : 0;
    d.method = r.method();
    d.solid = r.solid();
    d.dir = r.is_dir();
    d.split_before = r.split_before();
    d.split_after = r.split_after();
    d.crc = r.crc32;
    d.blake2 = r.blake2sp;
    d.unix_mode = r.host == static_cast<uint64_t>(rar5::host_os::unix) ? static_cast<int32_t>(r.attributes & 07777) : -1;
    d.encrypted = r.encrypted();
    d.rar5_crypt = r.encryption;
    d.dictionary = r.dictionary_size();
    d.extended_distances = r.extended_distances();
    d.redirection = r.redirection;
    if (const auto t = r.modification_time()) {
        uint32_t ns = 0;
        if (r.mtime)
            ns = r.mtime->windows ? static_cast<uint32_t>(r.mtime->value % 10000000) * 100 : r.mtime->nanoseconds;
        d.stamp = FileStamp::from_unix(*t, ns);
        int16_t date = 0;
        int16_t time = 0;
        UnixTimeToDos(*t, date, time);
        e.modified = DosDateTimeToDate(date, time);
    }

    if (!d.dir) {
        if (d.unp_ver == 0)
            e.blocker = {OutcomeReason::unsupported_method, "RAR " + rar5::version_text(r.algorithm_version())};
        else if (d.method > 5)
            e.blocker = {OutcomeReason::unsupported_method, "RAR method " + std::to_string(d.method)};
        else if (d.method != 0 && (d.dictionary == 0 || d.dictionary > Rar5Decoder::max_dictionary))
            e.blocker = {OutcomeReason::unsupported_method, "RAR dictionary over 1 GiB"};
        else if (r.encryption && (r.encryption->version != 0 || r.encryption->kdf_count > rar_keys::rar5_max_log2_count))
            e.blocker = {OutcomeReason::unsupported_encryption, "RAR 5 encryption version " + std::to_string(r.encryption->version)};
    }
    listing_.push_back(std::move(e));
    records_.push_back(std::move(d));
}

// The archive comment: stored, or packed by the RAR 5 coder (the comment's
// own size bounds what is decoded).
std::string Cls_Rar::rar5_comment(const BinaryFile& file, const rar5::listing& l)
{
    if (l.comment)
        return *l.comment;
    if (!l.comment_record)
        return {};
    const rar5::record& r = l.records[*l.comment_record];
    constexpr uint64_t max_comment = 256 * 1024;
    if (r.encrypted() || r.method() == 0 || r.unpacked_size > max_comment || r.algorithm_version() > 1)
        return {};
    FileRangeSource in(file, r.data_offset, r.data_size);
    std::vector<uint8_t> text;
    VectorSink out(text, max_comment);
    Rar5Decoder decoder;
    decoder.set_dictionary(std::min<uint64_t>(r.dictionary_size(), 4u << 20), r.extended_distances());
    if (decoder.decode(in, out, r.unpacked_size, false) != DecodeStatus::ok)
        return {};
    while (!text.empty() && text.back() == 0)
        text.pop_back();
    return bytes_to_string(text);
}

} // namespace velmora

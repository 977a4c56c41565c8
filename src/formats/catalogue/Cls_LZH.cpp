// LZH/LHA reader. Headers follow one another, each followed by its packed
// data, up to a zero byte or anything that is no "-l??-" header. The level
// byte (offset 20 in every layout) picks the layout: levels 0 and 1 have a
// one-byte size (level 1 goes on with extended headers that its packed size
// counts), level 2 a two-byte size covering its extended headers, level 3
// four-byte sizes. Names come from the base header or extended headers 0x01
// and 0x02 (0x44 and 0x45 in UTF-16), joined with "/".
#include "formats/catalogue/Cls_LZH.h"

#include "formats/catalogue/CatalogueUnpack.h"
#include "formats/catalogue/MacBinaryFilter.h"
#include "formats/catalogue/catalogue_common.h"

#include "archive/BinaryFile.h"
#include "archive/BufferedReader.h"
#include "archive/ByteFields.h"
#include "archive/FileRangeSource.h"
#include "archive/TextDecoding.h"
#include "codecs/LhaDecoder.h"
#include "codecs/StoredCopy.h"

#include <algorithm>
#include <limits>
#include <span>
#include <stdexcept>

namespace velmora {

namespace {

// Level-0/1 header: size(1) sum(1) '-'(1) method(3) '-'(1) packed(4) original(4)
// time(4) attr(1) level(1) name_len(1) name(name_len) crc(2), then for level 0
// an optional extended area and for level 1 os(1) ... first_ext_size(2), the
// size byte counting everything after the checksum.
constexpr size_t l0_off_size = 0;
constexpr size_t l0_off_sum = 1;
constexpr size_t l0_off_dash = 2;
constexpr size_t l0_off_method = 3;
constexpr size_t l0_off_closing_dash = 6;
constexpr size_t l0_off_packed = 7;
constexpr size_t l0_off_original = 11;
constexpr size_t l0_off_time = 15;
constexpr size_t l0_off_attr_level = 19;
constexpr size_t l0_off_name_len = 21;
constexpr size_t l0_fixed_size = 22;
static_assert(l0_off_name_len + 1 == l0_fixed_size);
constexpr size_t l0_crc_size = 2;
constexpr size_t l0_size_and_sum = 2; // the bytes the size byte does not count
// Smallest size byte of a header this reader takes (counts from the method).
constexpr uint8_t min_header_size = 24;
// Level 1 after the CRC: the OS id, and the size of the first extended
// header in the header's last two bytes.
constexpr size_t l1_tail_size = 1 + 2;
// Level-0 Unix area after the CRC (LHa for UNIX): os 'U'(1) minor(1) mtime(4)
// then mode(2) uid(2) gid(2) as its last six bytes.
constexpr size_t l0_unix_area_min = 12;
constexpr size_t l0_unix_off_mtime = 2;
constexpr size_t l0_unix_mode_from_end = 6;

// Level-2 header: size(2) '-'(1) method(3) '-'(1) packed(4) original(4) mtime(4)
// reserved(1) level(1) crc(2) os(1) next_ext_size(2), then extended headers
// type(1) data(n-3) next_ext_size(2) up to a zero next size; size counts all.
constexpr size_t l2_off_size = 0;
constexpr size_t l2_off_dash = 2;
constexpr size_t l2_off_method = 3;
constexpr size_t l2_off_closing_dash = 6;
constexpr size_t l2_off_packed = 7;
constexpr size_t l2_off_original = 11;
constexpr size_t l2_off_mtime = 15;
constexpr size_t l2_off_attr_level = 19;
constexpr size_t l2_off_level = 20;
constexpr size_t l2_off_crc = 21;
constexpr size_t l2_off_os = 23;
constexpr size_t l2_off_first_ext_size = 24;
constexpr size_t l2_base_size = 26;
static_assert(l2_off_first_ext_size + 2 == l2_base_size);
static_assert(l2_off_level == l0_off_attr_level + 1, "the level byte sits at offset 20 in every layout");
// LHa for OS-9/68k writes level-2 header sizes two bytes short.
constexpr uint8_t os_9_68k = 'K';
constexpr size_t os_9_68k_size_shortfall = 2;

// Level-3 header: word_size(2) = 4, then the level-2 fields up to os(1),
// header_size(4) next_ext_size(4); extended headers with four-byte sizes.
constexpr size_t l3_off_word_size = 0;
constexpr size_t l3_off_header_size = 24;
constexpr size_t l3_off_first_ext_size = 28;
constexpr size_t l3_base_size = 32;
static_assert(l3_off_first_ext_size + 4 == l3_base_size);
constexpr uint16_t l3_word_size = 4;
// No writer makes level-3 headers near this size; it bounds what one header may cost.
constexpr uint32_t l3_max_header_size = uint32_t{1} << 20;

// Extended header types.
constexpr uint8_t ext_file_name = 0x01;
constexpr uint8_t ext_directory = 0x02;
constexpr uint8_t ext_comment = 0x3F;
constexpr uint8_t ext_sizes = 0x42;       // 64-bit packed and original sizes
constexpr uint8_t ext_utf16_name = 0x44;
constexpr uint8_t ext_utf16_directory = 0x45;
constexpr uint8_t ext_unix_mode = 0x50;
constexpr uint8_t ext_unix_time = 0x54;
constexpr uint8_t lha_path_separator = 0xFF;
constexpr uint16_t lha_utf16_path_separator = 0xFFFF;

// MacLHA's OS id: its entries may be wrapped in MacBinary.
constexpr uint8_t os_maclha = 'm';

// LHARK writes level-1 headers with OS id ' ' and its own "-lh7-", which no
// other archiver decodes.
constexpr uint8_t os_lhark = ' ';

constexpr uint32_t unix_type_mask = 0170000; // S_IFMT
constexpr uint32_t unix_regular_file = 0100000;
constexpr uint32_t unix_symbolic_link = 0120000;

int64_t checked_position(int64_t from, int64_t delta)
{
    return catalogue::checked_position(from, delta, "LZH");
}

std::string method_text(const std::string& code)
{
    static constexpr struct {
        const char* code;
        const char* text;
    } methods[] = {
        {"lzs", "LZSS with 2kb window"},
        {"lz4", "no compression"},
        {"lz5", "LZSS with 4kb window"},
        {"lhd", "no compression (this is a directory, not a file!)"},
        {"lh0", "no compression (could be a directory or a file)"},
        {"lh1", "LZH with 4kb window, dynamic Huffman"},
        {"lh2", "LZH with 8kb window, dynamic Huffman"},
        {"lh3", "LZH with 8kb window, static Huffman"},
        {"lh4", "LZH with 4kb window, static canonical Huffman"},
        {"lh5", "LZH with 8kb window, static canonical Huffman"},
        {"lh6", "LZH with 32kb window, static canonical Huffman"},
        {"lh7", "LZH with 64kb window, static canonical Huffman"},
    };
    for (const auto& m : methods)
        if (code == m.code)
            return m.text;
    return "Unknown";
}

// "-l??": the dash and the leading lower-case L that every method code has.
bool method_start_ok(uint8_t dash, uint8_t first)
{
    return dash == '-' && first == 'l';
}

// The name pieces of one header, as stored, until they are joined.
struct name_parts {
    std::string name;   // base header name (before any zero byte) or extended header 0x01
    std::string folder; // extended header 0x02
    std::optional<std::string> utf16_name, utf16_folder; // 0x44, 0x45, already UTF-8
    bool saw_name_header = false;
};

// UTF-16LE text to UTF-8, 0xFFFF (LHA's separator) written "/"; an unpaired
// surrogate becomes U+FFFD, and a zero unit ends the text.
std::string utf16_to_utf8(std::span<const uint8_t> data)
{
    std::string out;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        uint32_t unit = load_le16(&data[i]);
        if (unit == 0)
            break;
        if (unit == lha_utf16_path_separator) {
            out.push_back('/');
            continue;
        }
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < data.size()) {
            const uint32_t low = load_le16(&data[i + 2]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        if (unit >= 0xD800 && unit <= 0xDFFF)
            unit = 0xFFFD;
        append_utf8(out, unit);
    }
    return out;
}

// Stored name bytes to text, LHA's 0xFF separators written "/".
std::string stored_path_text(std::string bytes)
{
    std::replace(bytes.begin(), bytes.end(), static_cast<char>(lha_path_separator), '/');
    return decode_archive_text(bytes);
}

void apply_extended(uint8_t type, std::span<const uint8_t> data, Cls_LZH::Entry& e, name_parts& parts)
{
    switch (type) {
    case ext_file_name:
        parts.name.assign(data.begin(), data.end());
        parts.saw_name_header = true;
        break;
    case ext_directory: parts.folder.assign(data.begin(), data.end()); break;
    case ext_comment: {
        std::string text(data.begin(), data.end());
        text.erase(std::find(text.begin(), text.end(), '\0'), text.end());
        e.Comment = decode_archive_text(text);
        break;
    }
    case ext_sizes:
        // Level 2 and 3 only: level 1 counts its extended headers in the packed size.
        if (data.size() >= 16 && e.Level >= 2) {
            e.DataSize = load_le64(&data[0]);
            e.OriginalSize = load_le64(&data[8]);
            e.WideSizes = true;
        }
        break;
    case ext_utf16_name: parts.utf16_name = utf16_to_utf8(data); break;
    case ext_utf16_directory: parts.utf16_folder = utf16_to_utf8(data); break;
    case ext_unix_mode:
        if (data.size() >= 2)
            e.UnixMode = load_le16(&data[0]);
        break;
    case ext_unix_time:
        if (data.size() >= 4)
            e.UnixTime = load_le32(&data[0]);
        break;
    default: break;
    }
}

// Extended headers inside a header read whole (levels 2 and 3): each names
// the size of the next in its last `width` bytes. A size that is too small or
// runs past the header ends the chain; what was read before it stands.
void walk_extended(std::span<const uint8_t> h, size_t at, uint64_t size, size_t width, Cls_LZH::Entry& e,
                   name_parts& parts)
{
    while (size >= 1 + width && size <= h.size() - at) {
        const size_t n = static_cast<size_t>(size);
        apply_extended(h[at], h.subspan(at + 1, n - 1 - width), e, parts);
        size = width == 2 ? load_le16(&h[at + n - 2]) : load_le32(&h[at + n - 4]);
        at += n;
    }
}

// The fields every layout keeps at the same offsets (2 to 20).
void read_common(std::span<const uint8_t> h, Cls_LZH::Entry& e)
{
    e.Dash = h[l0_off_dash];
    e.PackMethod.assign(reinterpret_cast<const char*>(&h[l0_off_method]), 3);
    e.ClosingDash = h[l0_off_closing_dash];
    e.PackSize = static_cast<int32_t>(load_le32(&h[l0_off_packed]));
    e.UnpSize = static_cast<int32_t>(load_le32(&h[l0_off_original]));
    e.FileTime = load_le32(&h[l0_off_time]);
    e.AttribLevel = load_le16(&h[l0_off_attr_level]);
    e.Level = h[l2_off_level];
    e.DataSize = static_cast<uint32_t>(e.PackSize);
    e.OriginalSize = static_cast<uint32_t>(e.UnpSize);
}

// Level-0/1 header at `start`. False when no entry header starts there.
// `base_end` is the offset just after the base header as its size byte
// gives it; the next header follows the packed size from there.
bool read_level01(BufferedReader& in, uint64_t start, Cls_LZH::Entry& e, name_parts& parts, uint64_t& base_end)
{
    in.seek(start);
    std::vector<uint8_t> h;
    if (!in.read(l0_fixed_size, h))
        return false;
    e.HeaderSize = h[l0_off_size];
    if (e.HeaderSize < min_header_size)
        return false;
    e.Checksum = h[l0_off_sum];
    if (!method_start_ok(h[l0_off_dash], h[l0_off_method]))
        return false;
    read_common(h, e);
    e.DosTime = static_cast<uint16_t>(e.FileTime & 0xFFFF);
    e.DosDate = static_cast<uint16_t>(e.FileTime >> 16);
    e.NameSize = h[l0_off_name_len];

    // The whole base header (and the name and CRC, should the size byte
    // claim less).
    const size_t header_size = size_t{e.HeaderSize} + l0_size_and_sum;
    const size_t crc_end = l0_fixed_size + e.NameSize + l0_crc_size;
    in.seek(start);
    if (!in.read(std::max(header_size, crc_end), h))
        return false;
    const auto name = std::span<const uint8_t>(h).subspan(l0_fixed_size, e.NameSize);
    // Amiga archivers keep a file's comment after a zero byte in the name.
    const auto zero = std::find(name.begin(), name.end(), uint8_t{0});
    parts.name.assign(name.begin(), zero);
    if (zero != name.end())
        e.Comment = decode_archive_text(std::string(zero + 1, name.end()));
    e.FileCRC = load_le16(&h[crc_end - l0_crc_size]);
    e.DataPos = static_cast<int32_t>(std::min<uint64_t>(start + crc_end + 1, std::numeric_limits<int32_t>::max()));
    base_end = start + header_size;
    e.DataOffset = base_end;

    if (e.Level == 1 && header_size >= crc_end + l1_tail_size) {
        e.OsId = h[crc_end];
        // Extended headers follow the base header; the packed size counts them.
        uint64_t at = base_end;
        uint64_t ext_total = 0;
        size_t size = load_le16(&h[header_size - 2]);
        std::vector<uint8_t> x;
        while (size != 0) {
            in.seek(at);
            if (size < 3 || size > e.DataSize - ext_total || !in.read(size, x)) {
                e.ExtendedDamaged = true;
                break;
            }
            apply_extended(x[0], std::span<const uint8_t>(x).subspan(1, size - 3), e, parts);
            ext_total += size;
            at += size;
            size = load_le16(&x[size - 2]);
        }
        e.DataOffset = base_end + ext_total;
        e.DataSize -= ext_total;
    } else if (e.Level == 0 && header_size >= crc_end + l0_unix_area_min && h[crc_end] == 'U' && h[crc_end + 1] == 0) {
        // LHa for UNIX keeps the exact time and the mode in this area.
        e.UnixTime = load_le32(&h[crc_end + l0_unix_off_mtime]);
        e.UnixMode = load_le16(&h[header_size - l0_unix_mode_from_end]);
    }
    return true;
}

// Level-2 header at `start`: the whole header is read first and its
// extended headers walked inside it.
bool read_level2(BufferedReader& in, uint64_t start, Cls_LZH::Entry& e, name_parts& parts, uint64_t& base_end)
{
    in.seek(start);
    std::vector<uint8_t> h;
    if (!in.read(l2_base_size, h))
        return false;
    size_t size = load_le16(&h[l2_off_size]);
    if (size < l2_base_size || !method_start_ok(h[l2_off_dash], h[l2_off_method]))
        return false;
    if (h[l2_off_os] == os_9_68k)
        size += os_9_68k_size_shortfall;
    in.seek(start);
    if (!in.read(size, h))
        return false;

    e.HeaderSize = h[l2_off_size];
    e.Checksum = h[l2_off_size + 1];
    read_common(h, e);
    e.UnixTime = e.FileTime;
    e.FileCRC = load_le16(&h[l2_off_crc]);
    e.OsId = h[l2_off_os];
    walk_extended(h, l2_base_size, load_le16(&h[l2_off_first_ext_size]), 2, e, parts);
    base_end = start + size;
    e.DataOffset = base_end;
    return true;
}

// Level-3 header at `start`: as level 2 with four-byte sizes.
bool read_level3(BufferedReader& in, uint64_t start, Cls_LZH::Entry& e, name_parts& parts, uint64_t& base_end)
{
    in.seek(start);
    std::vector<uint8_t> h;
    if (!in.read(l3_base_size, h))
        return false;
    const uint32_t size = load_le32(&h[l3_off_header_size]);
    if (load_le16(&h[l3_off_word_size]) != l3_word_size || !method_start_ok(h[l2_off_dash], h[l2_off_method])
        || size < l3_base_size || size > l3_max_header_size)
        return false;
    in.seek(start);
    if (!in.read(size, h))
        return false;

    e.HeaderSize = static_cast<uint8_t>(size);
    e.Checksum = 0;
    read_common(h, e);
    e.UnixTime = e.FileTime;
    e.FileCRC = load_le16(&h[l2_off_crc]);
    e.OsId = h[l2_off_os];
    walk_extended(h, l3_base_size, load_le32(&h[l3_off_first_ext_size]), 4, e, parts);
    base_end = start + size;
    e.DataOffset = base_end;
    return true;
}

// Joins folder and name, and settles the listed date: DOS words for levels
// 0 and 1, the Unix time in local DOS words for levels 2 and 3.
void finish_entry(Cls_LZH::Entry& e, const name_parts& parts)
{
    std::string folder = parts.utf16_folder ? *parts.utf16_folder : stored_path_text(parts.folder);
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    e.Name = folder + (parts.utf16_name ? *parts.utf16_name : stored_path_text(parts.name));
    e.StoredName = parts.name;
    if (e.Level >= 2) {
        e.NameSize = static_cast<uint8_t>(e.Name.size());
        int16_t date = 0, time = 0;
        UnixTimeToDos(e.FileTime, date, time);
        e.DosDate = static_cast<uint16_t>(date);
        e.DosTime = static_cast<uint16_t>(time);
        e.DataPos = static_cast<int32_t>(std::min<uint64_t>(e.DataOffset + 1, std::numeric_limits<int32_t>::max()));
    }
}

bool is_symbolic_link(const Cls_LZH::Entry& e)
{
    return e.PackMethod == "lhd" && e.UnixMode >= 0
           && (static_cast<uint32_t>(e.UnixMode) & unix_type_mask) == unix_symbolic_link;
}

// The permission bits a written file takes: those of a regular file.
int32_t file_mode(const Cls_LZH::Entry& e)
{
    if (e.UnixMode <= 0)
        return -1;
    const uint32_t type = static_cast<uint32_t>(e.UnixMode) & unix_type_mask;
    return type == 0 || type == unix_regular_file ? e.UnixMode : -1;
}

ExtractBlocker blocker_of(const Cls_LZH::Entry& e)
{
    const std::string id = "-" + e.PackMethod + "-";
    if (e.Level == 1 && e.OsId == os_lhark && e.PackMethod == "lh7")
        return {OutcomeReason::unsupported_method, id + " (LHARK)"};
    if (!lha_method_from_id(e.PackMethod))
        return {OutcomeReason::unsupported_method, id};
    return {};
}

} // namespace

Cls_LZH::Cls_LZH(ArchiveState& state) : HostlessReader(state, false), entries_(1) {}

int16_t Cls_LZH::Get_Contents(const std::string& ZipName)
{
    start_listing(ZipName);
    entries_.assign(1, Entry{});
    walk_then_list([&] { walk(ZipName); }, [&] { build_listing(); });
    if (state_.PackTotFiles > 0)
        state_.PackFileType = format_code::lzh;
    return 0;
}

void Cls_LZH::walk(const std::string& ZipName)
{
    BinaryFile file;
    if (!file.open(ZipName))
        throw std::runtime_error("cannot open the archive");
    BufferedReader in(file);

    uint64_t start = 0;
    for (;;) {
        in.seek(start);
        uint8_t size_byte = 0;
        if (!in.u8(size_byte) || size_byte == 0)
            return;
        uint8_t level = 0;
        in.seek(start + l2_off_level);
        if (!in.u8(level))
            level = 0;

        Entry e;
        name_parts parts;
        uint64_t base_end = 0;
        const bool read = level == 2   ? read_level2(in, start, e, parts, base_end)
                          : level == 3 ? read_level3(in, start, e, parts, base_end)
                                       : read_level01(in, start, e, parts, base_end);
        if (!read)
            return;
        finish_entry(e, parts);
        if (state_.PackTotFiles == std::numeric_limits<int32_t>::max())
            throw walk_error("too many LZH entries");
        entries_.push_back(std::move(e));
        ++state_.PackTotFiles;

        // The next header follows the packed data. A negative size would
        // step back over headers already read: the walk ends there instead.
        const int64_t data_start = checked_position(static_cast<int64_t>(std::min<uint64_t>(base_end, INT64_MAX / 2)), 1);
        const int64_t next = checked_position(data_start, entries_.back().PackSize);
        if (next < data_start || next - 1 < static_cast<int64_t>(in.pos()))
            return;
        start = static_cast<uint64_t>(next - 1);
    }
}

ListedEntry Cls_LZH::listed_of(const Entry& e)
{
    ListedEntry l;
    l.name = e.Name;
    l.comment = e.Comment.empty() ? "Not Supported" : e.Comment;
    l.is_dir = e.PackMethod == "lhd" || (e.UnpSize == 0 && !e.Name.empty() && e.Name.back() == '/');
    l.method = method_text(e.PackMethod);
    // The CRC-16 widened as a signed value: 0x8000 and above come out negative.
    l.crc32 = static_cast<int32_t>(static_cast<int16_t>(e.FileCRC));
    // The stored sizes (level 1's packed size counts its extended headers),
    // or the 64-bit ones of extended header 0x42.
    l.compressed_size = e.WideSizes ? static_cast<int64_t>(std::min<uint64_t>(e.DataSize, INT64_MAX)) : e.PackSize;
    l.uncompressed_size = e.WideSizes ? static_cast<int64_t>(std::min<uint64_t>(e.OriginalSize, INT64_MAX)) : e.UnpSize;
    l.modified = DosDateTimeToDate(static_cast<int16_t>(e.DosDate), static_cast<int16_t>(e.DosTime));
    l.system_made_by = l.version_made_by = l.system_needed = l.version_needed = "UnKnown";
    if (!l.is_dir)
        l.blocker = blocker_of(e);
    return l;
}

void Cls_LZH::build_listing()
{
    listing_.clear();
    listing_.reserve(entries_.size());
    for (size_t k = 1; k < entries_.size(); ++k)
        listing_.push_back(listed_of(entries_[k]));
}

int16_t Cls_LZH::UnPack(Selection& ZippedFile, std::string& ToPath)
{
    const auto count = static_cast<int32_t>(std::min<size_t>(listing_.size(), INT32_MAX));
    return CatalogueUnpack::run(state_, ZippedFile, ToPath, [&](int32_t k, CatalogueUnpack& unpack) {
        return k > count || extract(k, unpack);
    });
}

bool Cls_LZH::extract(int32_t FileNum, CatalogueUnpack& unpack)
{
    const Entry& e = entries_[static_cast<size_t>(FileNum)];
    const ListedEntry& l = listing_[static_cast<size_t>(FileNum) - 1];

    // A Unix symbolic link is a -lhd- entry named "link|target".
    const size_t bar = e.Name.find('|');
    const bool link = is_symbolic_link(e) && bar != std::string::npos;
    const std::string name = link ? e.Name.substr(0, bar) : l.name;
    if (!unpack.contained(FileNum, name))
        return true;
    if (link) {
        // Level-0 headers keep DOS separators in the target too.
        std::string target = e.Name.substr(bar + 1);
        std::replace(target.begin(), target.end(), '\\', '/');
        unpack.symbolic_link(FileNum, name, target);
        return true;
    }
    if (l.is_dir) {
        unpack.folder(FileNum, name);
        return true;
    }
    if (l.blocker) {
        unpack.skip(FileNum, l.blocker);
        return true;
    }
    if (e.ExtendedDamaged) {
        unpack.data_missing(FileNum, "extended headers");
        return true;
    }

    const lha_method method = *lha_method_from_id(e.PackMethod);
    unpack_file f;
    f.number = FileNum;
    f.name = name;
    f.unix_mode = file_mode(e);
    // A Unix time of 0 is a time not kept (the DOS words are 0 then too).
    f.stamp = e.UnixTime && *e.UnixTime != 0 ? FileStamp::from_unix(*e.UnixTime)
                         : FileStamp::from_dos(static_cast<int16_t>(e.DosDate), static_cast<int16_t>(e.DosTime));
    f.size = e.OriginalSize;
    f.crc = e.FileCRC;
    f.crc_kind = entry_crc::crc16;
    f.stored = method == lha_method::lh0 || method == lha_method::lz4;
    if (e.OsId == os_maclha) {
        const std::string base = e.StoredName.substr(e.StoredName.find_last_of("\\/\xFF") + 1);
        f.output_filter = [base, size = f.size](ByteSink& file) {
            return std::make_unique<MacBinaryFilter>(file, base, size);
        };
    }
    unpack.file(f, 1, [&](ByteSink& sink, size_t) {
        FileRangeSource source(unpack.archive(), e.DataOffset, e.DataSize);
        if (f.stored)
            return copy_stored(source, sink, f.size, unpack.copy_buffer(f.size));
        return LhaDecoder(method).decode(source, sink, f.size);
    });
    return true;
}

} // namespace velmora

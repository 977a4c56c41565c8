// Loading a ZIP archive's entry list (PKWARE APPNOTE 4.3.12-4.3.16, 4.5.3).
// The end record is searched for backwards through the file's last 65,557
// bytes and taken only where the central directory it names is really there
// (with or without data in front of the archive); Zip64 records give counts,
// sizes and offsets past 32 bits. Without an end record the count comes from
// a walk over the local headers. The directory is read through a buffer, so
// memory follows the entries found, not a declared count.
#include "formats/zip/Cls_Zip.h"

#include "archive/BinaryFile.h"
#include "archive/BufferedReader.h"
#include "archive/ByteFields.h"
#include "archive/Cls_CRC32.h"
#include "archive/TextDecoding.h"
#include "archive/ExtractionReport.h"
#include "formats/zip/zip_records.h"

#include <algorithm>
#include <array>
#include <limits>

namespace velmora {

namespace {

constexpr std::string_view unknown_header_message = "Unknown Zip Header.";
constexpr std::string_view error_title = "Error";

// WinZip AES (APPNOTE 4.4.5, method 99): the real method's text gets the
// key length after it.
constexpr int16_t method_winzip_aes = 99;

std::string MethodText(int16_t method)
{
    static constexpr std::array<std::string_view, 13> texts = {
        "No Compression",  "Shrunk",          "Reduce Factor 1",    "Reduce Factor 2", "Reduce Factor 3",
        "Reduce Factor 4", "Imploded",        "Tokenized",          "Deflated",        "Enhanced Deflating",
        "PKWARE Imploding", "Reserved",       "BZip2",
    };
    // The methods of today's tools (APPNOTE 4.4.5) that the reader extracts.
    switch (method) {
    case 14: return "LZMA";
    case 93: return "Zstandard";
    case 95: return "XZ";
    case 98: return "PPMd";
    default: break;
    }
    if (method < 0 || static_cast<size_t>(method) >= texts.size())
        return "Unknown";
    return std::string(texts[static_cast<size_t>(method)]);
}

std::string aes_strength_text(uint8_t strength)
{
    switch (strength) {
    case 1: return " (AES-128)";
    case 2: return " (AES-192)";
    default: return " (AES-256)";
    }
}

// The host system in the high byte of a version field (APPNOTE 4.4.2.2).
std::string HostSystemText(uint8_t code)
{
    static constexpr std::array<std::string_view, 19> texts = {
        "MS-DOS and OS/2 (FAT / VFAT / FAT32 file systems)",
        "Amiga",
        "2 - OpenVMS",
        "UNIX",
        "VM/CMS",
        "Atari ST",
        "OS/2 H.P.F.S.",
        "Macintosh",
        "Z-System",
        "CP/M",
        "Windows NTFS",
        "MVS (OS/390 - Z/OS)",
        "VSE",
        "Acorn Risc",
        "VFAT",
        "Alternate MVS",
        "BeOS",
        "Tandem",
        "OS/400",
    };
    if (code >= texts.size())
        return "UnKnown";
    return std::string(texts[code]);
}

// The low byte of a version field is the version times ten: 45 is "4.5".
std::string VersionText(uint8_t v)
{
    return std::to_string(v / 10) + "." + std::to_string(v % 10);
}

uint8_t high_byte(int16_t v) { return static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8); }
uint8_t low_byte(int16_t v) { return static_cast<uint8_t>(static_cast<uint16_t>(v) & 0xFF); }

int16_t s16(std::span<const uint8_t> rec, size_t off) { return static_cast<int16_t>(load_le16(rec.data() + off)); }
int32_t s32(std::span<const uint8_t> rec, size_t off) { return static_cast<int32_t>(load_le32(rec.data() + off)); }

// The UTF-8 name of an Info-ZIP Unicode Path block, when the block is
// version 1 and was written for exactly these stored name bytes.
bool unicode_path_name(std::span<const uint8_t> raw_name, std::span<const uint8_t> extra, std::string& out)
{
    ByteCursor blocks(extra);
    uint16_t tag = 0;
    uint16_t size = 0;
    while (blocks.le16(tag) && blocks.le16(size)) {
        std::span<const uint8_t> data;
        if (!blocks.bytes(size, data))
            return false; // a block running past the field ends the walk
        if (tag != zip::unicode_path_tag || data.size() < zip::unicode_path_fixed || data[0] != 1)
            continue;
        const std::span<const uint8_t> name = data.subspan(zip::unicode_path_fixed);
        // A name edited after the block was written no longer matches its CRC.
        if (load_le32(data.data() + 1) != crc32_update(0, raw_name) || !is_valid_utf8(name))
            continue;
        out = bytes_to_string(name);
        return true;
    }
    return false;
}

} // namespace

std::string zip_entry_name(std::span<const uint8_t> raw_name, std::span<const uint8_t> extra, uint16_t flags)
{
    std::string name;
    if (unicode_path_name(raw_name, extra, name))
        return name;
    return decode_archive_text(raw_name, (flags & zip::flag_utf8) != 0);
}

int16_t zip_data_method(const ZipEntry& e)
{
    if (e.Method != method_winzip_aes)
        return e.Method;
    return e.aes ? static_cast<int16_t>(e.aes->method) : int16_t{-1};
}

bool zip_method_extracted(int16_t m)
{
    switch (m) {
    case 0: case 1: case 2: case 3: case 4: case 5: case 6: case 8: case 9:
    case 12: case 14: case 93: case 95: case 98:
        return true;
    default:
        return false;
    }
}

int32_t zip_unix_mode(const ZipEntry& e)
{
    constexpr uint8_t host_unix = 3;
    if (high_byte(e.VersionMadeBy) != host_unix)
        return -1;
    return static_cast<int32_t>(static_cast<uint32_t>(e.ExternalAttributes) >> 16);
}

Cls_Zip::Cls_Zip(ArchiveState& state) : ReaderBase(state, true) {}

namespace {

// The Zip64 extended information block: the fields whose header value holds
// the mark, in the order usize, csize, offset, disk.
void apply_zip64_extra(std::span<const uint8_t> extra, ZipEntry& e, bool usize_marked, bool csize_marked,
                       bool offset_marked)
{
    ByteCursor blocks(extra);
    uint16_t tag = 0;
    uint16_t size = 0;
    while (blocks.le16(tag) && blocks.le16(size)) {
        std::span<const uint8_t> data;
        if (!blocks.bytes(size, data))
            return;
        if (tag != zip::zip64_extra_tag)
            continue;
        ByteCursor in(data);
        uint64_t v = 0;
        if (usize_marked && in.le64(v))
            e.UncompressedSize = v;
        if (csize_marked && in.le64(v))
            e.CompressedSize = v;
        if (offset_marked && in.le64(v))
            e.LocalHeaderOffset = v;
        return;
    }
}

} // namespace

void Cls_Zip::add_entry(ZipEntry e, std::span<const uint8_t> name, std::span<const uint8_t> extra,
                        std::span<const uint8_t> comment)
{
    const auto flags = static_cast<uint16_t>(e.Flags);
    ListedEntry l;
    l.name = zip_entry_name(name, extra, flags);
    l.comment = decode_archive_text(comment, (flags & zip::flag_utf8) != 0);
    if (e.Method == method_winzip_aes) {
        e.aes = parse_winzip_aes_extra(extra);
        l.method = e.aes ? MethodText(static_cast<int16_t>(e.aes->method)) + aes_strength_text(e.aes->strength)
                         : MethodText(e.Method);
    } else {
        l.method = MethodText(e.Method);
    }
    l.crc32 = e.CRC32;
    l.compressed_size = static_cast<int64_t>(e.CompressedSize);
    l.uncompressed_size = static_cast<int64_t>(e.UncompressedSize);
    l.is_dir = e.CompressedSize == 0 && !l.name.empty() && l.name.back() == '/';
    l.encrypted = (flags & zip::flag_encrypted) != 0;
    l.modified = DosDateTimeToDate(e.FileDate, e.FileTime);
    l.system_made_by = HostSystemText(high_byte(e.VersionMadeBy));
    l.version_made_by = VersionText(low_byte(e.VersionMadeBy));
    l.system_needed = HostSystemText(high_byte(e.VersionNeeded));
    l.version_needed = VersionText(low_byte(e.VersionNeeded));
    if (!l.is_dir) {
        const int16_t m = zip_data_method(e);
        if (e.Method == method_winzip_aes && !e.aes)
            l.blocker = {OutcomeReason::unsupported_encryption, "WinZip AES"};
        else if (!zip_method_extracted(m)) {
            const std::string text = MethodText(m);
            l.blocker = {OutcomeReason::unsupported_method, text == "Unknown" ? "method " + std::to_string(m) : text};
        }
    }
    listing_.push_back(std::move(l));
    Entries.push_back(e);
}

int16_t Cls_Zip::Get_Contents(const std::string& ZipName)
{
    start_listing(ZipName);
    Entries.clear();
    prefix_ = 0;
    directory_offset_ = 0;
    try {
        BinaryFile file;
        if (!file.open(ZipName) || file.size() < zip::end_record::size)
            return 0;

        ZipDirectory dir = find_zip_directory(file);
        if (!dir.found)
            dir = count_by_local_headers(file); // no end record, or one that names no directory
        if (!dir.found || dir.count == 0)
            return 0;
        prefix_ = dir.prefix;
        directory_offset_ = dir.offset;
        state_.PackFileType = format_code::zip;
        read_central_directory(file, dir);
        state_.PackTotFiles = static_cast<int32_t>(Entries.size());
        if (Entries.empty())
            state_.PackFileType = format_code::none;
        if (dir.comment_length > 0) {
            const std::vector<uint8_t> comment = file.read_vector(dir.comment_at, dir.comment_length);
            state_.PackComments = decode_archive_text(comment);
        }
    } catch (...) {
        // Out of memory for the entry table: what was read stands.
        state_.PackTotFiles = static_cast<int32_t>(std::min(Entries.size(), listing_.size()));
    }
    return 0;
}

ZipDirectory find_zip_directory(const BinaryFile& file)
{
    const uint64_t size = file.size();
    const uint64_t window = std::min<uint64_t>(size, zip::end_record_search);
    const uint64_t base = size - window;
    const std::vector<uint8_t> tail = file.read_vector(base, static_cast<size_t>(window));

    // A central header signature at `at` of the file.
    const auto central_at = [&file](uint64_t at) {
        uint8_t sig[4] = {};
        return file.read_exact(at, sig) && load_le32(sig) == zip::central_header_signature;
    };
    // Where the directory really is: at its stated offset (offsets counted
    // from the start of the file, or adjusted by `zip -A`), or at the
    // offset plus the data in front of the archive (an unadjusted prefix:
    // the directory ends right before the record that describes it).
    const auto locate = [&](ZipDirectory& d, uint64_t record_at, uint64_t stated_offset) {
        if (d.count == 0)
            return stated_offset <= record_at; // an empty archive: nothing to find
        if (stated_offset < record_at && central_at(stated_offset)) {
            d.offset = stated_offset;
            d.prefix = 0;
            return true;
        }
        if (d.size <= record_at && record_at - d.size > stated_offset) {
            const uint64_t start = record_at - d.size;
            if (central_at(start)) {
                d.offset = start;
                d.prefix = start - stated_offset;
                return true;
            }
        }
        return false;
    };

    // The record whose comment runs exactly to the end of the file is the
    // archive's own; of several such (an end record inside another one's
    // comment: a ZIP kept in a ZIP's comment), the first in the file is the
    // outer archive's. Failing that, the last record that names a directory.
    ZipDirectory exact;
    ZipDirectory last;
    for (size_t i = tail.size() >= zip::end_record::size ? tail.size() - zip::end_record::size + 1 : 0; i-- > 0;) {
        if (load_le32(tail.data() + i) != zip::end_record_signature)
            continue;
        const uint8_t* rec = tail.data() + i;
        const uint64_t at = base + i;
        ZipDirectory d;
        d.found = true;
        d.count = load_le16(rec + zip::end_record::total_entries);
        d.size = load_le32(rec + zip::end_record::cd_size);
        uint64_t stated = load_le32(rec + zip::end_record::cd_offset);
        const uint16_t stored_comment_length = load_le16(rec + zip::end_record::comment_length);
        d.comment_at = at + zip::end_record::size;
        // A comment cut off by the end of the file is no comment.
        d.comment_length = d.comment_at + stored_comment_length <= size ? stored_comment_length : 0;
        uint64_t directory_end = at; // where the directory (or the Zip64 records) end

        // Zip64: a locator right before the end record names the Zip64 end
        // record, whose counts and offsets stand in for the marked ones.
        uint8_t loc[zip::zip64_locator::size] = {};
        if (at >= zip::zip64_locator::size && file.read_exact(at - zip::zip64_locator::size, loc)
            && load_le32(loc) == zip::zip64_locator_signature) {
            const uint64_t stated_record = load_le64(loc + zip::zip64_locator::record_offset);
            const uint64_t locator_at = at - zip::zip64_locator::size;
            uint8_t z[zip::zip64_end_record::size] = {};
            // The record sits right before the locator when its extensible
            // data is empty; with a prefix, the stated offset is short by it.
            for (const uint64_t record_at : {stated_record, locator_at >= sizeof z ? locator_at - sizeof z : 0}) {
                if (record_at >= locator_at || !file.read_exact(record_at, z)
                    || load_le32(z) != zip::zip64_end_record_signature)
                    continue;
                d.count = load_le64(z + zip::zip64_end_record::total_entries);
                d.size = load_le64(z + zip::zip64_end_record::cd_size);
                stated = load_le64(z + zip::zip64_end_record::cd_offset);
                directory_end = record_at;
                break;
            }
        }
        if (!locate(d, directory_end, stated))
            continue;
        if (!last.found)
            last = d;
        if (d.comment_at + stored_comment_length == size)
            exact = d; // scanning backwards: the earliest such record is kept
    }
    return exact.found ? exact : last;
}

ZipDirectory Cls_Zip::count_by_local_headers(const BinaryFile& file)
{
    ZipDirectory dir;
    BufferedReader in(file);
    bool warned = false;
    for (;;) {
        const uint64_t at = in.pos();
        uint32_t signature = 0;
        if (!in.le32(signature))
            return dir; // the end of the file and no central header: not a loadable archive
        switch (signature) {
        case zip::central_header_signature:
            dir.found = true;
            dir.offset = at;
            dir.size = file.size() - at;
            return dir;
        case zip::local_header_signature: {
            std::vector<uint8_t> header;
            in.seek(at);
            if (!in.read(zip::local::size, header))
                return dir;
            // Lengths taken unsigned, so the walk only ever moves forward.
            const uint64_t skip = uint64_t{load_le32(header.data() + zip::local::compressed_size)}
                                  + load_le16(header.data() + zip::local::name_length)
                                  + load_le16(header.data() + zip::local::extra_length);
            in.seek(in.pos() + skip);
            ++dir.count;
            break;
        }
        case zip::data_descriptor_signature:
            in.seek(in.pos() + zip::data_descriptor_body);
            break;
        default:
            // Resynchronise on the next four bytes; one box per load is enough
            // to tell the user the archive is damaged.
            if (!warned)
                state_.window->message_box(unknown_header_message, error_title, MessageIcon::information);
            warned = true;
            break;
        }
    }
}

void Cls_Zip::read_central_directory(const BinaryFile& file, const ZipDirectory& dir)
{
    if (dir.offset >= file.size())
        return;
    BufferedReader in(file);
    in.seek(dir.offset);
    // The table grows with the records really there: a declared count cannot
    // make it larger than the directory's bytes allow.
    const uint64_t room = (file.size() - dir.offset) / zip::central::size;
    Entries.reserve(static_cast<size_t>(std::min<uint64_t>({dir.count, room, 1u << 20})));
    listing_.reserve(Entries.capacity());

    const uint64_t end = dir.size > 0 ? dir.offset + dir.size : file.size();
    std::vector<uint8_t> header;
    std::vector<uint8_t> name;
    std::vector<uint8_t> extra;
    std::vector<uint8_t> comment;
    // Records are read up to the declared count; a count that wrapped at 16
    // bits (writers without Zip64) is made up by the records that follow
    // inside the directory.
    for (uint64_t i = 0; i < dir.count || in.pos() + zip::central::size <= end; ++i) {
        if (Entries.size() >= static_cast<size_t>(INT32_MAX))
            return;
        const uint64_t at = in.pos();
        if (!in.read(zip::central::size, header) || load_le32(header.data()) != zip::central_header_signature)
            return;
        if (i >= dir.count && at >= end)
            return;
        if (!in.read(load_le16(header.data() + zip::central::name_length), name)
            || !in.read(load_le16(header.data() + zip::central::extra_length), extra)
            || !in.read(load_le16(header.data() + zip::central::comment_length), comment))
            return;

        ZipEntry e;
        e.VersionMadeBy = s16(header, zip::central::version_made_by);
        e.VersionNeeded = s16(header, zip::central::version_needed);
        e.Flags = s16(header, zip::central::flags);
        e.Method = s16(header, zip::central::method);
        e.FileTime = s16(header, zip::central::time);
        e.FileDate = s16(header, zip::central::date);
        e.CRC32 = s32(header, zip::central::crc);
        const uint32_t csize = load_le32(header.data() + zip::central::compressed_size);
        const uint32_t usize = load_le32(header.data() + zip::central::uncompressed_size);
        const uint32_t offset = load_le32(header.data() + zip::central::local_header_offset);
        e.CompressedSize = csize;
        e.UncompressedSize = usize;
        e.LocalHeaderOffset = offset;
        e.DiskStart = s16(header, zip::central::disk_start);
        e.InternalAttributes = s16(header, zip::central::internal_attributes);
        e.ExternalAttributes = s32(header, zip::central::external_attributes);
        e.name_length = static_cast<uint16_t>(name.size());
        e.extra_length = static_cast<uint16_t>(extra.size());
        apply_zip64_extra(extra, e, usize == zip::zip64_mark32, csize == zip::zip64_mark32,
                          offset == zip::zip64_mark32);
        e.LocalHeaderOffset += dir.prefix;
        add_entry(e, name, extra, comment);
    }
}

const ZipEntry* Cls_Zip::entry(int32_t FileNum) const
{
    return InvalidFileNum(FileNum) ? nullptr : &Entries[static_cast<size_t>(FileNum) - 1];
}

} // namespace velmora

// Loading a ZIP archive's entry list (PKWARE APPNOTE 4.3.12, 4.3.16) and the
// per-entry members. The count comes from an end record in the last 22 bytes,
// or else from a walk over the local headers; the central directory is then
// read in one piece and parsed in memory. No Zip64, no multi-volume archives.
#include "formats/zip/Cls_Zip.h"

#include "archive/BinaryFile.h"
#include "archive/BufferedReader.h"
#include "archive/ByteFields.h"
#include "archive/Cls_CRC32.h"
#include "archive/TextDecoding.h"
#include "formats/zip/zip_records.h"

#include <algorithm>
#include <array>
#include <limits>

namespace velmora {

namespace {

constexpr std::string_view unknown_header_message = "Unknown Zip Header.";
constexpr std::string_view error_title = "Error";

std::string MethodText(int16_t method)
{
    static constexpr std::array<std::string_view, 13> texts = {
        "No Compression",  "Shrunk",          "Reduce Factor 1",    "Reduce Factor 2", "Reduce Factor 3",
        "Reduce Factor 4", "Imploded",        "Tokenized",          "Deflated",        "Enhanced Deflating",
        "PKWARE Imploding", "Reserved",       "BZip2",
    };
    if (method < 0 || static_cast<size_t>(method) >= texts.size())
        return "Unknown";
    return std::string(texts[static_cast<size_t>(method)]);
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

Cls_Zip::Cls_Zip(ArchiveState& state) : state_(state) {}

int16_t Cls_Zip::Get_Contents(const std::string& ZipName)
{
    state_.PackFileName = ZipName;
    state_.PackComments.clear();
    state_.PackFileType = format_code::none;
    Entries.clear();
    try {
        BinaryFile file;
        if (!file.open(ZipName) || file.size() < zip::end_record::size)
            return 0;

        std::array<uint8_t, zip::end_record::size> tail{};
        if (!file.read_exact(file.size() - tail.size(), tail))
            return 0;

        DirectoryStart dir;
        if (load_le32(tail.data()) == zip::end_record_signature) {
            dir.found = true;
            dir.offset = load_le32(tail.data() + zip::end_record::cd_offset);
            // The count is a signed 16-bit value: 32768 entries and more read
            // as negative and the archive is not loaded.
            dir.count = s16(tail, zip::end_record::disk_entries);
        } else {
            // A comment follows the end record, or there is none at the very end.
            dir = count_by_local_headers(file);
        }
        state_.PackTotFiles = dir.count;
        if (!dir.found || dir.count <= 0)
            return 0;

        Entries.assign(static_cast<size_t>(dir.count), ZipEntry{});
        state_.PackFileType = format_code::zip;
        read_central_directory(file, dir.offset, dir.count);
    } catch (...) {
        // Out of memory for the entry table or the directory: what was read stands.
    }
    return 0;
}

Cls_Zip::DirectoryStart Cls_Zip::count_by_local_headers(const BinaryFile& file)
{
    DirectoryStart dir;
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
            return dir;
        case zip::local_header_signature: {
            std::span<const uint8_t> header;
            in.seek(at);
            if (!in.read(zip::local::size, header) || dir.count == std::numeric_limits<int32_t>::max())
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

bool Cls_Zip::read_central_directory(const BinaryFile& file, uint64_t offset, int32_t count)
{
    if (offset >= file.size())
        return false;
    // The directory and the end record after it, in one read: never more than
    // the largest records `count` entries can have, nor past the end of the file.
    constexpr uint64_t largest_record = zip::central::size + 3 * uint64_t{0xFFFF};
    const uint64_t most = static_cast<uint64_t>(count) * largest_record + zip::end_record::size + 0xFFFF;
    const std::vector<uint8_t> directory =
        file.read_vector(offset, static_cast<size_t>(std::min(file.size() - offset, most)));
    ByteCursor in(directory);

    for (size_t i = 0; i < static_cast<size_t>(count); ++i) {
        // The signature is not checked: records are taken in sequence from the
        // directory's start.
        std::span<const uint8_t> header;
        std::span<const uint8_t> name;
        std::span<const uint8_t> extra;
        std::span<const uint8_t> comment;
        if (!in.bytes(zip::central::size, header)
            || !in.bytes(load_le16(header.data() + zip::central::name_length), name)
            || !in.bytes(load_le16(header.data() + zip::central::extra_length), extra)
            || !in.bytes(load_le16(header.data() + zip::central::comment_length), comment))
            return false;

        ZipEntry& e = Entries[i];
        e.VersionMadeBy = s16(header, zip::central::version_made_by);
        e.VersionNeeded = s16(header, zip::central::version_needed);
        e.Flags = s16(header, zip::central::flags);
        e.Method = s16(header, zip::central::method);
        e.FileTime = s16(header, zip::central::time);
        e.FileDate = s16(header, zip::central::date);
        e.CRC32 = s32(header, zip::central::crc);
        e.CompressedSize = s32(header, zip::central::compressed_size);
        e.UncompressedSize = s32(header, zip::central::uncompressed_size);
        e.DiskStart = s16(header, zip::central::disk_start);
        e.InternalAttributes = s16(header, zip::central::internal_attributes);
        e.ExternalAttributes = s32(header, zip::central::external_attributes);
        e.LocalHeaderOffset = s32(header, zip::central::local_header_offset);
        const auto flags = static_cast<uint16_t>(e.Flags);
        e.RawName = bytes_to_string(name);
        e.FileName = zip_entry_name(name, extra, flags);
        e.ExtraField = bytes_to_string(extra);
        e.FileComment = decode_archive_text(comment, (flags & zip::flag_utf8) != 0);
    }

    // The end record is taken to follow the last central header; its comment
    // length is a signed 16-bit value, and a negative or cut-off one gives no comment.
    std::span<const uint8_t> end;
    std::span<const uint8_t> comment;
    if (in.bytes(zip::end_record::size, end)) {
        const int16_t length = s16(end, zip::end_record::comment_length);
        if (length > 0 && in.bytes(static_cast<size_t>(length), comment))
            state_.PackComments = decode_archive_text(comment);
    }
    return true;
}

bool Cls_Zip::IsBadIndex(int32_t FileNum) const
{
    return state_.PackFileType == format_code::none || FileNum < 1 || FileNum > state_.PackTotFiles
           || static_cast<size_t>(FileNum) > Entries.size();
}

const ZipEntry* Cls_Zip::entry(int32_t FileNum) const
{
    return IsBadIndex(FileNum) ? nullptr : &Entries[static_cast<size_t>(FileNum) - 1];
}

std::string Cls_Zip::FileName(int32_t FileNum)
{
    const ZipEntry* e = entry(FileNum);
    return e ? e->FileName : std::string();
}

std::string Cls_Zip::CommentsFile(int32_t FileNum)
{
    const ZipEntry* e = entry(FileNum);
    return e ? e->FileComment : std::string();
}

bool Cls_Zip::IsDir(int32_t FileNum)
{
    const ZipEntry* e = entry(FileNum);
    return e && e->CompressedSize == 0 && !e->FileName.empty() && e->FileName.back() == '/';
}

std::string Cls_Zip::Method(int32_t FileNum)
{
    const ZipEntry* e = entry(FileNum);
    return e ? MethodText(e->Method) : std::string();
}

int32_t Cls_Zip::CRC32(int32_t FileNum)
{
    const ZipEntry* e = entry(FileNum);
    return e ? e->CRC32 : 0;
}

int32_t Cls_Zip::Compressed_Size(int32_t FileNum)
{
    const ZipEntry* e = entry(FileNum);
    return e ? e->CompressedSize : 0;
}

int32_t Cls_Zip::UnCompressed_Size(int32_t FileNum)
{
    const ZipEntry* e = entry(FileNum);
    return e ? e->UncompressedSize : 0;
}

bool Cls_Zip::Encrypted(int32_t FileNum)
{
    const ZipEntry* e = entry(FileNum);
    return e && (static_cast<uint16_t>(e->Flags) & zip::flag_encrypted) != 0;
}

DateTime Cls_Zip::FileDateTime(int32_t FileNum)
{
    const ZipEntry* e = entry(FileNum);
    return e ? DosDateTimeToDate(e->FileDate, e->FileTime) : DateTime{};
}

std::string Cls_Zip::SystemMadeBy(int32_t FileNum)
{
    const ZipEntry* e = entry(FileNum);
    return e ? HostSystemText(high_byte(e->VersionMadeBy)) : std::string();
}

std::string Cls_Zip::VersionMadeBy(int32_t FileNum)
{
    const ZipEntry* e = entry(FileNum);
    return e ? VersionText(low_byte(e->VersionMadeBy)) : std::string();
}

std::string Cls_Zip::SystemNeeded(int32_t FileNum)
{
    const ZipEntry* e = entry(FileNum);
    return e ? HostSystemText(high_byte(e->VersionNeeded)) : std::string();
}

std::string Cls_Zip::VersionNeeded(int32_t FileNum)
{
    const ZipEntry* e = entry(FileNum);
    return e ? VersionText(low_byte(e->VersionNeeded)) : std::string();
}

} // namespace velmora

// The gzip reader: listing from the first member's header and the trailer in
// the file's last 8 bytes; extraction of every member through Inflate.
#include "formats/gzip/Cls_GZip.h"

#include "archive/BinaryFile.h"
#include "archive/BufferedReader.h"
#include "archive/ByteFields.h"
#include "archive/Cls_CRC32.h"
#include "archive/TextDecoding.h"
#include "formats/gzip/GzipHeader.h"

#include <algorithm>
#include <cctype>
#include <climits>

namespace velmora {

namespace {

std::string upper_ascii(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

void show(ArchiveState& state, std::string_view text)
{
    // The reader's boxes are plain: OK button, no icon, the default title.
    state.window->message_box(text, "", MessageIcon::none);
}

} // namespace

std::string DeriveGzipName(const std::string& ZipName)
{
    // The file name part: after the last separator, or after a drive prefix.
    std::string name = ZipName;
    const size_t sep = ZipName.find_last_of("\\/");
    if (sep != std::string::npos)
        name = ZipName.substr(sep + 1);
    else if (ZipName.size() >= 2 && ZipName[1] == ':')
        name = ZipName.substr(2);

    const std::string upper = upper_ascii(name);
    static constexpr struct {
        const char* ending;
        const char* replacement;
    } rules[] = {{".GZ", ""}, {".Z", ""}, {".TGZ", ".tar"}, {".TAZ", ".tar"}};
    for (const auto& rule : rules) {
        const size_t at = upper.find(rule.ending);
        if (at != std::string::npos)
            return name.substr(0, at) + rule.replacement;
    }
    return {};
}

std::string GzipHostName(uint8_t os)
{
    static constexpr const char* names[] = {
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
        "Tops-20",
        "NTFS filesystem",
        "QDos",
        "Acorn Risc",
    };
    return os < std::size(names) ? names[os] : "UnKnown";
}

bool Cls_GZip::InvalidFileNum(int32_t FileNum) const
{
    return FileNum < 1 || FileNum > state_.PackTotFiles || state_.PackFileType == format_code::none;
}

int16_t Cls_GZip::Get_Contents(const std::string& ZipName)
{
    if (ZipName.empty())
        return -1;
    state_.PackFileName = ZipName;
    state_.PackComments.clear();
    state_.PackFileType = format_code::none;

    try {
        BinaryFile file;
        if (!file.open(ZipName))
            return 0;
        BufferedReader in(file);
        const uint64_t size = file.size();
        state_.PackFileType = format_code::gzip;
        state_.PackTotFiles = 1;

        const GzipMemberHeader h = read_gzip_header(
            [&in](uint64_t p) {
                uint8_t b = 0;
                in.seek(p);
                in.u8(b);
                return b;
            },
            size, 0);
        method_ = h.CM == gzip_cm_deflate ? gzip_cm_deflate : gzip_cm_unknown;
        flags_ = h.FLG;
        MTime_ = static_cast<int32_t>(h.MTIME);
        extra_flags_ = h.XFL;
        os_ = h.OS;
        extra_field_ = h.extra;
        name_ = decode_archive_text(h.name);
        if (name_.empty())
            name_ = DeriveGzipName(ZipName);
        comment_ = decode_archive_text(h.comment);
        header_crc_ = h.header_crc;
        crypt_header_ = h.crypt_header;

        data_pos_ = static_cast<int32_t>(std::min<uint64_t>(h.data_start, INT32_MAX - 1) + 1);
        data_length_ = static_cast<int32_t>(static_cast<int64_t>(size) - (data_pos_ - 1) - 8);

        // The trailer is taken from the file's last 8 bytes.
        crc32_ = 0;
        size_ = 0;
        uint8_t trailer[gzip_trailer_size] = {};
        if (size >= gzip_trailer_size && file.read_exact(size - gzip_trailer_size, trailer)) {
            crc32_ = static_cast<int32_t>(load_le32(trailer));
            size_ = static_cast<int32_t>(load_le32(trailer + 4));
        }
        UnixTimeToDos(MTime_, dos_date_, dos_time_);
    } catch (...) {
    }
    return 0;
}

std::string Cls_GZip::FileName(int32_t FileNum)
{
    return InvalidFileNum(FileNum) ? std::string() : name_;
}

std::string Cls_GZip::CommentsFile(int32_t FileNum)
{
    return InvalidFileNum(FileNum) ? std::string() : comment_;
}

std::string Cls_GZip::Method(int32_t FileNum)
{
    if (InvalidFileNum(FileNum))
        return {};
    return method_ == gzip_cm_deflate ? "Deflate" : "Unknown";
}

int32_t Cls_GZip::CRC32(int32_t FileNum)
{
    return InvalidFileNum(FileNum) ? 0 : crc32_;
}

int32_t Cls_GZip::Compressed_Size(int32_t FileNum)
{
    return InvalidFileNum(FileNum) ? 0 : data_length_;
}

int32_t Cls_GZip::UnCompressed_Size(int32_t FileNum)
{
    return InvalidFileNum(FileNum) ? 0 : size_;
}

DateTime Cls_GZip::FileDateTime(int32_t FileNum)
{
    return InvalidFileNum(FileNum) ? DateTime{} : DosDateTimeToDate(dos_date_, dos_time_);
}

int16_t Cls_GZip::UnPack(Selection& ZippedFile, std::string& ToPath)
{
    // Extraction comes with the output routines.
    return state_.PackTotFiles == 0 ? -10 : 0;
}

} // namespace velmora

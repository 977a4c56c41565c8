// The gzip reader: listing from the first member's header and the trailer in
// the file's last 8 bytes; extraction of every member through Inflate.
#include "formats/gzip/Cls_GZip.h"

#include "archive/BinaryFile.h"
#include "archive/BufferedReader.h"
#include "archive/ByteFields.h"
#include "archive/Cls_CRC32.h"
#include "archive/Mod_DiskIO.h"
#include "archive/TextDecoding.h"
#include "codecs/Mod_Inflate64.h"
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

// Deflate turns at most 2 bits into 258 bytes (a length-258 match with
// one-bit codes), so no stream expands by more than 1032 times; an output
// limit of that size never cuts a valid member short.
constexpr uint64_t deflate_max_expansion = 1032;

// Largest output one member may grow to: what its input can expand to,
// and never past the 2 GiB that sizes are held in.
int32_t output_limit(size_t input_len, size_t already)
{
    const uint64_t cap = static_cast<uint64_t>(INT32_MAX) - 1;
    uint64_t limit = deflate_max_expansion * (static_cast<uint64_t>(input_len) + 1);
    limit = std::min(limit, cap);
    limit = already >= limit ? 0 : limit - already;
    return static_cast<int32_t>(limit) - 1;
}

// Offset of the trailer (CRC32, ISIZE) that ends a member whose decoded bytes
// are `data`, searched in file[from, to]; npos when there is none. The same
// eight bytes may match more than once near a short member (an empty member's
// trailer is eight zeros, next to the zero bytes of its stream), so a match
// that the end of the file or the next member's ID bytes follow is preferred.
size_t find_trailer(const std::vector<uint8_t>& file, size_t from, size_t to, const std::vector<uint8_t>& data)
{
    const uint32_t crc = crc32_update(0, data);
    const auto isize = static_cast<uint32_t>(data.size());
    const uint8_t want[gzip_trailer_size] = {
        static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc >> 16),
        static_cast<uint8_t>(crc >> 24), static_cast<uint8_t>(isize), static_cast<uint8_t>(isize >> 8),
        static_cast<uint8_t>(isize >> 16), static_cast<uint8_t>(isize >> 24)};
    if (file.size() < gzip_trailer_size || from > file.size() - gzip_trailer_size)
        return std::string::npos;
    to = std::min(to, file.size() - gzip_trailer_size);
    const auto last = file.begin() + static_cast<std::ptrdiff_t>(to + gzip_trailer_size);
    size_t first_match = std::string::npos;
    for (auto it = file.begin() + static_cast<std::ptrdiff_t>(from);;) {
        it = std::search(it, last, std::begin(want), std::end(want));
        if (it == last)
            return first_match;
        const auto at = static_cast<size_t>(it - file.begin());
        const size_t after = at + gzip_trailer_size;
        if (after == file.size()
            || (file.size() - after >= 2 && file[after] == gzip_id1 && file[after + 1] == gzip_id2))
            return at;
        if (first_match == std::string::npos)
            first_match = at;
        ++it;
    }
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

// The checks of one member's decoded bytes against a trailer. None of them
// stops the write.
void Cls_GZip::check_member(const std::vector<uint8_t>& data, uint32_t crc, uint32_t isize)
{
    const size_t n = data.size();
    if (n > 0) {
        Cls_CRC32 calc;
        if (static_cast<uint32_t>(calc.CalcCRC32File(data)) != crc)
            show(state_, "CRC calculation failed");
    } else if (crc != 0) {
        show(state_, "CRC error");
    }
    if (n != isize)
        show(state_, "Error in decompressed size");
}

// Decodes the members one after another (RFC 1952 allows any number). A
// member ends where its own trailer stands: after decoding, its CRC-32 and
// ISIZE are looked for in the bytes that follow. Bytes after the last
// complete member are ignored. A member whose trailer cannot be found is
// checked against the file's last 8 bytes and ends the walk.
void Cls_GZip::extract_members(const std::vector<uint8_t>& file, std::vector<uint8_t>& out)
{
    const size_t size = file.size();
    size_t pos = 0;
    size_t previous_len = 0;
    for (bool first = true;; first = false) {
        if (!first && (size - pos < 2 || file[pos] != gzip_id1 || file[pos + 1] != gzip_id2))
            return;
        const GzipMemberHeader h =
            read_gzip_header([&file](uint64_t p) { return file[static_cast<size_t>(p)]; }, size, pos);
        if (!first && !h.complete)
            return;
        // A member's stream lies before the file's last 8 bytes at the
        // latest: those hold a trailer whatever else the file holds.
        const auto start = static_cast<size_t>(h.data_start);
        const size_t data_end = size >= gzip_trailer_size ? size - gzip_trailer_size : 0;
        const size_t rest = data_end > start ? data_end - start : 0;

        // The first member gets everything (a single-member file decodes in
        // one go). Later members start from a window twice the previous
        // member's length, doubled until their trailer turns up, so a file of
        // many small members is not copied whole for each of them.
        size_t chunk = rest;
        if (!first)
            chunk = std::min(rest, 2 * previous_len + 256);
        for (;;) {
            std::vector<uint8_t> data(file.begin() + static_cast<std::ptrdiff_t>(start),
                                      file.begin() + static_cast<std::ptrdiff_t>(start + chunk));
            const bool last_try = chunk == rest;
            // A window cut short may read as a broken stream; only the last
            // try may report it.
            Inflate(data, output_limit(chunk, out.size()), false, last_try ? state_.window : nullptr);
            const size_t trailer = find_trailer(file, start, start + chunk, data);
            if (trailer != std::string::npos) {
                if (out.empty())
                    out.swap(data); // the usual single member: no copy
                else
                    out.insert(out.end(), data.begin(), data.end());
                previous_len = trailer - start;
                pos = trailer + gzip_trailer_size;
                break;
            }
            if (!last_try) {
                chunk = rest - chunk < chunk ? rest : 2 * chunk;
                continue;
            }
            // No trailer matches what the member decoded to: check it against
            // the file's last 8 bytes, as the listing shows them, and keep the
            // bytes in hand.
            check_member(data, static_cast<uint32_t>(crc32_), static_cast<uint32_t>(size_));
            if (out.size() + data.size() <= static_cast<size_t>(INT32_MAX))
                out.insert(out.end(), data.begin(), data.end());
            return;
        }
        if (pos >= size)
            return;
    }
}

int16_t Cls_GZip::UnPack(Selection& ZippedFile, std::string& ToPath)
{
    if (state_.PackTotFiles == 0)
        return -10;
    try {
        begin_output_run(state_);
        for (int32_t k = 1; k <= state_.PackTotFiles; ++k) {
            if (static_cast<size_t>(k) >= ZippedFile.size() || !ZippedFile[static_cast<size_t>(k)])
                continue;
            std::vector<uint8_t> file;
            if (!read_whole_file(state_.PackFileName, file))
                break;
            state_.PackData.clear();
            extract_members(file, state_.PackData);
            file = {};
            const int16_t written =
                WriteOutputFile(state_, name_, ToPath, state_.PackData, dos_date_, dos_time_);
            if (written == write_unsafe_path)
                show(state_, std::string(unsafe_path_message) + name_);
            else if (written != 0)
                show(state_, "error writing file");
        }
        end_output_run(state_);
    } catch (...) {
        end_output_run(state_);
    }
    state_.PackData.clear();
    state_.PackData.shrink_to_fit();
    return 0;
}

} // namespace velmora

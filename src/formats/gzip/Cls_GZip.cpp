// The gzip reader: listing from the first member's header and the trailer in
// the file's last 8 bytes; extraction of every member through Inflate.
#include "formats/gzip/Cls_GZip.h"

#include "archive/RunMessages.h"
#include "archive/BinaryFile.h"
#include "archive/BufferedReader.h"
#include "archive/ByteFields.h"
#include "archive/EntrySink.h"
#include "archive/ExtractionRun.h"
#include "archive/FileRangeSource.h"
#include "archive/Mod_DiskIO.h"
#include "archive/OutputFile.h"
#include "archive/TextDecoding.h"
#include "codecs/InflateDecoder.h"
#include "formats/gzip/GzipHeader.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <sys/stat.h>

namespace velmora {

namespace {

constexpr std::string_view crc_failed = "CRC calculation failed";
constexpr std::string_view crc_error = "CRC error";
constexpr std::string_view size_error = "Error in decompressed size";
constexpr std::string_view write_error = "error writing file";

std::string upper_ascii(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

// Deflate turns at most 2 bits into 258 bytes (a length-258 match with
// one-bit codes), so no stream expands by more than 1032 times; a limit of
// that size never cuts a valid member short.
constexpr uint64_t deflate_max_expansion = 1032;

// The member's header as read at `start` of the file.
GzipMemberHeader header_at(const BinaryFile& file, uint64_t start)
{
    BufferedReader in(file, 4096);
    return read_gzip_header(
        [&in](uint64_t p) {
            uint8_t b = 0;
            in.seek(p);
            in.u8(b);
            return b;
        },
        file.size(), start);
}

// The file's own modification time, for members that store none.
int64_t file_time(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtim.tv_sec) : 0;
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

int16_t Cls_GZip::Get_Contents(const std::string& ZipName)
{
    if (ZipName.empty())
        return -1;
    start_listing(ZipName);

    try {
        BinaryFile file;
        if (!file.open(ZipName))
            return 0;
        const uint64_t size = file.size();
        state_.PackFileType = format_code::gzip;
        state_.PackTotFiles = 1;

        const GzipMemberHeader h = header_at(file, 0);
        method_ = h.CM == gzip_cm_deflate ? gzip_cm_deflate : gzip_cm_unknown;
        flags_ = h.FLG;
        MTime_ = h.MTIME;
        extra_flags_ = h.XFL;
        os_ = h.OS;
        extra_field_ = h.extra;
        // RFC 1952 names and comments are ISO 8859-1; gzip on Linux stores
        // the name's bytes as they are, usually UTF-8.
        name_ = decode_archive_text(h.name, false, LegacyText::latin1);
        if (name_.empty())
            name_ = DeriveGzipName(ZipName);
        comment_ = decode_archive_text(h.comment, false, LegacyText::latin1);
        header_crc_ = h.header_crc;
        crypt_header_ = h.crypt_header;

        data_pos_ = static_cast<int32_t>(std::min<uint64_t>(h.data_start, INT32_MAX - 1) + 1);
        data_length_ = static_cast<int64_t>(size) - (data_pos_ - 1) - 8;

        // The trailer is taken from the file's last 8 bytes.
        crc32_ = 0;
        size_ = 0;
        uint8_t trailer[gzip_trailer_size] = {};
        if (size >= gzip_trailer_size && file.read_exact(size - gzip_trailer_size, trailer)) {
            crc32_ = static_cast<int32_t>(load_le32(trailer));
            size_ = load_le32(trailer + 4);
        }
        // MTIME 0 means no time was stored: the file's own time stands in,
        // as gunzip gives it.
        stamp_ = MTime_ != 0 ? static_cast<int64_t>(MTime_) : file_time(ZipName);
        UnixTimeToDos(stamp_, dos_date_, dos_time_);

        ListedEntry l;
        l.name = name_;
        l.comment = comment_;
        l.method = method_ == gzip_cm_deflate ? "Deflate" : "Unknown";
        l.crc32 = crc32_;
        l.compressed_size = data_length_;
        l.uncompressed_size = size_;
        l.modified = DosDateTimeToDate(dos_date_, dos_time_);
        l.system_made_by = GzipHostName(os_);
        l.version_made_by = l.system_needed = l.version_needed = "UnKnown";
        listing_.push_back(std::move(l));
    } catch (...) {
    }
    return 0;
}

int16_t Cls_GZip::UnPack(Selection& ZippedFile, std::string& ToPath)
{
    if (state_.PackTotFiles == 0)
        return -10;
    return run_one_entry(state_, ZippedFile, MessageStyle::plain, write_error, name_, ToPath,
                         [&](const BinaryFile& file, ExtractionRun& run, OutputFile& out) { extract_members(file, run, out); });
}

// Decodes the members one after another (RFC 1952 allows any number), each
// checked against its own trailer, which follows the exact end of its deflate
// stream. Bytes after the last complete member are ignored, as gzip does.
// Data that cannot be decoded leaves nothing behind; data that decodes but
// fails its checks is kept only where no file of that name exists.
void Cls_GZip::extract_members(const BinaryFile& file, ExtractionRun& run, OutputFile& out)
{
    constexpr int32_t k = 1;
    ExtractionReport& report = run.report();

    const uint64_t size = file.size();
    InflateDecoder inflate(false, inflate_rules::rfc1951, state_.window);
    FileRangeSource source(file, 0, size);
    EntrySink sink(run, &out, size);
    bool checks_passed = true;
    std::string_view failure;
    uint64_t pos = 0;
    for (bool first = true;; first = false) {
        const GzipMemberHeader h = header_at(file, pos);
        if (!first && (!h.complete || h.id1 != gzip_id1 || h.id2 != gzip_id2))
            break; // trailing bytes after the last member
        const uint64_t start = h.data_start;
        const uint64_t input = size > start ? size - start : 0;
        source.seek(start, input);
        sink.track_input(source, size);
        const uint64_t size_before = sink.size();
        sink.start_part();
        const DecodeStatus status =
            h.complete ? inflate.decode(source, sink, deflate_max_expansion * (input + 1)) : DecodeStatus::truncated;
        if (sink.ended_by_run(k, write_error))
            return;
        if (status != DecodeStatus::ok) {
            // A member that cannot be decoded: the checks say so, as they
            // always have, and nothing is written.
            run.message(crc_failed);
            run.message(size_error);
            report.failed(k, OutcomeReason::damaged, decode_status_name(status));
            return;
        }
        const uint64_t member_size = sink.size() - size_before;
        const uint32_t member_crc = sink.crc();
        const uint64_t trailer_at = start + inflate.total_in();
        uint8_t trailer[gzip_trailer_size] = {};
        const bool have_trailer = file.read_exact(trailer_at, trailer);
        const uint32_t want_crc = have_trailer ? load_le32(trailer) : static_cast<uint32_t>(crc32_);
        const uint32_t want_size = have_trailer ? load_le32(trailer + 4) : size_;
        if (member_size > 0 && member_crc != want_crc) {
            run.message(crc_failed);
            checks_passed = false;
            failure = "CRC";
        } else if (member_size == 0 && want_crc != 0) {
            run.message(crc_error);
            checks_passed = false;
            failure = "CRC";
        }
        if (static_cast<uint32_t>(member_size) != want_size) {
            run.message(size_error);
            checks_passed = false;
            failure = "size";
        }
        if (!have_trailer)
            break;
        pos = trailer_at + gzip_trailer_size;
        if (pos >= size)
            break;
    }

    run.committed(out.commit(FileStamp::from_unix(stamp_), checks_passed), k, checks_passed, OutcomeReason::damaged,
                  failure);
}

} // namespace velmora

// ARJ reader. The main header is passed over by its basic header size (only
// its encryption version is read); each local header is read field by field,
// its name found first_hdr_size bytes after the first_hdr_size byte (arj 2.62
// and later store 34- or 46-byte first headers), every extended header after
// it passed over, and the next header looked for right after the packed data.
#include "formats/catalogue/Cls_Arj.h"

#include "formats/catalogue/CatalogueUnpack.h"
#include "formats/catalogue/catalogue_common.h"

#include "archive/BinaryFile.h"
#include "archive/BufferedReader.h"
#include "archive/ByteFields.h"
#include "archive/FileRangeSource.h"
#include "archive/TextDecoding.h"
#include "codecs/ArjDecoder.h"
#include "codecs/ArjGarble.h"
#include "codecs/StoredCopy.h"

#include <limits>
#include <span>
#include <stdexcept>

namespace velmora {

namespace {

constexpr uint16_t arj_header_id = 0xEA60;

// Local header from first_hdr_size on:
// first_hdr_size(1) arj_ver(1) min_ver(1) host_os(1) arj_flags(1) method(1) file_type(1) reserved(1)
// time(4) compressed_size(4) original_size(4) crc(4) entryname_pos(2) access_mode(2) host_data(2)
// [ext_file_pos(4)] name(z) comment(z) | header_crc(4) ext_header_size(2) [ext_header ext_header_crc(4)]
constexpr size_t off_first_hdr_size = 0;
constexpr size_t off_arj_ver = 1;
constexpr size_t off_min_ver = 2;
constexpr size_t off_host_os = 3;
constexpr size_t off_arj_flags = 4;
constexpr size_t off_method = 5;
constexpr size_t off_file_type = 6;
constexpr size_t off_reserved = 7;
constexpr size_t off_time = 8;
constexpr size_t off_date = 10;
constexpr size_t off_compressed_size = 12;
constexpr size_t off_original_size = 16;
constexpr size_t off_crc = 20;
constexpr size_t off_entryname_pos = 24;
constexpr size_t off_access_mode = 26;
constexpr size_t off_host_data = 28;
constexpr size_t off_ext_file_pos = 30;
constexpr size_t standard_first_hdr_size = 30;
static_assert(off_host_data + 2 == standard_first_hdr_size);

constexpr uint8_t flag_garbled = 0x01;
constexpr uint8_t flag_dir = 0x02;
constexpr uint8_t flag_volume = 0x04;  // the data goes on in the next volume
constexpr uint8_t flag_extfile = 0x08; // the data began in the previous volume
constexpr uint8_t host_unix = 2;

// Main header, from first_hdr_size on: ... created(4) modified(4) archive_size(4)
// security_envelope_pos(4) filespec_pos(2) security_envelope_len(2)
// encryption_version(1): 0 and 1 the old garble, 2 and above GOST and later.
constexpr size_t main_off_encryption_version = 28;
constexpr uint8_t first_gost_version = 2;

// file_type: 0 binary, 1 7-bit text, 3 folder, 4 volume label, 5 chapter label.
constexpr uint8_t file_type_folder = 3;
constexpr uint8_t file_type_volume_label = 4;
constexpr uint8_t file_type_chapter_label = 5;

constexpr uint16_t unix_permission_bits = 0777;

constexpr size_t max_text_bytes = catalogue::max_text_length;

// Arithmetic the walk cannot carry on from: the dispatcher traps it.

int64_t checked_position(int64_t from, int64_t delta)
{
    return catalogue::checked_position(from, delta, "ARJ");
}

enum class text_read { ok, truncated, too_long };

// A zero-terminated text; too_long when 32,741 bytes come without a zero.
text_read read_text(BufferedReader& in, std::string& out)
{
    const uint64_t start = in.pos();
    std::string raw;
    if (in.zstring(max_text_bytes, raw)) {
        out = decode_archive_text(raw);
        return text_read::ok;
    }
    in.seek(start);
    return start < in.size() && in.size() - start > max_text_bytes ? text_read::too_long : text_read::truncated;
}

std::string version_text(uint8_t v)
{
    return std::to_string(v / 10) + "." + std::to_string(v % 10);
}

std::string method_text(uint8_t method)
{
    switch (method) {
    case 0: return "No Compression";
    case 1: return "Maximum";
    case 2: return "Normal";
    case 3: return "Small";
    case 4: return "Fastest";
    default: return "Unknown";
    }
}

std::string host_text(uint8_t host)
{
    switch (host) {
    case 0: return "MS-DOS and OS/2 (FAT / VFAT / FAT32 file systems)";
    case 1: return "Primos";
    case 2: return "UNIX";
    case 3: return "Amiga";
    case 4: return "MAC-OS";
    case 5: return "OS/2";
    case 6: return "Apple GS";
    case 7: return "Atari ST";
    case 8: return "Next";
    case 9: return "VAX VMS";
    default: return "unKnown";
    }
}

} // namespace

Cls_Arj::Cls_Arj(ArchiveState& state) : ReaderBase(state, true), entries_(1) {}

int16_t Cls_Arj::Get_Contents(const std::string& ZipName)
{
    start_listing(ZipName);
    entries_.assign(1, Entry{});
    walk_then_list([&] { walk(ZipName); }, [&] { build_listing(); });
    return 0;
}

void Cls_Arj::walk(const std::string& ZipName)
{
    BinaryFile file;
    if (!file.open(ZipName))
        throw std::runtime_error("cannot open the archive");
    BufferedReader in(file);

    uint16_t id = 0;
    if (!in.le16(id) || id != arj_header_id)
        return;

    // Main header: skip its body by the basic header size and read the CRC
    // behind it, then its extended headers the same way.
    uint16_t main_size = 0;
    if (!in.le16(main_size))
        return;
    const int64_t body = static_cast<int64_t>(in.pos()) + 1;
    const int64_t main_crc_at = checked_position(body, static_cast<int16_t>(main_size));
    if (main_crc_at < body)
        return;
    encryption_version_ = 0;
    if (main_size > main_off_encryption_version) {
        in.seek(static_cast<uint64_t>(body - 1) + main_off_encryption_version);
        if (!in.u8(encryption_version_))
            return;
    }
    in.seek(static_cast<uint64_t>(main_crc_at - 1));
    uint32_t crc = 0;
    if (!in.le32(crc) || !skip_extended_headers(in, nullptr))
        return;
    state_.PackFileType = format_code::arj;

    const auto add_entry = [this](const Entry& e) {
        if (state_.PackTotFiles == std::numeric_limits<int32_t>::max())
            throw walk_error("too many ARJ entries");
        entries_.push_back(e);
        ++state_.PackTotFiles;
    };

    while (in.le16(id) && id == arj_header_id) {
        Entry e;
        e.HeaderID = id;
        if (!in.le16(e.BasicHeaderSize) || e.BasicHeaderSize == 0)
            return;

        const uint64_t first = in.pos();
        std::vector<uint8_t> fixed;
        if (!in.read(standard_first_hdr_size, fixed))
            return;
        e.FirstHdrSize = fixed[off_first_hdr_size];
        e.ArcVersion = fixed[off_arj_ver];
        e.MinVersion = fixed[off_min_ver];
        e.HostOS = fixed[off_host_os];
        e.ArjFlags = fixed[off_arj_flags];
        e.PackMethod = fixed[off_method];
        e.FileType = fixed[off_file_type];
        e.Reserved = fixed[off_reserved];
        e.DosTime = load_le16(&fixed[off_time]);
        e.DosDate = load_le16(&fixed[off_date]);
        e.PackSize = static_cast<int32_t>(load_le32(&fixed[off_compressed_size]));
        e.UnpSize = static_cast<int32_t>(load_le32(&fixed[off_original_size]));
        e.FileCRC = load_le32(&fixed[off_crc]);
        e.EntryNamePos = load_le16(&fixed[off_entryname_pos]);
        e.AccessMode = load_le16(&fixed[off_access_mode]);
        e.HostData = load_le16(&fixed[off_host_data]);
        // The name starts first_hdr_size bytes after that byte, past any extra
        // fields (extended file position, access and creation times).
        if (e.FirstHdrSize < standard_first_hdr_size)
            return;
        if ((e.ArjFlags & flag_extfile) && e.FirstHdrSize >= off_ext_file_pos + 4 && !in.le32(e.ExtFilePos))
            return;
        in.seek(first + e.FirstHdrSize);

        for (std::string* text : {&e.Name, &e.Comment}) {
            switch (read_text(in, *text)) {
            case text_read::ok: break;
            case text_read::truncated: return;
            case text_read::too_long:
                text->clear();
                add_entry(e);
                throw walk_error("ARJ text longer than 32,740 bytes");
            }
        }

        if (!in.le32(e.HeaderCRC) || !skip_extended_headers(in, &e))
            return;

        // arj on UNIX hosts stores the modification time as a Unix time.
        e.StoredTime = (static_cast<uint32_t>(e.DosDate) << 16) | e.DosTime;
        if (e.HostOS == host_unix) {
            const uint32_t stamp = e.StoredTime;
            int16_t date = 0, time = 0;
            UnixTimeToDos(stamp, date, time);
            e.DosDate = static_cast<uint16_t>(date);
            e.DosTime = static_cast<uint16_t>(time);
        }

        const int64_t data_pos = checked_position(static_cast<int64_t>(in.pos()), 1);
        e.DataPos = static_cast<int32_t>(data_pos);
        e.DataOffset = in.pos();
        e.EncryptionVersion = encryption_version_;
        add_entry(e);

        // A negative size would walk back over headers already read.
        const int64_t next = checked_position(data_pos, e.PackSize);
        if (next < data_pos)
            return;
        in.seek(static_cast<uint64_t>(next - 1));
    }
}

bool Cls_Arj::skip_extended_headers(BufferedReader& in, Entry* e)
{
    // Extended headers: size(2) data(size) crc(4), up to a size of 0. The
    // first is kept with the entry; arj -2o writes the owner in one.
    for (bool first = true;; first = false) {
        uint16_t size = 0;
        if (!in.le16(size))
            return false;
        if (first && e)
            e->ExtHeaderSize = static_cast<int16_t>(size);
        if (static_cast<int16_t>(size) <= 0)
            return true;
        uint32_t crc = 0;
        if (first && e) {
            e->ExtHeader.resize(size);
            if (!in.read_into(e->ExtHeader) || !in.le32(e->ExtHeaderCRC))
                return false;
        } else {
            in.seek(in.pos() + size);
            if (!in.le32(crc))
                return false;
        }
    }
}

int16_t Cls_Arj::UnPack(Selection& ZippedFile, std::string& ToPath)
{
    const auto count = static_cast<int32_t>(std::min<size_t>(listing_.size(), INT32_MAX));
    return CatalogueUnpack::run(state_, ZippedFile, ToPath, [&](int32_t k, CatalogueUnpack& unpack) {
        return k > count || extract(k, unpack);
    });
}

namespace {

// The permission bits a written file takes, from a UNIX host's access mode.
// arj keeps its own type bits above the permissions (0o10000 for a file,
// 0o20000 for a folder), not st_mode's: only the rwx bits count.
int32_t file_mode(const Cls_Arj::Entry& e)
{
    if (e.HostOS != host_unix || e.AccessMode == 0)
        return -1;
    return e.AccessMode & unix_permission_bits;
}

ExtractBlocker blocker_of(const Cls_Arj::Entry& e)
{
    if (!ArjDecoder::supported(e.PackMethod))
        return {OutcomeReason::unsupported_method, "method " + std::to_string(e.PackMethod)};
    if ((e.ArjFlags & flag_garbled) && e.EncryptionVersion >= first_gost_version)
        return {OutcomeReason::unsupported_encryption, "GOST"};
    if (e.ArjFlags & (flag_volume | flag_extfile))
        return {OutcomeReason::missing_volume, ""};
    return {};
}

} // namespace

bool Cls_Arj::extract(int32_t FileNum, CatalogueUnpack& unpack)
{
    const Entry& e = entries_[static_cast<size_t>(FileNum)];
    const ListedEntry& l = listing_[static_cast<size_t>(FileNum) - 1];
    if (!unpack.contained(FileNum, l.name))
        return true;
    if (e.FileType == file_type_folder) {
        unpack.folder(FileNum, l.name);
        return true;
    }
    if (l.blocker) {
        unpack.skip(FileNum, l.blocker);
        return true;
    }
    if (e.FileType == file_type_volume_label || e.FileType == file_type_chapter_label) {
        unpack.skip(FileNum, {OutcomeReason::special_file, "label"});
        return true;
    }

    const bool garbled = (e.ArjFlags & flag_garbled) != 0;
    const std::vector<std::string>* passwords = nullptr;
    if (garbled) {
        passwords = unpack.password(FileNum);
        if (!passwords)
            return false;
    }
    unpack_file f;
    f.number = FileNum;
    f.name = l.name;
    f.unix_mode = file_mode(e);
    // arj on UNIX hosts stores the Unix time where DOS hosts store DOS words.
    f.stamp = e.HostOS == host_unix ? FileStamp::from_unix(e.StoredTime)
                                    : FileStamp::from_dos(static_cast<int16_t>(e.DosDate), static_cast<int16_t>(e.DosTime));
    f.size = static_cast<uint32_t>(e.UnpSize);
    f.crc = e.FileCRC;
    f.crc_kind = entry_crc::crc32;
    f.encrypted = garbled;
    f.stored = e.PackMethod == 0;
    unpack.file(f, passwords ? passwords->size() : 1, [&](ByteSink& sink, size_t attempt) {
        FileRangeSource source(unpack.archive(), e.DataOffset, static_cast<uint32_t>(e.PackSize));
        std::span<const uint8_t> password;
        if (passwords) {
            const std::string& p = (*passwords)[attempt];
            password = {reinterpret_cast<const uint8_t*>(p.data()), p.size()};
        }
        // Not garbled: an empty password passes the bytes through as stored.
        ArjGarble input(source, password, e.Reserved);
        if (f.stored)
            return copy_stored(input, sink, f.size, unpack.copy_buffer(f.size));
        return ArjDecoder(e.PackMethod).decode(input, sink, f.size);
    });
    return true;
}

ListedEntry Cls_Arj::listed_of(const Entry& e)
{
    ListedEntry l;
    l.name = e.Name;
    l.comment = e.Comment;
    l.is_dir = (e.ArjFlags & flag_dir) != 0;
    l.method = method_text(e.PackMethod);
    l.crc32 = static_cast<int32_t>(e.FileCRC);
    l.compressed_size = e.PackSize;
    l.uncompressed_size = e.UnpSize;
    l.encrypted = (e.ArjFlags & flag_garbled) != 0;
    l.modified = DosDateTimeToDate(static_cast<int16_t>(e.DosDate), static_cast<int16_t>(e.DosTime));
    l.system_made_by = host_text(e.HostOS);
    l.version_made_by = version_text(e.ArcVersion);
    l.system_needed = "unKnown";
    l.version_needed = version_text(e.MinVersion);
    if (e.FileType != file_type_folder)
        l.blocker = blocker_of(e);
    return l;
}

void Cls_Arj::build_listing()
{
    listing_.clear();
    listing_.reserve(entries_.size());
    for (size_t k = 1; k < entries_.size(); ++k)
        listing_.push_back(listed_of(entries_[k]));
}

} // namespace velmora

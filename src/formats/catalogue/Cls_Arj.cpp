// ARJ catalogue reader. The main header is passed over by its basic header size;
// each local header is read field by field, its name found first_hdr_size bytes
// after the first_hdr_size byte (arj 2.62 and later store 34- or 46-byte first
// headers), and the next header is looked for right after the packed data.
#include "formats/catalogue/Cls_Arj.h"

#include "formats/catalogue/catalogue_common.h"

#include "archive/BinaryFile.h"
#include "archive/BufferedReader.h"
#include "archive/ByteFields.h"
#include "archive/TextDecoding.h"

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
constexpr uint8_t flag_extfile = 0x08;
constexpr uint8_t host_unix = 2;

constexpr size_t max_text_bytes = 32740;

// Arithmetic the walk cannot carry on from: the dispatcher traps it.

// Positions are 1-based signed 32-bit numbers. A position before the start of
// the file or past 2 GiB cannot be reached.
int64_t checked_position(int64_t from, int64_t delta)
{
    const int64_t to = from + delta;
    if (to <= 0 || to > std::numeric_limits<int32_t>::max())
        throw walk_error("ARJ header position out of range");
    return to;
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
    try {
        walk(ZipName);
    } catch (...) {
        build_listing();
        throw;
    }
    build_listing();
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
    // behind it, then the first extended header the same way.
    uint16_t main_size = 0;
    if (!in.le16(main_size))
        return;
    const int64_t body = static_cast<int64_t>(in.pos()) + 1;
    const int64_t main_crc_at = checked_position(body, static_cast<int16_t>(main_size));
    if (main_crc_at < body)
        return;
    in.seek(static_cast<uint64_t>(main_crc_at - 1));
    uint32_t crc = 0;
    uint16_t ext_size = 0;
    if (!in.le32(crc) || !in.le16(ext_size))
        return;
    if (static_cast<int16_t>(ext_size) > 0) {
        in.seek(in.pos() + ext_size);
        if (!in.le32(crc))
            return;
    }
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

        uint16_t ext = 0;
        if (!in.le32(e.HeaderCRC) || !in.le16(ext))
            return;
        e.ExtHeaderSize = static_cast<int16_t>(ext);
        if (e.ExtHeaderSize > 0) {
            e.ExtHeader.resize(static_cast<size_t>(e.ExtHeaderSize));
            if (!in.read_into(e.ExtHeader) || !in.le32(e.ExtHeaderCRC))
                return;
        }

        // arj on UNIX hosts stores the modification time as a Unix time.
        if (e.HostOS == host_unix) {
            const uint32_t stamp = (static_cast<uint32_t>(e.DosDate) << 16) | e.DosTime;
            int16_t date = 0, time = 0;
            UnixTimeToDos(stamp, date, time);
            e.DosDate = static_cast<uint16_t>(date);
            e.DosTime = static_cast<uint16_t>(time);
        }

        const int64_t data_pos = checked_position(static_cast<int64_t>(in.pos()), 1);
        e.DataPos = static_cast<int32_t>(data_pos);
        add_entry(e);

        // A negative size would walk back over headers already read.
        const int64_t next = checked_position(data_pos, e.PackSize);
        if (next < data_pos)
            return;
        in.seek(static_cast<uint64_t>(next - 1));
    }
}

int16_t Cls_Arj::UnPack(Selection&, std::string&)
{
    return catalogue::unpack_nothing(state_);
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

// ARC listing: entry headers are read one after another, each followed by its
// packed data, until the end mark (method 0), a method above 9, a byte other
// than 0x1A or the end of the file. Extraction streams each entry's packed
// bytes through the ARC decoder and checks the CRC-16 of what comes out.
#include "formats/catalogue/Cls_Arc.h"

#include "archive/BinaryFile.h"
#include "archive/BufferedReader.h"
#include "archive/ByteFields.h"
#include "archive/TextDecoding.h"
#include "archive/FileRangeSource.h"
#include "codecs/ArcDecoder.h"
#include "formats/catalogue/CatalogueUnpack.h"
#include "formats/catalogue/catalogue_common.h"

#include <algorithm>

namespace velmora {

namespace {

// Entry header: mark(1) method(1) name(13) packed(4) date(2) time(2) crc16(2) length(4)
// The walk reads the mark and the method on their own, then the rest.
constexpr uint8_t arc_mark = 0x1A;
constexpr uint8_t end_of_archive = 0;
constexpr uint8_t last_method = 9;
constexpr size_t name_field_size = 13;
constexpr size_t off_packed = 13;
constexpr size_t off_date = 17;
constexpr size_t off_time = 19;
constexpr size_t off_crc = 21;
constexpr size_t off_length = 23;
constexpr size_t fields_size = 27;
static_assert(2 + fields_size == 29, "every header is read as 29 bytes");

std::string method_text(uint8_t PackMethod)
{
    switch (PackMethod) {
    case 1: return "unpacked (obsolete)";
    case 2: return "unpacked";
    case 3: return "packed";
    case 4: return "squeezed (after packing)";
    case 5: return "crunched (obsolete)";
    case 6: return "crunched (after packing) (obsolete)";
    case 7: return "crunched (after packing, using faster hash algorithm)";
    case 8: return "crunched (after packing, using dynamic LZW variations)";
    case 9: return "Squashed c/o Halvik (no packing) (var. on crunching)";
    default: return "Unknown";
    }
}

// The name in the 13-byte field: the bytes before its terminating zero, with
// spaces trimmed from both ends. arc reuses one buffer for every header, so
// bytes after the zero are left over from a longer earlier name and are no
// part of this one.
std::string name_from_field(std::span<const uint8_t> field)
{
    std::string bytes;
    for (const uint8_t b : field) {
        if (b == 0)
            break;
        bytes.push_back(static_cast<char>(b));
    }
    const auto first = bytes.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    const auto last = bytes.find_last_not_of(' ');
    return decode_archive_text(std::string_view(bytes).substr(first, last - first + 1));
}

} // namespace

int16_t Cls_Arc::Get_Contents(const std::string& ZipName)
{
    start_listing(ZipName);
    entries_.assign(1, Entry{});

    BinaryFile file;
    if (!file.open(ZipName))
        throw walk_error("cannot open the archive");
    BufferedReader in(file);
    walk_then_list([&] { walk(in); }, [&] { build_listing(); });
    // An archive without a single entry is not taken for ARC.
    if (state_.PackTotFiles > 0)
        state_.PackFileType = format_code::arc;
    return 0;
}

void Cls_Arc::walk(BufferedReader& in)
{
    for (;;) {
        uint8_t mark = 0;
        uint8_t method = 0;
        if (!in.u8(mark) || mark != arc_mark)
            return;
        if (!in.u8(method) || method == end_of_archive || method > last_method)
            return;
        std::vector<uint8_t> f;
        if (!in.read(fields_size, f))
            return; // a header cut off by the end of the file
        catalogue::count_entry(state_);
        Entry& e = entries_.emplace_back();
        e.Marker = mark;
        e.PackMethod = method;
        e.Name = name_from_field(std::span<const uint8_t>(f).subspan(0, name_field_size));
        e.PackSize = static_cast<int32_t>(load_le32(f.data() + off_packed));
        e.DosDate = load_le16(f.data() + off_date);
        e.DosTime = load_le16(f.data() + off_time);
        e.FileCRC = load_le16(f.data() + off_crc);
        e.UnpSize = static_cast<int32_t>(load_le32(f.data() + off_length));

        // The packed size is a signed 32-bit count: a position past the
        // 32-bit range, at 0 or before, is a failure; any other backward step
        // would revisit headers already read and ends the walk.
        const int64_t data_pos = static_cast<int64_t>(in.pos()) + 1;
        e.DataPos = static_cast<int32_t>(std::min<int64_t>(data_pos, INT32_MAX));
        const int64_t next = data_pos + e.PackSize;
        if (data_pos > INT32_MAX || next > INT32_MAX)
            throw walk_error("position overflow");
        if (next <= 0)
            throw walk_error("position before the start of the file");
        if (e.PackSize < 0)
            return;
        in.seek(static_cast<uint64_t>(next - 1));
    }
}

int16_t Cls_Arc::UnPack(Selection& ZippedFile, std::string& ToPath)
{
    // One decoder for the run: its tables are made once, at the first entry
    // that needs them.
    ArcDecoder decoder;
    return CatalogueUnpack::run_listed(state_, listing_, ZippedFile, ToPath, [&](int32_t k, CatalogueUnpack& unpack) {
        extract(k, unpack, decoder);
        return true;
    });
}

void Cls_Arc::extract(int32_t FileNum, CatalogueUnpack& unpack, ArcDecoder& decoder)
{
    const Entry& e = entries_[static_cast<size_t>(FileNum)];
    const ListedEntry& l = listing_[static_cast<size_t>(FileNum) - 1];
    unpack_file f;
    f.number = FileNum;
    f.name = l.name;
    f.stamp = FileStamp::from_dos(static_cast<int16_t>(e.DosDate), static_cast<int16_t>(e.DosTime));
    // Both sizes are unsigned 32-bit counts in the header; the listing shows
    // them signed.
    f.size = static_cast<uint32_t>(e.UnpSize);
    f.crc = e.FileCRC;
    f.crc_kind = entry_crc::crc16;
    f.stored = e.PackMethod <= 2;
    const uint64_t packed = static_cast<uint32_t>(e.PackSize);
    unpack.file(f, 1, [&](ByteSink& sink, size_t) {
        // DataPos counts from 1.
        FileRangeSource source(unpack.archive(), static_cast<uint64_t>(e.DataPos) - 1, packed);
        return decoder.decode(e.PackMethod, source, sink, f.size);
    });
}

ListedEntry Cls_Arc::listed_of(const Entry& e)
{
    ListedEntry l;
    l.name = e.Name;
    l.comment = "Not Supported";
    l.is_dir = e.UnpSize == 0 && !e.Name.empty() && e.Name.back() == '/';
    l.method = method_text(e.PackMethod);
    // The CRC-16 sign-extended: 0x8000 and above come out negative.
    l.crc32 = static_cast<int16_t>(e.FileCRC);
    l.compressed_size = e.PackSize;
    l.uncompressed_size = e.UnpSize;
    l.modified = DosDateTimeToDate(static_cast<int16_t>(e.DosDate), static_cast<int16_t>(e.DosTime));
    // ARC stores no host system or version.
    l.system_made_by = l.version_made_by = l.system_needed = l.version_needed = "UnKnown";
    return l;
}

void Cls_Arc::build_listing()
{
    listing_.clear();
    listing_.reserve(entries_.size());
    for (size_t k = 1; k < entries_.size(); ++k)
        listing_.push_back(listed_of(entries_[k]));
}

} // namespace velmora

// LZH/LHA catalogue reader. Headers follow one another, each followed by its
// packed data, up to a zero byte or anything that is no "-l??-" header. Level-2
// headers (level byte 2) are read in their own layout: two-byte header size,
// Unix time, and the name and folder in extended headers 0x01 and 0x02.
#include "formats/catalogue/Cls_LZH.h"

#include "formats/catalogue/catalogue_common.h"

#include "archive/BinaryFile.h"
#include "archive/BufferedReader.h"
#include "archive/ByteFields.h"
#include "archive/TextDecoding.h"

#include <algorithm>
#include <limits>
#include <span>
#include <stdexcept>

namespace velmora {

namespace {

// Level-0/1 header: size(1) sum(1) '-'(1) method(3) '-'(1) packed(4) original(4)
// time(4) attr(1) level(1) name_len(1) name(name_len) crc(2) [level 1: os(1) ext...]
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
// Smallest size byte of a header this reader takes (counts from the method).
constexpr uint8_t min_header_size = 24;

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
constexpr size_t l2_off_first_ext_size = 24;
constexpr size_t l2_base_size = 26;
static_assert(l2_off_first_ext_size + 2 == l2_base_size);
static_assert(l2_off_level == l0_off_attr_level + 1, "the level byte sits at offset 20 in every layout");

constexpr uint8_t ext_file_name = 0x01;
constexpr uint8_t ext_directory = 0x02;
constexpr uint8_t ext_min_size = 3;  // type byte and next-size word
constexpr uint8_t lha_path_separator = 0xFF;

// Arithmetic the walk cannot carry on from: the dispatcher traps it.

// Positions are 1-based signed 32-bit numbers.
int64_t checked_position(int64_t from, int64_t delta)
{
    const int64_t to = from + delta;
    if (to <= 0 || to > std::numeric_limits<int32_t>::max())
        throw walk_error("LZH header position out of range");
    return to;
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

// Level-0/1 header at `start`, read in the level-0 layout. False when no
// entry header starts there. `data_start` is the 1-based position just after
// the header as its size byte gives it.
bool read_level0(BufferedReader& in, uint64_t start, Cls_LZH::Entry& e, int64_t& data_start)
{
    in.seek(start);
    std::vector<uint8_t> h;
    if (!in.read(l0_fixed_size, h))
        return false;
    e.HeaderSize = h[l0_off_size];
    if (e.HeaderSize < min_header_size)
        return false;
    e.Checksum = h[l0_off_sum];
    e.Dash = h[l0_off_dash];
    if (!method_start_ok(e.Dash, h[l0_off_method]))
        return false;
    e.PackMethod.assign(reinterpret_cast<const char*>(&h[l0_off_method]), 3);
    e.ClosingDash = h[l0_off_closing_dash];
    e.PackSize = static_cast<int32_t>(load_le32(&h[l0_off_packed]));
    e.UnpSize = static_cast<int32_t>(load_le32(&h[l0_off_original]));
    e.FileTime = load_le32(&h[l0_off_time]);
    e.DosTime = static_cast<uint16_t>(e.FileTime & 0xFFFF);
    e.DosDate = static_cast<uint16_t>(e.FileTime >> 16);
    e.AttribLevel = load_le16(&h[l0_off_attr_level]);
    e.NameSize = h[l0_off_name_len];
    std::vector<uint8_t> name;
    if (!in.read(e.NameSize, name))
        return false;
    e.Name = decode_archive_text(name);
    if (!in.le16(e.FileCRC))
        return false;
    e.DataPos = static_cast<int32_t>(std::min<uint64_t>(in.pos() + 1, std::numeric_limits<int32_t>::max()));
    // The size byte counts the header after itself and the checksum.
    data_start = static_cast<int64_t>(start) + 1 + 2 + e.HeaderSize;
    return true;
}

// Level-2 header at `start`: the whole header is read first and its
// extended headers walked inside it.
bool read_level2(BufferedReader& in, uint64_t start, Cls_LZH::Entry& e, int64_t& data_start)
{
    in.seek(start);
    uint16_t size = 0;
    if (!in.le16(size) || size < l2_base_size)
        return false;
    in.seek(start);
    std::vector<uint8_t> h;
    if (!in.read(size, h))
        return false;
    if (!method_start_ok(h[l2_off_dash], h[l2_off_method]))
        return false;

    e.HeaderSize = h[l2_off_size];
    e.Checksum = h[l2_off_size + 1];
    e.Dash = h[l2_off_dash];
    e.PackMethod.assign(reinterpret_cast<const char*>(&h[l2_off_method]), 3);
    e.ClosingDash = h[l2_off_closing_dash];
    e.PackSize = static_cast<int32_t>(load_le32(&h[l2_off_packed]));
    e.UnpSize = static_cast<int32_t>(load_le32(&h[l2_off_original]));
    e.FileTime = load_le32(&h[l2_off_mtime]);
    int16_t date = 0, time = 0;
    UnixTimeToDos(e.FileTime, date, time);
    e.DosDate = static_cast<uint16_t>(date);
    e.DosTime = static_cast<uint16_t>(time);
    e.AttribLevel = load_le16(&h[l2_off_attr_level]);
    e.FileCRC = load_le16(&h[l2_off_crc]);

    // Extended headers: each names the size of the next in its last two bytes.
    std::string name, folder;
    size_t at = l2_base_size;
    size_t ext_size = load_le16(&h[l2_off_first_ext_size]);
    while (ext_size >= ext_min_size && ext_size <= size - at) {
        const auto data = std::span<const uint8_t>(h).subspan(at + 1, ext_size - ext_min_size);
        if (h[at] == ext_file_name) {
            name.assign(data.begin(), data.end());
        } else if (h[at] == ext_directory) {
            folder.assign(data.begin(), data.end());
            for (char& c : folder)
                if (static_cast<uint8_t>(c) == lha_path_separator)
                    c = '/';
        }
        const size_t next_size = load_le16(&h[at + ext_size - 2]);
        at += ext_size;
        ext_size = next_size;
    }
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    const std::string path = folder + name;
    e.NameSize = static_cast<uint8_t>(path.size());
    e.Name = decode_archive_text(path);

    data_start = static_cast<int64_t>(start) + 1 + size;
    e.DataPos = static_cast<int32_t>(std::min<int64_t>(data_start, std::numeric_limits<int32_t>::max()));
    return true;
}

} // namespace

Cls_LZH::Cls_LZH(ArchiveState& state) : ReaderBase(state, false), entries_(1) {}

int16_t Cls_LZH::Get_Contents(const std::string& ZipName)
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
        const bool level2 = in.u8(level) && level == 2;

        Entry e;
        int64_t data_start = 0;
        if (!(level2 ? read_level2(in, start, e, data_start) : read_level0(in, start, e, data_start)))
            return;
        if (state_.PackTotFiles == std::numeric_limits<int32_t>::max())
            throw walk_error("too many LZH entries");
        entries_.push_back(std::move(e));
        ++state_.PackTotFiles;

        // The next header follows the packed data. A negative size would
        // step back over headers already read: the walk ends there instead.
        const int32_t pack_size = entries_.back().PackSize;
        const int64_t next = checked_position(checked_position(data_start, 0), pack_size);
        if (next < data_start || next - 1 < static_cast<int64_t>(in.pos()))
            return;
        start = static_cast<uint64_t>(next - 1);
    }
}

int16_t Cls_LZH::UnPack(Selection&, std::string&)
{
    return catalogue::unpack_nothing(state_);
}

ListedEntry Cls_LZH::listed_of(const Entry& e)
{
    ListedEntry l;
    l.name = e.Name;
    l.comment = "Not Supported";
    l.is_dir = e.PackMethod == "lhd" || (e.UnpSize == 0 && !e.Name.empty() && e.Name.back() == '/');
    l.method = method_text(e.PackMethod);
    // The CRC-16 widened as a signed value: 0x8000 and above come out negative.
    l.crc32 = static_cast<int32_t>(static_cast<int16_t>(e.FileCRC));
    l.compressed_size = e.PackSize;
    l.uncompressed_size = e.UnpSize;
    l.modified = DosDateTimeToDate(static_cast<int16_t>(e.DosDate), static_cast<int16_t>(e.DosTime));
    l.system_made_by = l.version_made_by = l.system_needed = l.version_needed = "UnKnown";
    return l;
}

void Cls_LZH::build_listing()
{
    listing_.clear();
    listing_.reserve(entries_.size());
    for (size_t k = 1; k < entries_.size(); ++k)
        listing_.push_back(listed_of(entries_[k]));
}

} // namespace velmora

// Cabinet listing: the header, the optional reserve fields and set names, the
// folder records, then the file records from the header's file offset. Each
// entry shows its own folder's compression type. Extraction takes the
// selected files folder by folder through one CabFolderStream, decoding each
// folder only as far as its last selected file.
#include "formats/catalogue/Cls_Cab.h"

#include "archive/BinaryFile.h"
#include "archive/BufferedReader.h"
#include "archive/ByteFields.h"
#include "archive/TextDecoding.h"
#include "formats/catalogue/CatalogueUnpack.h"
#include "formats/catalogue/catalogue_common.h"

#include <algorithm>

namespace velmora {

namespace {

// CFHEADER: signature(4) reserved1(4) cbCabinet(4) reserved2(4) coffFiles(4) reserved3(4)
//           versionMinor(1) versionMajor(1) cFolders(2) cFiles(2) flags(2) setID(2) iCabinet(2)
constexpr size_t header_size = 36;
constexpr size_t off_signature = 0;
constexpr size_t off_reserved1 = 4;
constexpr size_t off_cabinet_size = 8;
constexpr size_t off_reserved2 = 12;
constexpr size_t off_files_offset = 16;
constexpr size_t off_reserved3 = 20;
constexpr size_t off_version_minor = 24;
constexpr size_t off_version_major = 25;
constexpr size_t off_folders = 26;
constexpr size_t off_files = 28;
constexpr size_t off_flags = 30;
constexpr size_t off_set_id = 32;
constexpr size_t off_cabinet_index = 34;
constexpr uint32_t signature_mscf = 0x4643534D; // "MSCF"

constexpr uint16_t flag_prev_cabinet = 0x0001;
constexpr uint16_t flag_next_cabinet = 0x0002;
constexpr uint16_t flag_reserve_present = 0x0004;

// Reserve sizes: cbCFHeader(2) cbCFFolder(1) cbCFData(1)
constexpr size_t reserve_sizes_size = 4;
// CFFOLDER: coffCabStart(4) cCFData(2) typeCompress(2)
constexpr size_t folder_size = 8;
constexpr size_t off_data_blocks = 4;
constexpr size_t off_type_compress = 6;
// CFFILE: cbFile(4) uoffFolderStart(4) iFolder(2) date(2) time(2) attribs(2), then szName
constexpr size_t file_fields_size = 16;

constexpr uint16_t attr_directory = 0x10;
constexpr uint16_t attr_name_is_utf8 = 0x80;

// iFolder values of files whose data lies partly in another cabinet.
constexpr uint16_t ifold_continued_from_prev = 0xFFFD;
constexpr uint16_t ifold_continued_to_next = 0xFFFE;
constexpr uint16_t ifold_continued_prev_and_next = 0xFFFF;

// The method shown for a file whose folder index names no folder.
constexpr uint16_t no_folder_method = 0x000F;
constexpr uint16_t last_known_method = 3;

std::string method_text(uint16_t FolderMethod)
{
    // The low four bits name the compressor; LZX and Quantum keep their window
    // size in the bits above.
    switch (FolderMethod & 0x0F) {
    case 0: return "No Compression";
    case 1: return "MsZip";
    case 2: return "Quantum";
    case 3: return "Lzx";
    default: return "Unknown";
    }
}

// Skips a zero-terminated text of any length; false when the file ends first.
bool skip_text(BufferedReader& in)
{
    std::string ignored;
    return in.zstring(static_cast<size_t>(in.size()), ignored);
}

} // namespace

int16_t Cls_Cab::Get_Contents(const std::string& ZipName)
{
    start_listing(ZipName);
    entries_.assign(1, Entry{});
    folders_.clear();
    data_reserve_ = 0;

    BinaryFile file;
    if (!file.open(ZipName))
        throw walk_error("cannot open the archive");
    if (file.size() < header_size)
        return 0;
    BufferedReader in(file);
    std::vector<uint8_t> h;
    if (!in.read(header_size, h))
        return 0;
    CabinetHeader c;
    c.Signature = load_le32(h.data() + off_signature);
    c.Reserved1 = load_le32(h.data() + off_reserved1);
    c.CabinetSize = load_le32(h.data() + off_cabinet_size);
    c.Reserved2 = load_le32(h.data() + off_reserved2);
    c.FilesOffset = static_cast<int32_t>(load_le32(h.data() + off_files_offset));
    c.Reserved3 = load_le32(h.data() + off_reserved3);
    c.VersionMinor = h[off_version_minor];
    c.VersionMajor = h[off_version_major];
    c.CabFolders = static_cast<int16_t>(load_le16(h.data() + off_folders));
    c.CabFiles = static_cast<int16_t>(load_le16(h.data() + off_files));
    c.Flags = load_le16(h.data() + off_flags);
    c.SetID = load_le16(h.data() + off_set_id);
    c.CabinetIndex = load_le16(h.data() + off_cabinet_index);
    if (c.Signature != signature_mscf)
        return 0;
    header_ = c;

    state_.PackFileType = format_code::cab;
    walk_then_list([&] { walk(in); }, [&] { build_listing(); });
    return 0;
}

void Cls_Cab::walk(BufferedReader& in)
{
    const CabinetHeader& c = header_;
    uint8_t folder_reserve = 0;
    if (c.Flags & flag_reserve_present) {
        std::vector<uint8_t> r;
        if (!in.read(reserve_sizes_size, r))
            return;
        const auto header_reserve = static_cast<int16_t>(load_le16(r.data()));
        folder_reserve = r[2];
        data_reserve_ = r[3];
        // A reserve of 32,768 bytes or more reads as negative and is not skipped.
        if (header_reserve > 0)
            in.seek(in.pos() + static_cast<uint64_t>(header_reserve));
    }
    if (c.Flags & flag_prev_cabinet) {
        if (!skip_text(in) || !skip_text(in))
            return;
    }
    if (c.Flags & flag_next_cabinet) {
        if (!skip_text(in) || !skip_text(in))
            return;
    }

    // Folder counts of 32,768 or more read as negative: no table for them.
    if (c.CabFolders < 0)
        throw walk_error("negative folder count");
    folders_.reserve(static_cast<size_t>(c.CabFolders));
    for (int k = 0; k < c.CabFolders; ++k) {
        std::vector<uint8_t> f;
        if (!in.read(folder_size, f))
            return;
        cab_folder& folder = folders_.emplace_back();
        folder.coffCabStart = load_le32(f.data());
        folder.cCFData = load_le16(f.data() + off_data_blocks);
        folder.typeCompress = load_le16(f.data() + off_type_compress);
        in.seek(in.pos() + folder_reserve);
    }

    if (c.CabFiles < 0)
        throw walk_error("negative file count");
    entries_.assign(static_cast<size_t>(c.CabFiles) + 1, Entry{});
    if (in.pos() != static_cast<uint64_t>(static_cast<int64_t>(c.FilesOffset))) {
        if (c.FilesOffset < 0)
            throw walk_error("file records before the start of the file");
        if (c.FilesOffset == INT32_MAX)
            throw walk_error("position overflow");
        // File records that would lie inside the headers already read are
        // not read again.
        if (static_cast<uint64_t>(c.FilesOffset) < in.pos()) {
            entries_.resize(1);
            return;
        }
        in.seek(static_cast<uint64_t>(c.FilesOffset));
    }

    state_.PackTotFiles = c.CabFiles;
    for (int32_t k = 1; k <= c.CabFiles; ++k) {
        std::vector<uint8_t> f;
        std::string name;
        if (!in.read(file_fields_size, f) || !in.zstring(static_cast<size_t>(in.size()), name)) {
            // A record cut off by the end of the file ends the listing there.
            state_.PackTotFiles = k - 1;
            entries_.resize(static_cast<size_t>(k));
            return;
        }
        Entry& e = entries_[static_cast<size_t>(k)];
        e.UnpSize = static_cast<int32_t>(load_le32(f.data()));
        e.FolderOffset = load_le32(f.data() + 4);
        e.FolderIndex = load_le16(f.data() + 8);
        e.DosDate = load_le16(f.data() + 10);
        e.DosTime = load_le16(f.data() + 12);
        e.Attribs = load_le16(f.data() + 14);
        e.Name = decode_archive_text(name, (e.Attribs & attr_name_is_utf8) != 0);
        if (folders_.empty())
            throw walk_error("no folder for the file records");
        const cab_folder* folder = folder_of(e);
        e.FolderMethod = folder ? folder->typeCompress : no_folder_method;
    }
}

const cab_folder* Cls_Cab::folder_of(const Entry& e) const
{
    if (folders_.empty())
        return nullptr;
    switch (e.FolderIndex) {
    case ifold_continued_from_prev:
    case ifold_continued_prev_and_next: return &folders_.front();
    case ifold_continued_to_next: return &folders_.back();
    default: return e.FolderIndex < folders_.size() ? &folders_[e.FolderIndex] : nullptr;
    }
}

int16_t Cls_Cab::UnPack(Selection& ZippedFile, std::string& ToPath)
{
    // One stream for the run: the decoders and buffers are made once, and a
    // folder is decoded once for all of its selected files that lie in order.
    CabFolderStream stream;
    return CatalogueUnpack::run_listed(state_, listing_, ZippedFile, ToPath, [&](int32_t k, CatalogueUnpack& unpack) {
        extract(k, unpack, stream);
        return true;
    });
}

void Cls_Cab::extract(int32_t FileNum, CatalogueUnpack& unpack, CabFolderStream& stream)
{
    const Entry& e = entries_[static_cast<size_t>(FileNum)];
    const ListedEntry& l = listing_[static_cast<size_t>(FileNum) - 1];
    const cab_folder* folder = folder_of(e);
    if (!folder) {
        unpack.data_missing(FileNum, "folder index");
        return;
    }
    unpack_file f;
    f.number = FileNum;
    f.name = l.name;
    f.stamp = FileStamp::from_dos(static_cast<int16_t>(e.DosDate), static_cast<int16_t>(e.DosTime));
    f.size = static_cast<uint32_t>(e.UnpSize);
    f.crc_kind = entry_crc::none;
    f.stored = (folder->typeCompress & 0x0F) == 0;
    unpack.file(f, 1, [&](ByteSink& sink, size_t) {
        if (f.size == 0)
            return DecodeStatus::ok;
        // Files normally follow one another through their folder; one that
        // lies before what has been handed out starts the folder again.
        if (!stream.holds(*folder) || stream.position() > e.FolderOffset) {
            const DecodeStatus started = stream.start(unpack.archive(), *folder, data_reserve_);
            if (started != DecodeStatus::ok)
                return started;
        }
        const DecodeStatus skipped = stream.pass(e.FolderOffset - stream.position(), nullptr);
        if (skipped != DecodeStatus::ok)
            return skipped;
        return stream.pass(f.size, &sink);
    });
}

ExtractBlocker Cls_Cab::blocker_of(const Entry& e) const
{
    // A folder that began in the previous cabinet has its start there: none
    // of its files can be decoded from this one alone.
    if (e.FolderIndex >= ifold_continued_from_prev || (first_folder_continued_ && e.FolderIndex == 0))
        return {OutcomeReason::missing_volume, ""};
    const cab_folder* folder = folder_of(e);
    if (folder && (folder->typeCompress & 0x0F) > last_known_method)
        return {OutcomeReason::unsupported_method, method_text(folder->typeCompress)};
    return {};
}

ListedEntry Cls_Cab::listed_of(const Entry& e) const
{
    ListedEntry l;
    l.name = e.Name;
    l.is_dir = (e.Attribs & attr_directory) != 0;
    l.method = method_text(e.FolderMethod);
    if (!l.is_dir)
        l.blocker = blocker_of(e);
    // A cabinet keeps checksums per data block, not per file, and files
    // share their folder's compressed blocks: CRC and packed size stay 0.
    l.uncompressed_size = e.UnpSize;
    l.modified = DosDateTimeToDate(static_cast<int16_t>(e.DosDate), static_cast<int16_t>(e.DosTime));
    l.system_made_by = "UnKnown";
    l.version_made_by = "Unknown";
    l.system_needed = "Unknown";
    l.version_needed = catalogue::version_text(header_.VersionMajor, header_.VersionMinor);
    return l;
}

void Cls_Cab::build_listing()
{
    listing_.clear();
    listing_.reserve(entries_.size());
    first_folder_continued_ = std::any_of(entries_.begin() + 1, entries_.end(), [](const Entry& e) {
        return e.FolderIndex == ifold_continued_from_prev || e.FolderIndex == ifold_continued_prev_and_next;
    });
    for (size_t k = 1; k < entries_.size(); ++k)
        listing_.push_back(listed_of(entries_[k]));
}

} // namespace velmora

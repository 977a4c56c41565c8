// The tar reader: the header walk and member extraction.
#include "formats/tar/Cls_Tar.h"

#include "archive/BinaryFile.h"
#include "archive/BufferedReader.h"
#include "archive/Mod_DiskIO.h"
#include "archive/TextDecoding.h"
#include "formats/tar/TarHeader.h"

#include <climits>
#include <optional>

namespace velmora {

namespace {

// Long-name and pax records name one member; more than this is no name.
constexpr size_t max_record_data = 1 << 20;

std::string_view field_text(std::span<const uint8_t> block, size_t off, size_t len)
{
    return {reinterpret_cast<const char*>(block.data() + off), len};
}

void show(ArchiveState& state, std::string_view text)
{
    // Plain boxes: OK button, no icon, the default title.
    state.window->message_box(text, "", MessageIcon::none);
}

} // namespace

bool Cls_Tar::InvalidFileNum(int32_t FileNum) const
{
    return FileNum < 1 || FileNum > state_.PackTotFiles || state_.PackFileType == format_code::none
           || static_cast<size_t>(FileNum) > entries_.size();
}

// Walks the headers; false when a number field does not fit in 31 bits, which
// ends the listing with nothing loaded.
bool Cls_Tar::read_headers(const std::string& ZipName)
{
    BinaryFile file;
    if (!file.open(ZipName))
        return true;
    BufferedReader in(file);

    // Names that GNU long-name records and pax headers hand to the next
    // member header.
    std::optional<std::string> long_name;
    std::optional<std::string> pax_path;

    for (;;) {
        std::span<const uint8_t> block;
        if (!in.read(tar_field::block_size, block))
            break;
        const std::string raw_name = strip_nuls(block.subspan(tar_field::name, tar_field::name_len));
        if (raw_name.empty())
            break;

        const auto mtime = ParseOctal(field_text(block, tar_field::mtime, tar_field::mtime_len));
        const auto sum = ParseOctal(field_text(block, tar_field::chksum, tar_field::chksum_len));
        const auto size = ParseOctal(field_text(block, tar_field::size, tar_field::size_len));
        if (!mtime || !sum || !size)
            return false;
        const auto mode = ParseOctal(field_text(block, tar_field::mode, tar_field::mode_len));
        const char type = static_cast<char>(block[tar_field::typeflag]);
        const bool ustar = field_text(block, tar_field::magic, tar_field::magic_len) == ustar_magic;
        // The prefix ends at its first NUL: star keeps its atime and ctime in
        // the last 24 bytes of the field.
        std::string prefix;
        if (ustar) {
            const std::string_view field = field_text(block, tar_field::prefix, tar_field::prefix_len);
            prefix = std::string(field.substr(0, field.find('\0')));
        }

        // Positions are held in 31 bits: a member past 2 GiB cannot be
        // addressed, which ends the listing like a number that does not fit.
        const uint64_t data_start = in.pos();
        if (data_start >= static_cast<uint64_t>(INT32_MAX))
            return false;
        const uint64_t blocks = (static_cast<uint64_t>(*size) + tar_field::block_size - 1) / tar_field::block_size;
        const uint64_t next_header = data_start + blocks * tar_field::block_size;

        if (type == tar_type::gnu_long_name || type == tar_type::gnu_long_link || type == tar_type::pax_extended
            || type == tar_type::pax_global) {
            // Records that describe the next member; none of them is one. A
            // long link target ('K') is not kept: links are not recreated.
            const uint64_t available = file.size() > data_start ? file.size() - data_start : 0;
            size_t want = static_cast<size_t>(*size);
            if (want > max_record_data)
                want = max_record_data;
            if (want > available)
                want = static_cast<size_t>(available);
            const std::vector<uint8_t> data = file.read_vector(data_start, want);
            if (type == tar_type::gnu_long_name) {
                std::string text(data.begin(), data.end());
                text = text.substr(0, text.find('\0'));
                long_name = decode_archive_text(text);
            } else if (type == tar_type::pax_extended) {
                if (auto path = pax_value(data, "path"))
                    pax_path = decode_archive_text(*path);
            }
            in.seek(next_header);
            continue;
        }

        TarEntry e;
        if (pax_path && !pax_path->empty())
            e.Name = *pax_path;
        else if (long_name && !long_name->empty())
            e.Name = *long_name;
        else if (!prefix.empty())
            e.Name = decode_archive_text(prefix + "/" + raw_name);
        else
            e.Name = decode_archive_text(raw_name);
        pax_path.reset();
        long_name.reset();

        e.MTime = *mtime;
        e.HeaderSum = *sum;
        UnixTimeToDos(e.MTime, e.DosDate, e.DosTime);
        e.Size = *size;
        e.DataPos = static_cast<int32_t>(data_start + 1);
        e.Mode = mode ? (*mode & 0777) : -1;
        entries_.push_back(std::move(e));
        in.seek(next_header);
    }
    return true;
}

int16_t Cls_Tar::Get_Contents(const std::string& ZipName)
{
    state_.PackFileName = ZipName;
    state_.PackComments.clear();
    state_.PackFileType = format_code::none;
    state_.PackTotFiles = 0;
    entries_.clear();
    try {
        if (!read_headers(ZipName)) {
            // A number that does not fit: the archive is not loaded.
            entries_.clear();
            return 0;
        }
        entries_.shrink_to_fit();
        state_.PackTotFiles = static_cast<int32_t>(entries_.size());
        if (!entries_.empty())
            state_.PackFileType = format_code::tar;
    } catch (...) {
        entries_.clear();
        state_.PackTotFiles = 0;
        state_.PackFileType = format_code::none;
    }
    return 0;
}

std::string Cls_Tar::FileName(int32_t FileNum)
{
    return InvalidFileNum(FileNum) ? std::string() : entries_[static_cast<size_t>(FileNum) - 1].Name;
}

std::string Cls_Tar::CommentsFile(int32_t FileNum)
{
    return InvalidFileNum(FileNum) ? std::string() : "Not Supported";
}

bool Cls_Tar::IsDir(int32_t FileNum)
{
    if (InvalidFileNum(FileNum))
        return false;
    const TarEntry& e = entries_[static_cast<size_t>(FileNum) - 1];
    return e.Size == 0 && !e.Name.empty() && e.Name.back() == '/';
}

std::string Cls_Tar::Method(int32_t FileNum)
{
    return InvalidFileNum(FileNum) ? std::string() : "Stored";
}

int32_t Cls_Tar::Compressed_Size(int32_t FileNum)
{
    return InvalidFileNum(FileNum) ? 0 : entries_[static_cast<size_t>(FileNum) - 1].Size;
}

int32_t Cls_Tar::UnCompressed_Size(int32_t FileNum)
{
    return Compressed_Size(FileNum);
}

DateTime Cls_Tar::FileDateTime(int32_t FileNum)
{
    if (InvalidFileNum(FileNum))
        return {};
    const TarEntry& e = entries_[static_cast<size_t>(FileNum) - 1];
    return DosDateTimeToDate(e.DosDate, e.DosTime);
}

int16_t Cls_Tar::UnPack(Selection& ZippedFile, std::string& ToPath)
{
    if (state_.PackTotFiles == 0 || ZippedFile.size() != static_cast<size_t>(state_.PackTotFiles) + 1)
        return -10;
    try {
        state_.PackData.clear();
        BinaryFile file;
        if (!file.open(state_.PackFileName))
            return 0;
        begin_output_run(state_);
        const auto count = static_cast<int32_t>(std::min<size_t>(entries_.size(), static_cast<size_t>(state_.PackTotFiles)));
        for (int32_t k = 1; k <= count; ++k) {
            if (!ZippedFile[static_cast<size_t>(k)])
                continue;
            const TarEntry& e = entries_[static_cast<size_t>(k) - 1];
            if (IsDir(k)) {
                std::string folder = ToPath;
                if (folder.empty() || (folder.back() != '\\' && folder.back() != '/'))
                    folder += '/';
                folder += e.Name;
                const int16_t made = MakeEntryFolder(state_, ToPath, e.Name);
                if (made == write_unsafe_path)
                    show(state_, std::string(unsafe_path_message) + e.Name);
                else if (made != 0)
                    show(state_, "error creating directory " + folder);
                continue;
            }
            // A member whose data runs past the end of the file is reported
            // and not written; checking first also keeps a declared size from
            // allocating more than the file holds.
            const uint64_t start = static_cast<uint64_t>(e.DataPos) - 1;
            const auto size = static_cast<uint64_t>(e.Size);
            if (start > file.size() || file.size() - start < size) {
                show(state_, "Error in decompressed size");
                continue;
            }
            // PackData only grows during the run: its pages are touched once,
            // not zero-filled again for every member.
            if (state_.PackData.size() < size)
                state_.PackData.resize(static_cast<size_t>(size));
            const std::span<uint8_t> member(state_.PackData.data(), static_cast<size_t>(size));
            if (file.read_at(start, member) != size) {
                show(state_, "Error in decompressed size");
                continue;
            }
            const int16_t written = WriteOutputFile(state_, e.Name, ToPath, member, e.DosDate, e.DosTime, e.Mode);
            if (written == write_unsafe_path)
                show(state_, std::string(unsafe_path_message) + e.Name);
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

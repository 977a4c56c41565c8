// The per-entry members every reader answers from its listed entries.
#include "archive/ReaderBase.h"

namespace velmora {

bool ReaderBase::InvalidFileNum(int32_t FileNum) const
{
    return FileNum < 1 || FileNum > state_.PackTotFiles || state_.PackFileType == format_code::none
           || static_cast<size_t>(FileNum) > listing_.size();
}

const ListedEntry* ReaderBase::listed(int32_t FileNum) const
{
    return InvalidFileNum(FileNum) ? nullptr : &listing_[static_cast<size_t>(FileNum) - 1];
}

ListedEntry* ReaderBase::listed(int32_t FileNum)
{
    return InvalidFileNum(FileNum) ? nullptr : &listing_[static_cast<size_t>(FileNum) - 1];
}

void ReaderBase::start_listing(const std::string& ZipName)
{
    state_.PackFileName = ZipName;
    state_.PackComments.clear();
    state_.PackTotFiles = 0;
    state_.PackFileType = format_code::none;
    listing_.clear();
}

std::string ReaderBase::FileName(int32_t FileNum)
{
    const ListedEntry* e = listed(FileNum);
    return e ? e->name : std::string();
}

std::string ReaderBase::CommentsFile(int32_t FileNum)
{
    const ListedEntry* e = listed(FileNum);
    return e ? e->comment : std::string();
}

bool ReaderBase::IsDir(int32_t FileNum)
{
    const ListedEntry* e = listed(FileNum);
    return e && e->is_dir;
}

std::string ReaderBase::Method(int32_t FileNum)
{
    const ListedEntry* e = listed(FileNum);
    return e ? e->method : std::string();
}

int32_t ReaderBase::CRC32(int32_t FileNum)
{
    const ListedEntry* e = listed(FileNum);
    return e ? e->crc32 : 0;
}

int64_t ReaderBase::Compressed_Size(int32_t FileNum)
{
    const ListedEntry* e = listed(FileNum);
    return e ? e->compressed_size : 0;
}

int64_t ReaderBase::UnCompressed_Size(int32_t FileNum)
{
    const ListedEntry* e = listed(FileNum);
    return e ? e->uncompressed_size : 0;
}

bool ReaderBase::Encrypted(int32_t FileNum)
{
    const ListedEntry* e = listed(FileNum);
    return e && e->encrypted;
}

DateTime ReaderBase::FileDateTime(int32_t FileNum)
{
    const ListedEntry* e = listed(FileNum);
    return e ? e->modified : DateTime{};
}

std::string ReaderBase::SystemMadeBy(int32_t FileNum)
{
    const ListedEntry* e = listed(FileNum);
    return e ? e->system_made_by : std::string();
}

std::string ReaderBase::VersionMadeBy(int32_t FileNum)
{
    const ListedEntry* e = listed(FileNum);
    return e ? e->version_made_by : std::string();
}

std::string ReaderBase::SystemNeeded(int32_t FileNum)
{
    const ListedEntry* e = listed(FileNum);
    return e ? e->system_needed : std::string();
}

std::string ReaderBase::VersionNeeded(int32_t FileNum)
{
    const ListedEntry* e = listed(FileNum);
    return e ? e->version_needed : std::string();
}

ExtractBlocker ReaderBase::extract_blocker(int32_t FileNum)
{
    const ListedEntry* e = listed(FileNum);
    return e ? e->blocker : ExtractBlocker{};
}

} // namespace velmora

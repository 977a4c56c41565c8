// Format detection and forwarding.
#include "archive/Cls_GetFileType.h"

#include "archive/BinaryFile.h"
#include "formats/compressed/Cls_Compressed.h"
#include "formats/zip/Cls_Zip.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace velmora {

namespace {

std::string upper_tail(const std::string& name, size_t n)
{
    std::string tail = name.size() >= n ? name.substr(name.size() - n) : name;
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return tail;
}

ReaderKind compressed_reader(CompressedFormat f)
{
    switch (f) {
    case CompressedFormat::xz: return ReaderKind::xz;
    case CompressedFormat::lzma: return ReaderKind::lzma;
    case CompressedFormat::bzip2: return ReaderKind::bzip2;
    case CompressedFormat::zstd: return ReaderKind::zstd;
    case CompressedFormat::compress: break;
    }
    return ReaderKind::compress;
}

} // namespace

Cls_GetFileType::Cls_GetFileType(WindowServices& window) : state_(window) {}

bool Cls_GetFileType::load_with(ReaderKind kind, const std::string& ZipName)
{
    auto& slot = slots_[static_cast<size_t>(kind)];
    try {
        if (!slot)
            slot = make_reader(kind, state_);
        active_ = slot.get();
        if (active_)
            active_->Get_Contents(ZipName);
    } catch (...) {
        return false;
    }
    return true;
}

int16_t Cls_GetFileType::Get_Contents(const std::string& ZipName)
{
    state_.PackFileType = format_code::none;
    if (ZipName.empty()) {
        active_ = nullptr;
        return -1;
    }

    const std::string ext = upper_tail(ZipName, 4);
    if (ext == ".TAR" && !load_with(ReaderKind::tar, ZipName))
        return 0;
    if ((ext == ".LHA" || ext == ".LZH") && !load_with(ReaderKind::lzh, ZipName))
        return 0;
    if (state_.PackFileType != format_code::none)
        return 0;

    uint8_t head[2] = {};
    {
        BinaryFile file;
        if (!file.open(ZipName) || !file.read_exact(0, head)) {
            active_ = nullptr;
            return 0;
        }
    }
    const uint16_t signature = static_cast<uint16_t>(head[0] | (head[1] << 8));

    if (head[0] == 0x1A) {
        if (!load_with(ReaderKind::arc, ZipName))
            return 0;
        if (state_.PackFileType != format_code::none)
            return 0;
    }

    ReaderKind kind{};
    switch (signature) {
    case 0x4B50: kind = ReaderKind::zip; break;
    case 0x534D: kind = ReaderKind::cab; break;
    case 0x6152: kind = ReaderKind::rar; break;
    case 0x8B1F: kind = ReaderKind::gzip; break;
    case 0xEA60: kind = ReaderKind::arj; break;
    default: {
        // Not one of the signatures, but a ZIP archive behind other data (a
        // self-extractor, a padded file): a valid end record says so.
        bool zip = false;
        {
            BinaryFile file;
            zip = file.open(ZipName) && find_zip_directory(file).found;
        }
        if (zip) {
            if (!load_with(ReaderKind::zip, ZipName))
                return 0;
            if (state_.PackFileType == format_code::none)
                active_ = nullptr;
            return 0;
        }
        // After every other check: a single compressed file, by its magic
        // number or (.lzma has none) by its name.
        if (const auto compressed = detect_compressed_file(ZipName)) {
            if (!load_with(compressed_reader(*compressed), ZipName))
                return 0;
            if (state_.PackFileType != format_code::none)
                return 0;
        }
        state_.PackFileType = format_code::none;
        state_.PackTotFiles = 0;
        active_ = nullptr;
        return -2;
    }
    }
    if (!load_with(kind, ZipName))
        return 0;
    if (state_.PackFileType == format_code::none)
        active_ = nullptr;
    return 0;
}

template <typename Result, typename Fn>
Result Cls_GetFileType::forward(Fn fn, Result fallback)
{
    if (state_.PackFileType == format_code::none || !active_)
        return fallback;
    try {
        return fn(*active_);
    } catch (...) {
        return fallback;
    }
}

std::string_view format_name(ReaderKind kind)
{
    switch (kind) {
    case ReaderKind::tar: return "TAR";
    case ReaderKind::gzip: return "GZIP";
    case ReaderKind::zip: return "ZIP";
    case ReaderKind::cab: return "CAB";
    case ReaderKind::arj: return "ARJ";
    case ReaderKind::lzh: return "LZH";
    case ReaderKind::rar: return "RAR";
    case ReaderKind::arc: return "ARC";
    case ReaderKind::xz: return "XZ";
    case ReaderKind::lzma: return "LZMA";
    case ReaderKind::bzip2: return "BZIP2";
    case ReaderKind::zstd: return "ZSTD";
    case ReaderKind::compress: return "COMPRESS";
    }
    return "";
}

std::optional<ReaderKind> Cls_GetFileType::active_kind() const
{
    for (size_t i = 0; i < slots_.size(); ++i)
        if (active_ && slots_[i].get() == active_)
            return static_cast<ReaderKind>(i);
    return std::nullopt;
}

int16_t Cls_GetFileType::UnPack(Selection& ZippedFile, std::string& ToPath)
{
    // The report covers every selected entry: readers record what they did,
    // and whatever they left open is settled here.
    ExtractionReport& report = state_.report;
    report.begin(state_.PackFileType != format_code::none ? state_.PackTotFiles : 0);
    for (size_t k = 1; k < ZippedFile.size() && k <= static_cast<size_t>(report.entry_count()); ++k)
        if (ZippedFile[k])
            report.select(static_cast<int32_t>(k));
    const int16_t result = forward<int16_t>([&](ArchiveReader& r) { return r.UnPack(ZippedFile, ToPath); });
    const bool extracts = forward<bool>([](ArchiveReader& r) { return r.CanUnpack(); });
    if (!extracts) {
        const auto kind = active_kind();
        for (int32_t k = 1; k <= report.entry_count(); ++k)
            if (report.outcome(k) == EntryOutcome::pending)
                report.skipped(k, OutcomeReason::format_not_extracted, kind ? format_name(*kind) : "");
    }
    report.settle_pending(EntryOutcome::skipped, OutcomeReason::not_reached);
    return result;
}

bool Cls_GetFileType::CanUnpack()
{
    return forward<bool>([](ArchiveReader& r) { return r.CanUnpack(); });
}

int32_t Cls_GetFileType::FileCount()
{
    return state_.PackFileType != format_code::none ? state_.PackTotFiles : 0;
}

std::string Cls_GetFileType::FileName(int32_t n)
{
    return forward<std::string>([n](ArchiveReader& r) { return r.FileName(n); });
}

std::string Cls_GetFileType::CommentsFile(int32_t n)
{
    return forward<std::string>([n](ArchiveReader& r) { return r.CommentsFile(n); });
}

std::string Cls_GetFileType::CommentsPack()
{
    return forward<std::string>([](ArchiveReader& r) { return r.CommentsPack(); });
}

bool Cls_GetFileType::IsDir(int32_t n)
{
    return forward<bool>([n](ArchiveReader& r) { return r.IsDir(n); });
}

std::string Cls_GetFileType::Method(int32_t n)
{
    return forward<std::string>([n](ArchiveReader& r) { return r.Method(n); });
}

int32_t Cls_GetFileType::CRC32(int32_t n)
{
    return forward<int32_t>([n](ArchiveReader& r) { return r.CRC32(n); });
}

int64_t Cls_GetFileType::Compressed_Size(int32_t n)
{
    return forward<int64_t>([n](ArchiveReader& r) { return r.Compressed_Size(n); });
}

int64_t Cls_GetFileType::UnCompressed_Size(int32_t n)
{
    return forward<int64_t>([n](ArchiveReader& r) { return r.UnCompressed_Size(n); });
}

bool Cls_GetFileType::Encrypted(int32_t n)
{
    return forward<bool>([n](ArchiveReader& r) { return r.Encrypted(n); });
}

DateTime Cls_GetFileType::FileDateTime(int32_t n)
{
    return forward<DateTime>([n](ArchiveReader& r) { return r.FileDateTime(n); });
}

std::string Cls_GetFileType::SystemMadeBy(int32_t n)
{
    return forward<std::string>([n](ArchiveReader& r) { return r.SystemMadeBy(n); });
}

std::string Cls_GetFileType::VersionMadeBy(int32_t n)
{
    return forward<std::string>([n](ArchiveReader& r) { return r.VersionMadeBy(n); });
}

std::string Cls_GetFileType::SystemNeeded(int32_t n)
{
    return forward<std::string>([n](ArchiveReader& r) { return r.SystemNeeded(n); });
}

std::string Cls_GetFileType::VersionNeeded(int32_t n)
{
    return forward<std::string>([n](ArchiveReader& r) { return r.VersionNeeded(n); });
}

ExtractBlocker Cls_GetFileType::extract_blocker(int32_t n)
{
    return forward<ExtractBlocker>([n](ArchiveReader& r) { return r.extract_blocker(n); });
}

} // namespace velmora

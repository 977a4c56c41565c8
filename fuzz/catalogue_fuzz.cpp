// Feeds any bytes through the dispatcher under an LZH name (the LZH reader is
// chosen by name) and a neutral one (RAR, CAB, ARJ and ARC by signature), then
// asks every property of every entry, so that a walk over hostile headers must
// end without a crash, a hang or a leak. A plain cabinet (no reserve, no
// neighbouring cabinets, every file record whole) must list exactly its file
// records as this target reads them itself: count, sizes and ASCII names.
#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"
#include "fuzz_support.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

using namespace velmora;

namespace {

using fuzz::le16;
using fuzz::le32;

struct CabFile {
    std::string name;
    uint32_t size = 0;
    bool plain_name = false;
};

// The CFFILE records of a plain cabinet (Microsoft Cabinet format: CFHEADER
// of 36 bytes, cFolders CFFOLDER records of 8, CFFILE records from coffFiles),
// or nothing for any other input.
std::optional<std::vector<CabFile>> plain_cabinet(const uint8_t* data, size_t size)
{
    if (size < 36 || std::memcmp(data, "MSCF", 4) != 0)
        return std::nullopt;
    const uint32_t files_at = le32(data + 16);
    const uint16_t folders = le16(data + 26);
    const uint16_t files = le16(data + 28);
    const uint16_t flags = le16(data + 30);
    if (flags != 0 || folders == 0 || folders > 0x7FFF || files > 0x7FFF)
        return std::nullopt;
    const uint64_t folders_end = 36 + uint64_t{8} * folders;
    if (folders_end > size || files_at < folders_end || files_at > size)
        return std::nullopt;
    std::vector<CabFile> out;
    size_t at = files_at;
    for (uint16_t k = 0; k < files; ++k) {
        if (size - at < 16)
            return std::nullopt;
        const uint8_t* r = data + at;
        const void* nul = std::memchr(r + 16, 0, size - at - 16);
        if (!nul)
            return std::nullopt;
        CabFile f;
        f.size = le32(r);
        f.name.assign(reinterpret_cast<const char*>(r + 16), static_cast<const uint8_t*>(nul) - (r + 16));
        f.plain_name = fuzz::printable_ascii(f.name);
        at = static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) + 1;
        out.push_back(std::move(f));
    }
    return out;
}

size_t list_everything(Cls_GetFileType& files, const std::string& path)
{
    files.Get_Contents(path);
    const int32_t count = files.FileCount();
    size_t sink = files.CommentsPack().size() + (files.CanUnpack() ? 1 : 0);
    // Entry 0, one past the end and a negative number as well as every entry.
    for (int32_t k = -1; k <= count + 1; ++k) {
        sink += files.FileName(k).size() + files.CommentsFile(k).size() + files.Method(k).size();
        sink += files.IsDir(k) + files.Encrypted(k);
        sink += static_cast<uint32_t>(files.CRC32(k)) + static_cast<uint32_t>(files.Compressed_Size(k))
                + static_cast<uint32_t>(files.UnCompressed_Size(k));
        sink += static_cast<size_t>(files.FileDateTime(k).year);
        sink += files.SystemMadeBy(k).size() + files.VersionMadeBy(k).size() + files.SystemNeeded(k).size()
                + files.VersionNeeded(k).size();
        sink += static_cast<size_t>(files.extract_blocker(k).reason);
    }
    // A listing-only format extracts nothing and says so for every entry;
    // the output folder is never reached. (Inputs that load as ZIP, TAR or
    // GZIP are extracted by their own targets.)
    if (files.CanUnpack())
        return sink;
    Selection all(static_cast<size_t>(count > 0 ? count : 0) + 1, true);
    all[0] = false;
    std::string to = "/nonexistent/velmora-catalogue-fuzz";
    files.UnPack(all, to);
    fuzz::check_report(files.state().report, all);
    return sink;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::ScratchRoot root("catalogue");
    static fuzz::MemoryArchive archive(root.path());
    static const std::string lzh_name = archive.path("input.lzh");
    static const std::string neutral_name = archive.path("input.bin");
    archive.assign(data, size);

    HeadlessWindow window;
    Cls_GetFileType files(window);
    size_t sink = list_everything(files, lzh_name);
    sink += list_everything(files, neutral_name);
    if (sink == 0xFFFFFFFF)
        std::fputc(0, stderr); // keeps the reads from being optimised away

    // The neutral name's listing is the one loaded now.
    if (const auto cab = plain_cabinet(data, size)) {
        fuzz::check(files.active_kind() == ReaderKind::cab, "a plain cabinet not loaded as CAB");
        const int32_t count = files.FileCount();
        fuzz::check(count == static_cast<int32_t>(cab->size()), "CAB file count differs from the records",
                    std::to_string(count) + " vs " + std::to_string(cab->size()));
        for (int32_t k = 1; k <= count; ++k) {
            const CabFile& c = (*cab)[static_cast<size_t>(k) - 1];
            if (c.size <= 0x7FFFFFFF)
                fuzz::check(files.UnCompressed_Size(k) == c.size, "CAB size differs for file", std::to_string(k));
            if (c.plain_name)
                fuzz::check(files.FileName(k) == c.name, "CAB name differs:", files.FileName(k) + " vs " + c.name);
        }
    }
    return 0;
}

// Feeds any bytes through the dispatcher under the names of the listing-only
// formats (.rar .cab .arj .lzh .arc) and a neutral name, then asks every
// property of every entry, so that a walk over hostile headers must end
// without a crash, a hang or a leak.
#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

using namespace velmora;

namespace {

// A folder of this process, removed again when the fuzzer exits.
class ScratchDir {
public:
    ScratchDir()
    {
        // A memory-backed folder where there is one: six file writes per input.
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        path_ = base / ("catalogue_fuzz." + std::to_string(::getpid()));
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

const std::filesystem::path& scratch_dir()
{
    static const ScratchDir dir;
    return dir.path();
}

bool write_bytes(const std::filesystem::path& p, const uint8_t* data, size_t size)
{
    std::FILE* f = std::fopen(p.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

void list_everything(Cls_GetFileType& files, const std::string& path)
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
    }
    Selection all(static_cast<size_t>(count > 0 ? count : 0) + 1, true);
    all[0] = false;
    std::string to = (scratch_dir() / "out").string();
    files.UnPack(all, to);
    if (sink == 0xFFFFFFFF)
        std::fputc(0, stderr); // keeps the reads from being optimised away
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const char* const names[] = {"a.rar", "a.cab", "a.arj", "a.lzh", "a.arc", "a.bin"};
    HeadlessWindow window;
    Cls_GetFileType files(window);
    for (const char* name : names) {
        const auto path = scratch_dir() / name;
        if (!write_bytes(path, data, size))
            return 0;
        list_everything(files, path.string());
    }
    return 0;
}

// Feeds arbitrary bytes to the tar reader as a file, lists every entry and
// extracts them all into a scratch folder: no input may crash it, read out of
// bounds, allocate without bound or write outside the scratch folder.
#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

using namespace velmora;
namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const fs::path scratch = fs::temp_directory_path() / ("velmora-tar-fuzz-" + std::to_string(::getpid()));
    const fs::path archive = scratch / "input.tar";
    const fs::path out = scratch / "out";
    std::error_code ec;
    fs::remove_all(scratch, ec);
    fs::create_directories(out, ec);
    if (FILE* f = std::fopen(archive.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }

    HeadlessWindow window;
    Cls_GetFileType files(window);
    files.Get_Contents(archive.string());
    const int32_t count = files.FileCount();
    for (int32_t k = 0; k <= count + 1; ++k) {
        files.FileName(k);
        files.IsDir(k);
        files.UnCompressed_Size(k);
        files.FileDateTime(k);
    }
    Selection all(static_cast<size_t>(count) + 1, true);
    std::string to = out.string();
    files.UnPack(all, to);
    fs::remove_all(scratch, ec);
    return 0;
}

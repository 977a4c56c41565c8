// Shared body of the extracting readers' fuzz targets: writes the input bytes to
// a scratch file with the reader's extension, lists every entry and extracts
// them all into a scratch folder. No input may crash a reader, read out of
// bounds, allocate without bound or write outside the scratch folder.
#pragma once

#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace velmora::fuzz {

inline int list_and_extract(const uint8_t* data, size_t size, const std::string& tag, const std::string& extension)
{
    namespace fs = std::filesystem;
    const fs::path scratch = fs::temp_directory_path() / ("velmora-" + tag + "-fuzz-" + std::to_string(::getpid()));
    const fs::path archive = scratch / ("input" + extension);
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

} // namespace velmora::fuzz

// The state shared by the dispatcher and every reader: what is loaded, the
// working buffer of the entry being extracted, the cancel flag and the path
// separator. One instance, owned by the dispatcher.
#pragma once

#include "archive/ExtractionReport.h"
#include "archive/WindowServices.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmora {

// Format codes kept in PackFileType. CAB and ARC share 7: consumers only
// test the value for zero.
namespace format_code {
inline constexpr uint8_t none = 0;
inline constexpr uint8_t zip = 1;
inline constexpr uint8_t gzip = 2;
inline constexpr uint8_t tar = 3;
inline constexpr uint8_t arj = 4;
inline constexpr uint8_t lzh = 5;
inline constexpr uint8_t rar = 6;
inline constexpr uint8_t cab = 7;
inline constexpr uint8_t arc = 7;
// Single compressed files, one code each.
inline constexpr uint8_t xz = 8;
inline constexpr uint8_t lzma = 9;
inline constexpr uint8_t bzip2 = 10;
inline constexpr uint8_t zstd = 11;
inline constexpr uint8_t compress = 12;
} // namespace format_code

// Folders kept open while one extraction run writes its files (Mod_DiskIO).
struct OutputFolderCache;

struct ArchiveState {
    explicit ArchiveState(WindowServices& w) : window(&w) {}

    uint8_t PackFileType = format_code::none;
    int32_t PackTotFiles = 0;
    std::string PackFileName;
    std::string PackComments;
    std::vector<uint8_t> PackData;
    bool CancelRequested = false;
    std::string PathSeparator;

    // What became of each selected entry in the last UnPack run.
    ExtractionReport report;

    WindowServices* window;
    // Set between begin_output_run and end_output_run (Mod_DiskIO.h).
    std::shared_ptr<OutputFolderCache> output_cache;
};

} // namespace velmora

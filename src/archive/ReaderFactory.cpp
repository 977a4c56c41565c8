// One reader per format, created when the dispatcher first needs it.
#include "archive/Cls_GetFileType.h"
#include "formats/catalogue/Cls_Arc.h"
#include "formats/catalogue/Cls_Arj.h"
#include "formats/catalogue/Cls_Cab.h"
#include "formats/catalogue/Cls_LZH.h"
#include "formats/catalogue/Cls_Rar.h"
#include "formats/compressed/Cls_Compressed.h"
#include "formats/gzip/Cls_GZip.h"
#include "formats/tar/Cls_Tar.h"
#include "formats/zip/Cls_Zip.h"

namespace velmora {

std::unique_ptr<ArchiveReader> make_reader(ReaderKind kind, ArchiveState& state)
{
    switch (kind) {
    case ReaderKind::tar: return std::make_unique<Cls_Tar>(state);
    case ReaderKind::gzip: return std::make_unique<Cls_GZip>(state);
    case ReaderKind::zip: return std::make_unique<Cls_Zip>(state);
    case ReaderKind::cab: return std::make_unique<Cls_Cab>(state);
    case ReaderKind::arj: return std::make_unique<Cls_Arj>(state);
    case ReaderKind::lzh: return std::make_unique<Cls_LZH>(state);
    case ReaderKind::rar: return std::make_unique<Cls_Rar>(state);
    case ReaderKind::arc: return std::make_unique<Cls_Arc>(state);
    case ReaderKind::xz: return std::make_unique<Cls_Compressed>(state, CompressedFormat::xz);
    case ReaderKind::lzma: return std::make_unique<Cls_Compressed>(state, CompressedFormat::lzma);
    case ReaderKind::bzip2: return std::make_unique<Cls_Compressed>(state, CompressedFormat::bzip2);
    case ReaderKind::zstd: return std::make_unique<Cls_Compressed>(state, CompressedFormat::zstd);
    case ReaderKind::compress: return std::make_unique<Cls_Compressed>(state, CompressedFormat::compress);
    }
    return nullptr;
}

} // namespace velmora

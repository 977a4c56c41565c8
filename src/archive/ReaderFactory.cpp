// One reader per format, created when the dispatcher first needs it.
#include "archive/Cls_GetFileType.h"
#include "formats/gzip/Cls_GZip.h"
#include "formats/tar/Cls_Tar.h"

namespace velmora {

std::unique_ptr<ArchiveReader> make_reader(ReaderKind kind, ArchiveState& state)
{
    switch (kind) {
    case ReaderKind::tar: return std::make_unique<Cls_Tar>(state);
    case ReaderKind::gzip: return std::make_unique<Cls_GZip>(state);
    case ReaderKind::zip:
    case ReaderKind::cab:
    case ReaderKind::arj:
    case ReaderKind::lzh:
    case ReaderKind::rar:
    case ReaderKind::arc:
        break;
    }
    return nullptr;
}

} // namespace velmora

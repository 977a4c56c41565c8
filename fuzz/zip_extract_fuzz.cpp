// Fuzzes ZIP extraction end to end: a fuzzer-made archive is listed, then its
// entries are decrypted (the password box is answered "password", the seeds'
// password), decoded and written into an output folder inside a sandbox.
// Guards against writes outside the output folder (names, links, hard links,
// the sentinel beside it), temporary files left behind, a report that misses
// or invents outcomes, and an entry reported extracted whose file does not
// hold its recorded size and CRC-32 (checked with zlib's CRC).
#include "archive/HeadlessWindow.h"
#include "formats/zip/Cls_Zip.h"
#include "fuzz_support.h"

#include <zlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

bool is_symbolic_link(const velmora::ZipEntry& e)
{
    const int32_t mode = velmora::zip_unix_mode(e);
    return mode > 0 && (static_cast<uint32_t>(mode) & 0170000) == 0120000;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace velmora;
    static fuzz::ReaderFixture f("zip_extract", "input.zip");
    f.archive.assign(data, size);

    HeadlessWindow window;
    window.input_answers = {"password"};
    Cls_GetFileType files(window);
    files.Get_Contents(f.path);
    const int32_t count = files.FileCount();
    auto* zip = dynamic_cast<Cls_Zip*>(files.active_reader());
    if (count <= 0 || !zip)
        return 0;

    const fuzz::SampledExtraction x = fuzz::extract_sample(files, f);

    // Each file reported extracted holds what its record says.
    for (size_t i = 0; i < x.chosen.size(); ++i) {
        const int32_t k = x.chosen[i];
        const ZipEntry* e = zip->entry(k);
        if (!x.lone[i] || x.folders[i] || !e || is_symbolic_link(*e)
            || files.state().report.outcome(k) != EntryOutcome::extracted)
            continue;
        const auto bytes = fuzz::regular_file_bytes(f.sandbox.out() / *x.paths[i]);
        fuzz::check(bytes.has_value(), "an entry reported extracted has no file:", *x.paths[i]);
        fuzz::check(bytes->size() == e->UncompressedSize, "an extracted file has the wrong size:", *x.paths[i]);
        const uLong crc = crc32_z(crc32(0, nullptr, 0), bytes->data(), bytes->size());
        fuzz::check(static_cast<uint32_t>(crc) == static_cast<uint32_t>(e->CRC32), "an extracted file fails its CRC:",
                    *x.paths[i]);
    }
    f.sandbox.clear();
    return 0;
}

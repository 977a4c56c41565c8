// Fuzzes ZIP extraction end to end: a fuzzer-made archive is listed, then its
// entries are decrypted (the password box is answered "password", the seeds'
// password), decoded and written into an output folder inside a sandbox.
// Guards against writes outside the output folder (names, links, hard links,
// the sentinel beside it), temporary files left behind, a report that misses
// or invents outcomes, and an entry reported extracted whose file does not
// hold its recorded size and CRC-32 (checked with zlib's CRC).
#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"
#include "archive/Mod_DiskIO.h"
#include "formats/zip/Cls_Zip.h"
#include "fuzz_support.h"

#include <zlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Fixture {
    velmora::fuzz::ScratchRoot root{"zip_extract"};
    velmora::fuzz::MemoryArchive archive{root.path()};
    velmora::fuzz::Sandbox sandbox{root.path()};
    std::string path = archive.path("input.zip");
    Fixture() { velmora::fuzz::limit_output_file_size(); }
};

bool is_symbolic_link(const velmora::ZipEntry& e)
{
    const int32_t mode = velmora::zip_unix_mode(e);
    return mode > 0 && (static_cast<uint32_t>(mode) & 0170000) == 0120000;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace velmora;
    static Fixture f;
    f.archive.assign(data, size);

    HeadlessWindow window;
    window.input_answers = {"password"};
    Cls_GetFileType files(window);
    files.Get_Contents(f.path);
    const int32_t count = files.FileCount();
    auto* zip = dynamic_cast<Cls_Zip*>(files.active_reader());
    if (count <= 0 || !zip)
        return 0;

    Selection selection = fuzz::pick_entries(count);
    std::vector<int32_t> chosen;
    std::vector<std::optional<std::string>> paths;
    std::vector<bool> folders;
    bool temporary_looking = false;
    for (int32_t k = 1; k <= count; ++k) {
        if (!selection[static_cast<size_t>(k)])
            continue;
        const std::string name = files.FileName(k);
        temporary_looking |= name.find(".velmora-") != std::string::npos;
        chosen.push_back(k);
        paths.push_back(contained_entry_path(name));
        folders.push_back(files.IsDir(k));
    }

    std::string to = f.sandbox.out_path();
    files.UnPack(selection, to);
    fuzz::check_report(files.state().report, selection);
    f.sandbox.verify(temporary_looking);

    // Each file reported extracted holds what its record says.
    const std::vector<bool> lone = fuzz::lone_paths(paths, folders);
    for (size_t i = 0; i < chosen.size(); ++i) {
        const int32_t k = chosen[i];
        const ZipEntry* e = zip->entry(k);
        if (!lone[i] || folders[i] || !e || is_symbolic_link(*e)
            || files.state().report.outcome(k) != EntryOutcome::extracted)
            continue;
        const auto bytes = fuzz::regular_file_bytes(f.sandbox.out() / *paths[i]);
        fuzz::check(bytes.has_value(), "an entry reported extracted has no file:", *paths[i]);
        fuzz::check(bytes->size() == e->UncompressedSize, "an extracted file has the wrong size:", *paths[i]);
        const uLong crc = crc32_z(crc32(0, nullptr, 0), bytes->data(), bytes->size());
        fuzz::check(static_cast<uint32_t>(crc) == static_cast<uint32_t>(e->CRC32), "an extracted file fails its CRC:",
                    *paths[i]);
    }
    f.sandbox.clear();
    return 0;
}

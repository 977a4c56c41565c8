// Shared body of the reader fuzz targets that only list and extract: the input
// is handed to the dispatcher as an in-memory file with the reader's
// extension, every entry's properties are asked for, and the picked entries
// are extracted into the sandbox, whose rules (nothing outside the output
// folder, no link leading out, no temporary file left) and the report's
// bookkeeping are then checked.
#pragma once

#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"
#include "fuzz_support.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace velmora::fuzz {

struct ExtractFixture {
    explicit ExtractFixture(const std::string& tag) : root(tag), archive(root.path()), sandbox(root.path())
    {
        limit_output_file_size();
    }
    ScratchRoot root;
    MemoryArchive archive;
    Sandbox sandbox;
};

inline int list_and_extract(const uint8_t* data, size_t size, const std::string& tag, const std::string& extension)
{
    static std::map<std::string, std::unique_ptr<ExtractFixture>> fixtures;
    auto& slot = fixtures[tag];
    if (!slot)
        slot = std::make_unique<ExtractFixture>(tag);
    ExtractFixture& f = *slot;
    f.archive.assign(data, size);
    const std::string path = f.archive.path("input" + extension);

    HeadlessWindow window;
    Cls_GetFileType files(window);
    files.Get_Contents(path);
    const int32_t count = files.FileCount();
    bool names_may_look_temporary = false;
    for (int32_t k = 0; k <= count + 1; ++k) {
        if (files.FileName(k).find(".velmora-") != std::string::npos)
            names_may_look_temporary = true;
        (void)files.IsDir(k);
        (void)files.UnCompressed_Size(k);
        (void)files.FileDateTime(k);
    }
    Selection picked = pick_entries(count);
    std::string to = f.sandbox.out_path();
    files.UnPack(picked, to);
    check_report(files.state().report, picked);
    f.sandbox.verify(names_may_look_temporary);
    f.sandbox.clear();
    return 0;
}

} // namespace velmora::fuzz

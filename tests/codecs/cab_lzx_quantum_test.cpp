// Guards the LZX and Quantum decoders against misreading real cabinets:
// folders made by Microsoft's tools (libarchive's and libmspack's test
// cabinets, windows 2^15 to 2^21, E8 translation, Quantum over many blocks)
// must extract as cabextract and 7-Zip extract them, and the damaged ones they
// reject must fail here too, without reading outside the blocks.
#include "codecs/LzxDecoder.h"
#include "codecs/QuantumDecoder.h"
#include "support/CabFolders.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;

namespace {

struct Sample {
    std::filesystem::path path;
    unsigned files_checked; // files in LZX or Quantum folders
    bool seven_zip_reads = true;
};

std::vector<Sample> good_cabinets()
{
    const auto mine = data_dir() / "cab" / "mspack";
    const auto corpus = corpus_dir() / "cab";
    return {
        {mine / "mszip_lzx_qtm.cab", 2},
        {mine / "normal_2files_2folders.cab", 2},
        // 7-Zip 22 stops with a data error in the last, short block (cabextract and we agree on it).
        {mine / "cve-2010-2801-qtm-flush.cab", 1, false},
        {mine / "large-files-cab.cab", 1},
        {corpus / "test_read_format_cab_3.cab", 4},
        {corpus / "test_read_format_cab_lzx_e8.cab", 1},
    };
}

// Extracts with a peer tool into dir; true when it ran.
bool peer_extract(const std::string& tool, const std::filesystem::path& cab, const std::filesystem::path& dir)
{
    std::filesystem::create_directories(dir);
    const std::string q = shell_quote(cab.string());
    const std::string d = shell_quote(dir.string());
    if (tool == "cabextract")
        return run_command("cabextract -q -d " + d + " " + q + " >/dev/null 2>&1") == 0;
    return run_command("7z x -y -o" + d + " " + q + " >/dev/null 2>&1") == 0;
}

TEST(CabLzxQuantum, CabinetsExtractAsCabextractAnd7ZipExtractThem)
{
    if (!have_tool("cabextract") || !have_tool("7z"))
        GTEST_SKIP() << "cabextract or 7z missing";
    for (const auto& sample : good_cabinets()) {
        SCOPED_TRACE(sample.path.filename().string());
        if (!std::filesystem::exists(sample.path)) {
            ADD_FAILURE() << "missing";
            continue;
        }
        TempDir dir;
        ASSERT_TRUE(peer_extract("cabextract", sample.path, dir / "cabextract"));
        ASSERT_EQ(peer_extract("7z", sample.path, dir / "7z"), sample.seven_zip_reads);
        const auto bytes = read_file(sample.path);
        const Cabinet cab = cab_read(bytes);
        ASSERT_TRUE(cab.complete);
        unsigned checked = 0;
        for (size_t f = 0; f < cab.folders.size(); ++f) {
            const auto& folder = cab.folders[f];
            if (folder.method() != 2 && folder.method() != 3)
                continue;
            std::vector<uint8_t> out;
            ASSERT_EQ(cab_decode_folder(folder, out), DecodeStatus::ok) << "folder " << f;
            for (const auto& file : cab.files) {
                if (file.folder != f)
                    continue;
                SCOPED_TRACE(file.name);
                ASSERT_LE(uint64_t{file.offset} + file.size, out.size());
                const std::vector<uint8_t> mine(out.begin() + file.offset, out.begin() + file.offset + file.size);
                std::string name = file.name;
                std::replace(name.begin(), name.end(), '\\', '/');
                EXPECT_TRUE(mine == read_file(dir / "cabextract" / name)) << "differs from cabextract";
                if (sample.seven_zip_reads) {
                    EXPECT_TRUE(mine == read_file(dir / "7z" / name)) << "differs from 7-Zip";
                }
                ++checked;
            }
        }
        EXPECT_EQ(checked, sample.files_checked);
    }
}

TEST(CabLzxQuantum, CabinetsCabextractRejectsFailHere)
{
    const auto mine = data_dir() / "cab" / "mspack";
    const auto corpus = corpus_dir() / "cab";
    const std::vector<std::filesystem::path> damaged = {
        mine / "cve-2018-18584-qtm-max-size-block.cab",
        mine / "cve-2014-9556-qtm-infinite-loop.cab",
        mine / "lzx-main-tree-no-lengths.cab",
        mine / "lzx-premature-matches.cab",
        corpus / "test_read_format_cab_lzx_invalid_history.cab",
    };
    for (const auto& path : damaged) {
        SCOPED_TRACE(path.filename().string());
        const auto bytes = read_file(path);
        const Cabinet cab = cab_read(bytes);
        ASSERT_FALSE(cab.folders.empty());
        ASSERT_FALSE(cab.files.empty());
        std::vector<uint8_t> out;
        const DecodeStatus status = cab_decode_folder(cab.folders[0], out);
        // Either the folder fails, or (the endless-loop cabinet) it ends
        // before the file it should hold, which a reader reports.
        const auto& file = cab.files[0];
        EXPECT_TRUE(status != DecodeStatus::ok || uint64_t{file.offset} + file.size > out.size())
            << decode_status_name(status);
        if (have_tool("cabextract")) {
            EXPECT_NE(run_command("cabextract -t " + shell_quote(path.string()) + " >/dev/null 2>&1"), 0);
        }
    }
}

} // namespace

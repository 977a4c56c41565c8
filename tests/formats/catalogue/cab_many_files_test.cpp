// Guards the CAB file-record walk on cabinets of thousands of files: the 16
// fixed bytes of a record were once decoded after the record's name had been
// read, and a buffer refill in between replaced them, so roughly one entry per
// 64 KiB of records listed a wrong size, date and folder flag. Every entry of
// a cabinet made by gcab must list as gcab and 7-Zip list it.
#include "support/Extraction.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>

using namespace velmora;
using namespace velmora::test;
namespace fs = std::filesystem;

TEST(CabManyFiles, EveryEntryOfAThreeThousandFileCabinetListsAsGcabListsIt)
{
    if (!have_tool("gcab"))
        GTEST_SKIP() << "gcab not installed";
    TempDir dir;
    const fs::path src = dir / "src";
    fs::create_directories(src);
    std::string names;
    constexpr int files = 3000;
    for (int i = 0; i < files; ++i) {
        // Names of varying length, so records straddle the reader's buffer
        // at every offset.
        const std::string name = "file_" + std::to_string(i) + std::string(static_cast<size_t>(i % 37), 'x') + ".txt";
        write_file(src / name, std::string(static_cast<size_t>(i % 500), static_cast<char>('a' + i % 26)));
        const timespec t[2] = {{0, UTIME_OMIT}, {1500000000 + i * 7919, 0}};
        ::utimensat(AT_FDCWD, (src / name).c_str(), t, 0);
        names += " " + shell_quote(name);
    }
    ASSERT_EQ(run_command("cd " + shell_quote(src.string()) + " && gcab -c ../many.cab" + names), 0);

    std::string listing;
    ASSERT_EQ(run_command("gcab -l " + shell_quote((dir / "many.cab").string()), &listing), 0);
    Extraction x(dir / "many.cab");
    ASSERT_EQ(x.files.FileCount(), files);
    std::istringstream in(listing);
    std::string name, date, time, attributes;
    int64_t size = 0;
    for (int32_t k = 1; k <= files; ++k) {
        ASSERT_TRUE(in >> name >> size >> date >> time >> attributes) << k;
        EXPECT_EQ(x.files.FileName(k), name) << k;
        EXPECT_EQ(x.files.UnCompressed_Size(k), size) << k;
        EXPECT_EQ(x.files.FileDateTime(k).to_string(), date + " " + time) << k;
        EXPECT_FALSE(x.files.IsDir(k)) << k;
    }
    if (have_tool("7z")) {
        std::string slt;
        ASSERT_EQ(run_command("7z l -slt " + shell_quote((dir / "many.cab").string()), &slt), 0);
        std::istringstream lines(slt);
        std::string line;
        int32_t k = 0;
        while (std::getline(lines, line)) {
            if (line.rfind("Path = ", 0) == 0 && line != "Path = " + (dir / "many.cab").string())
                EXPECT_EQ(x.files.FileName(++k), line.substr(7));
            else if (line.rfind("Size = ", 0) == 0 && k > 0)
                EXPECT_EQ(x.files.UnCompressed_Size(k), std::stoll(line.substr(7))) << k;
        }
        EXPECT_EQ(k, files);
    }
}

// Guards cancel and progress inside a long entry, for every extracting reader
// and ZIP method a real tool writes (Info-ZIP stored, deflated and encrypted,
// 7-Zip Deflate64, gzip, tar): the entry is written to its temporary file as
// it decodes, the window gets control and an entry fraction at every output
// piece, a Cancel confirmed mid-entry stops it there, removes the temporary
// file and leaves the existing file of that name as it was, and one answered
// No lets the entry finish and replace it.
#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"
#include "support/Extraction.h"
#include "support/LargeArchives.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using test::MiB;

// Records the fractions the run reports within an entry.
class RecordingWindow : public HeadlessWindow {
public:
    void set_entry_progress(double fraction) override { fractions.push_back(fraction); }
    std::vector<double> fractions;
};

struct CancelCase {
    const char* label;
    const char* tool;      // needed on the machine
    const char* command;   // packs big.dat and after.txt (when the format holds two) into ARCHIVE
    const char* archive;   // the archive's name
    const char* password;  // asked for by encrypted entries
};

std::ostream& operator<<(std::ostream& os, const CancelCase& c) { return os << c.label; }

constexpr uint64_t entry_size = 24 * MiB;
constexpr uint64_t cancel_after = 6 * MiB;
const std::string existing = "the file that was there before the run\n";

// Text that compresses, but not to nothing: every line differs.
std::string entry_data()
{
    std::string out;
    out.reserve(entry_size);
    for (uint64_t i = 0; out.size() < entry_size; ++i)
        out += "line " + std::to_string(i * 7919 % 1000003) + " of the long entry\n";
    out.resize(entry_size);
    return out;
}

class CancelInsideEntry : public ::testing::TestWithParam<std::tuple<CancelCase, bool>> {
protected:
    void SetUp() override
    {
        const CancelCase& c = std::get<0>(GetParam());
        if (!test::have_tool(c.tool))
            GTEST_SKIP() << c.tool << " not installed";
        fs::create_directories(src_);
        fs::create_directories(out_);
        data_ = entry_data();
        test::write_file(src_ / "big.dat", data_);
        test::write_file(src_ / "after.txt", std::string("the entry after\n"));
        std::string command = c.command;
        command.replace(command.find("ARCHIVE"), 7, test::shell_quote((dir_ / c.archive).string()));
        ASSERT_EQ(test::run_command("cd " + test::shell_quote(src_.string()) + " && (" + command + ") >/dev/null 2>&1"),
                  0);

        test::write_file(out_ / "big.dat", existing);
        const timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
        ::utimensat(AT_FDCWD, (out_ / "big.dat").c_str(), old_times, 0);
    }

    test::TempDir dir_;
    fs::path src_ = dir_ / "src";
    fs::path out_ = dir_ / "out";
    std::string data_;
};

TEST_P(CancelInsideEntry, CancelStopsTheEntryAndKeepsTheExistingFile)
{
    const auto& [c, confirm] = GetParam();
    RecordingWindow window;
    Cls_GetFileType files(window);
    files.Get_Contents((dir_ / c.archive).string());
    ASSERT_GT(files.FileCount(), 0);
    window.row_count = files.FileCount();
    window.overwrite = true;
    if (c.password[0] != '\0')
        window.input_answers = {c.password};

    // Presses Cancel once the entry's temporary file holds cancel_after
    // bytes, and notes how much it held then: the entry is being written as
    // it decodes, not at its end.
    uint64_t seen_partial = 0;
    window.on_yield = [&] {
        if (seen_partial != 0)
            return;
        for (const fs::path& temp : test::leftover_temp_files(out_)) {
            const uint64_t size = fs::file_size(temp);
            if (size >= cancel_after) {
                seen_partial = size;
                files.state().CancelRequested = true;
                window.yes_no_answers = {confirm};
            }
        }
    };

    Selection all(static_cast<size_t>(files.FileCount()) + 1, true);
    all[0] = false;
    std::string to = out_.string();
    files.UnPack(all, to);

    ASSERT_GT(seen_partial, 0u) << "no temporary file grew past " << cancel_after << " bytes";
    EXPECT_LT(seen_partial, entry_size);
    ASSERT_EQ(window.questions.size(), c.password[0] != '\0' ? 2u : 1u);
    EXPECT_EQ(window.questions.back().text, "Do you want to cancel?");
    EXPECT_TRUE(window.messages.empty()) << window.messages.front().text;
    EXPECT_TRUE(test::leftover_temp_files(out_).empty());

    // The bar moved within the entry, by bytes, and never went back.
    ASSERT_GE(window.fractions.size(), 4u);
    EXPECT_TRUE(std::is_sorted(window.fractions.begin(), window.fractions.end()));
    EXPECT_GT(window.fractions.front(), 0.0);
    EXPECT_LE(window.fractions.back(), 1.0);
    // At least one yield for every MiB written before the cancel.
    EXPECT_GE(window.yields, static_cast<int>(cancel_after / MiB));

    const ExtractionReport& report = files.state().report;
    if (confirm) {
        EXPECT_EQ(test::file_text(out_ / "big.dat"), existing);
        EXPECT_EQ(test::mtime_of(out_ / "big.dat"), 1000000000);
        EXPECT_FALSE(fs::exists(out_ / "after.txt"));
        EXPECT_EQ(report.outcome(1), EntryOutcome::skipped);
        EXPECT_EQ(report.reason(1), OutcomeReason::cancelled);
        EXPECT_EQ(window.progress_value, 0);
        EXPECT_EQ(window.progress_color, progress_color_reset);
        EXPECT_FALSE(window.percent_visible);
    } else {
        ASSERT_EQ(fs::file_size(out_ / "big.dat"), entry_size);
        EXPECT_TRUE(test::file_text(out_ / "big.dat") == data_);
        EXPECT_TRUE(report.all_extracted());
        EXPECT_EQ(window.percent, "100%");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, CancelInsideEntry,
    ::testing::Combine(
        ::testing::Values(CancelCase{"ZipStored", "zip", "zip -q -0 ARCHIVE big.dat after.txt", "a.zip", ""},
                          CancelCase{"ZipDeflated", "zip", "zip -q ARCHIVE big.dat after.txt", "a.zip", ""},
                          CancelCase{"ZipEncrypted", "zip", "zip -q -P s3cret ARCHIVE big.dat after.txt", "a.zip",
                                     "s3cret"},
                          // 7z orders its entries by name, which would put after.txt first.
                          CancelCase{"ZipDeflate64", "7z", "7z a -tzip -mm=Deflate64 ARCHIVE big.dat", "a.zip", ""},
                          CancelCase{"Gzip", "gzip", "gzip -c big.dat > ARCHIVE", "big.dat.gz", ""},
                          CancelCase{"Tar", "tar", "tar cf ARCHIVE big.dat after.txt", "a.tar", ""}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).label) + (std::get<1>(info.param) ? "Confirmed" : "Declined");
    });

} // namespace
} // namespace velmora

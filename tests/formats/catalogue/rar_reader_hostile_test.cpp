// Guards the RAR reader against damaged archives: cut at many points or with
// bytes overwritten, every version's archive must list and extract to the
// end without crash or hang, give every selected entry one outcome, and
// report as extracted only files identical to the undamaged archive's.
#include "support/Extraction.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>

namespace velmora::test {
namespace {

struct hostile_case {
    const char* name;
    const char* password;
};

const hostile_case hostile_cases[] = {
    {"rar15_sharpcompress.rar", ""},
    {"rar20_sharpcompress.rar", ""},
    {"rar3/test_read_format_rar_compress_best.rar", ""},
    {"rar3/sharpcompress-Rar.solid.rar", ""},
    {"rar5_solid.rar", ""},
    {"rar5_blake2.rar", ""},
    {"rar5_win32.rar", ""},
    {"rar5_rarfile_psw.rar", "password"},
    {"rar5_rarfile_hpsw.rar", "password"},
};

void PrintTo(const hostile_case& c, std::ostream* os)
{
    *os << c.name;
}

class RarReaderHostile : public ::testing::TestWithParam<hostile_case> {
protected:
    // Lists and extracts `bytes` as an archive; checks the outcomes against
    // the files of the undamaged archive.
    void damaged_run(const std::vector<uint8_t>& bytes, const std::map<std::string, std::string>& good)
    {
        TempDir dir;
        write_file(dir / "x.rar", bytes);
        Extraction x(dir / "x.rar", {GetParam().password, GetParam().password});
        const int32_t n = x.files.FileCount();
        if (n == 0)
            return;
        x.unpack(dir / "out");
        const ExtractionReport& r = x.report();
        EXPECT_EQ(r.count(EntryOutcome::pending), 0);
        EXPECT_EQ(r.count(EntryOutcome::extracted) + r.count(EntryOutcome::skipped) + r.count(EntryOutcome::failed), n);
        // At most a few boxes an entry (a decode failure shows one, a
        // checksum and a size fault two).
        EXPECT_LE(x.window.messages.size(), static_cast<size_t>(2 * n));
        for (int32_t k = 1; k <= n; ++k) {
            if (r.outcome(k) != EntryOutcome::extracted || x.files.IsDir(k))
                continue;
            const auto it = good.find(x.files.FileName(k));
            if (it == good.end())
                continue; // a damaged name; its checksum still passed
            const auto path = dir / "out" / x.files.FileName(k);
            if (std::filesystem::is_symlink(path))
                continue;
            EXPECT_EQ(file_text(path), it->second) << "entry " << k << " reported extracted";
        }
    }

    std::map<std::string, std::string> good_files(const std::filesystem::path& archive)
    {
        TempDir dir;
        Extraction x(archive, {GetParam().password, GetParam().password});
        x.unpack(dir.path());
        EXPECT_TRUE(x.report().all_extracted());
        std::map<std::string, std::string> out;
        for (const auto& [name, content] : tree_of(dir.path()))
            if (!name.ends_with("/") && !content.starts_with("->"))
                out[name] = content;
        return out;
    }
};

TEST_P(RarReaderHostile, TruncatedArchivesEndCleanly)
{
    const auto archive = data_dir() / "rar" / GetParam().name;
    const auto bytes = read_file(archive);
    const auto good = good_files(archive);
    // Cuts all over the file, and close to its start where the headers are.
    std::vector<size_t> cuts;
    for (size_t i = 1; i < 24; ++i)
        cuts.push_back(bytes.size() * i / 24);
    for (size_t c = 8; c < std::min<size_t>(bytes.size(), 160); c += 13)
        cuts.push_back(c);
    for (const size_t cut : cuts) {
        SCOPED_TRACE(cut);
        damaged_run(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(cut)), good);
    }
}

TEST_P(RarReaderHostile, OverwrittenBytesEndCleanly)
{
    const auto archive = data_dir() / "rar" / GetParam().name;
    const auto bytes = read_file(archive);
    const auto good = good_files(archive);
    std::mt19937 rng(20261208);
    for (int round = 0; round < 40; ++round) {
        auto damaged = bytes;
        // A few bytes anywhere past the signature, or a run of them.
        const size_t count = 1 + rng() % 4;
        for (size_t i = 0; i < count; ++i) {
            const size_t at = 8 + rng() % (damaged.size() - 8);
            const size_t run = round % 5 == 0 ? std::min<size_t>(16, damaged.size() - at) : 1;
            for (size_t j = 0; j < run; ++j)
                damaged[at + j] = static_cast<uint8_t>(rng());
        }
        SCOPED_TRACE(round);
        damaged_run(damaged, good);
    }
}

INSTANTIATE_TEST_SUITE_P(Archives, RarReaderHostile, ::testing::ValuesIn(hostile_cases));

} // namespace
} // namespace velmora::test

// Guards "archives of any size" for ZIP: an entry of more than 4 GiB (Zip64
// sizes) deflated by Info-ZIP and one stored by Python's zipfile, the latter
// followed by an entry whose local header lies past 4 GiB (a Zip64 offset),
// must come out byte for byte through the streaming path while archive-probe
// stays within a fixed memory bound; archives of 40,000 and 70,000 entries
// (past the signed 16-bit count, and past 65,535 with a Zip64 end record) are
// listed and extracted whole. Sources are sparse files with markers around
// 2 GiB and 4 GiB, so a position cut to 32 bits shows as a difference; each
// test removes its multi-gigabyte output as soon as it has been compared.
#include "support/Extraction.h"
#include "support/LargeArchives.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using test::GiB;
using test::MiB;

// Past 4 GiB by half a gigabyte plus an odd remainder, so the size field's
// low 32 bits hold neither 0 nor the entry's size.
constexpr uint64_t large_size = 4 * GiB + 512 * MiB + 12345;

// One `entry` line of archive-probe's listing: name, compressed size, size, CRC.
struct ProbeEntry {
    std::string name;
    int64_t compressed = 0;
    int64_t size = 0;
    std::string crc;
};

std::vector<ProbeEntry> probe_entries(const std::string& listing)
{
    std::vector<ProbeEntry> out;
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string item; std::getline(fields, item, '\t');)
            f.push_back(item);
        if (f.size() >= 7 && f[0] == "entry")
            out.push_back({f[2], std::stoll(f[4]), std::stoll(f[5]), f[6]});
    }
    return out;
}

// Python's zipfile's reading of the same archive, as archive-probe prints it.
constexpr const char* python_lister = R"PY(
import json, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    print(json.dumps([{"name": i.filename, "csize": i.compress_size, "size": i.file_size, "crc": "%08x" % i.CRC}
                      for i in z.infolist()]))
)PY";

class ZipLarge : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* tool : {"python3", "zip"})
            if (!test::have_tool(tool))
                GTEST_SKIP() << tool << " not installed";
        if (!test::has_free_space(dir_.path(), test::large_test_space))
            GTEST_SKIP() << "less than 16 GiB free for the extracted files";
        fs::create_directories(src_);
    }

    // The probe's listing agrees with Python's zipfile on every entry.
    void expect_listing_like_zipfile(const fs::path& archive)
    {
        const test::ProbeRun list = test::run_probe_measured(dir_, {"list", archive.string()});
        ASSERT_EQ(list.status, 0) << list.err;
        std::string json;
        ASSERT_EQ(test::run_python(dir_, python_lister, {archive.string()}, &json), 0) << json;
        const auto want = nlohmann::json::parse(json);
        const std::vector<ProbeEntry> got = probe_entries(list.out);
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].name, want[i]["name"].get<std::string>());
            EXPECT_EQ(got[i].compressed, want[i]["csize"].get<int64_t>());
            EXPECT_EQ(got[i].size, want[i]["size"].get<int64_t>());
            EXPECT_EQ(got[i].crc, want[i]["crc"].get<std::string>());
        }
    }

    // Extracts with archive-probe, memory measured against a 1 MiB entry's.
    void extract_within_bound(const fs::path& archive, const fs::path& out)
    {
        const fs::path small = dir_ / "small-src";
        fs::create_directories(small);
        ASSERT_TRUE(test::make_sparse_file(small / "one.bin", MiB, test::boundary_marks(MiB)));
        const fs::path small_zip = dir_ / "small.zip";
        ASSERT_EQ(test::run_command("cd " + test::shell_quote(small.string()) + " && zip -q "
                                    + test::shell_quote(small_zip.string()) + " one.bin"),
                  0);
        test::extract_with_bounded_memory(dir_, archive, small_zip, out);
    }

    test::TempDir dir_;
    fs::path src_ = dir_ / "src";
};

// Info-ZIP writes Zip64 sizes (local and central extra fields) for a file of
// more than 4 GiB; the deflated entry streams out whole and exact.
TEST_F(ZipLarge, InfoZipDeflatedEntryOver4GiBComesOutByteForByte)
{
    const fs::path source = src_ / "big.bin";
    ASSERT_TRUE(test::make_sparse_file(source, large_size, test::boundary_marks(large_size)));
    test::write_file(src_ / "small.txt", std::string("after the big one\n"));
    const fs::path archive = dir_ / "big.zip";
    ASSERT_EQ(test::run_command("cd " + test::shell_quote(src_.string()) + " && zip -q -1 "
                                + test::shell_quote(archive.string()) + " big.bin small.txt"),
              0);
    ASSERT_LT(fs::file_size(archive), 64 * MiB);
    expect_listing_like_zipfile(archive);

    const fs::path out = dir_ / "out";
    extract_within_bound(archive, out);
    ASSERT_EQ(fs::file_size(out / "big.bin"), large_size);
    EXPECT_EQ(test::first_difference(out / "big.bin", source), std::nullopt);
    EXPECT_EQ(test::file_text(out / "small.txt"), "after the big one\n");
    EXPECT_TRUE(test::leftover_temp_files(out).empty());
}

// Python's zipfile stores a file of more than 4 GiB (written sparsely, so
// the archive takes almost no disk) and then a small one whose local header
// lies past 4 GiB: the second needs the Zip64 offset, the first the stored
// copy of more than 4 GiB. Both come out exact.
TEST_F(ZipLarge, PythonStoredEntryOver4GiBAndAnEntryBeyondIt)
{
    const fs::path source = src_ / "big.bin";
    ASSERT_TRUE(test::make_sparse_file(source, large_size, test::boundary_marks(large_size)));
    const fs::path archive = dir_ / "stored.zip";
    const std::string script = std::string(test::python_sparse_writer) + R"PY(
import sys, zipfile
src, dest = sys.argv[1], sys.argv[2]
with SparseWriter(dest) as raw, zipfile.ZipFile(raw, 'w', zipfile.ZIP_STORED) as z:
    info = zipfile.ZipInfo('big.bin', date_time=(2022, 2, 2, 2, 2, 2))
    with z.open(info, 'w', force_zip64=True) as w:
        copy_file(src, w)
    z.writestr(zipfile.ZipInfo('beyond-4-GiB.txt', date_time=(2022, 2, 2, 2, 2, 4)), b'past the 32-bit offsets\n')
)PY";
    std::string log;
    ASSERT_EQ(test::run_python(dir_, script, {source.string(), archive.string()}, &log), 0) << log;
    ASSERT_GT(fs::file_size(archive), large_size);
    expect_listing_like_zipfile(archive);

    const fs::path out = dir_ / "out";
    extract_within_bound(archive, out);
    EXPECT_EQ(test::file_text(out / "beyond-4-GiB.txt"), "past the 32-bit offsets\n");
    ASSERT_EQ(fs::file_size(out / "big.bin"), large_size);
    EXPECT_EQ(test::first_difference(out / "big.bin", source), std::nullopt);
    EXPECT_TRUE(test::leftover_temp_files(out).empty());
}

struct ManyCase {
    const char* label;
    int32_t entries;
    bool wrapped; // the Zip64 records dropped, the 16-bit count left to wrap
};

class ZipLargeEntryCount : public ::testing::TestWithParam<ManyCase> {};

// More entries than a signed 16-bit count admits (40,000, a classic end
// record) and more than any 16-bit count (70,000: Python adds the Zip64 end
// record; writers without Zip64 let the 16-bit count wrap to 4,464): every
// entry is listed in order and extracted.
TEST_P(ZipLargeEntryCount, EveryEntryIsListedAndExtracted)
{
    if (!test::have_tool("python3"))
        GTEST_SKIP() << "python3 not installed";
    const int32_t n = GetParam().entries;
    test::TempDir dir;
    const fs::path archive = dir / "many.zip";
    const std::string script = R"PY(
import struct, sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:
    for i in range(int(sys.argv[2])):
        z.writestr(zipfile.ZipInfo('d%02d/f%06d.txt' % (i % 50, i), date_time=(2020, 1, 1, 0, 0, 0)), b'%d\n' % i)
if sys.argv[3] == 'wrapped':
    data = open(sys.argv[1], 'rb').read()
    record = struct.unpack_from('<Q', data, data.rfind(b'PK\x06\x07') + 8)[0]
    count, size, offset = struct.unpack_from('<QQQ', data, record + 32)
    end = struct.pack('<IHHHHIIH', 0x06054B50, 0, 0, count & 0xFFFF, count & 0xFFFF, size, offset, 0)
    open(sys.argv[1], 'wb').write(data[:record] + end)
)PY";
    ASSERT_EQ(test::run_python(dir, script, {archive.string(), std::to_string(n), GetParam().wrapped ? "wrapped" : "-"}),
              0);

    test::Extraction x(archive);
    ASSERT_EQ(x.files.FileCount(), n);
    char name[32];
    for (const int32_t k : {1, 32767, 32768, 32769, 65535, 65536, 65537, n}) {
        if (k > n)
            continue;
        std::snprintf(name, sizeof name, "d%02d/f%06d.txt", (k - 1) % 50, k - 1);
        EXPECT_EQ(x.files.FileName(k), name) << "entry " << k;
    }

    const fs::path out = dir / "out";
    x.unpack(out);
    EXPECT_TRUE(x.window.messages.empty()) << x.window.messages.front().text;
    EXPECT_TRUE(x.report().all_extracted());
    EXPECT_EQ(x.window.progress_max, n);
    EXPECT_EQ(x.window.percent, "100%");
    int32_t files = 0;
    for (const auto& e : fs::recursive_directory_iterator(out))
        files += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, n);
    std::snprintf(name, sizeof name, "d%02d/f%06d.txt", (n - 1) % 50, n - 1);
    EXPECT_EQ(test::file_text(out / name), std::to_string(n - 1) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Counts, ZipLargeEntryCount,
                         ::testing::Values(ManyCase{"SignedCountOverflow40000", 40000, false},
                                           ManyCase{"Zip64Count70000", 70000, false},
                                           ManyCase{"WrappedCount70000", 70000, true}),
                         [](const auto& info) { return std::string(info.param.label); });

} // namespace
} // namespace velmora

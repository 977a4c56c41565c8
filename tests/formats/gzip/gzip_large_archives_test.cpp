// Guards GZIP members of any size: a .tar.gz of more than 4 GiB (its ISIZE
// holds the size modulo 2^32) made by gzip from a sparse tar must decode to
// the very tar, streamed in bounded pieces with archive-probe's memory within
// the bound; and the .tar that comes out lists as the tar that went in. The
// size listed from ISIZE is the unsigned 32-bit value, never negative.
#include "support/Extraction.h"
#include "support/LargeArchives.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using test::GiB;
using test::MiB;

constexpr uint64_t member_size = 4 * GiB + 64 * MiB + 4321;

// argv: SOURCE DEST: a tar of SOURCE as "big.bin", written sparsely.
const std::string tar_packer = std::string(test::python_sparse_writer) + R"PY(
import sys, tarfile
with SparseWriter(sys.argv[2]) as raw:
    with tarfile.open(fileobj=raw, mode='w', format=tarfile.USTAR_FORMAT) as t:
        info = t.gettarinfo(sys.argv[1], 'big.bin')
        info.mtime = 1600000000
        with open(sys.argv[1], 'rb') as f:
            t.addfile(info, f)
)PY";

// ISIZE of 2 GiB and more (a member of that size, or of 6 GiB and more
// modulo 2^32) lists as the unsigned value the trailer holds.
TEST(GzipListingSizes, TrailerSizesFrom2GiBUpListAsUnsigned)
{
    test::TempDir dir;
    for (const uint32_t isize : {0x7FFFFFFFu, 0x80000000u, 0xC0000000u, 0xFFFFFFFFu}) {
        // Header (no flags), the deflated byte "x", CRC-32 and ISIZE.
        std::vector<uint8_t> gz{0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3, 0xAB, 0x00, 0x00};
        for (const uint32_t v : {0x8CDC1683u, isize})
            for (int shift = 0; shift < 32; shift += 8)
                gz.push_back(static_cast<uint8_t>(v >> shift));
        const fs::path path = dir / "sized.gz";
        test::write_file(path, gz);
        test::Extraction x(path);
        ASSERT_EQ(x.files.FileCount(), 1);
        EXPECT_EQ(x.files.UnCompressed_Size(1), static_cast<int64_t>(isize));
    }
}

TEST(GzipLarge, MultiGigabyteTarGzDecodesToTheSameTar)
{
    for (const char* tool : {"python3", "gzip"})
        if (!test::have_tool(tool))
            GTEST_SKIP() << tool << " not installed";
    test::TempDir dir;
    if (!test::has_free_space(dir.path(), test::large_test_space))
        GTEST_SKIP() << "less than 16 GiB free for the extracted files";
    const fs::path source = dir / "big.bin";
    ASSERT_TRUE(test::make_sparse_file(source, member_size, test::boundary_marks(member_size)));
    const fs::path tar = dir / "backup.tar";
    ASSERT_EQ(test::run_python(dir, tar_packer, {source.string(), tar.string()}), 0);
    fs::remove(source);
    const fs::path archive = dir / "backup.tgz";
    ASSERT_EQ(test::run_command("gzip -1 -n -c " + test::shell_quote(tar.string()) + " > " + test::shell_quote(archive.string())), 0);
    const uint64_t tar_size = fs::file_size(tar);
    ASSERT_GT(tar_size, 4 * GiB);

    test::Extraction listing(archive);
    ASSERT_EQ(listing.files.FileCount(), 1);
    EXPECT_EQ(listing.files.FileName(1), "backup.tar");
    // ISIZE: the size modulo 2^32, all the format keeps.
    EXPECT_EQ(static_cast<uint32_t>(listing.files.UnCompressed_Size(1)), static_cast<uint32_t>(tar_size));

    const fs::path small_tar = dir / "small.tar";
    ASSERT_TRUE(test::make_sparse_file(small_tar, MiB, test::boundary_marks(MiB)));
    const fs::path small = dir / "small.tar.gz";
    ASSERT_EQ(test::run_command("gzip -c " + test::shell_quote(small_tar.string()) + " > " + test::shell_quote(small.string())), 0);

    const fs::path out = dir / "out";
    test::extract_with_bounded_memory(dir, archive, small, out);
    ASSERT_EQ(fs::file_size(out / "backup.tar"), tar_size);
    EXPECT_EQ(test::first_difference(out / "backup.tar", tar), std::nullopt);
    EXPECT_TRUE(test::leftover_temp_files(out).empty());

    test::Extraction inner(out / "backup.tar");
    ASSERT_EQ(inner.files.FileCount(), 1);
    EXPECT_EQ(inner.files.FileName(1), "big.bin");
    EXPECT_EQ(inner.files.UnCompressed_Size(1), static_cast<int64_t>(member_size));
}

} // namespace
} // namespace velmora

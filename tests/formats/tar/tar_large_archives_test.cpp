// Guards TAR members of any size: a member of more than 4 GiB, written by
// Python's tarfile (sparsely, so the archive takes almost no disk), and a
// small member whose data lies past 4 GiB must be listed with their sizes and
// copied out byte for byte in bounded pieces, archive-probe's memory staying
// within the bound whatever the member's size.
#include "support/Extraction.h"
#include "support/LargeArchives.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using test::GiB;
using test::MiB;

constexpr uint64_t large_size = 4 * GiB + 256 * MiB + 777;

// argv: SOURCE DEST [SMALL]: SOURCE as "big.bin", then a short member,
// written through the sparse writer.
const std::string tar_packer = std::string(test::python_sparse_writer) + R"PY(
import sys, tarfile
src, dest = sys.argv[1], sys.argv[2]
with SparseWriter(dest) as raw:
    with tarfile.open(fileobj=raw, mode='w', format=tarfile.USTAR_FORMAT) as t:
        info = t.gettarinfo(src, 'big.bin')
        info.mtime = 1600000000
        with open(src, 'rb') as f:
            t.addfile(info, f)
        data = b'the member after the big one\n'
        after = tarfile.TarInfo('after.txt')
        after.size = len(data)
        after.mtime = 1600000002
        import io
        t.addfile(after, io.BytesIO(data))
)PY";

TEST(TarLarge, MemberOver4GiBAndOneBeyondItComeOutByteForByte)
{
    if (!test::have_tool("python3"))
        GTEST_SKIP() << "python3 not installed";
    test::TempDir dir;
    if (!test::has_free_space(dir.path(), test::large_test_space))
        GTEST_SKIP() << "less than 16 GiB free for the extracted files";
    const fs::path source = dir / "big.bin";
    ASSERT_TRUE(test::make_sparse_file(source, large_size, test::boundary_marks(large_size)));
    const fs::path archive = dir / "big.tar";
    std::string log;
    ASSERT_EQ(test::run_python(dir, tar_packer, {source.string(), archive.string()}, &log), 0) << log;

    test::Extraction listing(archive);
    ASSERT_EQ(listing.files.FileCount(), 2);
    EXPECT_EQ(listing.files.FileName(1), "big.bin");
    EXPECT_EQ(listing.files.UnCompressed_Size(1), static_cast<int64_t>(large_size));
    EXPECT_EQ(listing.files.FileName(2), "after.txt");

    const fs::path small_source = dir / "small";
    fs::create_directories(small_source);
    ASSERT_TRUE(test::make_sparse_file(small_source / "one.bin", MiB, test::boundary_marks(MiB)));
    const fs::path small = dir / "small.tar";
    ASSERT_EQ(test::run_python(dir, tar_packer, {(small_source / "one.bin").string(), small.string()}), 0);

    const fs::path out = dir / "out";
    test::extract_with_bounded_memory(dir, archive, small, out);
    EXPECT_EQ(test::file_text(out / "after.txt"), "the member after the big one\n");
    EXPECT_EQ(test::mtime_of(out / "after.txt"), 1600000002);
    ASSERT_EQ(fs::file_size(out / "big.bin"), large_size);
    EXPECT_EQ(test::first_difference(out / "big.bin", source), std::nullopt);
    EXPECT_EQ(test::mtime_of(out / "big.bin"), 1600000000);
    EXPECT_TRUE(test::leftover_temp_files(out).empty());
}

} // namespace
} // namespace velmora

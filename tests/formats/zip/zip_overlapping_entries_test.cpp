// Guards against the overlapping-entry zip bombs (David Fifield's "better zip
// bomb", CVE-2019-13232): entries whose stored data overlaps another entry's
// (one shared local header, or each header quoted inside the previous entry's
// Deflate data in a stored block) or the central directory must be refused
// with a message, so a bomb of a few hundred KiB writes one kernel's worth of
// bytes instead of gigabytes. Archives built here by Fifield's construction.
#include "formats/zip/zip_extract_support.h"
#include "formats/zip/zip_test_builder.h"
#include "support/LargeArchives.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace velmora {
namespace {

namespace fs = std::filesystem;

struct BombPart {
    std::string name;
    uint32_t crc = 0;
    uint32_t compressed_size = 0;
    uint32_t size = 0;
    uint32_t local_offset = 0;
};

std::vector<uint8_t> local_header(const BombPart& p)
{
    std::vector<uint8_t> h;
    test::put32(h, 0x04034B50);
    test::put16(h, 20);
    test::put16(h, 0);
    test::put16(h, 8); // Deflate
    test::put16(h, 0x6B4F);
    test::put16(h, 0x5A21);
    test::put32(h, p.crc);
    test::put32(h, p.compressed_size);
    test::put32(h, p.size);
    test::put16(h, static_cast<uint16_t>(p.name.size()));
    test::put16(h, 0);
    test::put_text(h, p.name);
    return h;
}

// Central directory and end record for the parts; the directory starts at
// the end of `zip`.
void finish_archive(std::vector<uint8_t>& zip, const std::vector<BombPart>& parts)
{
    const auto cd_offset = static_cast<uint32_t>(zip.size());
    for (const BombPart& p : parts) {
        test::put32(zip, 0x02014B50);
        test::put16(zip, 0x0314);
        test::put16(zip, 20);
        test::put16(zip, 0);
        test::put16(zip, 8);
        test::put16(zip, 0x6B4F);
        test::put16(zip, 0x5A21);
        test::put32(zip, p.crc);
        test::put32(zip, p.compressed_size);
        test::put32(zip, p.size);
        test::put16(zip, static_cast<uint16_t>(p.name.size()));
        test::put16(zip, 0);
        test::put16(zip, 0);
        test::put16(zip, 0);
        test::put16(zip, 0);
        test::put32(zip, 0x81A40000);
        test::put32(zip, p.local_offset);
        test::put_text(zip, p.name);
    }
    const auto cd_size = static_cast<uint32_t>(zip.size() - cd_offset);
    test::put32(zip, 0x06054B50);
    test::put32(zip, 0);
    test::put16(zip, static_cast<uint16_t>(parts.size()));
    test::put16(zip, static_cast<uint16_t>(parts.size()));
    test::put32(zip, cd_size);
    test::put32(zip, cd_offset);
    test::put16(zip, 0);
}

std::string part_name(size_t i)
{
    std::string n = std::to_string(i);
    return std::string(6 - n.size(), '0') + n + ".bin";
}

// The kernel every entry ends in: `size` zero bytes, deflated.
struct Kernel {
    std::string deflated;
    uint32_t crc = 0;
    uint32_t size = 0;
    explicit Kernel(uint32_t n) : deflated(test::raw_deflate(std::string(n, '\0'))), size(n)
    {
        const std::vector<uint8_t> zeros(n, 0);
        crc = static_cast<uint32_t>(::crc32(0, zeros.data(), n));
    }
};

// Fifield's quoted overlap: entry i's Deflate data is a non-final stored
// block holding entry i+1's local header, followed by entry i+1's data; the
// last entry's data is the kernel. Every entry decodes correctly, each to
// everything after its own header.
std::vector<uint8_t> quoted_overlap_bomb(size_t n, const Kernel& kernel, std::vector<BombPart>* parts_out = nullptr)
{
    std::vector<BombPart> parts(n);
    constexpr uint32_t quote_header = 5; // BFINAL 0, BTYPE 00, padding; LEN, NLEN
    for (size_t k = n; k-- > 0;) {
        BombPart& p = parts[k];
        p.name = part_name(k);
        if (k == n - 1) {
            p.crc = kernel.crc;
            p.size = kernel.size;
            p.compressed_size = static_cast<uint32_t>(kernel.deflated.size());
        } else {
            const BombPart& next = parts[k + 1];
            const std::vector<uint8_t> quoted = local_header(next);
            p.size = static_cast<uint32_t>(quoted.size()) + next.size;
            p.compressed_size = quote_header + static_cast<uint32_t>(quoted.size()) + next.compressed_size;
            const auto head_crc = static_cast<uint32_t>(::crc32(0, quoted.data(), static_cast<uInt>(quoted.size())));
            p.crc = static_cast<uint32_t>(::crc32_combine(head_crc, next.crc, next.size));
        }
    }
    std::vector<uint8_t> zip;
    for (size_t k = 0; k < n; ++k) {
        parts[k].local_offset = static_cast<uint32_t>(zip.size());
        const std::vector<uint8_t> header = local_header(parts[k]);
        if (k > 0) {
            // The quote in front of this header, ending the previous entry's
            // view of the stream up to here.
            zip.push_back(0x00);
            test::put16(zip, static_cast<uint16_t>(header.size()));
            test::put16(zip, static_cast<uint16_t>(~header.size()));
        }
        zip.insert(zip.end(), header.begin(), header.end());
    }
    zip.insert(zip.end(), kernel.deflated.begin(), kernel.deflated.end());
    finish_archive(zip, parts);
    if (parts_out)
        *parts_out = parts;
    return zip;
}

// The first form: n central headers naming one local header and its kernel.
std::vector<uint8_t> full_overlap_bomb(size_t n, const Kernel& kernel)
{
    BombPart p{part_name(0), kernel.crc, static_cast<uint32_t>(kernel.deflated.size()), kernel.size, 0};
    std::vector<uint8_t> zip = local_header(p);
    zip.insert(zip.end(), kernel.deflated.begin(), kernel.deflated.end());
    std::vector<BombPart> parts(n, p);
    for (size_t k = 0; k < n; ++k)
        parts[k].name = part_name(k);
    finish_archive(zip, parts);
    return zip;
}

// Inflates `data` with zlib into nothing, returning the CRC and the size.
std::pair<uint32_t, uint64_t> zlib_crc_and_size(std::span<const uint8_t> data)
{
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    std::vector<uint8_t> out(1 << 20);
    uLong crc = 0;
    uint64_t size = 0;
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        rc = inflate(&z, Z_NO_FLUSH);
        const size_t got = out.size() - z.avail_out;
        crc = ::crc32(crc, out.data(), static_cast<uInt>(got));
        size += got;
    }
    inflateEnd(&z);
    return {rc == Z_STREAM_END ? static_cast<uint32_t>(crc) : 0, size};
}

uint64_t bytes_under(const fs::path& root)
{
    uint64_t total = 0;
    if (!fs::exists(root))
        return 0; // nothing was written, not even the folder
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file())
            total += e.file_size();
    return total;
}

// The construction itself is sound: the first entry, decoded by zlib, gives
// the size and CRC its headers claim, and holds the second entry's header;
// unzip refuses the archive as a bomb.
TEST(ZipOverlappingEntries, QuotedOverlapBombIsARealBomb)
{
    const Kernel kernel(1 << 20);
    std::vector<BombPart> parts;
    const std::vector<uint8_t> zip = quoted_overlap_bomb(40, kernel, &parts);
    const std::span<const uint8_t> first_data(zip.data() + 30 + parts[0].name.size(), parts[0].compressed_size);
    const auto [crc, size] = zlib_crc_and_size(first_data);
    EXPECT_EQ(size, parts[0].size);
    EXPECT_EQ(crc, parts[0].crc);
    EXPECT_EQ(size, 39 * (30 + 10) + uint64_t{kernel.size});

    if (!test::have_tool("unzip"))
        GTEST_SKIP() << "unzip not installed";
    test::TempDir dir;
    const fs::path path = test::save_zip(dir, "bomb.zip", zip);
    std::string out;
    EXPECT_NE(test::run_command("unzip -t " + test::shell_quote(path.string()) + " 2>&1", &out), 0);
    EXPECT_NE(out.find("overlap"), std::string::npos) << out;
}

struct BombCase {
    const char* label;
    size_t entries;
    bool quoted;
};

class ZipOverlappingBomb : public ::testing::TestWithParam<BombCase> {};

// Every overlapping entry is refused with "Error in Zip File." and counted as
// damaged. The quoted bomb's last entry (the kernel) lies inside the data of
// the entry before it, so it overlaps too and is refused with the rest:
// nothing is written. 1,500 entries of a 2 MiB kernel would be 3 GB.
TEST_P(ZipOverlappingBomb, OverlappingEntriesAreRefusedAndWriteAlmostNothing)
{
    const BombCase& c = GetParam();
    const Kernel kernel(2 << 20);
    const std::vector<uint8_t> zip = c.quoted ? quoted_overlap_bomb(c.entries, kernel) : full_overlap_bomb(c.entries, kernel);
    EXPECT_LT(zip.size(), 256 * 1024u);

    test::TempDir dir;
    test::ZipExtraction x(test::save_zip(dir, "bomb.zip", zip));
    ASSERT_EQ(x.files.FileCount(), static_cast<int32_t>(c.entries));
    EXPECT_EQ(x.files.UnCompressed_Size(1), c.quoted ? (c.entries - 1) * 40 + kernel.size : kernel.size);

    const fs::path out = dir / "out";
    x.unpack(out);
    const size_t refused = c.entries;
    for (int32_t k = 1; k <= static_cast<int32_t>(c.entries); ++k)
        ASSERT_EQ(x.outcome(k), "failed:damaged") << "entry " << k;
    size_t boxes = 0;
    for (const auto& m : x.window.messages)
        boxes += m.text == "Error in Zip File." ? 1 : 0;
    EXPECT_EQ(boxes, refused);
    EXPECT_EQ(x.window.messages.size(), refused);
    EXPECT_EQ(bytes_under(out), 0u);
    if (fs::exists(out))
        EXPECT_TRUE(test::leftover_temp_files(out).empty());
}

INSTANTIATE_TEST_SUITE_P(Fifield, ZipOverlappingBomb,
                         ::testing::Values(BombCase{"Quoted1500", 1500, true}, BombCase{"Quoted2", 2, true},
                                           BombCase{"FullOverlap1000", 1000, false}, BombCase{"FullOverlap2", 2, false}),
                         [](const auto& info) { return std::string(info.param.label); });

// Data reaching into the central directory: an entry whose compressed size
// runs over the directory is refused; the entry before it, which ends where
// the next local header starts, is not.
TEST(ZipOverlappingEntries, DataRunningIntoTheCentralDirectoryIsRefused)
{
    test::ZipTestLayout layout;
    const std::vector<test::ZipTestEntry> entries{
        {.name = "a.txt", .data = "first entry\n"},
        {.name = "b.txt", .data = "second entry\n", .compressed_size = 13 + 30},
    };
    test::TempDir dir;
    test::ZipExtraction x(test::save_zip(dir, "into-cd.zip", test::build_zip(entries, {}, &layout)));
    ASSERT_EQ(x.files.FileCount(), 2);
    const fs::path out = dir / "out";
    x.unpack(out);
    EXPECT_EQ(x.outcome(1), "extracted");
    EXPECT_EQ(x.outcome(2), "failed:damaged");
    EXPECT_EQ(x.message_texts(), std::vector<std::string>{"Error in Zip File."});
    EXPECT_EQ(test::tree_of(out), (std::map<std::string, std::string>{{"a.txt", "first entry\n"}}));
}

} // namespace
} // namespace velmora

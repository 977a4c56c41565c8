// Guards the Zip64 records as real writers leave them: Info-ZIP's forced Zip64
// local fields, Python's zipfile with Zip64 forced on a seekable file and on
// a stream it cannot seek (data descriptors with 8-byte sizes), Python with
// every record Zip64 (sizes, offsets, the Zip64 end record and locator), and
// a Java-style streamed archive (local sizes 0 with a Zip64 extra block, data
// descriptors with 8-byte sizes, Zip64 central fields and end records). Each
// must list as Python's zipfile reads it and extract to the packed files.
#include "support/Extraction.h"
#include "support/LargeArchives.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <random>

namespace velmora {
namespace {

namespace fs = std::filesystem;

// argv: MODE SRC DEST. Packs the regular files under SRC in name order.
constexpr const char* python_zip64_packer = R"PY(
import io, os, struct, sys, zipfile, zlib
mode, src, dest = sys.argv[1:4]
files = sorted(os.path.relpath(os.path.join(r, f), src) for r, _, fs in os.walk(src) for f in fs)
stamp = (2021, 5, 6, 7, 8, 10)
dos_time = (stamp[3] << 11) | (stamp[4] << 5) | (stamp[5] // 2)
dos_date = ((stamp[0] - 1980) << 9) | (stamp[1] << 5) | stamp[2]

class Unseekable(io.RawIOBase):
    # A pipe as zipfile sees it: written in order, never sought, never told.
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b):
        self.f.write(b)
        return len(b)

def java_style(out):
    central = b''
    for rel in files:
        data = open(os.path.join(src, rel), 'rb').read()
        c = zlib.compressobj(6, zlib.DEFLATED, -15)
        packed = c.compress(data) + c.flush()
        crc = zlib.crc32(data)
        name = rel.encode()
        offset = out.tell()
        local_extra = struct.pack('<HHQQ', 1, 16, 0, 0)
        out.write(struct.pack('<IHHHHHIIIHH', 0x04034B50, 45, 0x0808, 8, dos_time, dos_date, 0, 0, 0,
                              len(name), len(local_extra)) + name + local_extra)
        out.write(packed)
        out.write(struct.pack('<IIQQ', 0x08074B50, crc, len(packed), len(data)))
        extra = struct.pack('<HHQQQ', 1, 24, len(data), len(packed), offset)
        central += struct.pack('<IHHHHHHIIIHHHHHII', 0x02014B50, 0x0300 | 45, 45, 0x0808, 8, dos_time, dos_date,
                               crc, 0xFFFFFFFF, 0xFFFFFFFF, len(name), len(extra), 0, 0, 0, 0o100644 << 16,
                               0xFFFFFFFF) + name + extra
    cd_offset = out.tell()
    out.write(central)
    record_at = out.tell()
    n = len(files)
    out.write(struct.pack('<IQHHIIQQQQ', 0x06064B50, 44, 0x0300 | 45, 45, 0, 0, n, n, len(central), cd_offset))
    out.write(struct.pack('<IIQI', 0x07064B50, 0, record_at, 1))
    out.write(struct.pack('<IHHHHIIH', 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0))

with open(dest, 'wb') as raw:
    if mode == 'java':
        java_style(raw)
    else:
        if mode == 'all':
            zipfile.ZIP64_LIMIT = 0
            zipfile.ZIP_FILECOUNT_LIMIT = 0
        target = Unseekable(raw) if mode == 'streamed' else raw
        with zipfile.ZipFile(target, 'w') as z:
            for rel in files:
                info = zipfile.ZipInfo(rel, date_time=stamp)
                info.compress_type = zipfile.ZIP_STORED if rel.startswith('stored') else zipfile.ZIP_DEFLATED
                with z.open(info, 'w', force_zip64=True) as w:
                    w.write(open(os.path.join(src, rel), 'rb').read())
)PY";

// What Python's zipfile reads from an archive, as JSON.
constexpr const char* python_lister = R"PY(
import json, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    print(json.dumps([{"name": i.filename, "size": i.file_size, "csize": i.compress_size, "crc": i.CRC}
                      for i in z.infolist()]))
)PY";

struct WriterCase {
    const char* label;
    const char* mode;  // python_zip64_packer's MODE, or "infozip"
};

class Zip64Writers : public ::testing::TestWithParam<WriterCase> {
protected:
    void SetUp() override
    {
        for (const char* tool : {"python3", "zip", "unzip"})
            if (!test::have_tool(tool))
                GTEST_SKIP() << tool << " not installed";
        fs::create_directories(src_ / "docs");
        std::string text;
        for (int i = 0; i < 4000; ++i)
            text += "record " + std::to_string(i) + " of a Zip64 archive\n";
        std::string noise(150000, '\0');
        std::mt19937 rng(64);
        for (auto& c : noise)
            c = static_cast<char>(rng());
        test::write_file(src_ / "a-text.txt", text);
        test::write_file(src_ / "docs" / "noise.bin", noise);
        test::write_file(src_ / "empty.txt", std::string());
        test::write_file(src_ / "stored-copy.txt", text.substr(0, 5000));
    }

    test::TempDir dir_;
    fs::path src_ = dir_ / "src";
};

TEST_P(Zip64Writers, ListAsZipfileReadsThemAndExtractTheFiles)
{
    const WriterCase& c = GetParam();
    const fs::path archive = dir_ / "z64.zip";
    if (std::string(c.mode) == "infozip") {
        ASSERT_EQ(test::run_command("cd " + test::shell_quote(src_.string()) + " && zip -q -r -D -fz "
                                    + test::shell_quote(archive.string()) + " ."),
                  0);
    } else {
        std::string log;
        ASSERT_EQ(test::run_python(dir_, python_zip64_packer, {c.mode, src_.string(), archive.string()}, &log), 0) << log;
    }
    // The archive is sound for an independent reader before it tests ours.
    std::string tested;
    ASSERT_EQ(test::run_command("unzip -t " + test::shell_quote(archive.string()) + " 2>&1", &tested), 0) << tested;

    std::string listing;
    ASSERT_EQ(test::run_python(dir_, python_lister, {archive.string()}, &listing), 0) << listing;
    const auto want = nlohmann::json::parse(listing);

    test::Extraction x(archive);
    ASSERT_EQ(x.files.state().PackFileType, format_code::zip);
    ASSERT_EQ(x.files.FileCount(), static_cast<int32_t>(want.size()));
    for (int32_t k = 1; k <= x.files.FileCount(); ++k) {
        const auto& w = want[static_cast<size_t>(k) - 1];
        SCOPED_TRACE(w["name"].get<std::string>());
        EXPECT_EQ(x.files.FileName(k), w["name"].get<std::string>());
        EXPECT_EQ(x.files.UnCompressed_Size(k), w["size"].get<int64_t>());
        EXPECT_EQ(x.files.Compressed_Size(k), w["csize"].get<int64_t>());
        EXPECT_EQ(static_cast<uint32_t>(x.files.CRC32(k)), w["crc"].get<uint32_t>());
    }

    const fs::path out = dir_ / "out";
    x.unpack(out);
    EXPECT_TRUE(x.window.messages.empty()) << x.window.messages.front().text;
    EXPECT_TRUE(x.report().all_extracted());
    EXPECT_EQ(test::tree_of(out), test::tree_of(src_));
}

INSTANTIATE_TEST_SUITE_P(Writers, Zip64Writers,
                         ::testing::Values(WriterCase{"InfoZipForced", "infozip"},
                                           WriterCase{"PythonForced", "forced"},
                                           WriterCase{"PythonStreamed", "streamed"},
                                           WriterCase{"PythonEveryRecord", "all"},
                                           WriterCase{"JavaStyleStreamed", "java"}),
                         [](const auto& info) { return std::string(info.param.label); });

} // namespace
} // namespace velmora

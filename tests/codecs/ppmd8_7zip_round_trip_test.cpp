// Guards the PPMd var.I decoder against drifting from the model 7-Zip's
// encoder runs: a single wrong step in the model or its memory allocator
// corrupts everything after it, and the allocator only matters once the model
// memory is full, so small memory sizes with a few MB of input exercise the
// restart and cut-off restorations.
#include "legacy_zip_test_codecs.h"
#include "support/TestSupport.h"
#include "support/ZipEntries.h"

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;

namespace {

std::string seven_zip()
{
    for (const char* tool : {"7zz", "7z"})
        if (have_tool(tool))
            return tool;
    return {};
}

std::vector<uint8_t> mixed_input()
{
    auto v = make_sample(sample_kind::text, 900000, 3);
    const auto bin = make_sample(sample_kind::binary, 300000, 4);
    const auto rnd = make_sample(sample_kind::random, 100000, 5);
    v.insert(v.end(), bin.begin(), bin.end());
    v.insert(v.end(), rnd.begin(), rnd.end());
    return v;
}

} // namespace

TEST(Ppmd8SevenZipRoundTrip, OrdersMemorySizesAndRestoreMethods)
{
    const std::string tool = seven_zip();
    if (tool.empty())
        GTEST_SKIP() << "7-Zip not installed";
    const auto data = mixed_input();
    TempDir dir;
    write_file(dir / "input.bin", data);

    struct setting {
        const char* switches;
        unsigned order, memory_mib, restore;   // what the stream header must say
    };
    const setting settings[] = {
        {"-mx=1", 4, 1, 0},                    // 7-Zip scales memory down to the input
        {"-mx=9", 12, 32, 1},
        {"-mo=2 -mmem=1m -mx=5", 2, 1, 0},      // order 2, restart when full
        {"-mo=16 -mmem=1m -mx=5", 16, 1, 0},
        {"-mo=8 -mmem=1m -mx=9", 8, 1, 1},      // cut off when full
        {"-mo=16 -mmem=2m -mx=9", 16, 2, 1},
    };
    for (const auto& s : settings) {
        SCOPED_TRACE(s.switches);
        const auto zip_path = dir / "p.zip";
        std::filesystem::remove(zip_path);
        ASSERT_EQ(run_command("cd " + shell_quote(dir.str()) + " && " + tool + " a -tzip -mm=PPMd " + s.switches +
                              " p.zip input.bin >/dev/null"),
                  0);
        const auto entries = raw_zip_entries(read_file(zip_path));
        ASSERT_EQ(entries.size(), 1u);
        const auto& e = entries[0];
        ASSERT_EQ(e.method, 98);
        ASSERT_GE(e.stored.size(), 2u);
        const auto p = Ppmd8Decoder::parse_parameters(static_cast<uint16_t>(e.stored[0] | e.stored[1] << 8));
        EXPECT_EQ(p.order, s.order);
        EXPECT_EQ(p.restore_method, s.restore);
        if (std::string(s.switches).find("mmem") != std::string::npos) {
            EXPECT_EQ(p.memory_mib, s.memory_mib);
        }

        const auto r = decode_zip_method(98, e.flags, e.stored, e.size);
        EXPECT_EQ(decode_status_name(r.status), "ok");
        EXPECT_EQ(r.out.size(), data.size());
        EXPECT_TRUE(r.out == data);
    }
}

// One decoder object for several entries: the model memory is kept while the
// size stays and replaced when it changes; every entry starts a fresh model.
TEST(Ppmd8SevenZipRoundTrip, OneDecoderForEntriesOfDifferentSettings)
{
    const std::string tool = seven_zip();
    if (tool.empty())
        GTEST_SKIP() << "7-Zip not installed";
    TempDir dir;
    const auto a = make_sample(sample_kind::text, 200000, 8);
    const auto b = make_sample(sample_kind::binary, 150000, 9);
    write_file(dir / "a.txt", a);
    write_file(dir / "b.bin", b);
    const std::pair<const char*, const char*> made[] = {
        {"o3.zip", "-mo=3 -mmem=1m"}, {"o10.zip", "-mo=10 -mmem=4m"}, {"o6.zip", "-mo=6 -mmem=4m"}};
    for (const auto& [zip, sw] : made)
        ASSERT_EQ(run_command("cd " + shell_quote(dir.str()) + " && " + tool + " a -tzip -mm=PPMd " + sw + " " + zip +
                              " a.txt b.bin >/dev/null"),
                  0);
    Ppmd8Decoder decoder;
    for (const char* name : {"o3.zip", "o10.zip", "o6.zip", "o3.zip"}) {
        for (const auto& e : raw_zip_entries(read_file(dir / name))) {
            SCOPED_TRACE(std::string(name) + " " + e.name);
            std::vector<uint8_t> out;
            SpanSource in(e.stored);
            VectorSink sink(out);
            EXPECT_EQ(decoder.decode(in, sink, e.size), DecodeStatus::ok);
            EXPECT_TRUE(out == (e.name == "a.txt" ? a : b));
        }
    }
}

// libarchive's PPMd test archive (made by WinZip or 7-Zip, not by us): its
// CRC and the bytes bsdtar extracts.
TEST(Ppmd8SevenZipRoundTrip, CorpusArchiveMatchesItsCrcAndBsdtar)
{
    if (!corpus_available())
        GTEST_SKIP() << "shared corpus not present";
    const auto path = corpus_dir() / "zip" / "test_read_format_zip_ppmd8.zipx";
    const auto entries = raw_zip_entries(read_file(path));
    ASSERT_EQ(entries.size(), 1u);
    const auto& e = entries[0];
    ASSERT_EQ(e.method, 98);
    const auto r = decode_zip_method(98, e.flags, e.stored, e.size);
    EXPECT_EQ(r.status, DecodeStatus::ok);
    EXPECT_EQ(r.out.size(), e.size);
    EXPECT_EQ(crc32_of(r.out), e.crc);
    if (have_tool("bsdtar")) {
        std::string peer;
        ASSERT_EQ(run_command("bsdtar -xOf " + shell_quote(path.string()), &peer), 0);
        EXPECT_TRUE(same_bytes(r.out, peer));
    }
}

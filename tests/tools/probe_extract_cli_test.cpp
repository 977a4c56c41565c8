// Guards `archive-probe extract`, which scripts and the benchmark drive: its
// options (--only, --password, --no-overwrite), the two result lines, message
// records on standard error, and the exit status (0 clean, 1 not, 2 usage).
#include "formats/zip/Cls_Encrypt.h"
#include "formats/zip/zip_test_builder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

namespace fs = std::filesystem;

struct ProbeResult {
    int status = -1;
    std::string out;
    std::string err;
};

ProbeResult run_extract(const test::TempDir& dir, const std::string& args)
{
    ProbeResult r;
    const fs::path err = dir / "stderr.txt";
    const int raw = test::run_command(test::shell_quote(test::probe_path()) + " extract " + args + " 2>"
                                          + test::shell_quote(err.string()),
                                      &r.out);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : raw;
    const auto bytes = test::read_file(err);
    r.err.assign(bytes.begin(), bytes.end());
    return r;
}

std::string q(const fs::path& p) { return test::shell_quote(p.string()); }

fs::path three_files(const test::TempDir& dir)
{
    const fs::path zip = dir / "three.zip";
    test::write_file(zip, test::build_zip({{.name = "a.txt", .data = "A"}, {.name = "b/b.txt", .data = "B"},
                                           {.name = "c.txt", .data = "C"}}));
    return zip;
}

TEST(ProbeExtract, ExtractsEveryEntryOrOnlyTheListedOnes)
{
    test::TempDir dir;
    const fs::path zip = three_files(dir);
    ProbeResult all = run_extract(dir, q(zip) + " " + q(dir / "all"));
    EXPECT_EQ(all.status, 0);
    EXPECT_EQ(all.out, "unpack\t0\nmessages\t0\nreport\textracted\t3\n");
    EXPECT_EQ(all.err, "");
    EXPECT_EQ(test::read_file(dir / "all" / "b" / "b.txt"), (std::vector<uint8_t>{'B'}));
    EXPECT_TRUE(fs::exists(dir / "all" / "a.txt") && fs::exists(dir / "all" / "c.txt"));

    ProbeResult some = run_extract(dir, q(zip) + " " + q(dir / "some") + " --only 1,3");
    EXPECT_EQ(some.status, 0);
    EXPECT_TRUE(fs::exists(dir / "some" / "a.txt"));
    EXPECT_FALSE(fs::exists(dir / "some" / "b"));
    EXPECT_TRUE(fs::exists(dir / "some" / "c.txt"));
}

TEST(ProbeExtract, NoOverwriteKeepsExistingFiles)
{
    test::TempDir dir;
    const fs::path zip = three_files(dir);
    fs::create_directories(dir / "out");
    test::write_file(dir / "out" / "a.txt", std::string("mine"));
    // A file kept is an entry not extracted: the report says so and the run
    // is no success.
    const ProbeResult kept = run_extract(dir, q(zip) + " " + q(dir / "out") + " --no-overwrite");
    EXPECT_EQ(kept.status, 1);
    EXPECT_EQ(kept.out, "unpack\t0\nmessages\t0\nreport\textracted\t2\nreport\tskipped\tnot-overwritten\t1\n");
    EXPECT_EQ(test::read_file(dir / "out" / "a.txt"), (std::vector<uint8_t>{'m', 'i', 'n', 'e'}));
    EXPECT_EQ(run_extract(dir, q(zip) + " " + q(dir / "out")).status, 0);
    EXPECT_EQ(test::read_file(dir / "out" / "a.txt"), (std::vector<uint8_t>{'A'}));
}

TEST(ProbeExtract, PasswordOptionAnswersThePrompt)
{
    test::TempDir dir;
    const std::string text = "locked text\n";
    std::vector<uint8_t> bytes(text.begin(), text.end());
    Cls_Encrypt enc;
    enc.ZipEncryptArray(bytes, "open sesame", static_cast<int32_t>(test::crc_of(text)));
    const fs::path zip = dir / "enc.zip";
    test::write_file(zip, test::build_zip({{.name = "locked.txt",
                                            .data = std::string(bytes.begin(), bytes.end()),
                                            .flags = 1,
                                            .crc = test::crc_of(text),
                                            .uncompressed_size = static_cast<uint32_t>(text.size())}}));

    ProbeResult ok = run_extract(dir, q(zip) + " " + q(dir / "ok") + " --password 'open sesame'");
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(test::read_file(dir / "ok" / "locked.txt"), std::vector<uint8_t>(text.begin(), text.end()));

    // No option: the prompt gets an empty answer.
    ProbeResult none = run_extract(dir, q(zip) + " " + q(dir / "none"));
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "unpack\t-1\nmessages\t1\nreport\textracted\t0\nreport\tfailed\twrong-password\t1\n");
    EXPECT_EQ(none.err, "message\tVelmora Archive Extractor 1.0\tinformation\tInvalid Password.\n");
    EXPECT_FALSE(fs::exists(dir / "none" / "locked.txt"));
}

TEST(ProbeExtract, MessagesMakeTheRunFail)
{
    test::TempDir dir;
    const fs::path zip = dir / "bad.zip";
    test::write_file(zip, test::build_zip({{.name = "../up\ttab.txt", .data = "x"},
                                           {.name = "crc.txt", .data = "y", .crc = 1}}));
    ProbeResult r = run_extract(dir, q(zip) + " " + q(dir / "out"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "unpack\t0\nmessages\t2\nreport\textracted\t0\nreport\tskipped\tunsafe-name\t1\n"
                     "report\tfailed\tdamaged:CRC\t1\n");
    EXPECT_EQ(r.err, "message\tError\tinformation\tUnsafe path skipped: ../up\\ttab.txt\n"
                     "message\tError\tinformation\tCRC calculation failed.\n");
    EXPECT_FALSE(fs::exists(dir / "up\ttab.txt"));
    EXPECT_TRUE(fs::exists(dir / "out" / "crc.txt"));
}

TEST(ProbeExtract, UsageErrorsAndUnreadableArchives)
{
    test::TempDir dir;
    const fs::path zip = three_files(dir);
    for (const std::string& args : {q(zip), q(zip) + " out --only", q(zip) + " out --only 1,x", q(zip) + " out --only 0",
                                   q(zip) + " out --password", q(zip) + " out --bogus"}) {
        SCOPED_TRACE(args);
        const ProbeResult r = run_extract(dir, args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(fs::exists(dir / "out"));
    // Nothing could be loaded, so nothing was extracted.
    EXPECT_EQ(run_extract(dir, q(dir / "missing.zip") + " " + q(dir / "out")).status, 1);
    test::write_file(dir / "junk.zip", std::string("PK but not an archive"));
    EXPECT_EQ(run_extract(dir, q(dir / "junk.zip") + " " + q(dir / "out")).status, 1);
}

} // namespace
} // namespace velmora

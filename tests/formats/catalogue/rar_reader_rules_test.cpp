// Guards the RAR reader's own rules beyond the decoded bytes: RAR 5 property
// texts, the password box for encrypted headers and data (asked once, a
// refusal ends the run), solid streams decoded for a later entry without
// writing the earlier ones, volumes that are missing, links kept inside the
// output folder, Unix permissions and file times.
#include "support/Extraction.h"
#include "support/TestSupport.h"
#include "support/rar_test_archives.h"
#include "support/unar_oracle.h"

#include "formats/catalogue/Cls_Rar.h"
#include "formats/catalogue/Rar5Headers.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace velmora::test {
namespace {

std::filesystem::path rar(const char* name)
{
    return data_dir() / "rar" / name;
}

std::vector<std::string> titles(const HeadlessWindow& w)
{
    std::vector<std::string> out;
    for (const auto& m : w.messages)
        out.push_back(m.title + "|" + m.text);
    return out;
}

TEST(RarReaderRar5, ListsPropertiesInTheRarTablesWords)
{
    Extraction x(rar("rar5_sharpcompress_comment.rar"));
    EXPECT_EQ(x.files.state().PackFileType, format_code::rar);
    ASSERT_EQ(x.files.FileCount(), 6);
    EXPECT_EQ(x.files.CommentsPack(), "This is another comment\n");
    EXPECT_EQ(x.files.FileName(3), "тест.txt");
    EXPECT_EQ(x.files.Method(1), "Normal");
    EXPECT_EQ(x.files.SystemMadeBy(1), "Win32");
    EXPECT_EQ(x.files.VersionNeeded(1), "5.0");
    EXPECT_EQ(x.files.UnCompressed_Size(1), 45056);
    EXPECT_EQ(static_cast<uint32_t>(x.files.CRC32(1)), 0xCFB109C8u);
    EXPECT_TRUE(x.files.IsDir(4));
    EXPECT_EQ(x.files.Method(4), "No Compression");
    EXPECT_TRUE(x.files.CanUnpack());

    // Unix host, and the modification time shown in local time.
    ScopedEnv tz("TZ", "UTC");
    Extraction unix_made(rar("rar5_multiple_files.rar"));
    EXPECT_EQ(unix_made.files.SystemMadeBy(1), "UNIX");
    EXPECT_EQ(unix_made.files.Method(1), "Maximum");
    const auto headers = rar5::read_headers(read_file(rar("rar5_multiple_files.rar")));
    ASSERT_FALSE(headers.records.empty());
    int16_t date = 0, time = 0;
    UnixTimeToDos(*headers.records[0].modification_time(), date, time);
    EXPECT_EQ(unix_made.files.FileDateTime(1), DosDateTimeToDate(date, time));

    // Solid and encrypted flags.
    Extraction solid(rar("rar5_solid.rar"));
    auto* reader = dynamic_cast<Cls_Rar*>(solid.files.active_reader());
    ASSERT_NE(reader, nullptr);
    EXPECT_TRUE(reader->archive_facts().rar5);
    EXPECT_TRUE(reader->archive_facts().solid);
    Extraction psw(rar("rar5_rarfile_psw.rar"));
    int encrypted = 0;
    for (int32_t k = 1; k <= psw.files.FileCount(); ++k)
        encrypted += psw.files.Encrypted(k);
    EXPECT_GT(encrypted, 0);
}

// Encrypted headers: the password is asked while listing; without it (or
// with a wrong one) nothing is listed and the user is told so once.
struct header_password_case {
    const char* path;   // "corpus:" for the shared corpus
    const char* password;
    int32_t entries;
};

class RarHeaderPassword : public ::testing::TestWithParam<header_password_case> {};

TEST_P(RarHeaderPassword, AskedAtListingAndKeptForTheData)
{
    const auto& c = GetParam();
    std::string p = c.path;
    const auto path = p.starts_with("corpus:") ? corpus_dir() / "rar" / p.substr(7) : rar(c.path);
    if (p.starts_with("corpus:") && !corpus_available())
        GTEST_SKIP() << "no shared corpus";
    const std::string invalid = std::string(program_title) + "|Invalid Password.";
    for (const char* refused : {"", "not the password"}) {
        SCOPED_TRACE(refused);
        Extraction none(path, {refused});
        EXPECT_EQ(none.files.state().PackFileType, format_code::rar);
        EXPECT_EQ(none.files.FileCount(), 0);
        ASSERT_EQ(none.window.questions.size(), 1u);
        EXPECT_EQ(none.window.questions[0].text, "Please enter Password.");
        EXPECT_EQ(none.window.questions[0].title, "Password");
        EXPECT_EQ(titles(none.window), std::vector<std::string>{invalid});
    }
    Extraction x(path, {c.password});
    ASSERT_EQ(x.files.FileCount(), c.entries);
    TempDir dir;
    x.unpack(dir.path());
    // The data is decrypted with the password given for the headers.
    EXPECT_EQ(x.window.questions.size(), 1u);
    EXPECT_TRUE(x.report().all_extracted());
    EXPECT_TRUE(x.window.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(Archives, RarHeaderPassword,
                         ::testing::Values(header_password_case{"rar5_rarfile_hpsw.rar", "password", 2},
                                           header_password_case{"corpus:test_read_format_rar_encryption_header.rar",
                                                                "12345678", 2}));

TEST(RarReaderPassword, RefusedDataPasswordEndsTheRun)
{
    const std::string invalid = std::string(program_title) + "|Invalid Password.";
    // RAR 5 checks the password before decoding: the first encrypted entry
    // fails, the run stops and the rest are not reached.
    for (const char* refused : {"", "wrong"}) {
        SCOPED_TRACE(refused);
        TempDir dir;
        Extraction x(rar("rar5_rarfile_psw.rar"), {refused});
        EXPECT_EQ(x.unpack(dir.path()), -1);
        EXPECT_EQ(titles(x.window), std::vector<std::string>{invalid});
        EXPECT_EQ(x.report().count(EntryOutcome::failed), 1);
        EXPECT_EQ(x.report().count(EntryOutcome::extracted), 0);
        EXPECT_EQ(x.window.questions.size(), 1u);
    }
    // RAR 3 has no check value: a wrong password shows as data that does
    // not decode or match its CRC, and nothing of it is kept where a file
    // of that name exists.
    if (!corpus_available())
        GTEST_SKIP() << "no shared corpus";
    TempDir dir;
    write_file(dir / "a.txt", std::string("mine"));
    Extraction x(corpus_dir() / "rar" / "test_read_format_rar_encryption_data.rar", {"wrong"});
    x.unpack(dir.path());
    EXPECT_EQ(x.report().count(EntryOutcome::extracted), 0);
    for (int32_t k = 1; k <= x.files.FileCount(); ++k)
        EXPECT_EQ(x.outcome(k), "failed:wrong-password") << k;
    EXPECT_EQ(file_text(dir / "a.txt"), "mine");
}

TEST(RarReaderSolid, LaterEntryAloneDecodesTheOnesBeforeWithoutWritingThem)
{
    for (const char* name : {"rar5_solid.rar", "rar3/sharpcompress-Rar.solid.rar"}) {
        SCOPED_TRACE(name);
        TempDir all_dir, one_dir;
        Extraction all(rar(name));
        all.unpack(all_dir.path());
        ASSERT_TRUE(all.report().all_extracted());
        int32_t last = all.files.FileCount();
        while (last > 1 && all.files.IsDir(last))
            --last;
        Extraction one(rar(name));
        one.unpack(one_dir.path(), {last});
        EXPECT_EQ(one.report().count(EntryOutcome::extracted), 1);
        EXPECT_TRUE(one.report().all_extracted());
        std::vector<std::string> files;
        for (const auto& [path, content] : tree_of(one_dir.path())) {
            if (path.ends_with("/"))
                continue;
            files.push_back(path);
            EXPECT_EQ(content, file_text(all_dir / path));
        }
        EXPECT_EQ(files.size(), 1u) << "only the selected entry is written";
    }
}

TEST(RarReaderSolid, EntryNotOverwrittenStillFeedsTheStream)
{
    TempDir dir;
    Extraction first(rar("rar5_multiple_files_solid.rar"));
    write_file(dir / first.files.FileName(1), std::string("keep me"));
    first.window.overwrite = false;
    first.unpack(dir.path());
    EXPECT_EQ(first.outcome(1), "skipped:not-overwritten");
    EXPECT_EQ(file_text(dir / first.files.FileName(1)), "keep me");
    for (int32_t k = 2; k <= first.files.FileCount(); ++k)
        EXPECT_EQ(first.outcome(k), "extracted") << k;
}

TEST(RarReaderVolumes, EntryIntoAMissingVolumeIsSkippedAndFoundWhenThere)
{
    const char* const parts[] = {"rar5_multiarchive_solid.part01.rar", "rar5_multiarchive_solid.part02.rar",
                                 "rar5_multiarchive_solid.part03.rar", "rar5_multiarchive_solid.part04.rar"};
    TempDir src;
    std::filesystem::copy_file(rar(parts[0]), src / parts[0]);
    {
        TempDir out;
        Extraction x(src / parts[0]);
        x.unpack(out.path());
        int missing = 0;
        for (int32_t k = 1; k <= x.files.FileCount(); ++k)
            missing += x.outcome(k) == "skipped:missing-volume";
        EXPECT_EQ(missing, 1);
        EXPECT_EQ(x.report().count(EntryOutcome::extracted), x.files.FileCount() - 1);
    }
    for (const char* p : parts)
        std::filesystem::copy_file(rar(p), src / p, std::filesystem::copy_options::skip_existing);
    TempDir out;
    Extraction x(src / parts[0]);
    x.unpack(out.path());
    EXPECT_TRUE(x.report().all_extracted());
    // A part that starts in an earlier volume cannot be extracted from this one.
    Extraction second(src / parts[1]);
    ASSERT_GT(second.files.FileCount(), 0);
    TempDir out2;
    second.unpack(out2.path(), {1});
    EXPECT_EQ(second.outcome(1), "skipped:missing-volume");
}

// RAR 1.5-4.x volumes named "x.rar", "x.r00": a stored file split in two,
// each part with its own header (the first part's CRC covers that part, the
// last one's the whole file).
TEST(RarReaderVolumes, OldStyleVolumesJoinedAsUnarJoinsThem)
{
    std::vector<uint8_t> whole(70000);
    for (size_t i = 0; i < whole.size(); ++i)
        whole[i] = static_cast<uint8_t>((i * 7) ^ (i >> 9));
    const std::vector<uint8_t> first(whole.begin(), whole.begin() + 40000);
    const std::vector<uint8_t> second(whole.begin() + 40000, whole.end());
    rar4_file_spec a{.name = "split.bin", .packed = first, .unp_size = 70000, .crc = crc32_update(0, first),
                     .unp_ver = 20, .method = '0', .flags = 0x0002};
    rar4_file_spec b = a;
    b.packed = second;
    b.crc = crc32_update(0, whole);
    b.flags = 0x0001;
    TempDir src;
    write_file(src / "x.rar", make_rar4_archive({a}, 0x0001));
    {
        TempDir out;
        Extraction x(src / "x.rar");
        ASSERT_EQ(x.files.FileCount(), 1);
        x.unpack(out.path());
        EXPECT_EQ(x.outcome(1), "skipped:missing-volume");
        EXPECT_FALSE(std::filesystem::exists(out / "split.bin"));
    }
    write_file(src / "x.r00", make_rar4_archive({b}, 0x0001));
    TempDir out;
    Extraction x(src / "x.rar");
    x.unpack(out.path());
    EXPECT_EQ(x.outcome(1), "extracted");
    EXPECT_TRUE(read_file(out / "split.bin") == whole);
    if (have_unar()) {
        const auto theirs = unar_entry(src / "x.rar", 0);
        ASSERT_TRUE(theirs.has_value());
        EXPECT_TRUE(*theirs == whole);
    }
    // A second part whose data was damaged fails the whole file's CRC.
    auto bad = make_rar4_archive({b}, 0x0001);
    bad[bad.size() - 100] ^= 0x55;
    write_file(src / "x.r00", bad);
    TempDir out2;
    Extraction y(src / "x.rar");
    y.unpack(out2.path());
    EXPECT_EQ(y.outcome(1), "failed:damaged");
    EXPECT_EQ(y.message_texts(), std::vector<std::string>{"CRC error."});
}

TEST(RarReaderChecks, StoredDataCutShortIsASizeFaultAndLeavesNoFile)
{
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 13);
    rar4_file_spec a{.name = "s.bin", .packed = data, .unp_size = 1000, .crc = crc32_update(0, data), .unp_ver = 20,
                     .method = '0', .flags = 0};
    auto bytes = make_rar4_archive({a});
    bytes.resize(bytes.size() - 7 - 500); // the end block and half the data
    TempDir dir;
    write_file(dir / "cut.rar", bytes);
    Extraction x(dir / "cut.rar");
    ASSERT_EQ(x.files.FileCount(), 1);
    x.unpack(dir / "out");
    EXPECT_EQ(x.outcome(1), "failed:damaged");
    EXPECT_EQ(x.message_texts(), std::vector<std::string>{"Error in decompressed size."});
    EXPECT_FALSE(std::filesystem::exists(dir / "out" / "s.bin"));
}

TEST(RarReaderVolumes, NextVolumeNames)
{
    const std::pair<const char*, const char*> names[] = {
        {"a/x.part1.rar", "a/x.part2.rar"},   {"x.part09.rar", "x.part10.rar"}, {"x.part99.rar", "x.part100.rar"},
        {"x.PART01.RAR", "x.PART02.RAR"},     {"x.rar", "x.r00"},               {"x.r00", "x.r01"},
        {"x.r41", "x.r42"},                   {"x.r99", ""},                    {"x.zip", ""},
        {"part1.dir/x.rar", "part1.dir/x.r00"},
    };
    for (const auto& [from, to] : names)
        EXPECT_EQ(rar_next_volume_name(from), to) << from;
}

TEST(RarReaderLinks, SymbolicAndHardLinksStayInsideTheOutputFolder)
{
    TempDir dir;
    Extraction sym(rar("rar5_symlink.rar"));
    sym.unpack(dir.path());
    EXPECT_TRUE(sym.report().all_extracted());
    EXPECT_EQ(std::filesystem::read_symlink(dir / "symlink.txt"), "file.txt");
    EXPECT_EQ(std::filesystem::read_symlink(dir / "dirlink"), "dir");

    TempDir hard_dir;
    Extraction hard(rar("rar5_hardlink.rar"));
    hard.unpack(hard_dir.path());
    EXPECT_TRUE(hard.report().all_extracted());
    EXPECT_EQ(stat_of(hard_dir / "hardlink.txt").st_ino, stat_of(hard_dir / "file.txt").st_ino);

    // RAR 1.5-4.x: a Unix symbolic link keeps its target as its data.
    if (corpus_available()) {
        TempDir old_dir;
        Extraction old(corpus_dir() / "rar" / "test_read_format_rar.rar");
        old.unpack(old_dir.path());
        EXPECT_TRUE(old.report().all_extracted());
        EXPECT_EQ(std::filesystem::read_symlink(old_dir / "testlink"), "test.txt");
    }

    // A hard link whose target was not extracted in this run is refused.
    TempDir alone_dir;
    Extraction alone(rar("rar5_hardlink.rar"));
    int32_t link = 0;
    for (int32_t k = 1; k <= alone.files.FileCount(); ++k)
        if (alone.files.FileName(k) == "hardlink.txt")
            link = k;
    ASSERT_NE(link, 0);
    alone.unpack(alone_dir.path(), {link});
    EXPECT_EQ(alone.outcome(link), "skipped:link-refused");
    EXPECT_FALSE(std::filesystem::exists(alone_dir / "hardlink.txt"));
    ASSERT_EQ(alone.message_texts().size(), 1u);
    EXPECT_EQ(alone.message_texts()[0], "Link target not extracted: hardlink.txt");
}

TEST(RarReaderAttributes, UnixPermissionsAndModificationTimes)
{
    TempDir dir;
    TempDir src;
    for (const char* p : {"rar5_multiarchive_solid.part01.rar", "rar5_multiarchive_solid.part02.rar",
                          "rar5_multiarchive_solid.part03.rar", "rar5_multiarchive_solid.part04.rar"})
        std::filesystem::copy_file(rar(p), src / p);
    Extraction v(src / "rar5_multiarchive_solid.part01.rar");
    v.unpack(dir.path());
    ASSERT_TRUE(v.report().all_extracted());
    const auto headers = rar5::read_headers(read_file(rar("rar5_multiarchive_solid.part01.rar")));
    const mode_t umask = current_umask();
    for (const auto& r : headers.records) {
        if (r.is_service() || r.split_before() || r.is_dir())
            continue;
        SCOPED_TRACE(r.name);
        const struct stat st = stat_of(dir / r.name);
        ASSERT_EQ(r.host, 1u);
        // rwx bits as stored (owner keeps read and write), less the umask.
        EXPECT_EQ(st.st_mode & 0777, (r.attributes & 0777 & ~umask) | 0600);
        EXPECT_EQ(st.st_mtim.tv_sec, *r.modification_time());
    }
    // Windows attributes carry no permissions: default ones.
    TempDir win_dir;
    Extraction win(rar("rar5_win32.rar"));
    win.unpack(win_dir.path());
    EXPECT_EQ(stat_of(win_dir / "test.bin").st_mode & 0777, 0666 & ~umask);
}

} // namespace
} // namespace velmora::test

// Guards the ZIP listing against real-world archives: every ZIP of the shared
// corpus, loaded through the dispatcher as the window does, must list the
// names, sizes, CRCs, dates and flags the peers agree on.
#include "formats/zip/Cls_Zip.h"
#include "formats/zip/zip_corpus_expectations.h"

#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

test::ZipListing list_with_dispatcher(Cls_GetFileType& files, const std::string& path)
{
    test::ZipListing l;
    l.result = files.Get_Contents(path);
    l.type = files.state().PackFileType;
    l.count = files.FileCount();
    l.comment = files.CommentsPack();
    for (int32_t k = 1; k <= l.count; ++k) {
        l.entries.push_back({
            .name = files.FileName(k),
            .method = files.Method(k),
            .compressed_size = files.Compressed_Size(k),
            .uncompressed_size = files.UnCompressed_Size(k),
            .crc = static_cast<uint32_t>(files.CRC32(k)),
            .encrypted = files.Encrypted(k),
            .is_dir = files.IsDir(k),
            .datetime = files.FileDateTime(k).to_string(),
            .system_made_by = files.SystemMadeBy(k),
            .version_made_by = files.VersionMadeBy(k),
            .system_needed = files.SystemNeeded(k),
            .version_needed = files.VersionNeeded(k),
            .comment = files.CommentsFile(k),
        });
    }
    return l;
}

TEST(ZipCorpusListing, EveryCorpusZipListsAsThePeersOrAsTheRulesSay)
{
    if (!test::corpus_available())
        GTEST_SKIP() << "shared corpus not present";
    const auto archives = test::corpus_zip_archives();
    ASSERT_GE(archives.size(), 40u);
    HeadlessWindow window;
    Cls_GetFileType files(window);
    for (const auto& archive : archives) {
        const size_t boxes = window.messages.size();
        test::expect_matches_corpus(list_with_dispatcher(files, archive.string()), archive);
        EXPECT_LE(window.messages.size(), boxes + 1) << archive.filename();
    }
    // One reader object served every ZIP.
    EXPECT_NE(files.slot(ReaderKind::zip), nullptr);
}

TEST(ZipCorpusListing, DifferenceTablesNameRealCorpusFiles)
{
    if (!test::corpus_available())
        GTEST_SKIP() << "shared corpus not present";
    for (const auto& [file, why] : test::corpus_not_loaded())
        EXPECT_TRUE(std::filesystem::exists(test::corpus_dir() / "zip" / file)) << file;
    for (const auto& [key, why] : test::corpus_entry_overrides())
        EXPECT_TRUE(std::filesystem::exists(test::corpus_dir() / "zip" / key.first)) << key.first;
}

TEST(ZipCorpusListing, PaddedArchivesAreStillReadableByTheZipReaderItself)
{
    // The dispatcher turns these away on their first two bytes; the reader
    // alone finds their end record and directory, whose offsets count from the
    // start of the file.
    if (!test::corpus_available())
        GTEST_SKIP() << "shared corpus not present";
    HeadlessWindow window;
    ArchiveState state(window);
    Cls_Zip zip(state);
    zip.Get_Contents((test::corpus_dir() / "zip" / "test_compat_zip_4.zip").string());
    const auto want = test::read_json(test::corpus_dir() / "zip" / "test_compat_zip_4.zip.expected.json");
    ASSERT_EQ(state.PackFileType, format_code::zip);
    ASSERT_EQ(zip.FileCount(), static_cast<int32_t>(want["entries"].size()));
    for (int32_t k = 1; k <= zip.FileCount(); ++k)
        EXPECT_EQ(zip.FileName(k), want["entries"][static_cast<size_t>(k - 1)]["name"].get<std::string>());
}

TEST(ZipCorpusListing, LegacyReduceAndDeflate64ArchivesList)
{
    if (!test::corpus_available())
        GTEST_SKIP() << "shared corpus not present";
    const auto legacy = test::corpus_dir() / "zip-legacy";
    const auto want = test::read_json(legacy / "expected.json");
    HeadlessWindow window;
    Cls_GetFileType files(window);
    const std::map<int, std::string> method_text = {
        {0, "No Compression"}, {5, "Reduce Factor 4"}, {8, "Deflated"}, {9, "Enhanced Deflating"}};
    for (const auto& [name, archive] : want.at("archives").items()) {
        SCOPED_TRACE(name);
        const test::ZipListing got = list_with_dispatcher(files, (legacy / name).string());
        ASSERT_EQ(got.type, 1);
        const auto& entries = archive.at("entries");
        ASSERT_EQ(got.entries.size(), entries.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            const auto& w = entries[i];
            const auto& g = got.entries[i];
            EXPECT_EQ(g.name, w.at("name").get<std::string>());
            EXPECT_EQ(g.method, method_text.at(w.at("method").get<int>()));
            EXPECT_EQ(g.compressed_size, w.at("compressed_size").get<int32_t>());
            EXPECT_EQ(g.uncompressed_size, w.at("uncompressed_size").get<int32_t>());
            EXPECT_EQ(g.crc, test::parse_hex32(w.at("crc32").get<std::string>()));
            EXPECT_EQ(g.is_dir, w.value("directory", false));
            EXPECT_FALSE(g.encrypted);
        }
    }
    // Hostile files: listed or refused, without a crash or a flood of boxes.
    for (const auto& [name, why] : want.at("hostile").items()) {
        const size_t boxes = window.messages.size();
        list_with_dispatcher(files, (legacy / name).string());
        EXPECT_LE(window.messages.size(), boxes + 1) << name;
    }
    EXPECT_EQ(list_with_dispatcher(files, (legacy / "deflate64_issue_25.zip").string()).type, 0);
}

} // namespace
} // namespace velmora

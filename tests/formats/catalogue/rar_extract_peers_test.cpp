// Guards RAR extraction through the reader (every unpack version, solid
// streams, encryption, volumes, links) against writing anything other than
// what unar or bsdtar extract: each file we write must match a peer's, and
// the few no peer can extract are counted (their stored CRC-32 or BLAKE2sp
// decided, which the reader checks before it reports "extracted").
#include "support/Extraction.h"
#include "support/TestSupport.h"
#include "support/unar_oracle.h"

#include <gtest/gtest.h>

#include <fstream>

namespace velmora::test {
namespace {

struct peer_case {
    const char* path;         // under tests/data/rar, or "corpus:" + a name under the corpus's rar folder
    const char* password;
    int extracted;            // entries the reader reports extracted (folders and links too)
    int failed;
    int without_peer;         // files neither unar nor bsdtar gives as we do
};

const peer_case peer_cases[] = {
    // RAR 1.5 and 2.0
    {"rar15_comment.rar", "", 2, 0, 1},
    {"rar15_sharpcompress.rar", "", 5, 0, 0},
    {"rar20_sharpcompress.rar", "", 5, 0, 0},
    {"rar20_unix_owner.rar", "", 1, 0, 0},
    // RAR 2.9-4.x: LZ, PPMd, filters, solid
    {"rar3/rarfile-rar3-solid.rar", "", 2, 0, 0},
    {"rar3/sharpcompress-Rar.solid.rar", "", 6, 0, 0},
    {"rar3/test_read_format_rar3_lowdist_reset.rar", "", 1, 0, 0},
    {"rar3/test_read_format_rar_compress_best.rar", "", 6, 0, 0},
    {"rar3/test_read_format_rar_multi_lzss_blocks.rar", "", 1, 0, 0},
    {"rar3/test_read_format_rar_ppmd_lzss_conversion.rar", "", 1, 0, 0},
    // RAR 5
    {"rar5_arm.rar", "", 1, 0, 0},
    {"rar5_blake2.rar", "", 1, 0, 0},
    {"rar5_compressed.rar", "", 1, 0, 0},
    {"rar5_multiple_files.rar", "", 4, 0, 0},
    {"rar5_multiple_files_solid.rar", "", 4, 0, 0},
    {"rar5_solid.rar", "", 7, 0, 0},
    {"rar5_win32.rar", "", 8, 0, 0},
    {"rar5_fileattr.rar", "", 8, 0, 0},
    {"rar5_extra_field_version.rar", "", 2, 0, 0},
    {"rar5_owner.rar", "", 3, 0, 0},
    {"rar5_rarfile_blake.rar", "", 2, 0, 0},
    {"rar5_rarfile_crc.rar", "", 2, 0, 0},
    {"rar5_rarfile_quick_open.rar", "", 2, 0, 0},
    {"rar5_rarfile_times.rar", "", 1, 0, 0},
    {"rar5_rarfile_times2.rar", "", 1, 0, 0},
    {"rar5_rarfile_versions.rar", "", 3, 0, 0},
    {"rar5_sharpcompress_comment.rar", "", 6, 0, 0},
    {"rar5_sharpcompress_large.rar", "", 1, 0, 0},
    {"rar5_stored.rar", "", 1, 0, 0},
    {"rar5_symlink.rar", "", 4, 0, 0},
    {"rar5_hardlink.rar", "", 2, 0, 0},
    {"rar5_unicode.rar", "", 3, 0, 0},
    {"rar5_multiarchive_solid.part01.rar", "", 9, 0, 1},
    // RAR 5 encryption: data only, and headers too
    {"rar5_rarfile_psw.rar", "password", 2, 0, 0},
    {"rar5_rarfile_hpsw.rar", "password", 2, 0, 0},
    {"rar5_encrypted_filenames.rar", "password", 4, 0, 1},
    // libarchive's RAR 1.5-4.x archives of the shared corpus
    {"corpus:test_read_format_rar.rar", "", 5, 0, 0},
    {"corpus:test_read_format_rar_compress_normal.rar", "", 6, 0, 0},
    {"corpus:test_read_format_rar_filter.rar", "", 1, 0, 0},
    {"corpus:test_read_format_rar_noeof.rar", "", 1, 0, 0},
    {"corpus:test_read_format_rar_subblock.rar", "", 1, 0, 0},
    {"corpus:test_read_format_rar_unicode.rar", "", 6, 0, 0},
    {"corpus:test_read_format_rar_windows.rar", "", 5, 0, 0},
    {"corpus:test_read_splitted_rar_aa", "", 1, 0, 0},
    // RAR 3 AES, which this unar does not decrypt: the stored CRC-32 decides.
    // d.txt of the non-solid one is under another password.
    {"corpus:test_read_format_rar4_encrypted.rar", "password", 3, 1, 1},
    {"corpus:test_read_format_rar4_solid_encrypted.rar", "password", 4, 0, 4},
    {"corpus:test_read_format_rar4_encrypted_filenames.rar", "password", 4, 0, 4},
    {"corpus:test_read_format_rar4_solid_encrypted_filenames.rar", "password", 4, 0, 4},
    {"corpus:test_read_format_rar_encryption_data.rar", "12345678", 2, 0, 2},
    {"corpus:test_read_format_rar_encryption_header.rar", "12345678", 2, 0, 2},
    {"corpus:test_read_format_rar_encryption_partially.rar", "12345678", 2, 0, 1},
};

void PrintTo(const peer_case& c, std::ostream* os)
{
    *os << c.path;
}

std::filesystem::path case_path(const peer_case& c)
{
    const std::string p = c.path;
    if (p.starts_with("corpus:"))
        return corpus_dir() / "rar" / p.substr(7);
    return data_dir() / "rar" / p;
}

std::string case_name(const ::testing::TestParamInfo<peer_case>& info)
{
    std::string n = info.param.path;
    for (char& ch : n)
        if (!std::isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    return n;
}

class RarExtractPeers : public ::testing::TestWithParam<peer_case> {};

TEST_P(RarExtractPeers, EveryFileMatchesAPeerOrItsStoredChecksum)
{
    const peer_case& c = GetParam();
    const auto archive = case_path(c);
    if (std::string(c.path).starts_with("corpus:") && !corpus_available())
        GTEST_SKIP() << "no shared corpus";
    if (!have_unar() || !have_bsdtar())
        GTEST_SKIP() << "unar or bsdtar missing";
    TempDir dir;
    Extraction x(archive, {c.password, c.password});
    ASSERT_GT(x.files.FileCount(), 0);
    // Spaced updates, as the program's window asks for them: small files go
    // through the run's writer thread (the other tests write every file
    // on the spot).
    x.window.interval_ms = 25;
    x.unpack(dir / "ours");
    EXPECT_EQ(x.report().count(EntryOutcome::extracted), c.extracted);
    EXPECT_EQ(x.report().count(EntryOutcome::failed), c.failed);

    unar_extract_all(archive, dir / "unar", c.password);
    if (std::string(c.password).empty())
        bsdtar_extract_all(archive, dir / "bsdtar");
    // Files are compared in pieces: some entries are hundreds of MiB.
    const auto same_file = [](const std::filesystem::path& a, const std::filesystem::path& b) {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(b, ec) || std::filesystem::file_size(a) != std::filesystem::file_size(b, ec))
            return false;
        std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
        std::vector<char> ba(1 << 20), bb(1 << 20);
        while (fa && fb) {
            fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
            fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
            if (fa.gcount() != fb.gcount() || !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin()))
                return false;
        }
        return true;
    };
    int without_peer = 0;
    int files = 0;
    const auto ours = dir / "ours";
    for (const auto& e : std::filesystem::recursive_directory_iterator(ours)) {
        if (e.is_symlink() || !e.is_regular_file())
            continue; // folders and links: their own tests
        ++files;
        const auto rel = e.path().lexically_relative(ours);
        if (!same_file(e.path(), dir / "unar" / rel) && !same_file(e.path(), dir / "bsdtar" / rel))
            ++without_peer;
    }
    EXPECT_GT(files, 0);
    EXPECT_EQ(without_peer, c.without_peer);
}

INSTANTIATE_TEST_SUITE_P(Archives, RarExtractPeers, ::testing::ValuesIn(peer_cases), case_name);

} // namespace
} // namespace velmora::test

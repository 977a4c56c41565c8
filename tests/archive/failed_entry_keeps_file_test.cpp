// Guards the user's existing files against entries that fail: with
// "Overwrite Existing Files" on, data that could not be decoded must write
// nothing, and data that decoded but failed its CRC or size check (a damaged
// archive, a wrong password that passed the one-byte check) must never replace
// a file that is already there. Where no file of that name exists the damaged
// data is still written, so it can be recovered, as the peers allow.
#include "formats/zip/Cls_Encrypt.h"
#include "formats/zip/zip_test_builder.h"
#include "support/Extraction.h"
#include "support/TarBuilder.h"

#include <gtest/gtest.h>
#include <zlib.h>

using namespace velmora;
using namespace velmora::test;
namespace fs = std::filesystem;

namespace {

const std::string original = "the user's own file, which must survive";
const std::string payload = "payload of the archive entry, long enough to be worth compressing";

std::string gzip_with_crc(const std::string& data, uint32_t crc)
{
    std::string out = {'\x1f', '\x8b', 8, 8, 0, 0, 0, 0, 0, 3};
    out += "victim.txt";
    out += '\0';
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string raw(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(raw.data());
    z.avail_out = static_cast<uInt>(raw.size());
    deflate(&z, Z_FINISH);
    raw.resize(z.total_out);
    deflateEnd(&z);
    out += raw;
    for (const uint32_t v : {crc, static_cast<uint32_t>(data.size())})
        for (int i = 0; i < 4; ++i)
            out += static_cast<char>(v >> (8 * i));
    return out;
}

// A ZIP entry stored and encrypted with `password`.
ZipTestEntry encrypted_entry(const std::string& password)
{
    std::vector<uint8_t> bytes(payload.begin(), payload.end());
    Cls_Encrypt crypt;
    crypt.ZipEncryptArray(bytes, password, static_cast<int32_t>(crc_of(payload)));
    ZipTestEntry e{.name = "victim.txt", .data = std::string(bytes.begin(), bytes.end())};
    e.flags = 1;
    e.crc = crc_of(payload);
    e.uncompressed_size = static_cast<uint32_t>(payload.size());
    return e;
}

// A wrong password whose decrypted check byte happens to match.
std::string wrong_password_passing_check(const ZipTestEntry& e)
{
    for (int i = 0;; ++i) {
        const std::string guess = "guess" + std::to_string(i);
        std::vector<uint8_t> head(e.data.begin(), e.data.begin() + 12);
        Cls_Encrypt trial;
        trial.ZipPrepareKey(head, guess);
        if (head[11] == static_cast<uint8_t>(*e.crc >> 24))
            return guess;
    }
}

struct Case {
    const char* what;
    std::string file_name;
    std::string archive;
    bool written_when_absent; // the damaged data decoded and is kept where nothing was
    std::string password;
};

std::vector<Case> cases()
{
    std::vector<Case> out;
    {
        ZipTestEntry e{.name = "victim.txt", .data = payload};
        e.crc = crc_of(payload) ^ 1;
        const auto z = build_zip({e});
        out.push_back({"zip stored entry with a wrong CRC", "bad-crc.zip", std::string(z.begin(), z.end()), true, ""});
    }
    {
        ZipTestEntry e{.name = "victim.txt", .data = std::string(64, '\xff')};
        e.method = 8;
        e.uncompressed_size = 100;
        const auto z = build_zip({e});
        out.push_back({"zip deflate entry that cannot be decoded", "undecodable.zip", std::string(z.begin(), z.end()), false, ""});
    }
    {
        const ZipTestEntry e = encrypted_entry("right password");
        const auto z = build_zip({e});
        out.push_back({"zip entry under a wrong password that passes the check", "wrong-password.zip",
                       std::string(z.begin(), z.end()), true, wrong_password_passing_check(e)});
    }
    out.push_back({"gzip member with a wrong CRC", "victim.txt.gz", gzip_with_crc(payload, crc_of(payload) ^ 4), true, ""});
    {
        TarMember m("victim.txt", payload);
        std::string t = tar_member(m);
        t.resize(512 + 10); // the data cut short
        out.push_back({"tar member cut short", "cut.tar", t, false, ""});
    }
    return out;
}

} // namespace

TEST(FailedEntries, NeverReplaceAnExistingFileAndUndecodableDataWritesNothing)
{
    for (const Case& c : cases()) {
        TempDir dir;
        const fs::path archive = dir / c.file_name;
        write_file(archive, c.archive);

        // An existing file, overwriting on.
        fs::create_directories(dir / "out");
        write_file(dir / "out" / "victim.txt", original);
        ASSERT_EQ(file_text(dir / "out" / "victim.txt"), original);
        {
            Extraction x(archive);
            x.window.overwrite = true;
            x.window.input_answers.push_back(c.password);
            x.unpack(dir / "out");
            EXPECT_EQ(file_text(dir / "out" / "victim.txt"), original) << c.what;
            EXPECT_FALSE(x.window.messages.empty()) << c.what;
            EXPECT_EQ(x.report().count(EntryOutcome::failed), 1) << c.what;
            for (const auto& e : fs::directory_iterator(dir / "out"))
                EXPECT_EQ(e.path().filename(), "victim.txt") << c.what << ": a temporary file was left";
        }
        // No file of that name: decoded data is kept for recovery, the rest
        // leaves nothing.
        {
            Extraction x(archive);
            x.window.input_answers.push_back(c.password);
            x.unpack(dir / "fresh");
            EXPECT_EQ(fs::exists(dir / "fresh" / "victim.txt"), c.written_when_absent) << c.what;
            if (fs::exists(dir / "fresh"))
                for (const auto& e : fs::directory_iterator(dir / "fresh"))
                    EXPECT_EQ(e.path().filename(), "victim.txt") << c.what << ": a temporary file was left";
        }
    }
}

// Guards names and passwords in the legacy encodings DOS and Windows tools
// used: a name stored without the UTF-8 flag is read in the OEM code page of
// the user's language (866 for Russian, 932 for Japanese, ...), as 7-Zip and
// Info-ZIP read it; and a password typed in the window is tried in each byte
// form it may have been set in, the next form getting its turn when one passes
// the one-byte check but the entry then fails its CRC.
#include "formats/zip/Cls_Encrypt.h"
#include "formats/zip/zip_test_builder.h"
#include "archive/TextDecoding.h"
#include "support/Extraction.h"

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;
namespace fs = std::filesystem;

namespace {

// The bytes of UTF-8 text in a code page, as iconv(1) makes them.
std::string encode(const std::string& utf8, const std::string& code_page)
{
    TempDir dir;
    write_file(dir / "in", utf8);
    std::string out;
    run_command("iconv -f UTF-8 -t " + code_page + " " + shell_quote((dir / "in").string()), &out);
    return out;
}

} // namespace

TEST(ZipLegacyNames, NamesWithoutTheUtf8FlagAreReadInTheOemCodePageOfTheSessionLanguage)
{
    if (!have_tool("iconv"))
        GTEST_SKIP() << "iconv not installed";
    struct Case {
        const char* locale_variable;
        const char* locale;
        const char* code_page;
        std::string name;
    };
    const std::vector<Case> cases = {
        {"LANG", "ru_RU.UTF-8", "CP866", "тест.txt"},
        {"LANG", "uk_UA.UTF-8", "CP866", "файл.txt"},
        {"LANG", "el_GR.UTF-8", "CP737", "δοκιμή.txt"},
        {"LANG", "tr_TR.UTF-8", "CP857", "dosya_ışık.txt"},
        {"LANG", "ja_JP.UTF-8", "CP932", "テスト.txt"},
        {"LANG", "zh_CN.UTF-8", "CP936", "测试.txt"},
        {"LANG", "ko_KR.UTF-8", "CP949", "시험.txt"},
        {"LANG", "zh_TW.UTF-8", "CP950", "測試.txt"},
        {"LANG", "de_DE.UTF-8", "CP850", "Grüße.txt"},
        {"LANG", "pl_PL.UTF-8", "CP852", "żółw.txt"},
        {"LC_ALL", "ru_RU", "CP866", "тест.txt"},          // LC_ALL wins over LANG
        {"LC_CTYPE", "ja_JP.eucJP", "CP932", "テスト.txt"}, // any codeset, installed or not
        {"LANG", "en_US.UTF-8", "CP437", "Straße_½.txt"},
        {"LANG", "C", "CP437", "Straße_½.txt"},
    };
    for (const Case& c : cases) {
        ScopedEnv lang("LANG", "en_US.UTF-8");
        ScopedEnv all("LC_ALL", "");
        ScopedEnv ctype("LC_CTYPE", "");
        ScopedEnv chosen(c.locale_variable, c.locale);
        const std::string stored = encode(c.name, c.code_page);
        ASSERT_FALSE(stored.empty()) << c.code_page;
        TempDir dir;
        const auto zip = build_zip({{.name = stored, .data = "x", .made_by = 0x0014}});
        write_file(dir / "legacy.zip", zip);
        Extraction x(dir / "legacy.zip");
        EXPECT_EQ(x.files.FileName(1), c.name) << c.locale_variable << "=" << c.locale;
        x.unpack(dir / "out");
        EXPECT_TRUE(fs::exists(dir / "out" / c.name)) << c.locale;
    }
}

TEST(ZipLegacyNames, Utf8NamesAndTheUtf8FlagComeFirstWhateverTheLanguage)
{
    ScopedEnv lang("LANG", "ru_RU.UTF-8");
    ScopedEnv all("LC_ALL", "");
    TempDir dir;
    const std::string cp437_bytes = "\x81ber.txt"; // "über" in code page 437: not UTF-8
    const auto zip = build_zip({{.name = "naïve.txt", .data = "a"}, {.name = cp437_bytes, .data = "b", .flags = 0x0800}});
    write_file(dir / "mixed.zip", zip);
    Extraction x(dir / "mixed.zip");
    EXPECT_EQ(x.files.FileName(1), "naïve.txt");
    // Flagged as UTF-8 but not valid UTF-8: kept as stored (the flag wins).
    EXPECT_EQ(x.files.FileName(2), cp437_bytes);
}

TEST(ZipPasswordForms, TheNextFormIsTriedWhenOnePassesTheCheckButFailsItsCrc)
{
    const std::string typed = "pässwörd"; // as typed in the window: UTF-8
    const auto cp437 = utf8_to_cp437(typed);
    ASSERT_TRUE(cp437);
    const std::string content = "set by a DOS tool, in code page 437";
    // Encrypt with the code page 437 form until the UTF-8 form happens to
    // pass the one-byte check too (1 chance in 256 per random header).
    ZipTestEntry e;
    for (int attempt = 0; attempt < 100000; ++attempt) {
        std::vector<uint8_t> bytes(content.begin(), content.end());
        Cls_Encrypt crypt;
        crypt.ZipEncryptArray(bytes, *cp437, static_cast<int32_t>(crc_of(content)));
        std::vector<uint8_t> head(bytes.begin(), bytes.begin() + 12);
        Cls_Encrypt trial;
        trial.ZipPrepareKey(head, typed);
        if (head[11] != static_cast<uint8_t>(crc_of(content) >> 24))
            continue;
        e = {.name = "dos.txt", .data = std::string(bytes.begin(), bytes.end()), .flags = 1};
        e.crc = crc_of(content);
        e.uncompressed_size = static_cast<uint32_t>(content.size());
        break;
    }
    ASSERT_FALSE(e.name.empty());
    TempDir dir;
    write_file(dir / "dos.zip", build_zip({e}));
    Extraction x(dir / "dos.zip");
    x.window.input_answers.push_back(typed);
    EXPECT_EQ(x.unpack(dir / "out"), 0);
    EXPECT_TRUE(x.window.messages.empty()) << x.window.messages[0].text;
    EXPECT_EQ(file_text(dir / "out" / "dos.txt"), content);
    EXPECT_EQ(x.outcome(1), "extracted");
}

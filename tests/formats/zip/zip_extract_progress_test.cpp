// Guards what a ZIP extraction shows the window while it runs: the progress
// passes and percentages, the cancel question, the one password prompt per
// call, and the selection check that refuses to start.
#include "formats/zip/Cls_Encrypt.h"
#include "formats/zip/Cls_Zip.h"
#include "formats/zip/zip_extract_support.h"
#include "formats/zip/zip_test_builder.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

using test::ZipTestEntry;

std::vector<ZipTestEntry> plain_entries(int n)
{
    std::vector<ZipTestEntry> out;
    for (int k = 1; k <= n; ++k)
        out.push_back({.name = "f" + std::to_string(k) + ".txt", .data = "entry " + std::to_string(k) + "\n"});
    return out;
}

// A stored entry encrypted with the traditional cipher under password. The
// encryption header is random; one that would let `refused` pass the check
// byte by chance (1 in 256) is drawn again, so the tests stay deterministic.
ZipTestEntry encrypted_entry(const std::string& name, const std::string& text, const std::string& password,
                             const std::string& refused = "wrong-password")
{
    std::vector<uint8_t> bytes;
    for (;;) {
        bytes.assign(text.begin(), text.end());
        Cls_Encrypt enc;
        enc.ZipEncryptArray(bytes, password, static_cast<int32_t>(test::crc_of(text)));
        std::vector<uint8_t> head(bytes.begin(), bytes.begin() + 12);
        Cls_Encrypt trial;
        trial.ZipPrepareKey(head, refused);
        if (head[11] != static_cast<uint8_t>(test::crc_of(text) >> 24))
            break;
    }
    return {.name = name,
            .data = std::string(bytes.begin(), bytes.end()),
            .flags = 1,
            .crc = test::crc_of(text),
            .uncompressed_size = static_cast<uint32_t>(text.size())};
}

TEST(ZipExtractProgress, ThreeEntriesOnlyTheSecondSelected)
{
    test::TempDir dir;
    test::ZipExtraction x(test::save_zip(dir, "three.zip", test::build_zip(plain_entries(3))));
    ASSERT_EQ(x.files.FileCount(), 3);
    EXPECT_EQ(x.unpack(dir / "out", {2}), 0);

    EXPECT_EQ(test::tree_of(dir / "out"), (std::map<std::string, std::string>{{"f2.txt", "entry 2\n"}}));
    EXPECT_EQ(x.window.progress_max, 3);
    EXPECT_EQ(x.window.progress_values, (std::vector<int32_t>{0, 1, 2, 3, 4}));
    // Reset, then one caption per pass; the last pass keeps "100%".
    EXPECT_EQ(x.window.percent_captions, (std::vector<std::string>{"", "33%", "67%", "100%", "100%"}));
    EXPECT_TRUE(x.window.percent_visible);
    EXPECT_EQ(x.window.progress_color, progress_color_running);
    EXPECT_FALSE(x.window.buttons_enabled); // the window enables them again after UnPack
    EXPECT_TRUE(x.window.messages.empty());
    EXPECT_TRUE(x.window.questions.empty());
}

TEST(ZipExtractProgress, EightEntriesRoundHalvesToEven)
{
    test::TempDir dir;
    test::ZipExtraction x(test::save_zip(dir, "eight.zip", test::build_zip(plain_entries(8))));
    EXPECT_EQ(x.unpack(dir / "out"), 0);
    EXPECT_EQ(x.window.percent_captions,
              (std::vector<std::string>{"", "12%", "25%", "38%", "50%", "62%", "75%", "88%", "100%", "100%"}));
    EXPECT_EQ(x.window.progress_value, 9);
    EXPECT_EQ(test::tree_of(dir / "out").size(), 8u);
}

// Sets the cancel flag once, during the pass that shows Value 2 (entry 1).
void press_cancel_in_second_pass(test::ZipExtraction& x)
{
    x.window.on_yield = [&x, pressed = false]() mutable {
        if (!pressed && x.window.progress_value == 2) {
            pressed = true;
            x.files.state().CancelRequested = true;
        }
    };
}

TEST(ZipExtractProgress, CancelAnsweredNoGoesOn)
{
    test::TempDir dir;
    test::ZipExtraction x(test::save_zip(dir, "a.zip", test::build_zip(plain_entries(3))));
    press_cancel_in_second_pass(x);
    x.window.yes_no_answers = {false};
    EXPECT_EQ(x.unpack(dir / "out"), 0);

    ASSERT_EQ(x.window.questions.size(), 1u);
    EXPECT_EQ(x.window.questions[0].text, "Do you want to cancel?");
    EXPECT_EQ(x.window.questions[0].title, "Velmora Archive Extractor 1.0");
    EXPECT_EQ(test::tree_of(dir / "out").size(), 3u);
    EXPECT_EQ(x.window.progress_color, progress_color_running);
    EXPECT_FALSE(x.files.state().CancelRequested);
    EXPECT_EQ(x.window.progress_value, 4);
}

TEST(ZipExtractProgress, CancelAnsweredYesStopsAndResetsTheDisplay)
{
    test::TempDir dir;
    test::ZipExtraction x(test::save_zip(dir, "a.zip", test::build_zip(plain_entries(3))));
    press_cancel_in_second_pass(x);
    x.window.yes_no_answers = {true};
    EXPECT_EQ(x.unpack(dir / "out"), 0);

    EXPECT_EQ(x.window.questions.size(), 1u);
    // The click came in the pass of entry 1, before its bytes: the run stops
    // inside that entry and nothing is written.
    EXPECT_TRUE(test::tree_of(dir / "out").empty());
    for (int32_t k = 1; k <= 3; ++k)
        EXPECT_EQ(x.outcome(k), "skipped:cancelled") << k;
    EXPECT_EQ(x.window.progress_value, 0);
    EXPECT_EQ(x.window.progress_color, progress_color_reset);
    EXPECT_EQ(x.window.percent, "");
    EXPECT_FALSE(x.window.percent_visible);
}

TEST(ZipExtractProgress, CancelPressedBeforeTheRunIsForgotten)
{
    test::TempDir dir;
    test::ZipExtraction x(test::save_zip(dir, "a.zip", test::build_zip(plain_entries(2))));
    x.files.state().CancelRequested = true;
    EXPECT_EQ(x.unpack(dir / "out"), 0);
    EXPECT_TRUE(x.window.questions.empty());
    EXPECT_EQ(test::tree_of(dir / "out").size(), 2u);
}

TEST(ZipExtractProgress, OnePasswordPromptPerCall)
{
    test::TempDir dir;
    const auto zip = test::save_zip(dir, "enc.zip",
                                    test::build_zip({encrypted_entry("a.txt", "first secret\n", "pw1"),
                                                     {.name = "plain.txt", .data = "open\n"},
                                                     encrypted_entry("b.txt", "second secret\n", "pw1")}));
    test::ZipExtraction x(zip);
    x.window.input_answers = {"pw1", "pw1"};
    EXPECT_EQ(x.unpack(dir / "out"), 0);
    ASSERT_EQ(x.window.questions.size(), 1u);
    EXPECT_EQ(x.window.questions[0].text, "Please enter Password.");
    EXPECT_EQ(x.window.questions[0].title, "Password");
    EXPECT_EQ(test::tree_of(dir / "out"),
              (std::map<std::string, std::string>{
                  {"a.txt", "first secret\n"}, {"b.txt", "second secret\n"}, {"plain.txt", "open\n"}}));
    EXPECT_TRUE(x.window.messages.empty());

    // The password is forgotten when the call ends.
    EXPECT_EQ(x.unpack(dir / "again", {3}), 0);
    EXPECT_EQ(x.window.questions.size(), 2u);
    EXPECT_EQ(test::file_text(dir / "again" / "b.txt"), "second secret\n");
}

TEST(ZipExtractProgress, PromptCancelledOrWrongPasswordEndsTheCall)
{
    test::TempDir dir;
    const auto zip = test::save_zip(dir, "enc.zip",
                                    test::build_zip({{.name = "first.txt", .data = "open\n"},
                                                     encrypted_entry("a.txt", "secret\n", "right"),
                                                     {.name = "last.txt", .data = "never\n"}}));
    for (const std::string answer : {"", "wrong-password"}) {
        SCOPED_TRACE(answer);
        test::ZipExtraction x(zip);
        x.window.input_answers = {answer, "right"};
        const auto out = dir / ("out" + std::to_string(answer.size()));
        EXPECT_EQ(x.unpack(out), -1);
        ASSERT_EQ(x.window.messages.size(), 1u);
        EXPECT_EQ(x.window.messages[0].text, "Invalid Password.");
        EXPECT_EQ(x.window.messages[0].title, "Velmora Archive Extractor 1.0");
        EXPECT_EQ(x.window.messages[0].icon, MessageIcon::information);
        EXPECT_EQ(x.window.questions.size(), 1u); // never asked again
        // Files written before the entry stay; nothing after it is written.
        EXPECT_EQ(test::tree_of(out), (std::map<std::string, std::string>{{"first.txt", "open\n"}}));
    }
}

TEST(ZipExtractProgress, SelectionThatDoesNotMatchTheArchiveIsRefused)
{
    test::TempDir dir;
    test::ZipExtraction x(test::save_zip(dir, "a.zip", test::build_zip(plain_entries(3))));
    for (const size_t size : {size_t{3}, size_t{5}, size_t{0}}) {
        Selection sel(size, true);
        std::string to = (dir / "out").string();
        EXPECT_EQ(x.files.UnPack(sel, to), -10);
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "out"));
    EXPECT_TRUE(x.window.progress_values.empty());
    EXPECT_EQ(x.window.yields, 0);

    // Nothing loaded at all.
    HeadlessWindow w;
    ArchiveState state(w);
    Cls_Zip none(state);
    Selection sel(1, false);
    std::string to = (dir / "out").string();
    EXPECT_EQ(none.UnPack(sel, to), -10);
    EXPECT_EQ(w.yields, 0);
}

} // namespace
} // namespace velmora

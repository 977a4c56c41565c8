// Helpers shared by the extraction tests of every format: an archive loaded
// through the dispatcher with a recording window, UnPack over a selection,
// what landed on disk, and environment settings (time zone, locale) held for
// the length of a test.
#pragma once

#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"
#include "support/TestSupport.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace velmora::test {

// One loaded archive with the window the extraction talks to.
struct Extraction {
    HeadlessWindow window;
    Cls_GetFileType files{window};
    int16_t loaded = 0; // what Get_Contents answered

    // answers: what the window's input box gives, in turn (passwords asked
    // while listing or while extracting).
    explicit Extraction(const std::filesystem::path& archive, const std::vector<std::string>& answers = {})
    {
        window.input_answers.assign(answers.begin(), answers.end());
        loaded = files.Get_Contents(archive.string());
        window.row_count = files.FileCount();
    }

    // UnPack with the listed entries selected (every entry when empty).
    int unpack(const std::filesystem::path& out, const std::vector<int32_t>& only = {})
    {
        Selection sel(static_cast<size_t>(files.FileCount()) + 1, false);
        for (int32_t k = 1; k <= files.FileCount(); ++k)
            sel[static_cast<size_t>(k)] = only.empty();
        for (const int32_t k : only)
            sel[static_cast<size_t>(k)] = true;
        std::string to = out.string();
        return files.UnPack(sel, to);
    }

    std::vector<std::string> message_texts() const
    {
        std::vector<std::string> out;
        for (const auto& m : window.messages)
            out.push_back(m.text);
        return out;
    }

    const ExtractionReport& report() { return files.state().report; }
    // "extracted", or "skipped:REASON" / "failed:REASON" for entry k.
    std::string outcome(int32_t k)
    {
        const ExtractionReport& r = report();
        std::string text(entry_outcome_key(r.outcome(k)));
        if (r.outcome(k) == EntryOutcome::skipped || r.outcome(k) == EntryOutcome::failed)
            text += ":" + std::string(outcome_reason_key(r.reason(k)));
        return text;
    }
};

// What a file tree holds: relative path -> contents ("/" appended for
// folders, "->target" for symbolic links).
std::map<std::string, std::string> tree_of(const std::filesystem::path& root);

std::string file_text(const std::filesystem::path& p);

// lstat of a path (zeroed when it does not exist).
struct stat stat_of(const std::filesystem::path& p);

mode_t current_umask();

// An environment variable set for the life of the object and restored (or
// unset) afterwards; TZ changes reach the C library's time functions.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A Unix time as a DOS stamp shows it: the local date and time, seconds
// rounded down to even, held to 1980-2107.
DateTime local_dos_time(int64_t unix_time);

// The modification time of a file, in whole seconds (-1 when it does not exist).
int64_t mtime_of(const std::filesystem::path& p);

// The zones time tests run under: UTC, one with summer time, one with a
// half-hour offset.
inline const std::vector<std::string>& test_time_zones()
{
    static const std::vector<std::string> zones{"UTC", "America/New_York", "Asia/Kolkata"};
    return zones;
}

} // namespace velmora::test

// One UnPack run as every reader drives it: a pass per entry with the
// progress bar, the percentage, the yields to the window and the cancel
// question; progress and cancel inside long entries; the run's message boxes
// in the reader's style; the run's folder cache; and the report of what
// became of each selected entry. Updates and yields are spaced by the
// window's update interval (every step when it is 0), and the last pass
// always shows, so the bar ends at its maximum and the caption at "100%".
#pragma once

#include "archive/ArchiveState.h"
#include "archive/BinaryFile.h"
#include "archive/DateTime.h"
#include "archive/ExtractionReport.h"
#include "archive/OutputFile.h"
#include "archive/RunMessages.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

class BackgroundWriter;

enum class MessageStyle {
    error_box, // title "Error", information icon (ZIP and the catalogue formats)
    plain,     // no title, no icon (GZIP and TAR)
};

// The archive could not be opened for the run (moved, deleted or unreadable
// since it was listed): one box in the reader's style, and every selected
// entry fails as unreadable.
void fail_unreadable_archive(ArchiveState& state, const std::vector<bool>& selected, std::string_view text,
                             MessageStyle style);

class ExtractionRun {
public:
    // Starts the run: empties PackData, clears CancelRequested, resets the
    // bar (Value 0, Max PackTotFiles) and the caption, shows the percentage.
    // write_error_text: the box shown when a file written in the background
    // could not be written.
    ExtractionRun(ArchiveState& state, MessageStyle style, std::string_view write_error_text = {});
    // Ends it: every entry left pending is settled, the folders are closed,
    // PackData is emptied.
    ~ExtractionRun();
    ExtractionRun(const ExtractionRun&) = delete;
    ExtractionRun& operator=(const ExtractionRun&) = delete;

    // The start of pass i (0..PackTotFiles): the buttons, the cancel poll,
    // the bar, the percentage, the yields. False when the user confirmed a
    // cancel: the run must return at once.
    bool pass(int32_t i);
    // The yield that ends a pass.
    void end_pass();

    // Inside an entry: `done` of `total` units (bytes; total 0 = unknown).
    // Yields when the update interval has passed; false when the user
    // confirmed a cancel (the entry is to be abandoned).
    bool progress(uint64_t done, uint64_t total);

    bool cancelled() const { return cancelled_; }

    // A message box in the run's style.
    void message(std::string_view text);
    // A message box with the program's title (the password and cancel boxes).
    void program_message(std::string_view text);

    // Small decoded entries may go to the writer thread: the window spaces
    // its updates (the recording windows of the tests see every step in
    // order, and get every file written on the spot).
    bool background_writes() const { return interval_.count() > 0; }
    // The largest entry decoded into memory for the writer thread; larger
    // ones stream to their file.
    static constexpr uint64_t background_entry_limit = uint64_t{1} << 20;
    // Hands a whole decoded entry to the writer thread. Containment, folders
    // and the overwrite rule are settled here (their outcome returned at
    // once); the file itself is written while the run goes on, and a file
    // that cannot be written is reported later, with the write error box.
    // The caller records the entry's outcome as if the write had succeeded.
    OutputStatus write_in_background(int32_t entry, const std::string& FileName, std::string& ToPath,
                                     std::vector<uint8_t> data, const FileStamp& stamp, int32_t mode, bool checked);
    // Memory for an entry of `size` bytes bound for the writer thread: a
    // buffer of an entry already written when one is spare.
    std::vector<uint8_t> entry_buffer(size_t size);
    // Waits until every file handed over is on disk (before a hard link to
    // one of them, say) and takes in what became of them.
    void drain_background();

    // The pass loop over the selected entries 1..count (count at most
    // PackTotFiles): extract(i) for each one selected. False when the run
    // ended early: a confirmed cancel, or extract(i) returned false.
    template <typename Extract>
    bool each_selected(const std::vector<bool>& selected, int32_t count, Extract&& extract)
    {
        for (int32_t i = 0; i <= state_.PackTotFiles; ++i) {
            if (!pass(i))
                return false;
            if (i >= 1 && i <= count && static_cast<size_t>(i) < selected.size() && selected[static_cast<size_t>(i)]
                && !extract(i))
                return false;
            if (cancelled_)
                return false;
            end_pass();
        }
        return true;
    }

    // Settles entry k whose output file did not open: kept back (not
    // overwritten), an unsafe name (its box, naming `name`) or a write error
    // (the run's write error box). True when the file opened.
    bool opened(OutputStatus status, int32_t k, const std::string& name);
    // Records what committing entry k's file came to: extracted, or kept back
    // by the overwrite rule, when its checks passed; failed with `reason` and
    // `detail` when they did not; a write error (its box) when the file could
    // not be put in place.
    void committed(OutputStatus status, int32_t k, bool checks_passed, OutcomeReason reason = OutcomeReason::damaged,
                   std::string_view detail = {});

    WindowServices& window() { return *state_.window; }
    ExtractionReport& report() { return state_.report; }
    ArchiveState& state() { return state_; }

private:
    using clock = std::chrono::steady_clock;
    bool due(clock::time_point now) const;
    // Asks "Do you want to cancel?" when the Cancel button was pressed; true
    // when the user confirmed (the bar and caption are then reset).
    bool poll_cancel();

    // What the writer thread did, into the report (write failures with their box).
    void take_background_results();

    ArchiveState& state_;
    MessageStyle style_;
    std::string write_error_text_;
    std::unique_ptr<BackgroundWriter> writer_;
    clock::duration interval_;
    clock::time_point last_update_{};
    bool cancelled_ = false;
    bool first_pass_ = true;
};

// The frame of a reader's UnPack: opens the archive (fail_unreadable_archive
// when it cannot be opened), starts the run and returns what `body(file, run)`
// returns. Nothing thrown escapes to the window: what was written stands, the
// entries not reached are settled by the dispatcher, and the result is 0.
template <class Body>
int16_t run_on_archive(ArchiveState& state, const std::vector<bool>& selected, MessageStyle style,
                       std::string_view write_error_text, Body&& body)
{
    try {
        BinaryFile file;
        if (!file.open(state.PackFileName)) {
            fail_unreadable_archive(state, selected, run_text::open_error, style);
            return 0;
        }
        ExtractionRun run(state, style, write_error_text);
        return static_cast<int16_t>(body(file, run));
    } catch (...) {
        return 0;
    }
}

// UnPack of a reader whose archive holds one entry, named `name` (a
// compressed file): run_on_archive, and when entry 1 is selected its output
// file is opened and `extract(file, run, out)` fills it.
template <class Extract>
int16_t run_one_entry(ArchiveState& state, const std::vector<bool>& selected, MessageStyle style,
                      std::string_view write_error_text, const std::string& name, std::string& ToPath,
                      Extract&& extract)
{
    return run_on_archive(state, selected, style, write_error_text, [&](const BinaryFile& file, ExtractionRun& run) {
        run.each_selected(selected, 1, [&](int32_t k) {
            OutputFile out(state);
            if (run.opened(out.open(name, ToPath), k, name))
                extract(file, run, out);
            return true;
        });
        return 0;
    });
}

} // namespace velmora

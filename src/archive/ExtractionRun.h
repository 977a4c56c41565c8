// One UnPack run as every reader drives it: a pass per entry with the
// progress bar, the percentage, the yields to the window and the cancel
// question; progress and cancel inside long entries; the run's message boxes
// in the reader's style; the run's folder cache; and the report of what
// became of each selected entry. Updates and yields are spaced by the
// window's update interval (every step when it is 0), and the last pass
// always shows, so the bar ends at its maximum and the caption at "100%".
#pragma once

#include "archive/ArchiveState.h"
#include "archive/ExtractionReport.h"

#include <chrono>
#include <cstdint>
#include <string_view>

namespace velmora {

enum class MessageStyle {
    error_box, // title "Error", information icon (ZIP and the catalogue formats)
    plain,     // no title, no icon (GZIP and TAR)
};

class ExtractionRun {
public:
    // Starts the run: empties PackData, clears CancelRequested, resets the
    // bar (Value 0, Max PackTotFiles) and the caption, shows the percentage.
    ExtractionRun(ArchiveState& state, MessageStyle style);
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

    WindowServices& window() { return *state_.window; }
    ExtractionReport& report() { return state_.report; }
    ArchiveState& state() { return state_; }

private:
    using clock = std::chrono::steady_clock;
    bool due(clock::time_point now) const;
    // Asks "Do you want to cancel?" when the Cancel button was pressed; true
    // when the user confirmed (the bar and caption are then reset).
    bool poll_cancel();

    ArchiveState& state_;
    MessageStyle style_;
    clock::duration interval_;
    clock::time_point last_update_{};
    bool cancelled_ = false;
    bool first_pass_ = true;
};

} // namespace velmora

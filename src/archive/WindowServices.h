// What the extraction code may ask of the main window: the progress bar, the
// percentage label, the two buttons it disables during a run, the row count,
// the overwrite option, an event-loop yield and the three kinds of dialog.
// The core reaches the window only through this interface.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora {

enum class MessageIcon { none, information, critical, question };

// Colours the extraction gives the progress bar (0xRRGGBB).
inline constexpr uint32_t progress_color_reset = 0xFFFFFF;
inline constexpr uint32_t progress_color_running = 0x00FF00;

// Title of the program's own boxes (cancel question, "Invalid Password.").
inline constexpr std::string_view program_title = "Velmora Archive Extractor 1.0";

class WindowServices {
public:
    virtual ~WindowServices() = default;

    // XP_ProgressBar1
    virtual void set_progress_value(int32_t value) = 0;
    virtual void set_progress_max(int32_t max) = 0;
    virtual void set_progress_color(uint32_t rgb) = 0;

    // Percent label
    virtual std::string percent_caption() const = 0;
    virtual void set_percent_caption(std::string_view caption) = 0;
    virtual void set_percent_visible(bool visible) = 0;

    // "Extract To..." (chameleonButton1) and "Open ZIP Archive" (chameleonButton2)
    virtual void set_run_buttons_enabled(bool enabled) = 0;

    // Rows of the contents list lstInZip.
    virtual int32_t contents_row_count() const = 0;

    // "Overwrite Existing Files" (Check2) is ticked.
    virtual bool overwrite_existing_files() const = 0;

    // Let pending window events run (repaints, the Cancel button).
    virtual void yield() = 0;

    // The shortest time between two progress updates and yields of a run: a
    // run updates the bar and the percentage and yields at most this often
    // (and always at its last pass). 0: at every step, as the recording
    // windows of the tests expect.
    virtual int32_t update_interval_ms() const { return 0; }

    // How far the entry being extracted has come, 0 to 1: called during long
    // entries, between the passes' own updates, so the bar moves within an
    // entry.
    virtual void set_entry_progress(double fraction) { (void)fraction; }

    // A modal box with one OK button. An empty title means the program's
    // default title (the plain boxes of the GZIP and TAR readers).
    virtual void message_box(std::string_view text, std::string_view title, MessageIcon icon) = 0;

    // Yes/No question with the question icon; true for Yes.
    virtual bool ask_yes_no(std::string_view text, std::string_view title) = 0;

    // One-line input box; "" when the user cancels.
    virtual std::string input_box(std::string_view prompt, std::string_view title) = 0;
};

} // namespace velmora

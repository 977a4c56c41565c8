// A window without a screen: records what the core shows and answers its
// questions from preset values. Serves the tests and archive-probe.
#pragma once

#include "archive/WindowServices.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace velmora {

class HeadlessWindow : public WindowServices {
public:
    struct Message {
        std::string text;
        std::string title;
        MessageIcon icon;
    };

    void set_progress_value(int32_t value) override;
    void set_progress_max(int32_t max) override { progress_max = max; }
    void set_progress_color(uint32_t rgb) override { progress_color = rgb; }
    std::string percent_caption() const override { return percent; }
    void set_percent_caption(std::string_view caption) override;
    void set_percent_visible(bool visible) override { percent_visible = visible; }
    void set_run_buttons_enabled(bool enabled) override { buttons_enabled = enabled; }
    int32_t contents_row_count() const override { return row_count; }
    bool overwrite_existing_files() const override { return overwrite; }
    void yield() override;
    int32_t update_interval_ms() const override { return interval_ms; }
    void message_box(std::string_view text, std::string_view title, MessageIcon icon) override;
    bool ask_yes_no(std::string_view text, std::string_view title) override;
    std::string input_box(std::string_view prompt, std::string_view title) override;

    // Preset answers and settings.
    int32_t row_count = 0;
    int32_t interval_ms = 0; // 0: every step shown, as the tests expect
    bool overwrite = true;
    std::deque<bool> yes_no_answers;     // default No when empty
    std::deque<std::string> input_answers; // default "" when empty
    std::function<void()> on_yield;      // e.g. a test pressing Cancel mid-run
    std::function<void(const Message&)> on_message; // e.g. printing as they come

    // What was shown.
    int32_t progress_value = 0;
    int32_t progress_max = 0;
    uint32_t progress_color = progress_color_reset;
    std::string percent;
    bool percent_visible = false;
    bool buttons_enabled = true;
    int yields = 0;
    std::vector<int32_t> progress_values;
    std::vector<std::string> percent_captions;
    std::vector<Message> messages;
    std::vector<Message> questions; // yes/no questions and input prompts
};

std::string_view icon_name(MessageIcon icon);

} // namespace velmora

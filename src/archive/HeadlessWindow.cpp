// Recording window services for tests and the command-line probe.
#include "archive/HeadlessWindow.h"

namespace velmora {

void HeadlessWindow::set_progress_value(int32_t value)
{
    progress_value = value;
    progress_values.push_back(value);
}

void HeadlessWindow::set_percent_caption(std::string_view caption)
{
    percent = std::string(caption);
    percent_captions.push_back(percent);
}

void HeadlessWindow::yield()
{
    ++yields;
    if (on_yield)
        on_yield();
}

void HeadlessWindow::message_box(std::string_view text, std::string_view title, MessageIcon icon)
{
    messages.push_back({std::string(text), std::string(title), icon});
    if (on_message)
        on_message(messages.back());
}

bool HeadlessWindow::ask_yes_no(std::string_view text, std::string_view title)
{
    questions.push_back({std::string(text), std::string(title), MessageIcon::question});
    if (yes_no_answers.empty())
        return false;
    const bool answer = yes_no_answers.front();
    yes_no_answers.pop_front();
    return answer;
}

std::string HeadlessWindow::input_box(std::string_view prompt, std::string_view title)
{
    questions.push_back({std::string(prompt), std::string(title), MessageIcon::none});
    if (input_answers.empty())
        return {};
    std::string answer = std::move(input_answers.front());
    input_answers.pop_front();
    return answer;
}

std::string_view icon_name(MessageIcon icon)
{
    switch (icon) {
    case MessageIcon::information: return "information";
    case MessageIcon::critical: return "critical";
    case MessageIcon::question: return "question";
    case MessageIcon::none: break;
    }
    return "none";
}

} // namespace velmora

// The pass loop, progress, yields and cancel of an extraction run.
#include "archive/ExtractionRun.h"

#include "archive/BackgroundWriter.h"
#include "archive/Mod_DiskIO.h"
#include "archive/OutputFolders.h"

#include <fcntl.h>

#include <algorithm>
#include <cmath>
#include <string>

namespace velmora {

namespace {

constexpr std::string_view cancel_question = "Do you want to cancel?";
constexpr std::string_view full_caption = "100%";
constexpr std::string_view error_title = "Error";

// "P%" for pass `done` of `rows`, rounded to the nearest whole number with
// halves to even (the default rounding mode).
std::string percent_text(int64_t done, int64_t rows, bool cap)
{
    double p = std::nearbyint(static_cast<double>(done) / static_cast<double>(rows) * 100.0);
    if (cap)
        p = std::min(p, 100.0);
    return std::to_string(static_cast<int64_t>(p)) + "%";
}

} // namespace

void fail_unreadable_archive(ArchiveState& state, const std::vector<bool>& selected, std::string_view text,
                             MessageStyle style)
{
    if (style == MessageStyle::error_box)
        state.window->message_box(std::string(text), "Error", MessageIcon::information);
    else
        state.window->message_box(std::string(text), "", MessageIcon::none);
    for (int32_t k = 1; k <= state.PackTotFiles; ++k)
        if (static_cast<size_t>(k) < selected.size() && selected[static_cast<size_t>(k)])
            state.report.failed(k, OutcomeReason::archive_unreadable);
}

bool ExtractionRun::opened(OutputStatus status, int32_t k, const std::string& name)
{
    switch (status) {
    case OutputStatus::ok:
        return true;
    case OutputStatus::not_written:
        state_.report.skipped(k, OutcomeReason::not_overwritten);
        return false;
    case OutputStatus::unsafe_path:
        message(std::string(unsafe_path_message) + name);
        state_.report.skipped(k, OutcomeReason::unsafe_name);
        return false;
    case OutputStatus::failed:
        break;
    }
    message(write_error_text_);
    state_.report.failed(k, OutcomeReason::write_error);
    return false;
}

void ExtractionRun::committed(OutputStatus status, int32_t k, bool checks_passed, OutcomeReason reason,
                              std::string_view detail)
{
    switch (status) {
    case OutputStatus::ok:
    case OutputStatus::not_written:
        if (!checks_passed)
            state_.report.failed(k, reason, std::string(detail));
        else if (status == OutputStatus::ok)
            state_.report.extracted(k);
        else
            state_.report.skipped(k, OutcomeReason::not_overwritten);
        return;
    default:
        message(write_error_text_);
        state_.report.failed(k, OutcomeReason::write_error);
        return;
    }
}

ExtractionRun::ExtractionRun(ArchiveState& state, MessageStyle style, std::string_view write_error_text)
    : state_(state), style_(style), write_error_text_(write_error_text),
      interval_(std::chrono::milliseconds(std::max<int32_t>(0, state.window->update_interval_ms())))
{
    state_.PackData.clear();
    state_.CancelRequested = false;
    begin_output_run(state_);
    WindowServices& w = *state_.window;
    w.set_percent_caption("");
    w.set_progress_value(0);
    w.set_progress_max(state_.PackTotFiles);
    w.set_percent_visible(true);
}

ExtractionRun::~ExtractionRun()
{
    if (writer_) {
        try {
            drain_background();
        } catch (...) {
        }
        writer_.reset();
    }
    if (cancelled_)
        state_.report.settle_pending(EntryOutcome::skipped, OutcomeReason::cancelled);
    end_output_run(state_);
    state_.PackData.clear();
    state_.PackData.shrink_to_fit();
}

bool ExtractionRun::due(clock::time_point now) const
{
    return interval_.count() == 0 || now - last_update_ >= interval_;
}

bool ExtractionRun::poll_cancel()
{
    if (!state_.CancelRequested)
        return false;
    WindowServices& w = *state_.window;
    if (!w.ask_yes_no(cancel_question, program_title)) {
        state_.CancelRequested = false;
        return false;
    }
    w.set_progress_value(0);
    w.set_progress_color(progress_color_reset);
    w.set_percent_caption("");
    w.set_percent_visible(false);
    cancelled_ = true;
    return true;
}

bool ExtractionRun::pass(int32_t i)
{
    if (writer_)
        take_background_results();
    WindowServices& w = *state_.window;
    const bool every_step = interval_.count() == 0;
    const clock::time_point now = every_step ? clock::time_point{} : clock::now();
    const bool last = i >= state_.PackTotFiles;
    const bool show = every_step || first_pass_ || last || due(now);

    if (every_step || first_pass_)
        w.set_run_buttons_enabled(false);
    if (poll_cancel())
        return false;
    if (!show)
        return true;
    first_pass_ = false;
    last_update_ = now;

    // At every step the bar, the caption and the yields come one after
    // another as the window has always seen them; spaced out, one yield
    // covers them all and the caption never passes 100%.
    w.set_progress_color(progress_color_running);
    state_.CancelRequested = false;
    if (every_step)
        w.yield();
    const int32_t rows = w.contents_row_count();
    if (rows > 0)
        w.set_percent_caption(w.percent_caption() != full_caption ? percent_text(int64_t{i} + 1, rows, !every_step)
                                                                 : std::string(full_caption));
    if (every_step)
        w.yield();
    w.set_progress_value(i + 1);
    w.yield();
    return true;
}

void ExtractionRun::end_pass()
{
    if (interval_.count() == 0)
        state_.window->yield();
}

bool ExtractionRun::progress(uint64_t done, uint64_t total)
{
    if (cancelled_)
        return false;
    const clock::time_point now = clock::now();
    if (!due(now))
        return true;
    last_update_ = now;
    WindowServices& w = *state_.window;
    if (total > 0)
        w.set_entry_progress(std::min(1.0, static_cast<double>(done) / static_cast<double>(total)));
    w.yield();
    return !poll_cancel();
}

void ExtractionRun::message(std::string_view text)
{
    if (style_ == MessageStyle::error_box)
        state_.window->message_box(text, error_title, MessageIcon::information);
    else
        state_.window->message_box(text, "", MessageIcon::none);
}

void ExtractionRun::program_message(std::string_view text)
{
    state_.window->message_box(text, program_title, MessageIcon::information);
}

OutputStatus ExtractionRun::write_in_background(int32_t entry, const std::string& FileName, std::string& ToPath,
                                                std::vector<uint8_t> data, const FileStamp& stamp, int32_t mode,
                                                bool checked)
{
    OutputFolderCache local;
    OutputFolderCache& cache = output_detail::cache_of(state_, local);
    int folder_fd = -1;
    BackgroundWriter::Job job;
    if (const OutputStatus s = locate_output(state_, FileName, ToPath, cache, folder_fd, job.leaf); s != OutputStatus::ok)
        return s;
    // The job keeps its own descriptor: the cache may close its own before
    // the writer gets to it.
    job.folder_fd = ::fcntl(folder_fd, F_DUPFD_CLOEXEC, 0);
    if (job.folder_fd < 0)
        return OutputStatus::failed;
    switch (stamp.kind) {
    case FileStamp::Kind::none:
        break;
    case FileStamp::Kind::dos:
        job.stamped = true;
        job.seconds = cache.local_unix_time(DosDateTimeToDate(stamp.dos_date, stamp.dos_time));
        break;
    case FileStamp::Kind::unix_time:
        job.stamped = true;
        job.seconds = stamp.seconds;
        job.nanoseconds = stamp.nanoseconds;
        break;
    }
    job.data = std::move(data);
    job.mode = mode;
    job.checked = checked;
    job.overwrite = overwrite_on(state_);
    job.entry = entry;
    if (!writer_)
        writer_ = std::make_unique<BackgroundWriter>();
    writer_->submit(std::move(job));
    return OutputStatus::ok;
}

std::vector<uint8_t> ExtractionRun::entry_buffer(size_t size)
{
    std::vector<uint8_t> buffer;
    if (writer_)
        buffer = writer_->spare_buffer(size);
    buffer.reserve(size);
    return buffer;
}

void ExtractionRun::drain_background()
{
    if (!writer_)
        return;
    writer_->drain();
    take_background_results();
}

void ExtractionRun::take_background_results()
{
    for (const BackgroundWriter::Result& r : writer_->take_results()) {
        switch (r.status) {
        case OutputStatus::ok:
            break;
        case OutputStatus::not_written:
            // Checked data met a file that appeared meanwhile; data that
            // failed its checks stays reported as damaged.
            if (r.checked)
                state_.report.skipped(r.entry, OutcomeReason::not_overwritten);
            break;
        case OutputStatus::unsafe_path:
        case OutputStatus::failed:
            if (!write_error_text_.empty())
                message(write_error_text_);
            state_.report.failed(r.entry, OutcomeReason::write_error);
            break;
        }
    }
}

} // namespace velmora

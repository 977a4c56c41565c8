// The writer thread of an extraction run.
#include "archive/BackgroundWriter.h"

#include "archive/OutputFolders.h"

#include <fcntl.h>
#include <unistd.h>

namespace velmora {

using namespace output_detail;

namespace {

constexpr mode_t new_file_mode = 0666;
constexpr mode_t permission_bits = 0777;
constexpr mode_t owner_read_write = 0600;
// The most memory kept in spare buffers.
constexpr size_t max_spare_bytes = size_t{8} << 20;

} // namespace

BackgroundWriter::BackgroundWriter(size_t max_bytes) : max_bytes_(max_bytes), thread_([this] { work(); }) {}

BackgroundWriter::~BackgroundWriter()
{
    {
        const std::lock_guard guard(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void BackgroundWriter::submit(Job job)
{
    std::unique_lock guard(lock_);
    // One job larger than the limit still goes, alone. Each waiting job
    // holds a folder descriptor, so their number is bounded too: a run of
    // many tiny files must not use up the process's descriptors.
    changed_.wait(guard, [&] {
        return queue_.empty()
               || (queued_bytes_ + job.data.size() <= max_bytes_ && queue_.size() < max_queued_jobs);
    });
    queued_bytes_ += job.data.size();
    queue_.push_back(std::move(job));
    guard.unlock();
    changed_.notify_all();
}

void BackgroundWriter::drain()
{
    std::unique_lock guard(lock_);
    changed_.wait(guard, [&] { return queue_.empty() && busy_ == 0; });
}

std::vector<BackgroundWriter::Result> BackgroundWriter::take_results()
{
    const std::lock_guard guard(lock_);
    std::vector<Result> out;
    out.swap(results_);
    return out;
}

std::vector<uint8_t> BackgroundWriter::spare_buffer(size_t size)
{
    const std::lock_guard guard(lock_);
    for (auto it = spare_.begin(); it != spare_.end(); ++it) {
        if (it->capacity() >= size) {
            std::vector<uint8_t> out = std::move(*it);
            spare_.erase(it);
            spare_bytes_ -= out.capacity();
            return out;
        }
    }
    return {};
}

void BackgroundWriter::work()
{
    std::unique_lock guard(lock_);
    for (;;) {
        changed_.wait(guard, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty())
            return; // stopping, and nothing left to write
        Job job = std::move(queue_.front());
        queue_.pop_front();
        ++busy_;
        guard.unlock();

        const OutputStatus status = place(job);
        ::close(job.folder_fd);

        guard.lock();
        --busy_;
        queued_bytes_ -= job.data.size();
        results_.push_back({job.entry, status, job.checked});
        if (spare_bytes_ + job.data.capacity() <= max_spare_bytes) {
            spare_bytes_ += job.data.capacity();
            job.data.clear();
            spare_.push_back(std::move(job.data));
        }
        changed_.notify_all();
    }
}

OutputStatus BackgroundWriter::place(const Job& job)
{
    const mode_t mode = job.mode < 0 ? new_file_mode
                                     : (static_cast<mode_t>(job.mode) & permission_bits) | owner_read_write;
    std::string temp;
    const int fd = create_temp_file(job.folder_fd, job.leaf, mode, temp);
    if (fd < 0)
        return OutputStatus::failed;
    bool ok = write_all(fd, job.data);
    if (ok && job.stamped)
        stamp_file(fd, job.seconds, job.nanoseconds);
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlinkat(job.folder_fd, temp.c_str(), 0);
        return OutputStatus::failed;
    }
    const int placed = put_in_place(job.folder_fd, temp, job.leaf, job.checked, job.overwrite);
    return placed == 0 ? OutputStatus::ok : placed > 0 ? OutputStatus::not_written : OutputStatus::failed;
}

} // namespace velmora

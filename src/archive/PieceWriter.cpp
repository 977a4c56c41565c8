// Double-buffered writing of a large output file.
#include "archive/PieceWriter.h"

#include "archive/OutputFolders.h"

#include <algorithm>

namespace velmora {

PieceWriter::PieceWriter(int fd, size_t piece_size, size_t pieces)
    : fd_(fd), piece_size_(std::max<size_t>(piece_size, 1)), max_pieces_(std::max<size_t>(pieces, 2)),
      thread_([this] { work(); })
{
    current_.reserve(piece_size_);
}

PieceWriter::~PieceWriter()
{
    {
        const std::lock_guard guard(lock_);
        stopping_ = true;
        in_use_ -= waiting_.size();
        waiting_.clear();
    }
    changed_.notify_all();
    thread_.join();
}

bool PieceWriter::write(std::span<const uint8_t> data)
{
    while (!data.empty()) {
        const size_t n = std::min(data.size(), piece_size_ - current_.size());
        current_.insert(current_.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
        data = data.subspan(n);
        if (current_.size() == piece_size_)
            hand_over();
    }
    const std::lock_guard guard(lock_);
    return !failed_;
}

void PieceWriter::hand_over()
{
    std::unique_lock guard(lock_);
    // The caller's piece counts too: at most max_pieces_ buffers exist.
    changed_.wait(guard, [&] { return failed_ || in_use_ + 1 < max_pieces_; });
    if (failed_) {
        current_.clear(); // nothing more reaches the file
        return;
    }
    waiting_.push_back(std::move(current_));
    ++in_use_;
    if (!spare_.empty()) {
        current_ = std::move(spare_.back());
        spare_.pop_back();
    } else {
        current_ = {};
        current_.reserve(piece_size_);
    }
    current_.clear();
    guard.unlock();
    changed_.notify_all();
}

bool PieceWriter::finish()
{
    if (!current_.empty())
        hand_over();
    std::unique_lock guard(lock_);
    changed_.wait(guard, [&] { return in_use_ == 0; });
    return !failed_;
}

void PieceWriter::work()
{
    std::unique_lock guard(lock_);
    for (;;) {
        changed_.wait(guard, [&] { return stopping_ || !waiting_.empty(); });
        if (stopping_)
            return;
        std::vector<uint8_t> piece = std::move(waiting_.front());
        waiting_.pop_front();
        const bool skip = failed_;
        guard.unlock();

        const bool ok = skip || output_detail::write_all(fd_, piece);

        guard.lock();
        failed_ = failed_ || !ok;
        piece.clear();
        spare_.push_back(std::move(piece));
        --in_use_;
        changed_.notify_all();
    }
}

} // namespace velmora

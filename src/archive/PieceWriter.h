// The writing of one large output file on a second thread: the bytes the
// decoder hands over are gathered into pieces, and while the thread puts one
// piece into the file the decoder goes on filling the next. A bounded number
// of pieces wait at once, and their buffers are used again, so the memory
// stays a few MiB whatever the file's size. A failed write is reported by the
// next write() or by finish(); nothing after it is written.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace velmora {

class PieceWriter {
public:
    static constexpr size_t default_piece_size = size_t{256} << 10;
    static constexpr size_t default_pieces = 4;

    // pieces: how many buffers exist at once (two at least: the one being
    // filled, and one being written).
    // fd: an open file, written at its current offset; it stays the
    // caller's, and is not touched by the caller until finish() returns or
    // the writer is destroyed.
    explicit PieceWriter(int fd, size_t piece_size = default_piece_size, size_t pieces = default_pieces);
    // Stops at once: pieces not yet written are dropped (the file is being
    // abandoned, or finish() has already written them).
    ~PieceWriter();
    PieceWriter(const PieceWriter&) = delete;
    PieceWriter& operator=(const PieceWriter&) = delete;

    // Takes a copy of the bytes; waits while every piece is in use. False
    // once a write has failed.
    bool write(std::span<const uint8_t> data);
    // Writes what is gathered and waits until every piece is in the file.
    // False when any write failed.
    bool finish();

private:
    void hand_over();
    void work();

    const int fd_;
    const size_t piece_size_;
    const size_t max_pieces_;
    std::vector<uint8_t> current_; // being filled by the caller
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::vector<uint8_t>> waiting_; // full, in file order
    std::vector<std::vector<uint8_t>> spare_;  // written, ready to be filled again
    size_t in_use_ = 0;                        // waiting_ and the piece being written
    bool failed_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace velmora
